// The walk on synthetic layouts: argument strings laid out below a first
// environment string in memory fenced by inaccessible pages, so a read below
// the lowest byte of the region ends the test with a crash.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "guarded_region.h"
#include "raii/heap_ptr.h"
#include "setup/locate_argv.h"

namespace {

// The trace is decided at its first call, after main has started.
const bool trace_on = [] {
    const char *value = std::getenv("ZNV_DEBUG");
    if (value == nullptr || value[0] == '\0') {
        setenv("ZNV_DEBUG", "1", 1);
    }
    return true;
}();

std::string address(const void *p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

std::vector<std::string> trace_lines(const std::string &captured) {
    std::vector<std::string> lines;
    std::istringstream in(captured);
    for (std::string line; std::getline(in, line);) {
        EXPECT_EQ(line.rfind("[ZNV]: ", 0), 0u) << line;
        lines.push_back(line.substr(7));
    }
    return lines;
}

// Lays out `args` back to back, each ended by a zero byte, directly below
// `env`, which ends at the region's end; returns the first environment string.
char *lay_out(const GuardedRegion &region, const std::vector<std::string> &args,
              const std::string &env = "HOME=/root") {
    char *first_env = region.end() - env.size() - 1;
    std::memcpy(first_env, env.c_str(), env.size() + 1);
    char *cursor = first_env;
    for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
        cursor -= arg->size() + 1;
        std::memcpy(cursor, arg->c_str(), arg->size() + 1);
    }
    return first_env;
}

struct Walk {
    char **argv;
    std::vector<std::string> trace;
};

Walk walk(int argc, const char *arg0, const char *first_env, const char *floor) {
    testing::internal::CaptureStderr();
    char **argv = locate_argv_below(argc, arg0, first_env, floor);
    std::fflush(stderr);
    return {argv, trace_lines(testing::internal::GetCapturedStderr())};
}

Walk walk_within(int argc, const char *arg0, const char *first_env,
                 const std::optional<InitialStack> &stack) {
    testing::internal::CaptureStderr();
    char **argv = locate_argv_within(argc, arg0, first_env, stack);
    std::fflush(stderr);
    return {argv, trace_lines(testing::internal::GetCapturedStderr())};
}

const char *floor_of(const GuardedRegion &region) { return region.base(); }

std::vector<std::string> failure(std::vector<std::string> specific) {
    std::vector<std::string> lines = {"walking from environ to look for the arguments"};
    lines.insert(lines.end(), specific.begin(), specific.end());
    lines.push_back("couldn't find argv from environ");
    return lines;
}

}  // namespace

TEST(LocateArgv, FindsThreeArgumentsFromTheLastDown) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"python", "script.py", "arg"});
    const Walk w = walk(3, "python", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    char *const arg2 = env - 4;
    char *const arg1 = arg2 - 10;
    char *const arg0 = arg1 - 7;
    EXPECT_EQ(w.argv[2], arg2);
    EXPECT_EQ(w.argv[1], arg1);
    EXPECT_EQ(w.argv[0], arg0);
    EXPECT_EQ(w.argv[3], nullptr);
    EXPECT_EQ(w.trace, (std::vector<std::string>{
                           "walking from environ to look for the arguments",
                           "found environ at " + address(env),
                           "found argv[2] at " + address(arg2) + ": arg",
                           "found argv[1] at " + address(arg1) + ": script.py",
                           "argv[0] should be at " + address(arg0),
                           "found argv[0]: python",
                       }));
    std::free(w.argv);
}

TEST(LocateArgv, FindsEmptyArgumentsAsEmptyStrings) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"prog", "", "", "last", ""});
    const Walk w = walk(5, "prog", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    const std::vector<std::string> found(w.argv, w.argv + 5);
    EXPECT_EQ(found, (std::vector<std::string>{"prog", "", "", "last", ""}));
    EXPECT_EQ(w.argv[5], nullptr);
    std::free(w.argv);
}

TEST(LocateArgv, ArgumentsAreTracedOnOneLineEach) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"prog", "two\nlines"});
    const Walk w = walk(2, "prog", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    EXPECT_STREQ(w.argv[1], "two\nlines");  // the vector points at the text itself
    EXPECT_EQ(w.trace[2], "found argv[1] at " + address(w.argv[1]) + ": two\\x0alines");
    std::free(w.argv);
}

TEST(LocateArgv, OneArgumentMustEndJustBelowTheEnvironment) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"prog"});
    const Walk w = walk(1, "prog", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    EXPECT_EQ(w.argv[0], env - 5);
    EXPECT_EQ(w.argv[1], nullptr);
    EXPECT_EQ(w.trace.size(), 4u);
    std::free(w.argv);
}

