#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/freebsd/title_room.h"

namespace {

std::size_t cut(const std::string &title, std::size_t limit, const std::string &name) {
    return title_cut(title.c_str(), limit, name.size());
}

// What the kernel is asked to keep: `name: ` and the title's cut, and a zero.
std::size_t entry(std::size_t title_bytes, const std::string &name) {
    return name.size() + 2 + title_bytes + 1;
}

}  // namespace

TEST(TitleRoom, AsciiIsCutSoTheEntryFitsTheKernelsLimit) {
    const std::string title(300, 'a');
    // As measured on FreeBSD with the default limit: 232 bytes were refused
    // under python3.13, 230 under python3.13t.
    EXPECT_EQ(cut(title, 256, "python3.13"), 231u);
    EXPECT_EQ(cut(title, 256, "python3.13t"), 230u);
    EXPECT_EQ(entry(231, "python3.13"), 256 - PARGS_HEADER);
    // A shorter title, or a larger limit, is handed over whole.
    EXPECT_EQ(cut("worker 7: idle", 256, "python3.13"), 14u);
    EXPECT_EQ(cut(title, 4096, "python3.13"), 300u);
}

TEST(TitleRoom, AMultiByteCharacterAtTheEdgeIsLeftOutWhole) {
    std::string title;
    for (int i = 0; i < 200; ++i) title += "\xC3\xA9";  // é
    EXPECT_EQ(cut(title, 256, "python3.13"), 230u);       // 231 would split the 116th
    EXPECT_EQ(cut("a" + title, 256, "python3.13"), 231u);  // the edge now falls between two
    const std::string three = std::string(230, 'a') + "\xE2\x82\xAC";  // a euro sign
    EXPECT_EQ(cut(three, 256, "python3.13"), 230u);
}

TEST(TitleRoom, ANameThatLeavesNoRoomGivesAnEmptyTitle) {
    const std::string title(100, 'a');
    EXPECT_EQ(cut(title, 256, std::string(300, 'n')), 0u);
    EXPECT_EQ(cut(title, 256, std::string(241, 'n')), 0u);  // the name alone fills it
    EXPECT_EQ(cut(title, 256, std::string(240, 'n')), 1u);
    EXPECT_EQ(cut(title, 0, "python3.13"), 0u);
    EXPECT_EQ(title_room(5, 0), 0u);  // a limit below the header
}
