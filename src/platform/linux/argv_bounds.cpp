#include "platform/linux/argv_bounds.h"

#include <cstddef>
#include <cstring>

namespace {

// Whether `envp` lists a string starting exactly at `place`.
bool lists_string_at(char *const *envp, const char *place) {
    for (char *const *entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
        if (*entry == place) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<ArgumentArea> area_from_argv(char *const *argv, char *const *envp) {
    if (argv == nullptr || argv[0] == nullptr) {
        return std::nullopt;
    }
    char *const start = argv[0];
    char *end = start;
    for (char *const *argument = argv; *argument != nullptr; ++argument) {
        if (*argument != end) {
            return std::nullopt;
        }
        end += std::strlen(end) + 1;
    }
    const auto arg_length = static_cast<std::size_t>(end - start);
    // Past the title's reach the environment strings are of no use; stopping
    // there also bounds the search to a few hundred strings.
    while (static_cast<std::size_t>(end - start) < title_reach(arg_length) &&
           lists_string_at(envp, end)) {
        end += std::strlen(end) + 1;
    }
    return make_argument_area(start, arg_length, static_cast<std::size_t>(end - start));
}
