#include "title/utf8_prefix.h"

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The number of bytes a character starting with `lead` takes, or 0 when
// `lead` cannot start a multi-byte character.
std::size_t sequence_width(unsigned char lead) {
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

}  // namespace

std::size_t utf8_cut(const char *text, std::size_t limit) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    if (!is_continuation(bytes[limit])) {
        return limit;  // the cut already falls between two characters
    }
    // Back up to the lead byte of the character that the cut would split.
    std::size_t start = limit;
    while (start > 0 && limit - start < 3 && is_continuation(bytes[start])) {
        --start;
    }
    const std::size_t width = sequence_width(bytes[start]);
    if (width == 0 || start + width <= limit) {
        return limit;  // a stray continuation byte: not UTF-8, cut by bytes
    }
    // The whole sequence must be there for the text to be UTF-8 at this point;
    // the check stops at the first byte that is not a continuation, so it
    // never reads past the terminator.
    for (std::size_t i = start + 1; i < start + width; ++i) {
        if (!is_continuation(bytes[i])) {
            return limit;
        }
    }
    return start;
}
