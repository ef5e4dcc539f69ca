#include "platform/environment_start.h"

#include <optional>
#include <string_view>

#include "platform/linux/kernel_bounds.h"
#include "platform/linux/proc_self_file.h"

// The kernel records env_start at exec and nothing in the process moves it,
// while environ may by then point elsewhere: setenv into an empty
// environment (the interpreter's locale coercion) or a host that copied its
// environment to the heap leaves environ[0] outside the strings' area.
const char *znv_platform_environment_start() {
    char text[4096];
    const std::optional<std::string_view> stat = read_proc_self("stat", text, sizeof text);
    if (!stat) {
        return nullptr;
    }
    const std::optional<KernelBounds> bounds = parse_kernel_bounds(*stat);
    if (!bounds || bounds->env_start == 0) {
        return nullptr;  // zero: the kernel hides the bounds
    }
    return reinterpret_cast<const char *>(bounds->env_start);
}
