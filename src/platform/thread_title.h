#pragma once

#include <cstddef>

// A thread title: at most 15 bytes and a terminator.
inline constexpr std::size_t THREAD_TITLE_BUFFER_SIZE = 16;

// Names the calling thread `title`, where the platform names threads.
void thread_title_set_hook(const char *title);

// Leaves the calling thread's name in `buffer`, THREAD_TITLE_BUFFER_SIZE bytes
// that the caller has zeroed, always terminated.
void thread_title_get_hook(char *buffer);
