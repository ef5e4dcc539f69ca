#include "platform/linux/title_writer.h"

#include <atomic>
#include <cstring>

#include "title/utf8_prefix.h"

namespace {

// Marks the arguments as overwritten; hidden behind the title's zero byte.
constexpr char END_MARK = ' ';

// Keeps the compiler (and a weakly ordered CPU) from moving the stores around
// it: other processes read the area at any moment.
void order_stores() { std::atomic_thread_fence(std::memory_order_release); }

}  // namespace

TitleWriter clear_arguments(const ArgumentArea &area, CmdlineReport report) {
    // The last argument byte is marked before the bytes below it are
    // zeroed, so meanwhile a reader gets a prefix of argv[0], never the
    // arguments with zero bytes among them. The next title clears the mark
    // where the kernel would show it. A single argument byte is just zeroed.
    const std::size_t last = area.arg_length - 1;
    if (last > 0) {
        area.start[last] = END_MARK;
        order_stores();
    }
    std::memset(area.start, 0, last > 0 ? last : 1);
    if (area.length > area.arg_length) {
        area.start[area.arg_length] = '\0';
    }
    return TitleWriter{area, report, area.arg_length};
}

void write_probe(TitleWriter &writer) {
    const ArgumentArea &area = writer.area;
    if (area.arg_length < 2) {
        return;
    }
    area.start[0] = '\0';
    area.start[area.arg_length - 1] = END_MARK;
    writer.used = area.arg_length;  // the next title clears the mark
}

namespace {

// Zeros the bytes from `from` up to `to`, all but the one at `kept`.
void clear_around(char *area, std::size_t from, std::size_t to, std::size_t kept) {
    if (from >= to) {
        return;
    }
    if (kept < from || kept >= to) {
        std::memset(area + from, 0, to - from);
        return;
    }
    std::memset(area + from, 0, kept - from);
    std::memset(area + kept + 1, 0, to - kept - 1);
}

}  // namespace

std::size_t write_title(TitleWriter &writer, const char *title, std::size_t length) {
    char *const area = writer.area.start;
    const std::size_t arg_length = writer.area.arg_length;
    const std::size_t last = arg_length - 1;  // the byte the kernel checks
    const std::size_t shown = length < writer.area.length
                                  ? length
                                  : utf8_prefix_within(title, writer.area.length - 1);

    // While any byte below the last argument byte is zero, that byte stays
    // non-zero: were it zero, the kernel would show the whole area as it
    // lies, zero bytes and all. So it is marked before the first zero goes
    // in, is never cleared with the old title's tail, and becomes the
    // title's zero byte, when the title ends exactly there, only once the
    // title is whole. Where the kernel shows the remains of a shorter title
    // anyway, it is left zero. A single argument byte is the title's first.
    const bool keep_marked = writer.report == CmdlineReport::title_up_to_zero && arg_length >= 2;
    if (keep_marked && area[last] == '\0') {
        area[last] = END_MARK;
    }
    order_stores();

    // Blank the title first and put its first byte back last: a reader that
    // comes in between sees an empty title rather than the start of the new
    // title followed by the end of the old one.
    area[0] = '\0';
    order_stores();
    if (shown > 1) {
        std::memcpy(area + 1, title + 1, shown - 1);
    }
    const bool ends_at_last = keep_marked && shown == last;
    if (!ends_at_last) {
        area[shown] = '\0';
    }
    if (keep_marked && shown < last) {
        area[last] = END_MARK;
    }
    clear_around(area, shown + 1, writer.used, keep_marked ? last : writer.used);
    order_stores();
    if (shown > 0) {
        area[0] = title[0];
    }
    if (ends_at_last) {
        order_stores();
        area[last] = '\0';
    }
    writer.used = shown + 1;
    return shown;
}
