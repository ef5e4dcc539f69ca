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
    std::memset(area.start, 0, area.arg_length);
    if (area.length > area.arg_length) {
        area.start[area.arg_length] = '\0';
    }
    return TitleWriter{area, report, 0};
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

std::size_t write_title(TitleWriter &writer, const char *title) {
    char *const area = writer.area.start;
    const std::size_t arg_length = writer.area.arg_length;
    const std::size_t shown = utf8_prefix_within(title, writer.area.length - 1);

    // Blank the title first and put its first byte back last: a reader that
    // comes in between sees an empty title rather than the start of the new
    // title followed by the end of the old one.
    area[0] = '\0';
    order_stores();
    if (shown > 1) {
        std::memcpy(area + 1, title + 1, shown - 1);
    }
    area[shown] = '\0';
    if (writer.used > shown + 1) {
        std::memset(area + shown + 1, 0, writer.used - (shown + 1));
    }
    // A title ending before the last argument byte needs that byte non-zero,
    // unless the kernel would then show the remains: there it stays zero.
    if (shown + 1 < arg_length && writer.report == CmdlineReport::title_up_to_zero) {
        area[arg_length - 1] = END_MARK;
    }
    order_stores();
    if (shown > 0) {
        area[0] = title[0];
    }
    writer.used = shown + 1;
    return shown;
}
