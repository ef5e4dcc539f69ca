#pragma once

#include <optional>
#include <string_view>

// What the running kernel shows in /proc/PID/cmdline once the process has
// written a title that ends before the last argument byte.
enum class CmdlineReport {
    // The title up to its zero byte (before Linux 4.18, and from 5.3 on).
    title_up_to_zero,
    // The whole argument area first, then on from its last byte up to a zero
    // byte (Linux 4.18 to 5.2). Titles are then padded with zero bytes up to
    // the last argument byte, so that nothing but the title and zero bytes
    // shows.
    whole_argument_area,
};

// Decides from a probe and, when the probe tells nothing, from the kernel's
// release. The probe is what /proc/self/cmdline read after the empty title was
// written with a non-zero byte at the end of the argument area and a zero byte
// right after it: one zero byte or nothing means the title is read up to its
// zero byte; more bytes after a leading zero byte mean the whole area is
// read. `probe` is null when it could not be made, `release` (uname's, such as
// "6.18.0-1-amd64") null when unknown. A kernel that tells nothing either way
// is taken to read the whole area: padding then never shows what lies past
// the arguments, only a title followed by zero bytes.
CmdlineReport decide_cmdline_report(std::optional<std::string_view> probe,
                                    const char *release);

// Whether a kernel of this release reads the whole argument area, by number:
// 4.18 up to 5.2. Null when the release does not start with "MAJOR.MINOR".
std::optional<bool> release_reads_whole_area(std::string_view release);
