#pragma once

#include <cstddef>

#include "export.h"

// Copies `src` into `dst`, a room of `size` bytes: at most `size - 1` bytes of
// text and always a terminator, unless `size` is 0, when nothing is written.
// Returns the full length of `src`, so a result of `size` or more means the
// copy was cut.
ZNV_EXPORT std::size_t znv_strlcpy(char *dst, const char *src, std::size_t size);
