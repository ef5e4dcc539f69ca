#include <gtest/gtest.h>

#include <string>

#include "title/utf8_prefix.h"

namespace {

std::size_t prefix(const std::string &text, std::size_t limit) {
    return utf8_prefix_within(text.c_str(), limit);
}

}  // namespace

TEST(Utf8Prefix, TextWithinTheLimitIsKeptWhole) {
    EXPECT_EQ(prefix("", 15), 0u);
    EXPECT_EQ(prefix("worker", 15), 6u);
    EXPECT_EQ(prefix(std::string(15, 'a'), 15), 15u);
    EXPECT_EQ(prefix("\xC3\xA9t\xC3\xA9", 5), 5u);  // "été", exactly five bytes
}

TEST(Utf8Prefix, AsciiIsCutAtTheLimit) {
    EXPECT_EQ(prefix(std::string(300, 'a'), 255), 255u);
    EXPECT_EQ(prefix(std::string(256, 'a'), 255), 255u);
}

TEST(Utf8Prefix, CutFallingBetweenCharactersStaysAtTheLimit) {
    // "ab" then a two-byte character: a limit of 2 falls just before it.
    EXPECT_EQ(prefix("ab\xC3\xA9", 2), 2u);
}

TEST(Utf8Prefix, CutInsideACharacterMovesBeforeIt) {
    const std::string two = "a\xC3\xA9";           // 'a', 'é'
    const std::string three = "a\xE2\x82\xAC";     // 'a', '€'
    const std::string four = "a\xF0\x9F\x98\x80";  // 'a', an emoji
    EXPECT_EQ(prefix(two, 2), 1u);
    EXPECT_EQ(prefix(three, 2), 1u);
    EXPECT_EQ(prefix(three, 3), 1u);
    EXPECT_EQ(prefix(four, 2), 1u);
    EXPECT_EQ(prefix(four, 3), 1u);
    EXPECT_EQ(prefix(four, 4), 1u);
    EXPECT_EQ(prefix(four, 5), 5u);
}

TEST(Utf8Prefix, LongNonAsciiTextKeepsItsLongestWholePrefix) {
    std::string text;
    for (int i = 0; i < 200; ++i) text += "\xC3\xA9";  // 400 bytes of 'é'
    EXPECT_EQ(prefix(text, 255), 254u);
    text = "x" + text;  // now the cut at 255 falls on a boundary
    EXPECT_EQ(prefix(text, 255), 255u);
}

TEST(Utf8Prefix, BytesThatAreNotUtf8AreCutAtTheLimit) {
    EXPECT_EQ(prefix("ab\x80\x80\x80\x80", 3), 3u);  // stray continuation bytes
    EXPECT_EQ(prefix("ab\xC3" "c", 3), 3u);           // lead byte not followed by one
    EXPECT_EQ(prefix("ab\xFF\x80", 3), 3u);           // a byte that never leads
    EXPECT_EQ(prefix("\x80\x80\x80\x80\x80", 2), 2u);
}

TEST(Utf8Prefix, LeadByteJustBeforeTheTerminatorIsNotAWholeCharacter) {
    // The text ends inside a sequence: the check stops at the terminator.
    EXPECT_EQ(prefix("ab\xE2\x82", 3), 3u);
}
