// The escaping of outside text for a trace line. Whatever the bytes, the text
// shown is printable UTF-8: no C0 or C1 control, no DEL, no line or
// paragraph separator (U+2028, U+2029), and every byte that is not part of a
// well-formed character shown as \xHH. Nothing is lost: text without
// backslashes reads back as the original once the \xHH are undone.

#include <string>

#include "fuzz_input.h"
#include "debug/trace_text.h"

namespace {

// Whether a well-formed character may stand as it is in a trace line.
bool printable(const unsigned char *c, std::size_t width) {
    if (width == 1) {
        return c[0] >= 0x20 && c[0] != 0x7F;
    }
    if (width == 2 && c[0] == 0xC2 && c[1] < 0xA0) {
        return false;  // U+0080 to U+009F
    }
    return !(width == 3 && c[0] == 0xE2 && c[1] == 0x80 && (c[2] == 0xA8 || c[2] == 0xA9));
}

std::size_t width_of(unsigned char lead) {
    return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescaped(const std::string &shown) {
    std::string out;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if (shown[i] == '\\' && i + 3 < shown.size() && shown[i + 1] == 'x' &&
            hex_digit(shown[i + 2]) >= 0 && hex_digit(shown[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hex_digit(shown[i + 2]) * 16 + hex_digit(shown[i + 3])));
            i += 3;
        } else {
            out.push_back(shown[i]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    const std::string text = in.text(4096);
    ExactString copy{text};
    const TraceText trace{copy.get()};
    const std::string shown = trace.c_str();

    const auto *bytes = reinterpret_cast<const unsigned char *>(shown.data());
    FUZZ_CHECK(is_utf8(bytes, shown.size()));
    for (std::size_t i = 0; i < shown.size(); i += width_of(bytes[i])) {
        FUZZ_CHECK(printable(bytes + i, width_of(bytes[i])));
    }
    if (text.find('\\') == std::string::npos) {
        FUZZ_CHECK(unescaped(shown) == text);
    }
    return 0;
}
