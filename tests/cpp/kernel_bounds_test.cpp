#include <gtest/gtest.h>

#include <string>

#include "platform/linux/kernel_bounds.h"

namespace {

// A /proc/self/stat line with `name` as field 2 and 52 fields in all; fields
// 48 to 51 hold the given bounds, every other field its own number.
std::string stat_line(const std::string &name, const std::string &arg_start,
                      const std::string &arg_end, const std::string &env_start,
                      const std::string &env_end) {
    std::string line = "4242 (" + name + ")";
    for (int field = 3; field <= 52; ++field) {
        line += ' ';
        if (field == 3) line += 'S';
        else if (field == 48) line += arg_start;
        else if (field == 49) line += arg_end;
        else if (field == 50) line += env_start;
        else if (field == 51) line += env_end;
        else line += std::to_string(field);
    }
    return line + "\n";
}

}  // namespace

TEST(KernelBounds, ReadsFields48To51) {
    const auto bounds = parse_kernel_bounds(
        stat_line("python3", "140737488347000", "140737488347045", "140737488347045",
                  "140737488351000"));
    ASSERT_TRUE(bounds);
    EXPECT_EQ(bounds->arg_start, 140737488347000u);
    EXPECT_EQ(bounds->arg_end, 140737488347045u);
    EXPECT_EQ(bounds->env_start, 140737488347045u);
    EXPECT_EQ(bounds->env_end, 140737488351000u);
}

TEST(KernelBounds, ShortNameWithBlanksAndParenthesesIsSkippedWhole) {
    // A thread may name itself anything, ") 1 2 3 (" and a newline included.
    for (const std::string name : {"a b", ") 1 2 (", "x) S 1 2 3", "))", "(", "new\nline", ""}) {
        const auto bounds = parse_kernel_bounds(stat_line(name, "100", "200", "200", "300"));
        ASSERT_TRUE(bounds) << name;
        EXPECT_EQ(bounds->arg_start, 100u) << name;
        EXPECT_EQ(bounds->env_end, 300u) << name;
    }
}

TEST(KernelBounds, TextCutShortOrMalformedGivesNothing) {
    const std::string good = stat_line("p", "100", "200", "200", "300");
    EXPECT_FALSE(parse_kernel_bounds(""));
    EXPECT_FALSE(parse_kernel_bounds("4242 (p"));  // no closing parenthesis
    EXPECT_FALSE(parse_kernel_bounds("4242 (p)"));
    // Cut inside or before the four fields, as before Linux 3.5 (44 fields).
    EXPECT_FALSE(parse_kernel_bounds(good.substr(0, good.find(" 100 "))));
    EXPECT_FALSE(parse_kernel_bounds(good.substr(0, good.find(" 300 ") + 1)));
    EXPECT_FALSE(parse_kernel_bounds(stat_line("p", "-100", "200", "200", "300")));
    EXPECT_FALSE(parse_kernel_bounds(stat_line("p", "0x100", "200", "200", "300")));
    EXPECT_FALSE(parse_kernel_bounds(stat_line("p", "", "200", "200", "300")));
    EXPECT_FALSE(parse_kernel_bounds(
        stat_line("p", "99999999999999999999999", "200", "200", "300")));  // overflows
}

TEST(KernelBounds, EnvironmentRightAfterTheArgumentsJoinsTheAreaAsFarAsATitleReaches) {
    const auto area = area_from_kernel({1000, 1045, 1045, 5000});
    ASSERT_TRUE(area);
    EXPECT_EQ(area->start, reinterpret_cast<char *>(1000));
    EXPECT_EQ(area->arg_length, 45u);
    EXPECT_EQ(area->length, TITLE_SPACE);
    // Long arguments: the area keeps the first byte after them.
    EXPECT_EQ(area_from_kernel({1000, 2000, 2000, 3000})->length, 1001u);
    // A short environment ends it.
    EXPECT_EQ(area_from_kernel({1000, 1010, 1010, 1030})->length, 30u);
}

TEST(KernelBounds, EnvironmentElsewhereLeavesOnlyTheArguments) {
    // The kernel reads on past the arguments only into an environment that
    // starts right there (a process may have moved either with PR_SET_MM).
    for (const KernelBounds bounds : {KernelBounds{1000, 1045, 1046, 5000},
                                      KernelBounds{1000, 1045, 900, 5000},
                                      KernelBounds{1000, 1045, 1045, 1045},
                                      KernelBounds{1000, 1045, 1045, 1000}}) {
        const auto area = area_from_kernel(bounds);
        ASSERT_TRUE(area);
        EXPECT_EQ(area->arg_length, 45u);
        EXPECT_EQ(area->length, 45u);
    }
}

TEST(KernelBounds, NoArgumentBytesMeansNoArea) {
    EXPECT_FALSE(area_from_kernel({0, 0, 0, 0}));  // what the kernel shows when it hides them
    EXPECT_FALSE(area_from_kernel({1000, 1000, 1000, 2000}));
    EXPECT_FALSE(area_from_kernel({1000, 999, 999, 2000}));
}
