#include "setup/join_arguments.h"

#include <cstdlib>
#include <cstring>

char *join_arguments(int argc, char *const *argv) {
    std::size_t size = 1;  // the terminator, when there is no argument
    if (argc > 0) {
        size = 0;
        for (int i = 0; i < argc; ++i) {
            size += std::strlen(argv[i]) + 1;  // the argument and its blank
        }
    }
    auto *text = static_cast<char *>(std::malloc(size));
    if (text == nullptr) {
        return nullptr;
    }
    char *end = text;
    for (int i = 0; i < argc; ++i) {
        const std::size_t length = std::strlen(argv[i]);
        std::memcpy(end, argv[i], length);
        end += length;
        *end++ = ' ';
    }
    // The last blank becomes the terminator.
    if (argc > 0) {
        --end;
    }
    *end = '\0';
    return text;
}
