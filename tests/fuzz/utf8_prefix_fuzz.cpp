// The cut of a title at a byte limit. The cut never goes past the limit nor
// the terminator, takes at most the three bytes of a split character back,
// and reads nothing past limit + 3 (those bytes are poisoned). For text that
// is well-formed UTF-8, what it keeps is whole characters, as many as fit.

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <string>

#include "fuzz_input.h"
#include "title/utf8_prefix.h"

namespace {

std::size_t char_width(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    const std::size_t limit = in.u16() % 512;
    const std::string text = in.text(1024);
    ExactString copy{text};
    const std::size_t length = text.size();
    const std::size_t readable = std::min(length + 1, limit + 4);
    ASAN_POISON_MEMORY_REGION(copy.get() + readable, length + 1 - readable);
    const std::size_t cut = utf8_prefix_within(copy.get(), limit);
    ASAN_UNPOISON_MEMORY_REGION(copy.get(), length + 1);

    FUZZ_CHECK(cut <= limit && cut <= length);
    if (length <= limit) {
        FUZZ_CHECK(cut == length);
        return 0;
    }
    FUZZ_CHECK(cut + 3 >= limit);
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    if (is_utf8(bytes, length)) {
        // Whole characters, and the next one would not have fit.
        FUZZ_CHECK(is_utf8(bytes, cut));
        FUZZ_CHECK(cut + char_width(bytes[cut]) > limit);
    }
    return 0;
}
