// The walk on synthetic layouts: argument strings laid out below a first
// environment string in memory that sits directly above an inaccessible page,
// so a read below the lowest byte of the region ends the test with a crash.

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

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

// `size` writable bytes, filled with 'x', right above a PROT_NONE page.
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t size) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        length_ = page + (size + page - 1) / page * page;
        void *map = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
        if (map == MAP_FAILED || mprotect(map, page, PROT_NONE) != 0) {
            std::abort();
        }
        map_ = static_cast<char *>(map);
        base_ = map_ + page;  // the first byte above the guard page
        std::memset(base_, 'x', length_ - page);
    }
    ~GuardedRegion() { munmap(map_, length_); }
    GuardedRegion(const GuardedRegion &) = delete;
    GuardedRegion &operator=(const GuardedRegion &) = delete;

    char *base() const { return base_; }
    char *end() const { return map_ + length_; }

    // Lays out `args` back to back, each ended by a zero byte, directly below
    // `env`, which ends at the region's end; returns the first environment
    // string.
    char *lay_out(const std::vector<std::string> &args, const std::string &env = "HOME=/root") {
        char *first_env = end() - env.size() - 1;
        std::memcpy(first_env, env.c_str(), env.size() + 1);
        char *cursor = first_env;
        for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
            cursor -= arg->size() + 1;
            std::memcpy(cursor, arg->c_str(), arg->size() + 1);
        }
        return first_env;
    }

private:
    std::size_t length_ = 0;
    char *map_ = nullptr;
    char *base_ = nullptr;
};

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
    char *env = region.lay_out({"python", "script.py", "arg"});
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
    char *env = region.lay_out({"prog", "", "", "last", ""});
    const Walk w = walk(5, "prog", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    const std::vector<std::string> found(w.argv, w.argv + 5);
    EXPECT_EQ(found, (std::vector<std::string>{"prog", "", "", "last", ""}));
    EXPECT_EQ(w.argv[5], nullptr);
    std::free(w.argv);
}

TEST(LocateArgv, ArgumentsAreTracedOnOneLineEach) {
    GuardedRegion region(4096);
    char *env = region.lay_out({"prog", "two\nlines"});
    const Walk w = walk(2, "prog", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    EXPECT_STREQ(w.argv[1], "two\nlines");  // the vector points at the text itself
    EXPECT_EQ(w.trace[2], "found argv[1] at " + address(w.argv[1]) + ": two\\x0alines");
    std::free(w.argv);
}

TEST(LocateArgv, OneArgumentMustEndJustBelowTheEnvironment) {
    GuardedRegion region(4096);
    char *env = region.lay_out({"prog"});
    const Walk w = walk(1, "prog", env, floor_of(region));
    ASSERT_NE(w.argv, nullptr);
    EXPECT_EQ(w.argv[0], env - 5);
    EXPECT_EQ(w.argv[1], nullptr);
    EXPECT_EQ(w.trace.size(), 4u);
    std::free(w.argv);
}

TEST(LocateArgv, RejectsAnArgv0ThatDoesNotMatch) {
    GuardedRegion region(4096);
    char *env = region.lay_out({"Xython", "script.py"});
    const Walk w = walk(2, "python", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace.back(), "couldn't find argv from environ");
    EXPECT_EQ(w.trace[w.trace.size() - 2], "argv[0] 'Xython' doesn't match 'python'");
}

TEST(LocateArgv, EnvironmentNotAboveTheArgumentsIsRefused) {
    GuardedRegion region(4096);
    char *env = region.lay_out({"prog", "arg"});
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
    char *env = region.lay_out({"prog", "arg"});  // only 'x' below "prog"
    Walk w = walk(3, "prog", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "failed to found arg 1 start");

    // A zero byte below the area lets the walk take "junk" for an argument.
    env = region.lay_out({"", "junk", "prog", "arg"});
    w = walk(4, "prog", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "argv[0] 'xxxx' doesn't match 'prog'");
}

TEST(LocateArgv, StopsAtTheFloorOfAnAreaLongerThanTheSpan) {
    // The floor is the region's first byte: reading below it would fault.
    GuardedRegion region(ARGV_SEARCH_SPAN + 4096);
    char *env = region.base() + ARGV_SEARCH_SPAN;
    std::memcpy(env, "HOME=/root", 11);
    const char *floor = env - ARGV_SEARCH_SPAN;
    ASSERT_EQ(floor, region.base());
    env[-1] = '\0';  // ends an argument more than the span long

    Walk w = walk(2, "prog", env, floor);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"found environ at " + address(env),
                                "failed to found arg 1 start"}));

    // A zero byte at the floor itself does not start an argument above it.
    region.base()[0] = '\0';
    w = walk(2, "prog", env, floor);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "failed to found arg 1 start");

    // argv[0] would have to begin at the floor: refused before it is read.
    const std::string at_floor(ARGV_SEARCH_SPAN - 1, 'x');
    w = walk(1, at_floor.c_str(), env, floor);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace[w.trace.size() - 2], "failed to find argv[0] start");

    // One byte shorter, it begins just above the floor and is found.
    const std::string above_floor(ARGV_SEARCH_SPAN - 2, 'x');
    w = walk(1, above_floor.c_str(), env, floor);
    ASSERT_NE(w.argv, nullptr);
    EXPECT_EQ(w.argv[0], floor + 1);
    std::free(w.argv);
}

TEST(LocateArgv, EnvironmentWithoutStrings) {
    const Walk w = walk(2, "prog", nullptr, nullptr);
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"environ pointer is NULL"}));
}

TEST(LocateArgv, NoArgumentsGivesNoVector) {
    GuardedRegion region(4096);
    char *env = region.lay_out({"prog"});
    const Walk w = walk(0, "", env, floor_of(region));
    EXPECT_EQ(w.argv, nullptr);
    EXPECT_EQ(w.trace, failure({"no arguments to look for"}));
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
