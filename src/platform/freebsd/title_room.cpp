#include "platform/freebsd/title_room.h"

#include "title/utf8_prefix.h"

std::size_t title_room(std::size_t cache_limit, std::size_t name_length) {
    // The header, the name, ": " and the zero byte. A name is a C string
    // within the process's memory, so the sum cannot wrap.
    const std::size_t taken = PARGS_HEADER + name_length + 2 + 1;
    return cache_limit > taken ? cache_limit - taken : 0;
}

std::size_t title_cut(const char *title, std::size_t cache_limit, std::size_t name_length) {
    return utf8_prefix_within(title, title_room(cache_limit, name_length));
}
