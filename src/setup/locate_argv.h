#pragma once

// The argument strings of a new process lie back to back, each ended by a zero
// byte, directly below the first environment string; the C library's environ
// points at the vector whose first entry is that string. The kernel builds
// this layout at exec, and nothing moves it until a program rewrites its own
// argument area or environment. The walk goes down from the first environment
// string, one argument at a time, and checks what it finds where argv[0]
// should be against the known text of argv[0].

#include <optional>

#include "platform/initial_stack.h"

// Builds the argument vector for `argc` arguments ending just below
// `first_env`: a malloc'd array of argc + 1 pointers into the argument area,
// the last one null. No argument may begin at or below `floor`, and no byte
// at or below it is ever read. Returns null, with the reason traced, on
// failure; `first_env` may be null (an environment without strings).
char **locate_argv_below(int argc, const char *arg0, const char *first_env, const char *floor);

// The walk from `first_env`, as environ[0] gives it, inside `stack`, the
// kernel's description of the initial stack. It starts at `first_env` only
// when that lies in the window and, where the kernel recorded where it put
// the environment, is that place; otherwise it starts at the recorded place,
// with the same checks. It fails, traced, when neither start can be had,
// and when there is no description at all: then no address can be shown to
// be safe to read.
char **locate_argv_within(int argc, const char *arg0, const char *first_env,
                          const std::optional<InitialStack> &stack);

// The walk over this process's own memory, from environ[0], inside the
// window the platform describes.
char **locate_argv(int argc, const char *arg0);
