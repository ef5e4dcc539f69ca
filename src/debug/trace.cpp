#include "debug/trace.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// -1 undecided, 0 off, 1 on. Threads of a free-threaded interpreter may make
// their first trace call together: each reads the variable, and the first
// answer stored wins, so every caller sees one decision for the whole process.
std::atomic<int> debug_enabled{-1};

constexpr char PREFIX[] = "[ZNV]: ";
constexpr std::size_t PREFIX_LENGTH = sizeof PREFIX - 1;

// Processes sharing standard error (a parent and its forked workers) write to
// one pipe or file. The kernel never splits or mixes a write to a pipe of at
// most PIPE_BUF bytes, so a line that fits goes out whole in one write.
constexpr std::size_t ATOMIC_LINE = PIPE_BUF;

// Writes one line of the trace; the caller holds the stream. Standard error
// is unbuffered, so one fwrite is one write. A line too long to be written
// atomically is written in parts, all before the next line.
void write_line(const char *format, std::va_list args) {
    char line[ATOMIC_LINE];
    std::memcpy(line, PREFIX, PREFIX_LENGTH);
    std::va_list again;
    va_copy(again, args);
    const int formatted =
        std::vsnprintf(line + PREFIX_LENGTH, sizeof line - PREFIX_LENGTH, format, args);
    if (formatted >= 0 &&
        static_cast<std::size_t>(formatted) < sizeof line - PREFIX_LENGTH) {
        const std::size_t message = static_cast<std::size_t>(formatted);
        line[PREFIX_LENGTH + message] = '\n';  // over the terminator
        std::fwrite(line, 1, PREFIX_LENGTH + message + 1, stderr);
    } else {
        std::fwrite(PREFIX, 1, PREFIX_LENGTH, stderr);
        std::vfprintf(stderr, format, again);
        std::fputc('\n', stderr);
    }
    va_end(again);
}

}  // namespace

bool znv_tracing() {
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

void znv_debug(const char *format, ...) {
    if (!znv_tracing()) {
        return;
    }
    // Callers may read errno after tracing what failed.
    const int saved_errno = errno;
    std::va_list args;
    va_start(args, format);
    // Holding the stream keeps the lines of several threads apart. Stream
    // errors are ignored: there is nowhere left to report them.
    flockfile(stderr);
    write_line(format, args);
    funlockfile(stderr);
    va_end(args);
    errno = saved_errno;
}
