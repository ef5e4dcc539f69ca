#include "platform/initial_stack.h"

#include <sys/auxv.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/linux/kernel_bounds.h"
#include "platform/linux/proc_self_file.h"

// At exec the kernel copies the executable's name to the top of the new
// stack (AT_EXECFN), the environment strings below it and the argument
// strings below those; further down it puts the 16 random bytes of
// AT_RANDOM, then the vectors. Everything between the two was written by
// the kernel, so it is mapped, and the strings lie within it whatever the
// process has done since. /proc/self/stat narrows the window to the
// argument area itself and says where the environment began, when /proc is
// there and its bounds lie in the window (prctl can move them).

namespace {

std::optional<KernelBounds> bounds_from_proc() {
    char text[4096];
    const std::optional<std::string_view> stat = read_proc_self("stat", text, sizeof text);
    return stat ? parse_kernel_bounds(*stat) : std::nullopt;
}

const char *address(std::uintptr_t at) { return reinterpret_cast<const char *>(at); }

}  // namespace

std::optional<InitialStack> znv_platform_initial_stack() {
    const std::uintptr_t name = getauxval(AT_EXECFN);
    const std::uintptr_t random_bytes = getauxval(AT_RANDOM);
    if (name == 0 || random_bytes == 0 || random_bytes >= name) {
        return std::nullopt;
    }
    InitialStack stack{address(random_bytes), address(name), nullptr};
    const std::optional<KernelBounds> bounds = bounds_from_proc();
    if (!bounds) {
        return stack;
    }
    // Zeros (the kernel hiding the bounds) fall outside the window too.
    if (inside(stack, address(bounds->arg_start))) {
        stack.floor = address(bounds->arg_start - 1);
    }
    if (inside(stack, address(bounds->env_start))) {
        stack.environment = address(bounds->env_start);
    }
    return stack;
}
