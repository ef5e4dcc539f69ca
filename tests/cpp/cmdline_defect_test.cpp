#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/linux/cmdline_defect.h"

using namespace std::string_view_literals;

namespace {

constexpr auto up_to_zero = CmdlineReport::title_up_to_zero;
constexpr auto whole_area = CmdlineReport::whole_argument_area;

// What each kernel shows after the probe on an argument area of 40 bytes: the
// empty title at the start, a blank at the last argument byte, a zero byte
// right after the arguments.
const std::string_view fixed_kernel_answer = "\0"sv;       // from 5.3: the title and its zero byte
const std::string_view older_kernel_answer = ""sv;         // before 4.18: the title alone
const std::string defective_kernel_answer = std::string(39, '\0') + " " + std::string(1, '\0');

}  // namespace

TEST(CmdlineDefect, ProbeShowingTheTitleDecides) {
    EXPECT_EQ(decide_cmdline_report(fixed_kernel_answer, "6.18.44"), up_to_zero);
    EXPECT_EQ(decide_cmdline_report(older_kernel_answer, "3.10.0-1160.el7.x86_64"), up_to_zero);
    // A stable kernel carrying the fix under a 4.19 release.
    EXPECT_EQ(decide_cmdline_report(fixed_kernel_answer, "4.19.200"), up_to_zero);
}

TEST(CmdlineDefect, ProbeShowingTheWholeAreaDecides) {
    EXPECT_EQ(decide_cmdline_report(defective_kernel_answer, "4.18.0-80.el8.x86_64"), whole_area);
    // Cut to the reader's buffer, the answer is still the whole area.
    EXPECT_EQ(decide_cmdline_report(std::string_view(defective_kernel_answer).substr(0, 2),
                                    "5.2.21"),
              whole_area);
    // Whatever the release claims.
    EXPECT_EQ(decide_cmdline_report(defective_kernel_answer, "6.1.0"), whole_area);
    EXPECT_EQ(decide_cmdline_report(defective_kernel_answer, nullptr), whole_area);
}

TEST(CmdlineDefect, ProbeThatTellsNothingLeavesItToTheRelease) {
    // Another writer's text, or nothing read at all.
    for (const std::optional<std::string_view> probe :
         {std::optional<std::string_view>{"python3\0x\0"sv}, std::optional<std::string_view>{}}) {
        EXPECT_EQ(decide_cmdline_report(probe, "6.18.44-fc-v1422"), up_to_zero);
        EXPECT_EQ(decide_cmdline_report(probe, "5.3.0"), up_to_zero);
        EXPECT_EQ(decide_cmdline_report(probe, "4.17.19"), up_to_zero);
        EXPECT_EQ(decide_cmdline_report(probe, "2.6.32"), up_to_zero);
        EXPECT_EQ(decide_cmdline_report(probe, "4.18.0"), whole_area);
        EXPECT_EQ(decide_cmdline_report(probe, "4.19.0-6-amd64"), whole_area);
        EXPECT_EQ(decide_cmdline_report(probe, "5.0.0-23-generic"), whole_area);
        EXPECT_EQ(decide_cmdline_report(probe, "5.2.21"), whole_area);
    }
}

TEST(CmdlineDefect, NothingKnownPadsWithZeroBytes) {
    EXPECT_EQ(decide_cmdline_report(std::nullopt, nullptr), whole_area);
    EXPECT_EQ(decide_cmdline_report(std::nullopt, ""), whole_area);
    EXPECT_EQ(decide_cmdline_report(std::nullopt, "linux"), whole_area);
    EXPECT_EQ(decide_cmdline_report("x"sv, "6"), whole_area);
}

TEST(CmdlineDefect, ReleaseNumbers) {
    EXPECT_EQ(release_reads_whole_area("4.18"), true);
    EXPECT_EQ(release_reads_whole_area("4.99.1"), true);
    EXPECT_EQ(release_reads_whole_area("5.2.0-rc7"), true);
    EXPECT_EQ(release_reads_whole_area("4.17.0"), false);
    EXPECT_EQ(release_reads_whole_area("5.3-rc1"), false);
    EXPECT_EQ(release_reads_whole_area("5.10.0"), false);  // not 5.1 followed by 0
    EXPECT_EQ(release_reads_whole_area("10.2"), false);
    EXPECT_EQ(release_reads_whole_area("4"), std::nullopt);
    EXPECT_EQ(release_reads_whole_area("4."), std::nullopt);
    EXPECT_EQ(release_reads_whole_area(".18"), std::nullopt);
    EXPECT_EQ(release_reads_whole_area("v5.0"), std::nullopt);
    EXPECT_EQ(release_reads_whole_area("99999999999.1"), std::nullopt);
}
