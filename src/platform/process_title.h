#pragma once

#include <cstddef>

// Shows `title`, a terminated string of `length` bytes (at most 255), as this
// process's title in process listings. `argv` is the argument vector located
// at setup, or null when setup has not run or failed. Called with the title
// lock held.
void znv_platform_set_title(const char *title, std::size_t length, char *const *argv);

// In a forked child, when another thread was in znv_platform_set_title at the
// fork: shows the empty title over what that call left half written. Work
// the first title had begun is not finished here; the next title redoes it.
void znv_platform_clear_after_fork();
