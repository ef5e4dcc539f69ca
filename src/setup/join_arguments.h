#pragma once

// The command line as one text: the first `argc` strings of `argv` separated
// by single blanks, with no leading or trailing blank (an empty argument still
// adds its blank). A malloc'd string of exactly the size it needs, owned by
// the caller; null when the memory cannot be had.
char *join_arguments(int argc, char *const *argv);
