#pragma once

#include <cstdint>
#include <optional>

// Where the kernel laid out this process's argument and environment strings
// at exec, as the kernel itself describes it. The walk for the arguments
// reads only inside this window: anything outside it may belong to another
// object (a heap block the C library copied the environment to) or not be
// mapped at all.
struct InitialStack {
    // Every string lies above `floor` and ends at or below `top`; nothing at
    // or below the floor is ever read.
    const char *floor;
    const char *top;
    // Where the environment strings start, just above the last argument, or
    // null when the platform keeps no such record. Always inside the window.
    const char *environment;
};

// The window, or null when the kernel's description can't be had. Reads no
// interpreter state; called once, at setup, before the first title.
std::optional<InitialStack> znv_platform_initial_stack();

// Whether a walk may start at `start`: above the floor and at most the top
// (the top itself when there are no environment strings). Compared as
// addresses, since `start` may lie in any object of the process.
inline bool inside(const InitialStack &stack, const char *start) {
    const auto at = reinterpret_cast<std::uintptr_t>(start);
    return start != nullptr && reinterpret_cast<std::uintptr_t>(stack.floor) < at &&
           at <= reinterpret_cast<std::uintptr_t>(stack.top);
}
