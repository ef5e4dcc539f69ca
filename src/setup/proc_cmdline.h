#pragma once

// The command line from the kernel's /proc/PID/cmdline, read through the
// interpreter's os and io modules: the caller must hold an attached thread
// state. On success fills `argc` with the number of arguments and `arg0` with
// a malloc'd copy of argv[0] that the caller frees, and returns 0. On failure
// returns -1 with the outputs untouched, the reason traced and no
// interpreter error left pending.
int read_proc_cmdline(int *argc, char **arg0);
