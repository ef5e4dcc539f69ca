#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/kernel_bounds.h"
#include "platform/linux/proc_self_file.h"
#include "platform/linux/title_writer.h"

namespace {

constexpr std::size_t PAGE = 4096;

// Shows the whole of `title`, as far as the area holds.
std::size_t show(TitleWriter &writer, const char *title) {
    return write_title(writer, title, std::strlen(title));
}

// A process's strings as exec leaves them, between guard bytes, and what the
// kernel's /proc/PID/cmdline makes of them.
struct Process {
    static constexpr std::size_t GUARD = 64;
    std::vector<char> memory;
    std::size_t arg_start = GUARD, arg_end = 0, env_start = 0, env_end = 0;

    Process(const std::string &arguments, const std::string &environment,
            bool environment_follows = true) {
        memory.assign(GUARD, 'G');
        memory.insert(memory.end(), arguments.begin(), arguments.end());
        arg_end = memory.size();
        if (!environment_follows) memory.push_back('X');
        env_start = memory.size();
        memory.insert(memory.end(), environment.begin(), environment.end());
        env_end = memory.size();
        memory.insert(memory.end(), GUARD, 'G');
    }

    ArgumentArea area() {
        const bool follows = env_start == arg_end && env_end > env_start;
        return *make_argument_area(memory.data() + arg_start, arg_end - arg_start,
                                   (follows ? env_end : arg_end) - arg_start);
    }

    std::string bytes(std::size_t from, std::size_t to) const {
        return std::string(memory.data() + from, to - from);
    }

    // get_mm_cmdline from Linux 5.3 on (and, but for the final zero byte,
    // before 4.18).
    std::string fixed_kernel_cmdline() const {
        std::size_t end = env_end;
        if (env_start != arg_end || env_end < env_start) end = arg_end;
        if (memory[arg_end - 1] == '\0') return bytes(arg_start, arg_end);
        const std::size_t got = std::min(PAGE, memory.size() - arg_start);
        std::size_t length = strnlen(memory.data() + arg_start, got);
        if (length < got) ++length;
        return bytes(arg_start, arg_start + std::min(length, end - arg_start));
    }

    // get_mm_cmdline of Linux 4.18 to 5.2: the whole argument area, then on
    // from its last byte to the first zero byte.
    std::string defective_kernel_cmdline() const {
        std::size_t end = env_end;
        if (env_start != arg_end || env_start >= env_end) end = arg_end;
        const std::size_t from = arg_end - 1;
        std::size_t length = strnlen(memory.data() + from, end - from);
        if (from + length < end) ++length;
        return bytes(arg_start, from + length);
    }
};

const std::string ARGUMENTS = std::string("/usr/bin/python3\0-c\0pass\0", 25);
std::string environment_of(std::size_t bytes) {
    std::string text;
    for (int i = 0; text.size() < bytes; ++i) {
        text += "VAR" + std::to_string(i) + "=value" + std::to_string(i);
        text += '\0';
    }
    return text;
}

std::string title_of(std::size_t length, char fill = 't') {
    std::string text(length, fill);
    if (length > 0) text.front() = '<';
    if (length > 1) text.back() = '>';
    return text;
}

bool only_zero_bytes(const std::string &text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\0'; });
}

}  // namespace

TEST(TitleWriter, FixedKernelShowsExactlyEachTitle) {
    Process process(ARGUMENTS, environment_of(600));
    TitleWriter writer = clear_arguments(process.area(), CmdlineReport::title_up_to_zero);
    // Every length up, then down, so every shorter title follows a longer one,
    // then lengths at random.
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 255; ++n) lengths.push_back(n);
    for (std::size_t n = 255; n-- > 0;) lengths.push_back(n);
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) lengths.push_back(random() % 256);
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const std::string title = title_of(lengths[i], static_cast<char>('a' + i % 26));
        EXPECT_EQ(show(writer, title.c_str()), lengths[i]);
        ASSERT_EQ(process.fixed_kernel_cmdline(), title + '\0') << i;
    }
}

