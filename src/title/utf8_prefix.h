#pragma once

#include <cstddef>
#include <cstring>

// The length of the prefix of `text`, longer than `limit` bytes, that
// utf8_prefix_within keeps.
std::size_t utf8_cut(const char *text, std::size_t limit);

// The length of the longest prefix of the terminated string `text` that is at
// most `limit` bytes long and does not end inside a well-formed UTF-8 character.
// When the cut at `limit` falls inside such a character, the prefix stops before
// it; when the bytes there are not well-formed UTF-8, the cut stays at `limit`.
// Reads at most `limit + 3` bytes and never past the terminator. Inline: every
// title is measured here, and most need no cut.
inline std::size_t utf8_prefix_within(const char *text, std::size_t limit) {
    const std::size_t length = strnlen(text, limit + 1);
    return length <= limit ? length : utf8_cut(text, limit);
}
