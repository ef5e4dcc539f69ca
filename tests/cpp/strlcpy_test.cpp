#include <gtest/gtest.h>

#include <cstring>

#include "title/strlcpy.h"

TEST(Strlcpy, SizeZeroWritesNothingAndReturnsTheSourceLength) {
    char dst[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(znv_strlcpy(dst, "abcdef", 0), 6u);
    EXPECT_EQ(std::memcmp(dst, "xxxx", 4), 0);
}

TEST(Strlcpy, SizeOneWritesOnlyATerminator) {
    char dst[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(znv_strlcpy(dst, "abcdef", 1), 6u);
    EXPECT_EQ(dst[0], '\0');
    EXPECT_EQ(dst[1], 'x');
}

TEST(Strlcpy, CutCopyKeepsSizeLessOneBytesAndCountsPastTheCut) {
    char dst[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(znv_strlcpy(dst, "abcdef", 4), 6u);
    EXPECT_STREQ(dst, "abc");
    EXPECT_EQ(dst[4], 'x');  // nothing written past the room
}

TEST(Strlcpy, TextThatFitsIsCopiedWhole) {
    char dst[8];
    EXPECT_EQ(znv_strlcpy(dst, "abcdefg", sizeof dst), 7u);
    EXPECT_STREQ(dst, "abcdefg");
    EXPECT_EQ(znv_strlcpy(dst, "", sizeof dst), 0u);
    EXPECT_STREQ(dst, "");
}

TEST(Strlcpy, PercentSignsAreCopiedAsText) {
    char dst[16];
    znv_strlcpy(dst, "%s %d %n", sizeof dst);
    EXPECT_STREQ(dst, "%s %d %n");
}
