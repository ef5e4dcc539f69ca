#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/linux/argument_area.h"

// The kernel's record of where this process's argument and environment
// strings lie (/proc/self/stat fields 48 to 51, since Linux 3.5).
struct KernelBounds {
    std::uintptr_t arg_start;
    std::uintptr_t arg_end;
    std::uintptr_t env_start;
    std::uintptr_t env_end;
};

// Reads the four bounds out of the text of /proc/self/stat. Field 2, the
// short name in parentheses, may itself hold blanks and parentheses, so the
// fields are counted from the last ')'. Null when the text is cut short or a
// field is not a decimal number.
std::optional<KernelBounds> parse_kernel_bounds(std::string_view stat);

// The area those bounds describe. The kernel reads a title on into the
// environment area only when that area starts right where the arguments end,
// so only then does the area reach into it. Null when the bounds hold no
// argument bytes (as when the kernel hides them and reports zeros).
std::optional<ArgumentArea> area_from_kernel(const KernelBounds &bounds);
