#include "platform/linux/cmdline_defect.h"

#include <charconv>
#include <utility>

namespace {

// Reads the number at the head of `text` and drops it.
std::optional<unsigned> take_number(std::string_view &text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data()) {
        return std::nullopt;
    }
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

std::optional<CmdlineReport> report_from_probe(std::string_view probe) {
    if (probe.empty() || probe == std::string_view("\0", 1)) {
        return CmdlineReport::title_up_to_zero;
    }
    if (probe.front() == '\0') {
        return CmdlineReport::whole_argument_area;
    }
    return std::nullopt;  // not the area that was written: tells nothing
}

}  // namespace

std::optional<bool> release_reads_whole_area(std::string_view release) {
    const std::optional<unsigned> major = take_number(release);
    if (!major || release.empty() || release.front() != '.') {
        return std::nullopt;
    }
    release.remove_prefix(1);
    const std::optional<unsigned> minor = take_number(release);
    if (!minor) {
        return std::nullopt;
    }
    const std::pair version{*major, *minor};
    return version >= std::pair{4u, 18u} && version < std::pair{5u, 3u};
}

CmdlineReport decide_cmdline_report(std::optional<std::string_view> probe,
                                    const char *release) {
    if (probe) {
        if (const std::optional<CmdlineReport> report = report_from_probe(*probe)) {
            return *report;
        }
    }
    if (release != nullptr) {
        if (const std::optional<bool> whole = release_reads_whole_area(release)) {
            return *whole ? CmdlineReport::whole_argument_area : CmdlineReport::title_up_to_zero;
        }
    }
    return CmdlineReport::whole_argument_area;
}
