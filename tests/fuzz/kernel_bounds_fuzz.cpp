// The parser of /proc/self/stat and the area its bounds describe. Half the
// inputs are stat lines as the kernel writes them, with any short name (it
// may hold blanks, parentheses and newlines) and bounds taken from the input:
// those four numbers must come back. The other half is raw text.

#include <algorithm>
#include <optional>
#include <string>

#include "fuzz_input.h"
#include "platform/linux/kernel_bounds.h"

namespace {

// Fields 3 to 47, then the four bounds (48 to 51), then the exit code (52).
std::string stat_line(const std::string &name, FuzzInput &in, const KernelBounds &bounds) {
    std::string line = std::to_string(in.u16()) + " (" + name + ") R";
    for (int field = 4; field < 48; ++field) {
        line += " " + std::to_string(in.byte());
    }
    for (const std::uintptr_t value :
         {bounds.arg_start, bounds.arg_end, bounds.env_start, bounds.env_end}) {
        line += " " + std::to_string(value);
    }
    return line + " 0\n";
}

// The area never reaches past the bounds the kernel recorded, nor further
// than a title can, and starts exactly at the arguments.
void check_area(const KernelBounds &bounds) {
    const std::optional<ArgumentArea> area = area_from_kernel(bounds);
    if (bounds.arg_start == 0 || bounds.arg_end <= bounds.arg_start) {
        FUZZ_CHECK(!area);
        return;
    }
    FUZZ_CHECK(area);
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(area->start);
    FUZZ_CHECK(start == bounds.arg_start);
    FUZZ_CHECK(area->arg_length == bounds.arg_end - bounds.arg_start);
    FUZZ_CHECK(area->length >= area->arg_length);
    FUZZ_CHECK(area->length <= title_reach(area->arg_length));
    const bool environment_follows =
        bounds.env_start == bounds.arg_end && bounds.env_end > bounds.env_start;
    const std::uintptr_t end = environment_follows ? bounds.env_end : bounds.arg_end;
    FUZZ_CHECK(area->length <= end - start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    if ((in.byte() & 1) != 0) {
        const std::string name = in.text(64);
        KernelBounds bounds{};
        bounds.arg_start = in.u64();
        bounds.arg_end = in.u64();
        bounds.env_start = in.u64();
        bounds.env_end = in.u64();
        const std::string line = stat_line(name, in, bounds);
        const std::optional<KernelBounds> parsed = parse_kernel_bounds(line);
        FUZZ_CHECK(parsed);
        FUZZ_CHECK(parsed->arg_start == bounds.arg_start && parsed->arg_end == bounds.arg_end &&
                   parsed->env_start == bounds.env_start && parsed->env_end == bounds.env_end);
        check_area(*parsed);
        return 0;
    }
    const std::string text = in.rest();
    if (const std::optional<KernelBounds> parsed = parse_kernel_bounds(text)) {
        check_area(*parsed);
    }
    return 0;
}
