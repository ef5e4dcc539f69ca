#pragma once

#include <cstddef>

#include "platform/linux/argument_area.h"

// Strings that the C library and the rest of the process keep using after a
// title has been written (the environment, the program's name) may lie inside
// the area. Before the first title they are copied into a block of the
// module's own and the pointers to them are moved onto the copies.
//
// Other threads may change the environment meanwhile, under the C library's
// lock, which is not ours to take: unsetenv shifts the vector's entries down,
// setenv replaces an entry or moves the whole vector to a larger one. So the
// vector is read once to note the strings, every copy is bounded by the room
// counted for it, and the entries are looked up again when they are pointed
// at the copies, each rewritten only while it still holds the string noted.

// The environment strings that reach into the area, each noted once, and,
// once copied, their copies. The strings lie back to back, so a title's reach
// holds a few dozen; more than MOST there (entries pointing into long
// arguments, say) fail the move.
struct EnvironmentMove {
    static constexpr std::size_t MOST = TITLE_SPACE;
    char *strings[MOST];
    char *copies[MOST];
    std::size_t count;
    std::size_t bytes;  // the strings' sizes, zero bytes included
};

// Notes the strings of `envp` that reach into `area`, reading each entry
// once. False when more of them do than `move` can hold.
bool note_environment_strings(char **envp, const ArgumentArea &area, EnvironmentMove &move);

// Copies the noted strings to `block`, which has `room` bytes, notes where
// each copy lies and returns the first unused byte; null when they no longer
// fit (a string grew after it was noted).
char *copy_environment_strings(EnvironmentMove &move, char *block, std::size_t room);

// Points every entry of `envp` that still holds a noted string at its copy;
// an entry another thread changed meanwhile keeps its new value.
void point_environment_at_copies(char **envp, const EnvironmentMove &move);

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
