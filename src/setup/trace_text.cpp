#include "setup/trace_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

std::size_t control_bytes(const char *text) {
    std::size_t count = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        if (is_control(static_cast<unsigned char>(*p))) {
            ++count;
        }
    }
    return count;
}

}  // namespace

TraceText::TraceText(const char *text) : shown_(text) {
    const std::size_t controls = control_bytes(text);
    if (controls == 0) {
        return;
    }
    // Each control byte grows from one byte to four.
    escaped_ = static_cast<char *>(std::malloc(std::strlen(text) + 3 * controls + 1));
    if (escaped_ == nullptr) {
        shown_ = "(text not shown: out of memory)";
        return;
    }
    char *out = escaped_;
    for (const char *p = text; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (is_control(byte)) {
            std::snprintf(out, 5, "\\x%02x", byte);
            out += 4;
        } else {
            *out++ = *p;
        }
    }
    *out = '\0';
    shown_ = escaped_;
}

TraceText::~TraceText() { std::free(escaped_); }
