#include "platform/linux/string_move.h"

#include <cstdint>
#include <cstring>

namespace {

std::uintptr_t address(const char *p) { return reinterpret_cast<std::uintptr_t>(p); }

// Whether the string at `text`, its zero byte included, shares a byte with
// the area.
bool reaches_into(const ArgumentArea &area, const char *text) {
    if (text == nullptr) {
        return false;
    }
    const std::uintptr_t first = address(text);
    const std::uintptr_t last = first + std::strlen(text);
    const std::uintptr_t area_first = address(area.start);
    const std::uintptr_t area_last = area_first + area.length - 1;
    return first <= area_last && last >= area_first;
}

std::size_t size_of(const char *text) { return std::strlen(text) + 1; }

// Copies `text` with its zero byte to `block`; returns the byte after the copy.
char *copy_to(char *block, const char *text) {
    const std::size_t size = size_of(text);
    std::memcpy(block, text, size);
    return block + size;
}

}  // namespace

std::size_t environment_bytes_to_move(char *const *envp, const ArgumentArea &area) {
    std::size_t bytes = 0;
    for (char *const *entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
        if (reaches_into(area, *entry)) {
            bytes += size_of(*entry);
        }
    }
    return bytes;
}

char *move_environment(char **envp, const ArgumentArea &area, char *block) {
    for (char **entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
        if (reaches_into(area, *entry)) {
            char *const copy = block;
            block = copy_to(block, *entry);
            *entry = copy;
        }
    }
    return block;
}

namespace {

// Whether `part` points into the string `whole`, its zero byte included.
bool is_part_of(const char *part, const char *whole) {
    return whole != nullptr && part != nullptr && address(part) >= address(whole) &&
           address(part) <= address(whole) + std::strlen(whole);
}

}  // namespace

std::size_t program_name_bytes_to_move(const char *name, const char *short_name,
                                       const ArgumentArea &area) {
    std::size_t bytes = 0;
    if (reaches_into(area, name)) {
        bytes += size_of(name);
    }
    const bool moves_with_name = reaches_into(area, name) && is_part_of(short_name, name);
    if (!moves_with_name && reaches_into(area, short_name)) {
        bytes += size_of(short_name);
    }
    return bytes;
}

char *move_program_name(char **name, char **short_name, const ArgumentArea &area,
                        char *block) {
    const char *const old_name = *name;
    const bool name_moves = reaches_into(area, old_name);
    const bool moves_with_name = name_moves && is_part_of(*short_name, old_name);
    if (name_moves) {
        char *const copy = block;
        block = copy_to(block, old_name);
        if (moves_with_name) {
            *short_name = copy + (*short_name - old_name);
        }
        *name = copy;
    }
    if (!moves_with_name && reaches_into(area, *short_name)) {
        char *const copy = block;
        block = copy_to(block, *short_name);
        *short_name = copy;
    }
    return block;
}