TEST(TitleWriter, DefectiveKernelShowsTheTitleAndZeroBytesOnly) {
    Process process(ARGUMENTS, environment_of(600));
    TitleWriter writer = clear_arguments(process.area(), CmdlineReport::whole_argument_area);
    const std::size_t arg_length = process.arg_end - process.arg_start;
    for (const std::size_t length : {255u, 0u, 3u, 23u, 24u, 25u, 26u, 100u, 10u, 254u, 1u}) {
        const std::string title = title_of(length);
        show(writer, title.c_str());
        const std::string shown = process.defective_kernel_cmdline();
        ASSERT_EQ(shown.substr(0, length), title) << length;
        EXPECT_TRUE(only_zero_bytes(shown.substr(length))) << length;
        if (length + 1 >= arg_length) {
            EXPECT_EQ(shown, title + '\0') << length;
        }
        // The fixed kernel sees zero-padded arguments and shows them as they are.
        EXPECT_EQ(process.fixed_kernel_cmdline().substr(0, length + 1), title + '\0');
    }
}

TEST(TitleWriter, ProbeTellsTheKernelsApart) {
    for (const bool defective : {false, true}) {
        for (const bool environment_follows : {true, false}) {
            Process process(ARGUMENTS, environment_of(300), environment_follows);
            TitleWriter writer = clear_arguments(process.area(), CmdlineReport::title_up_to_zero);
            write_probe(writer);
            const std::string answer = defective ? process.defective_kernel_cmdline()
                                                 : process.fixed_kernel_cmdline();
            // Never any text of the environment, on either kernel.
            EXPECT_LE(answer.size(), ARGUMENTS.size() + 1);
            const std::string read = answer.substr(0, 64);  // what the module reads of it
            EXPECT_EQ(decide_cmdline_report(read, "6.18.0"),
                      defective ? CmdlineReport::whole_argument_area
                                : CmdlineReport::title_up_to_zero);
            // The next title leaves no trace of the probe.
            writer.report = CmdlineReport::whole_argument_area;
            show(writer, "x");
            EXPECT_EQ(process.defective_kernel_cmdline(), "x" + std::string(24, '\0'));
        }
    }
}

TEST(TitleWriter, WritesOnlyTheNewTitleThePreviousOneAndTheEndMark) {
    Process process(ARGUMENTS, environment_of(600));
    TitleWriter writer = clear_arguments(process.area(), CmdlineReport::title_up_to_zero);
    const std::size_t mark = process.arg_start + 24;
    std::mt19937 random(11);
    std::size_t previous = 0;  // bytes the previous title used
    for (int i = 0; i < 500; ++i) {
        const std::vector<char> before = process.memory;
        const std::size_t length = random() % 256;
        show(writer, title_of(length).c_str());
        const std::size_t reach = process.arg_start + std::max(previous, length + 1);
        for (std::size_t at = 0; at < before.size(); ++at) {
            if (at >= process.arg_start && (at < reach || at == mark)) continue;
            ASSERT_EQ(process.memory[at], before[at]) << "byte " << at << " after title " << i;
        }
        previous = length + 1;
    }
    // Environment bytes no title reached keep their text.
    EXPECT_EQ(process.bytes(process.arg_start + 256, process.env_end),
              environment_of(600).substr(256 - 25));
}

TEST(TitleWriter, ShortAreaShowsWhatFitsCutBeforeACharacter) {
    // Arguments of 12 bytes, no environment after them: 11 bytes of title.
    Process process(std::string("python3\0-c\0\0", 12), "", false);
    TitleWriter writer = clear_arguments(process.area(), CmdlineReport::title_up_to_zero);
    EXPECT_EQ(show(writer, title_of(255).c_str()), 11u);
    EXPECT_EQ(process.fixed_kernel_cmdline(), title_of(255).substr(0, 11) + '\0');
    // "aaaa" then five 'é' (two bytes each): the eleventh byte starts one.
    EXPECT_EQ(show(writer, "aaaa\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"), 10u);
    EXPECT_EQ(process.fixed_kernel_cmdline(),
              "aaaa\xC3\xA9\xC3\xA9\xC3\xA9" + std::string(1, '\0'));
    EXPECT_EQ(show(writer, "\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC"), 9u);
    EXPECT_EQ(process.memory[process.arg_end], 'X');  // nothing written past the arguments
}

