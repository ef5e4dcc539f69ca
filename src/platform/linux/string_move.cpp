#include "platform/linux/string_move.h"

#include <algorithm>
#include <atomic>
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

// Entries are read and rewritten as whole words: other threads may write
// them at the same time.
char *read_entry(char *&entry) {
    return std::atomic_ref<char *>(entry).load(std::memory_order_acquire);
}

// The place of `text` among the noted strings; `move.count` when not noted.
std::size_t noted_as(const EnvironmentMove &move, const char *text) {
    return static_cast<std::size_t>(
        std::find(move.strings, move.strings + move.count, text) - move.strings);
}

}  // namespace

bool note_environment_strings(char **envp, const ArgumentArea &area, EnvironmentMove &move) {
    move.count = 0;
    move.bytes = 0;
    if (envp == nullptr) {
        return true;
    }
    for (char *text = read_entry(*envp); text != nullptr; text = read_entry(*++envp)) {
        // Two entries may hold one string: it is copied once.
        if (!reaches_into(area, text) || noted_as(move, text) < move.count) {
            continue;
        }
        if (move.count == EnvironmentMove::MOST) {
            return false;
        }
        move.strings[move.count++] = text;
        move.bytes += size_of(text);
    }
    return true;
}

char *copy_environment_strings(EnvironmentMove &move, char *block, std::size_t room) {
    for (std::size_t i = 0; i < move.count; ++i) {
        const std::size_t length = strnlen(move.strings[i], room);
        if (length == room) {
            return nullptr;  // its zero byte would lie past the block
        }
        std::memcpy(block, move.strings[i], length + 1);
        move.copies[i] = block;
        block += length + 1;
        room -= length + 1;
    }
    return block;
}

void point_environment_at_copies(char **envp, const EnvironmentMove &move) {
    if (envp == nullptr) {
        return;
    }
    for (char *text = read_entry(*envp); text != nullptr; text = read_entry(*++envp)) {
        const std::size_t i = noted_as(move, text);
        if (i < move.count) {
            // Leaves the entry alone when another thread changed it since.
            std::atomic_ref<char *>(*envp).compare_exchange_strong(text, move.copies[i],
                                                                   std::memory_order_acq_rel);
        }
    }
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
