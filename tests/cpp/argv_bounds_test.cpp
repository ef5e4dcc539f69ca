#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/argv_bounds.h"

namespace {

// Strings laid back to back as the kernel lays them out at exec, with
// pointers to each.
struct Layout {
    std::vector<char> memory;
    std::vector<char *> argv;
    std::vector<char *> envp;

    Layout(const std::vector<std::string> &arguments,
           const std::vector<std::string> &environment) {
        std::size_t size = 0;
        for (const auto &s : arguments) size += s.size() + 1;
        for (const auto &s : environment) size += s.size() + 1;
        memory.assign(size + 1, 'G');  // one guard byte after the strings
        char *place = memory.data();
        for (const auto &s : arguments) argv.push_back(lay(place, s));
        for (const auto &s : environment) envp.push_back(lay(place, s));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
    }

    static char *lay(char *&place, const std::string &text) {
        char *const start = place;
        std::memcpy(start, text.c_str(), text.size() + 1);
        place += text.size() + 1;
        return start;
    }
};

}  // namespace

TEST(ArgvBounds, ArgumentsAndTheEnvironmentAfterThem) {
    Layout layout({"python3", "script.py", "-v"}, {"HOME=/root", "TERM=xterm"});
    const auto area = area_from_argv(layout.argv.data(), layout.envp.data());
    ASSERT_TRUE(area);
    EXPECT_EQ(area->start, layout.memory.data());
    EXPECT_EQ(area->arg_length, 21u);
    EXPECT_EQ(area->length, 21u + 11 + 11);  // never the guard byte
}

TEST(ArgvBounds, EnvironmentListedInAnotherOrderStillCounts) {
    Layout layout({"p"}, {"A=1", "B=2", "C=3"});
    std::swap(layout.envp[0], layout.envp[2]);  // setenv and unsetenv reorder the list
    const auto area = area_from_argv(layout.argv.data(), layout.envp.data());
    ASSERT_TRUE(area);
    EXPECT_EQ(area->length, 2u + 12);
}

TEST(ArgvBounds, ChainStopsAtAStringNoLongerListed) {
    // setenv and putenv replace entries: the strings in the area stay behind.
    static char replacement[] = "X=elsewhere";
    Layout second({"p", "q"}, {"A=1", "B=2", "C=3"});
    second.envp[1] = replacement;
    const auto area = area_from_argv(second.argv.data(), second.envp.data());
    ASSERT_TRUE(area);
    EXPECT_EQ(area->arg_length, 4u);
    EXPECT_EQ(area->length, 4u + 4);
    Layout first({"python3", "x"}, {"A=1"});
    first.envp[0] = replacement;
    EXPECT_EQ(area_from_argv(first.argv.data(), first.envp.data())->length, 10u);
}

TEST(ArgvBounds, EmptyArgumentsAndNoEnvironment) {
    Layout layout({"", "", "x"}, {});
    const auto area = area_from_argv(layout.argv.data(), layout.envp.data());
    ASSERT_TRUE(area);
    EXPECT_EQ(area->arg_length, 4u);
    EXPECT_EQ(area->length, 4u);
    EXPECT_TRUE(area_from_argv(layout.argv.data(), nullptr));
}

TEST(ArgvBounds, LongEnvironmentIsTakenOnlyAsFarAsATitleReaches) {
    std::vector<std::string> environment;
    for (int i = 0; i < 200; ++i) environment.push_back("VARIABLE_" + std::to_string(i) + "=x");
    Layout layout({"p"}, environment);
    const auto area = area_from_argv(layout.argv.data(), layout.envp.data());
    ASSERT_TRUE(area);
    EXPECT_EQ(area->length, TITLE_SPACE);
}

TEST(ArgvBounds, ArgumentsNotBackToBackGiveNothing) {
    Layout layout({"python3", "script.py"}, {"A=1"});
    static char elsewhere[] = "script.py";
    layout.argv[1] = elsewhere;
    EXPECT_FALSE(area_from_argv(layout.argv.data(), layout.envp.data()));
    Layout reversed({"a", "b"}, {});
    std::swap(reversed.argv[0], reversed.argv[1]);
    EXPECT_FALSE(area_from_argv(reversed.argv.data(), reversed.envp.data()));
}

TEST(ArgvBounds, NoVectorGivesNothing) {
    Layout layout({}, {"A=1"});
    EXPECT_FALSE(area_from_argv(nullptr, layout.envp.data()));
    EXPECT_FALSE(area_from_argv(layout.argv.data(), layout.envp.data()));  // argv[0] null
}
