#include <gtest/gtest.h>

#include <string>

#include "setup/cmdline_count.h"

namespace {

int count(const std::string &content) {
    return count_cmdline_arguments(content.data(), content.size());
}

}  // namespace

TEST(CmdlineCount, CountsEachTerminatedString) {
    EXPECT_EQ(count(std::string("python\0script.py\0arg\0", 21)), 3);
}

TEST(CmdlineCount, EmptyStringsCount) {
    EXPECT_EQ(count(std::string("a\0\0\0b\0", 6)), 4);
    EXPECT_EQ(count(std::string("\0", 1)), 1);
}

TEST(CmdlineCount, LastStringWithoutItsZeroIsNotCounted) {
    EXPECT_EQ(count(std::string("python\0script.py\0arg", 20)), 2);
    EXPECT_EQ(count("python"), 0);
}

TEST(CmdlineCount, EmptyContentHasNoArguments) {
    EXPECT_EQ(count_cmdline_arguments("", 0), 0);
    // Only the given size counts, not a terminator past it.
    EXPECT_EQ(count_cmdline_arguments("a\0b", 1), 0);
}
