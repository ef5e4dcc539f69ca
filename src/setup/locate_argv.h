#pragma once

// The argument strings of a new process lie back to back, each ended by a zero
// byte, directly below the first environment string; the C library's environ
// points at the vector whose first entry is that string. The kernel builds
// this layout at exec, and nothing moves it until a program rewrites its own
// argument area or environment. The walk goes down from the first environment
// string, one argument at a time, and checks what it finds where argv[0]
// should be against the known text of argv[0].

#include <cstddef>

// How far below the first environment string the walk may look.
inline constexpr std::size_t ARGV_SEARCH_SPAN = 512 * 1024;

// Builds the argument vector for `argc` arguments ending just below
// `first_env`: a malloc'd array of argc + 1 pointers into the argument area,
// the last one null. No argument may begin at or below `floor`, and no byte
// below it is ever read. Returns null, with the reason traced, on failure;
// `first_env` may be null (an environment without strings).
char **locate_argv_below(int argc, const char *arg0, const char *first_env, const char *floor);

// The walk over this process's own memory, from environ[0]. When environ
// holds no strings, or its first one is not where the kernel put the
// environment (setenv into an empty environment, a host that copied its
// environment, the first variable unset), the walk starts where the
// platform says the kernel put the environment strings instead, with the
// same checks; it fails only when neither start can be had.
char **locate_argv(int argc, const char *arg0);
