#include "platform/linux/kernel_bounds.h"

#include <charconv>
#include <cstddef>

namespace {

// Fields 48 to 51 counted from field 3, the first one after the short name.
constexpr int FIRST_FIELD_AFTER_NAME = 3;
constexpr int ARG_START_FIELD = 48;
constexpr int ENV_END_FIELD = 51;

// Reads the decimal number at the head of `text` and drops it and the blank
// after it.
bool take_number(std::string_view &text, std::uintptr_t &value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data()) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    if (!text.empty() && (text.front() == ' ' || text.front() == '\n')) {
        text.remove_prefix(1);
    }
    return true;
}

// Drops one blank-separated field from the head of `text`.
bool skip_field(std::string_view &text) {
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) {
        return false;
    }
    text.remove_prefix(blank + 1);
    return true;
}

}  // namespace

std::optional<KernelBounds> parse_kernel_bounds(std::string_view stat) {
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string_view::npos || paren + 1 >= stat.size() || stat[paren + 1] != ' ') {
        return std::nullopt;
    }
    std::string_view rest = stat;
    rest.remove_prefix(paren + 2);
    for (int field = FIRST_FIELD_AFTER_NAME; field < ARG_START_FIELD; ++field) {
        if (!skip_field(rest)) {
            return std::nullopt;
        }
    }
    std::uintptr_t values[ENV_END_FIELD - ARG_START_FIELD + 1];
    for (std::uintptr_t &value : values) {
        if (!take_number(rest, value)) {
            return std::nullopt;
        }
    }
    return KernelBounds{values[0], values[1], values[2], values[3]};
}

std::optional<ArgumentArea> area_from_kernel(const KernelBounds &bounds) {
    if (bounds.arg_start == 0 || bounds.arg_end <= bounds.arg_start) {
        return std::nullopt;
    }
    const std::size_t arg_length = bounds.arg_end - bounds.arg_start;
    // The same test the kernel makes before reading past arg_end.
    const bool environment_follows =
        bounds.env_start == bounds.arg_end && bounds.env_end > bounds.env_start;
    const std::size_t total =
        environment_follows ? bounds.env_end - bounds.arg_start : arg_length;
    return make_argument_area(reinterpret_cast<char *>(bounds.arg_start), arg_length, total);
}
