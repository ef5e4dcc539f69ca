#pragma once

#include <cstddef>

// FreeBSD's kernel keeps a process's title (the C library's setproctitle
// hands it `progname: title` and its zero byte) only while that fits in
// kern.ps_arg_cache_limit less the 12-byte header of its record (struct
// pargs); a longer one is refused, the C library ignores the refusal, and
// listings go on showing the previous title.
inline constexpr std::size_t PARGS_HEADER = 12;

// The kernel's default kern.ps_arg_cache_limit (PAGE_SIZE / 16).
inline constexpr std::size_t DEFAULT_PS_ARG_CACHE_LIMIT = 256;

// How many bytes of title fit beside a program name of `name_length` bytes
// under `cache_limit`: none when even the name does not.
std::size_t title_room(std::size_t cache_limit, std::size_t name_length);

// The length of the longest prefix of the terminated `title` that fits,
// ending before a character, never inside one.
std::size_t title_cut(const char *title, std::size_t cache_limit, std::size_t name_length);
