#include "setup/cmdline_count.h"

#include <climits>

int count_cmdline_arguments(const char *content, std::size_t size) {
    int count = 0;
    for (std::size_t i = size; i > 0 && count < INT_MAX; --i) {
        if (content[i - 1] == '\0') {
            ++count;
        }
    }
    return count;
}