TEST(TitleWriter, SingleEmptyArgument) {
    // argv = {""} and no environment: only the empty title fits.
    Process alone(std::string(1, '\0'), "", false);
    TitleWriter writer = clear_arguments(alone.area(), CmdlineReport::title_up_to_zero);
    EXPECT_EQ(show(writer, "title"), 0u);
    EXPECT_EQ(alone.fixed_kernel_cmdline(), std::string(1, '\0'));
    // With an environment after it, titles go on into the environment.
    Process followed(std::string(1, '\0'), environment_of(300));
    writer = clear_arguments(followed.area(), CmdlineReport::title_up_to_zero);
    write_probe(writer);  // too small to probe: changes nothing
    EXPECT_EQ(followed.fixed_kernel_cmdline(), std::string(1, '\0'));
    for (const char *title : {"title", "", "a longer title"}) {
        show(writer, title);
        EXPECT_EQ(followed.fixed_kernel_cmdline(), std::string(title) + '\0');
        EXPECT_EQ(followed.defective_kernel_cmdline(), std::string(title) + '\0');
    }
}

namespace {

constexpr int NO_PTRACE = 77;

// In a child of fork(): writes titles of these lengths into the process's own
// argument area, stopped after every instruction by its tracing parent.
[[noreturn]] void write_titles_traced(const std::vector<std::size_t> &lengths) {
    char text[4096];
    const auto stat = read_proc_self("stat", text, sizeof text);
    const auto bounds = stat ? parse_kernel_bounds(*stat) : std::nullopt;
    const auto area = bounds ? area_from_kernel(*bounds) : std::nullopt;
    if (!area || ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
        _exit(NO_PTRACE);
    }
    std::vector<std::string> titles;
    for (const std::size_t length : lengths) titles.push_back(title_of(length));
    raise(SIGSTOP);  // the parent steps on from here
    // As the first title does it: clear, probe, then titles.
    TitleWriter writer = clear_arguments(*area, CmdlineReport::whole_argument_area);
    write_probe(writer);
    writer.report = CmdlineReport::title_up_to_zero;
    for (const std::string &title : titles) show(writer, title.c_str());
    _exit(0);
}

std::string cmdline_of(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    const int fd = open(path.c_str(), O_RDONLY);
    char buffer[4096];
    const ssize_t got = fd >= 0 ? pread(fd, buffer, sizeof buffer, 0) : -1;
    if (fd >= 0) close(fd);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
}

}  // namespace

TEST(TitleWriter, NoReaderEverGetsTheBareArgumentArea) {
    // The kernel's own view of this process's command line, read after every
    // single instruction of a child writing titles: shorter and longer than
    // its arguments, ending exactly at their last byte and just past it.
    char text[4096];
    const auto stat = read_proc_self("stat", text, sizeof text);
    ASSERT_TRUE(stat);
    const auto bounds = parse_kernel_bounds(*stat);
    ASSERT_TRUE(bounds);
    if (bounds->env_start != bounds->arg_end || bounds->arg_end - bounds->arg_start > 200) {
        GTEST_SKIP() << "needs arguments of at most 200 bytes with the environment after them";
    }
    const std::size_t n = bounds->arg_end - bounds->arg_start;
    ASSERT_GE(n, 8u);
    const std::vector<std::size_t> lengths = {n + 20, 3,     n + 20, n - 1, 3, n - 1, n + 20,
                                              n,      n - 1, n - 2,  0,     n - 1, 255, 1};
    const std::string command_line = cmdline_of(getpid());  // the child's, until it writes
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) write_titles_traced(lengths);

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == NO_PTRACE) {
        GTEST_SKIP() << "no ptrace here to step the writer";
    }
    ASSERT_TRUE(WIFSTOPPED(status));
    std::set<std::string> seen;
    std::size_t bare = 0, steps = 0;
    std::string bare_example;
    while (steps++ < 2000000) {
        const std::string shown = cmdline_of(child);
        seen.insert(shown);
        if (shown != command_line && shown.find('\0') < shown.size() - 1) {
            ++bare;
            bare_example = shown;
        }
        ASSERT_EQ(ptrace(PTRACE_SINGLESTEP, child, nullptr, nullptr), 0);
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFEXITED(status)) break;
    }
    ASSERT_TRUE(WIFEXITED(status)) << "still running after " << steps << " steps";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(bare, 0u) << "of " << steps << " states, such as '" << bare_example << "'";
    // The reads did look at the titles: each one showed whole once written.
    for (const std::size_t length : lengths) {
        EXPECT_EQ(seen.count(title_of(length) + '\0'), 1u) << length;
    }
}
