#include "platform/freebsd/ps_strings_record.h"

#include <cstdint>
#include <cstring>

namespace {

// Whether `bytes` bytes from `at` lie inside the window, so they may be read.
bool holds(const InitialStack &stack, const void *at, std::uintptr_t bytes) {
    const auto begin = reinterpret_cast<std::uintptr_t>(at);
    const auto floor = reinterpret_cast<std::uintptr_t>(stack.floor);
    const auto top = reinterpret_cast<std::uintptr_t>(stack.top);
    return begin > floor && begin <= top && bytes <= top - begin;
}

// Just past the zero byte that ends the string at `text`, when that zero
// byte lies in the window; read a byte at a time, never past it.
const char *end_of(const char *text, const InitialStack &stack) {
    for (const char *at = text; holds(stack, at, 1); ++at) {
        if (*at == '\0') {
            return at + 1;
        }
    }
    return nullptr;
}

}  // namespace

const char *environment_start_from_record(const void *record, const InitialStack &stack) {
    if (!holds(stack, record, sizeof(PsStringsShape))) {
        return nullptr;
    }
    PsStringsShape ps;
    std::memcpy(&ps, record, sizeof ps);
    const char *start = nullptr;
    if (ps.ps_nenvstr > 0) {
        if (!holds(stack, ps.ps_envstr, sizeof(char *))) {
            return nullptr;
        }
        start = ps.ps_envstr[0];
    } else if (ps.ps_nargvstr > 0) {
        // No environment strings: they would have begun where the last
        // argument ends.
        const std::uintptr_t last = ps.ps_nargvstr - 1U;
        if (!holds(stack, ps.ps_argvstr, (last + 1) * sizeof(char *))) {
            return nullptr;
        }
        start = end_of(ps.ps_argvstr[last], stack);
    }
    return inside(stack, start) ? start : nullptr;
}
