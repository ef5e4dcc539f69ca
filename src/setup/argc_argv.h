#pragma once

// Finds how this process was started: the argument count and argv[0] from
// the interpreter, or from /proc when the interpreter reports no arguments
// (an embedding host that gave none), then the argument strings themselves
// below the environment. On success fills `argc` and `argv` (a vector the
// caller owns) and returns 0; on failure returns -1 with the reason traced
// and no interpreter error pending. Needs an attached thread state.
int get_argc_argv(int *argc, char ***argv);
