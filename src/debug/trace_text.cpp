#include "debug/trace_text.h"

#include <cstdlib>
#include <cstring>

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The number of bytes of the well-formed UTF-8 character at `p` (no overlong
// form, no surrogate, nothing above U+10FFFF), with its code point in
// `code`; 0 when the bytes there start no such character. Reads no byte past
// the first one that is not a continuation byte, so never past a terminator.
std::size_t character_at(const unsigned char *p, char32_t &code) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    // The width, the lead byte's bits of the code point, and the least code
    // point that needs this width.
    std::size_t width = 0;
    char32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        width = 2;
        code = lead & 0x1Fu;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        width = 3;
        code = lead & 0x0Fu;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        width = 4;
        code = lead & 0x07u;
        lowest = 0x10000;
    } else {
        return 0;  // a continuation byte, or a lead of no well-formed character
    }
    for (std::size_t i = 1; i < width; ++i) {
        if (!is_continuation(p[i])) {
            return 0;
        }
        code = (code << 6) | (p[i] & 0x3Fu);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < lowest || surrogate || code > 0x10FFFF ? 0 : width;
}

// Whether a character may reach a terminal as it is.
bool is_printable(char32_t code) {
    const bool c0_or_del = code < 0x20 || code == 0x7F;
    const bool c1 = code >= 0x80 && code <= 0x9F;
    const bool separator = code == 0x2028 || code == 0x2029;
    return !(c0_or_del || c1 || separator);
}

// The bytes at `p` that are shown as they are: a whole printable character,
// or 0 when the byte at `p` is to be escaped.
std::size_t shown_as_is(const unsigned char *p) {
    char32_t code = 0;
    const std::size_t width = character_at(p, code);
    return width > 0 && is_printable(code) ? width : 0;
}

constexpr std::size_t ESCAPE_LENGTH = 4;  // \xHH

}  // namespace

std::size_t trace_text_length(const char *text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    std::size_t length = 0;
    while (*p != '\0') {
        const std::size_t width = shown_as_is(p);
        length += width > 0 ? width : ESCAPE_LENGTH;
        p += width > 0 ? width : 1;
    }
    return length;
}

void write_trace_text(const char *text, char *out) {
    static constexpr char hex[] = "0123456789abcdef";
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    while (*p != '\0') {
        const std::size_t width = shown_as_is(p);
        if (width > 0) {
            std::memcpy(out, p, width);
            out += width;
            p += width;
            continue;
        }
        *out++ = '\\';
        *out++ = 'x';
        *out++ = hex[*p >> 4];
        *out++ = hex[*p & 0x0F];
        ++p;
    }
    *out = '\0';
}

TraceText::TraceText(const char *text) : shown_(text) {
    const std::size_t length = trace_text_length(text);
    if (length == std::strlen(text)) {
        return;  // escaping only ever lengthens the text
    }
    escaped_ = static_cast<char *>(std::malloc(length + 1));
    if (escaped_ == nullptr) {
        shown_ = "(text not shown: out of memory)";
        return;
    }
    write_trace_text(text, escaped_);
    shown_ = escaped_;
}

TraceText::~TraceText() { std::free(escaped_); }
