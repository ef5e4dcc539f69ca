#pragma once

#include <cstddef>
#include <optional>

#include "title/title_store.h"

// How Linux shows a process's command line, and where a title can go.
//
// At exec the kernel lays the argument strings back to back at the top of the
// new stack, each ended by a zero byte, directly followed by the environment
// strings, and records the bounds of both (arg_start, arg_end, env_start,
// env_end; /proc/PID/stat fields 48 to 51). Reading /proc/PID/cmdline
// (get_mm_cmdline in fs/proc/base.c) then works like this:
//
//  - If the byte at arg_end - 1 is zero, the kernel returns the bytes from
//    arg_start to arg_end as they now are, zero bytes included.
//  - If that byte is not zero, the kernel takes the process to have set a
//    title: it returns the bytes from arg_start up to and including the first
//    zero byte, reading on past arg_end into the environment area only when
//    env_start == arg_end, and never past env_end.
//  - Linux 4.18 to 5.2 got the second case wrong: they return the whole
//    argument area first and look for the zero byte only from arg_end - 1 on,
//    so a title shorter than the original arguments always comes with their
//    remains, and the environment strings after them when arg_end - 1 is not
//    zero.
//
// A title written at arg_start with its zero byte, and a non-zero byte left at
// arg_end - 1 when the title ends before it, therefore reads back as exactly
// the title and one zero byte. Everything written there is the process's own
// stack memory; nothing outside the recorded bounds is ever written.

// The memory a title may be written into: `arg_length` bytes of arguments
// from `start`, then, when the environment strings directly follow them, as
// many of those bytes as a title could ever need.
struct ArgumentArea {
    char *start;
    std::size_t arg_length;  // arg_end - arg_start: the kernel checks start[arg_length - 1]
    std::size_t length;      // bytes from `start` that may be written, arguments included
};

// The longest title the store passes on, and its zero byte.
inline constexpr std::size_t TITLE_SPACE = TITLE_BUFFER_SIZE;

// How many bytes from the start of `arg_length` bytes of arguments a title can
// ever touch: its own space, and at least the first byte past the arguments.
constexpr std::size_t title_reach(std::size_t arg_length) {
    return arg_length + 1 > TITLE_SPACE ? arg_length + 1 : TITLE_SPACE;
}

// The area for arguments of `arg_length` bytes at `start`, followed by
// `total - arg_length` bytes of environment strings that the kernel will read
// on into (`total` == `arg_length` when it won't). Of those it keeps what a
// title can reach, and at least the first byte past the arguments, so that
// byte can be kept zero while the arguments end in a non-zero byte. Null when
// there is no argument byte at all or `total` is less than `arg_length`.
std::optional<ArgumentArea> make_argument_area(char *start, std::size_t arg_length,
                                               std::size_t total);
