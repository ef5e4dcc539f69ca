#pragma once

#include <optional>

#include "platform/linux/argument_area.h"

// The area as the argument vector shows it, for when /proc cannot be read.
// `argv` is the vector setup located: entries 0 to n-1 point at the argument
// strings where the kernel laid them, entry n is null. The strings must lie
// back to back, each right after the previous one's zero byte. The area then
// goes on over the environment strings of `envp` that follow the arguments,
// each right after the previous one, as far as a title can reach; the chain
// stops at the first string that is no longer listed in `envp` (one that was
// unset or replaced). Null when `argv` is null or empty, or its strings do not
// lie back to back.
std::optional<ArgumentArea> area_from_argv(char *const *argv, char *const *envp);
