#pragma once

#include "platform/initial_stack.h"

// FreeBSD's kernel leaves a record at the top of a new process's stack
// (struct ps_strings, <sys/exec.h>) naming the argument and environment
// vectors it built there. The C library's first change to the environment
// copies every string to the heap and points environ at the copies, and
// setproctitle rewrites the argument fields, but nothing rewrites the
// environment fields: their vector still names the strings where the kernel
// put them. Laid out as the kernel writes it on x86-64.
struct PsStringsShape {
    char **ps_argvstr;
    unsigned int ps_nargvstr;
    char **ps_envstr;
    unsigned int ps_nenvstr;
};

// Where the kernel put the environment strings, by the record at `record`:
// the environment vector's first entry, or with no environment strings the
// end of the last argument. Null when the record, the vector entry it reads
// or the place it names does not lie inside `stack`'s window; nothing
// outside the window is read.
const char *environment_start_from_record(const void *record, const InitialStack &stack);
