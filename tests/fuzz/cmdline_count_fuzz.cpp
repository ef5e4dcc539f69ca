// The count of arguments in the kernel's cmdline file: every zero byte ends
// one, and nothing else does.

#include <algorithm>
#include <climits>

#include "fuzz_input.h"
#include "setup/cmdline_count.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An exact copy, so that a read outside the content is a heap overflow.
    char *const content = static_cast<char *>(std::malloc(size == 0 ? 1 : size));
    std::memcpy(content, data, size);
    const auto zeros = std::count(data, data + size, std::uint8_t{0});
    FUZZ_CHECK(count_cmdline_arguments(content, size) == std::min<long>(zeros, INT_MAX));
    std::free(content);
    return 0;
}
