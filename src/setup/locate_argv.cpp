#include "setup/locate_argv.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "debug/trace.h"
#include "setup/heap_ptr.h"
#include "setup/trace_text.h"

namespace {

char **walk_failed() {
    znv_debug("couldn't find argv from environ");
    return nullptr;
}

// The start of the argument that ends just below `cursor`, or null when none
// starts above `floor`. The byte at `cursor - 1`, its terminator, is known
// to be zero; the scan examines the bytes below it down to the floor, and
// never one below the floor.
const char *argument_start(const char *cursor, const char *floor) {
    const char *z = cursor - 2;
    while (z > floor && *z != '\0') {
        --z;
    }
    return z > floor ? z + 1 : nullptr;
}

}  // namespace

char **locate_argv_below(int argc, const char *arg0, const char *first_env, const char *floor) {
    znv_debug("walking from environ to look for the arguments");
    // Without an argv[0] there is nothing to check the walk against, and
    // entry 0 would take the place of the vector's terminator.
    if (argc < 1) {
        znv_debug("no arguments to look for");
        return walk_failed();
    }
    HeapPtr<char *> argv{
        static_cast<char **>(std::malloc(sizeof(char *) * (static_cast<std::size_t>(argc) + 1)))};
    if (!argv) {
        znv_debug("can't malloc %d args!", argc);
        return walk_failed();
    }
    argv.get()[argc] = nullptr;
    if (first_env == nullptr) {
        znv_debug("environ pointer is NULL");
        return walk_failed();
    }
    znv_debug("found environ at %p", static_cast<const void *>(first_env));

    const char *cursor = first_env;  // start of the string found last
    for (int i = argc - 1; i >= 1; --i) {
        if (cursor[-1] != '\0') {
            znv_debug("zero %d not found", i);
            return walk_failed();
        }
        const char *start = argument_start(cursor, floor);
        if (start == nullptr) {
            znv_debug("failed to found arg %d start", i);
            return walk_failed();
        }
        // The vector points into the process's own argument area, which the
        // platform may later rewrite; it is not a copy.
        argv.get()[i] = const_cast<char *>(start);
        cursor = start;
        znv_debug("found argv[%d] at %p: %s", i, static_cast<const void *>(start),
                  TraceText(start).c_str());
    }

    // argv[0] must end just below argument 1 (or the environment), and begin
    // above the floor; compared in sizes so the address is never formed below it.
    const std::size_t arg0_size = std::strlen(arg0) + 1;
    const auto room = static_cast<std::size_t>(cursor - floor);
    const char *expected = room > arg0_size ? cursor - arg0_size : nullptr;
    znv_debug("argv[0] should be at %p",
              reinterpret_cast<const void *>(reinterpret_cast<std::uintptr_t>(cursor) - arg0_size));
    if (expected == nullptr) {
        znv_debug("failed to find argv[0] start");
        return walk_failed();
    }
    if (std::strcmp(expected, arg0) != 0) {
        znv_debug("argv[0] '%s' doesn't match '%s'", TraceText(expected).c_str(),
                  TraceText(arg0).c_str());
        return walk_failed();
    }
    argv.get()[0] = const_cast<char *>(expected);
    znv_debug("found argv[0]: %s", TraceText(expected).c_str());
    return argv.release();
}

char **locate_argv(int argc, const char *arg0) {
    // environ itself is null after clearenv(): no strings, as when its first
    // entry is null.
    const char *first_env = environ != nullptr ? environ[0] : nullptr;
    const auto top = reinterpret_cast<std::uintptr_t>(first_env);
    const std::uintptr_t floor = top > ARGV_SEARCH_SPAN ? top - ARGV_SEARCH_SPAN : 0;
    return locate_argv_below(argc, arg0, first_env, reinterpret_cast<const char *>(floor));
}
