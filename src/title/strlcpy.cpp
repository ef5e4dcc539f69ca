#include "title/strlcpy.h"

#include <cstring>

std::size_t znv_strlcpy(char *dst, const char *src, std::size_t size) {
    const std::size_t length = std::strlen(src);
    if (size == 0) {
        return length;
    }
    const std::size_t copied = length < size - 1 ? length : size - 1;
    std::memcpy(dst, src, copied);
    dst[copied] = '\0';
    return length;
}
