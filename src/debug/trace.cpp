#include "debug/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

// -1 undecided, 0 off, 1 on. Threads of a free-threaded interpreter may make
// their first trace call together: each reads the variable, and the first
// answer stored wins, so every caller sees one decision for the whole process.
std::atomic<int> debug_enabled{-1};

bool trace_enabled() {
    int state = debug_enabled.load(std::memory_order_acquire);
    if (state >= 0) {
        return state == 1;
    }
    const char *value = std::getenv("ZNV_DEBUG");
    const int decided = (value != nullptr && value[0] != '\0') ? 1 : 0;
    if (debug_enabled.compare_exchange_strong(state, decided, std::memory_order_acq_rel)) {
        return decided == 1;
    }
    return state == 1;  // another thread decided first; `state` now holds its answer
}

}  // namespace

void znv_debug(const char *format, ...) {
    if (!trace_enabled()) {
        return;
    }
    std::va_list args;
    va_start(args, format);
    // Hold the stream across the three writes so that lines traced by several
    // threads at once never interleave. Stream errors are ignored: there is
    // nowhere left to report them.
    flockfile(stderr);
    std::fwrite("[ZNV]: ", 1, 7, stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    funlockfile(stderr);
    va_end(args);
}