TEST(LocateArgv, RejectsAnArgv0ThatDoesNotMatch) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"Xython", "script.py"});
    const Walk w = walk(2, "python", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace.back(), "couldn't find argv from environ");
    EXPECT_EQ(w.trace[w.trace.size() - 2], "argv[0] 'Xython' doesn't match 'python'");
}

TEST(LocateArgv, EnvironmentNotAboveTheArgumentsIsRefused) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"prog", "arg"});
    env[-1] = 'y';  // the first environment string no longer follows an argument
    Walk w = walk(2, "prog", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"found environ at " + address(env), "zero 1 not found"}));

    // With one argument there is no terminator to check: argv[0] "progy..."
    // is where "prog" should be, and the comparison refuses it.
    w = walk(1, "arg", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "argv[0] 'argyHOME=/root' doesn't match 'arg'");
}

TEST(LocateArgv, MoreArgumentsThanStringsRunBelowTheArea) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"prog", "arg"});  // only 'x' below "prog"
    Walk w = walk(3, "prog", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "failed to found arg 1 start");

    // A zero byte below the area lets the walk take "junk" for an argument.
    env = lay_out(region, {"", "junk", "prog", "arg"});
    w = walk(4, "prog", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "argv[0] 'xxxx' doesn't match 'prog'");
}

TEST(LocateArgv, FindsArgumentsLongerThanHalfAMebibyteInAll) {
    // Six 100,000-byte arguments: the walk is bounded by the floor it is
    // given, not by a span of its own.
    const std::vector<std::string> args = {"prog", std::string(100000, 'a'),
                                           std::string(100000, 'b'), std::string(100000, 'c'),
                                           std::string(100000, 'd'), std::string(100000, 'e'),
                                           std::string(100000, 'f')};
    GuardedRegion region(700 * 1024);
    char *env = lay_out(region, args);
    testing::internal::CaptureStderr();  // the arguments' text is long
    char **argv = locate_argv_below(7, "prog", env, floor_of(region));
    testing::internal::GetCapturedStderr();
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(std::vector<std::string>(argv, argv + 7), args);
    std::free(argv);
}

TEST(LocateArgv, NeverReadsTheFloorOrBelow) {
    // The floor is the last byte of the inaccessible page: reading it faults.
    constexpr std::size_t area = 600 * 1024;
    GuardedRegion region(area + 4096);
    const char *floor = region.base() - 1;
    char *env = region.base() + area;
    std::memcpy(env, "HOME=/root", 11);
    env[-1] = '\0';  // ends an argument that runs down to the region's first byte

    Walk w = walk(2, "prog", env, floor);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"found environ at " + address(env),
                                "failed to found arg 1 start"}));

    // A start just above the floor leaves no room for an argument's terminator.
    w = walk(2, "prog", region.base(), floor);
    EXPECT_EQ(w.trace, failure({"found environ at " + address(region.base()),
                                "failed to found arg 1 start"}));

    // argv[0] would have to begin at the floor: refused before it is read.
    const std::string at_floor(area, 'x');
    w = walk(1, at_floor.c_str(), env, floor);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "failed to find argv[0] start");

    // One byte shorter, it begins at the region's first byte and is found.
    const std::string above_floor(area - 1, 'x');
    w = walk(1, above_floor.c_str(), env, floor);
    ASSERT_NE(w.argv, nullptr);
    EXPECT_EQ(w.argv[0], region.base());
    std::free(w.argv);
}

TEST(LocateArgv, EnvironmentWithoutStrings) {
    const Walk w = walk(2, "prog", nullptr, nullptr);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"environ pointer is NULL"}));
}

TEST(LocateArgv, NoArgumentsGivesNoVector) {
    GuardedRegion region(4096);
    char *env = lay_out(region, {"prog"});
    const Walk w = walk(0, "", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"no arguments to look for"}));
}

namespace {

// The window over a whole region, its floor the last byte of the
// inaccessible page below.
InitialStack window_of(const GuardedRegion &region, const char *environment = nullptr) {
    return {region.base() - 1, region.end(), environment};
}

}  // namespace

TEST(LocateArgvWithin, WithoutAnyRecordNothingIsRead) {
    // A platform that describes no initial stack: a start at the first byte
    // of a mapping with nothing readable below fails without a read.
    GuardedRegion region(4096);
    std::memcpy(region.base(), "HOME=/root", 11);
    const Walk w = walk_within(2, "prog", region.base(), std::nullopt);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"no record of the initial stack: nowhere the arguments can "
                                "safely be looked for"}));
}

