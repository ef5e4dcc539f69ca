#include "setup/locate_argv.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "debug/trace.h"
#include "debug/trace_text.h"
#include "raii/heap_ptr.h"

// POSIX leaves declaring the environment vector to the program: glibc's
// <unistd.h> declares it, FreeBSD's does not.
extern "C" char **environ;

namespace {

void trace_walk_start() { znv_debug("walking from environ to look for the arguments"); }

char **walk_failed() {
    znv_debug("couldn't find argv from environ");
    return nullptr;
}

// The start of the argument that ends just below `cursor`, or null when none
// starts above `floor`. The byte at `cursor - 1`, its terminator, is known
// to be zero; the scan examines the bytes below it down to just above the
// floor, never the floor's nor one below it.
const char *argument_start(const char *cursor, const char *floor) {
    const char *z = cursor - 2;
    while (z > floor && *z != '\0') {
        --z;
    }
    return z > floor ? z + 1 : nullptr;
}

// A vector for `argc` arguments, its terminator set; null, traced, when
// there is nothing to look for or no memory for it.
HeapPtr<char *> new_vector(int argc) {
    // Without an argv[0] there is nothing to check the walk against, and
    // entry 0 would take the place of the vector's terminator.
    if (argc < 1) {
        znv_debug("no arguments to look for");
        return nullptr;
    }
    HeapPtr<char *> argv{
        static_cast<char **>(std::malloc(sizeof(char *) * (static_cast<std::size_t>(argc) + 1)))};
    if (!argv) {
        znv_debug("can't malloc %d args!", argc);
        return nullptr;
    }
    argv.get()[argc] = nullptr;
    return argv;
}

// Fills `argv` with the `argc` arguments that end just below `top`, from
// the last down, and checks argv[0] against `arg0`.
char **walk_down(HeapPtr<char *> argv, int argc, const char *arg0, const char *top,
                 const char *floor) {
    const char *cursor = top;  // start of the string found last
    for (int i = argc - 1; i >= 1; --i) {
        // An argument needs its start and its terminator above the floor.
        if (cursor - floor < 2) {
            znv_debug("failed to found arg %d start", i);
            return walk_failed();
        }
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

// Whether the walk may start at `first_env`: inside the window and, where
// the kernel recorded where it put the environment strings, right there. A
// first string unset (the vector then starts at the second one) or
// replaced is not.
bool is_environment_start(const char *first_env, const InitialStack &stack) {
    return inside(stack, first_env) &&
           (stack.environment == nullptr || first_env == stack.environment);
}

// When environ[0] cannot start the walk, the place the kernel recorded can:
// the same checks then tell whether the arguments still lie below it.
char **locate_argv_from_kernel_record(int argc, const char *arg0, const char *first_env,
                                      const InitialStack &stack) {
    trace_walk_start();
    if (first_env == nullptr) {
        znv_debug("environ pointer is NULL");
    } else {
        znv_debug("environ[0] at %p is not where the kernel put the environment",
                  static_cast<const void *>(first_env));
    }
    const char *recorded = stack.environment;
    if (recorded == nullptr) {
        znv_debug("no other start: the kernel's record of the environment can't be had");
        return walk_failed();
    }
    znv_debug("starting where the kernel put the environment, at %p",
              static_cast<const void *>(recorded));
    HeapPtr<char *> argv = new_vector(argc);
    if (!argv) {
        return walk_failed();
    }
    return walk_down(std::move(argv), argc, arg0, recorded, stack.floor);
}

}  // namespace

char **locate_argv_below(int argc, const char *arg0, const char *first_env, const char *floor) {
    trace_walk_start();
    HeapPtr<char *> argv = new_vector(argc);
    if (!argv) {
        return walk_failed();
    }
    if (first_env == nullptr) {
        znv_debug("environ pointer is NULL");
        return walk_failed();
    }
    znv_debug("found environ at %p", static_cast<const void *>(first_env));
    return walk_down(std::move(argv), argc, arg0, first_env, floor);
}

char **locate_argv_within(int argc, const char *arg0, const char *first_env,
                          const std::optional<InitialStack> &stack) {
    if (!stack) {
        trace_walk_start();
        znv_debug("no record of the initial stack: nowhere the arguments can safely be looked for");
        return walk_failed();
    }
    // With no strings and no record of where they would start, the walk
    // fails at its start as it always has.
    const bool no_start_at_all = first_env == nullptr && stack->environment == nullptr;
    if (is_environment_start(first_env, *stack) || no_start_at_all) {
        return locate_argv_below(argc, arg0, first_env, stack->floor);
    }
    return locate_argv_from_kernel_record(argc, arg0, first_env, *stack);
}

char **locate_argv(int argc, const char *arg0) {
    // environ itself is null after clearenv(): no strings, as when its first
    // entry is null.
    const char *first_env = environ != nullptr ? environ[0] : nullptr;
    return locate_argv_within(argc, arg0, first_env, znv_platform_initial_stack());
}
