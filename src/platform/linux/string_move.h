#pragma once

#include <cstddef>

#include "platform/linux/argument_area.h"

// Strings that the C library and the rest of the process keep using after a
// title has been written (the environment, the program's name) may lie inside
// the area. Before the first title they are copied into one block of the
// module's own and the pointers to them are moved onto the copies. Counting
// first and copying second makes the move all-or-nothing: the block is
// allocated whole before any pointer changes.

// Bytes needed to copy the strings of `envp` that reach into `area`.
std::size_t environment_bytes_to_move(char *const *envp, const ArgumentArea &area);

// Copies those strings to `block`, points their `envp` entries at the copies
// and returns the first unused byte of `block`.
char *move_environment(char **envp, const ArgumentArea &area, char *block);

// Bytes needed to copy the program's name `name` and its short form
// `short_name` (usually the part of `name` after the last '/') where they reach
// into `area`. Either may be null.
std::size_t program_name_bytes_to_move(const char *name, const char *short_name,
                                       const ArgumentArea &area);

// Copies them to `block` and points `*name` and `*short_name` at the copies,
// the short name into the copy of the name when it was part of it. Returns the
// first unused byte of `block`.
char *move_program_name(char **name, char **short_name, const ArgumentArea &area,
                        char *block);