TEST(LocateArgvWithin, EnvironOutsideTheWindowIsNeverRead) {
    // environ[0] as a C library leaves it once it has copied the
    // environment: outside the stack, here at the first byte of a mapping
    // with nothing readable below, and (for the sanitizers) a heap block.
    GuardedRegion stack(4096);
    char *env = lay_out(stack, {"prog", "arg"});
    GuardedRegion elsewhere(4096);
    std::memcpy(elsewhere.base(), "HOME=/root", 11);
    HeapPtr<char> copied{strdup("HOME=/root")};
    for (const char *first : {static_cast<const char *>(elsewhere.base()),
                              static_cast<const char *>(copied.get())}) {
        Walk w = walk_within(2, "prog", first, window_of(stack));
        EXPECT_EQ(w.argv, nullptr);
        EXPECT_EQ(w.trace, failure({"environ[0] at " + address(first) +
                                        " is not where the kernel put the environment",
                                    "no other start: the kernel's record of the environment "
                                    "can't be had"}));

        // Where the kernel recorded the environment, the walk starts there.
        w = walk_within(2, "prog", first, window_of(stack, env));
        ASSERT_NE(w.argv, nullptr);
        EXPECT_EQ(w.argv[1], env - 4);
        EXPECT_EQ(w.trace[2], "starting where the kernel put the environment, at " + address(env));
        std::free(w.argv);
    }
}

TEST(LocateArgvWithin, InsideTheWindowEnvironStartsTheWalkWithoutARecord) {
    // As on a platform that keeps no record of the environment, or Linux
    // without /proc: the window alone shows that environ[0] may start it.
    GuardedRegion stack(4096);
    char *env = lay_out(stack, {"prog", "arg"});
    const Walk w = walk_within(2, "prog", env, window_of(stack));
    ASSERT_NE(w.argv, nullptr);
    EXPECT_EQ(w.trace[1], "found environ at " + address(env));
    EXPECT_STREQ(w.argv[0], "prog");
    std::free(w.argv);
}

namespace {

// This process's arguments as the kernel shows them.
std::vector<std::string> own_arguments() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = content.find('\0', at);
        args.push_back(content.substr(at, end - at));
        at = end + 1;
    }
    return args;
}

}  // namespace

TEST(LocateArgv, FindsThisProcessesOwnArguments) {
    const std::vector<std::string> args = own_arguments();
    ASSERT_FALSE(args.empty());
    char **argv = locate_argv(static_cast<int>(args.size()), args[0].c_str());
    ASSERT_NE(argv, nullptr);
    for (std::size_t i = 0; i < args.size(); ++i) {
        EXPECT_EQ(argv[i], args[i]);
    }
    EXPECT_EQ(argv[args.size()], nullptr);
    // The entries point at the strings themselves, right below the environment.
    EXPECT_EQ(argv[args.size() - 1] + args.back().size() + 1, environ[0]);
    std::free(argv);
}

TEST(LocateArgv, StartsAtTheKernelsRecordWhenEnvironIsElsewhere) {
    const std::vector<std::string> args = own_arguments();
    ASSERT_FALSE(args.empty());
    static char moved[] = "ZNV_MOVED=1";
    char *const first = environ[0];
    // Replaced, the first variable unset (its vector starts at the second
    // string, on the stack as well), no strings.
    char *const second = first + std::strlen(first) + 1;
    for (char *elsewhere : {moved, second, static_cast<char *>(nullptr)}) {
        environ[0] = elsewhere;
        testing::internal::CaptureStderr();
        char **argv = locate_argv(static_cast<int>(args.size()), args[0].c_str());
        const std::vector<std::string> trace = trace_lines(testing::internal::GetCapturedStderr());
        environ[0] = first;
        ASSERT_NE(argv, nullptr) << testing::PrintToString(trace);
        for (std::size_t i = 0; i < args.size(); ++i) {
            EXPECT_EQ(argv[i], args[i]);
        }
        EXPECT_EQ(argv[args.size() - 1] + args.back().size() + 1, first);
        ASSERT_GE(trace.size(), 3u);
        EXPECT_EQ(trace[1], elsewhere == nullptr
                                ? "environ pointer is NULL"
                                : "environ[0] at " + address(elsewhere) +
                                      " is not where the kernel put the environment");
        EXPECT_EQ(trace[2], "starting where the kernel put the environment, at " +
                                address(first));
        std::free(argv);
    }
}
