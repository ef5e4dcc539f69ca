#include "platform/linux/argument_area.h"

#include <algorithm>

std::optional<ArgumentArea> make_argument_area(char *start, std::size_t arg_length,
                                               std::size_t total) {
    if (start == nullptr || arg_length == 0 || total < arg_length) {
        return std::nullopt;
    }
    // Environment bytes beyond what a title reaches stay as they are, so that
    // /proc/PID/environ keeps showing them.
    return ArgumentArea{start, arg_length, std::min(total, title_reach(arg_length))};
}
