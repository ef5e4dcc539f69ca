#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// Reads up to `size` bytes of the file /proc/self/`name` into `buffer` with
// plain system calls (the interpreter may not be usable under the title lock).
// Returns what was read, or null with errno set when the file cannot be opened
// or read.
std::optional<std::string_view> read_proc_self(const char *name, char *buffer,
                                               std::size_t size);
