#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/string_move.h"

namespace {

// A stand-in for the stack strings: arguments, then environment strings.
struct Memory {
    char bytes[64];
    Memory() {
        std::memset(bytes, 'G', sizeof bytes);
        std::memcpy(bytes, "/usr/bin/python3\0-c\0A=1\0B=22\0C=333\0", 35);
    }
    char *at(std::size_t offset) { return bytes + offset; }
};

// Arguments at 0 (17 + 3 bytes), A=1 at 20, B=22 at 24, C=333 at 29.
ArgumentArea area_over(Memory &memory, std::size_t length) {
    return ArgumentArea{memory.bytes, 20, length};
}

}  // namespace

TEST(StringMove, EnvironmentStringsInsideTheAreaMoveAndKeepTheirText) {
    Memory memory;
    static char outside[] = "D=4444";
    std::vector<char *> envp = {memory.at(24), outside, memory.at(20), memory.at(29), nullptr};
    const ArgumentArea area = area_over(memory, 26);  // ends inside B=22
    // A=1 and B=22 reach into the area; C=333 and D=4444 do not.
    ASSERT_EQ(environment_bytes_to_move(envp.data(), area), 4u + 5);
    std::vector<char> block(9, 'X');
    char *const end = move_environment(envp.data(), area, block.data());
    EXPECT_EQ(end, block.data() + 9);
    EXPECT_STREQ(envp[0], "B=22");
    EXPECT_STREQ(envp[1], "D=4444");
    EXPECT_STREQ(envp[2], "A=1");
    EXPECT_STREQ(envp[3], "C=333");
    EXPECT_EQ(envp[0], block.data());
    EXPECT_EQ(envp[1], outside);
    EXPECT_EQ(envp[2], block.data() + 5);
    EXPECT_EQ(envp[3], memory.at(29));
    EXPECT_EQ(envp[4], nullptr);
    // The copies no longer depend on the area.
    std::memset(memory.bytes, 0, 29);
    EXPECT_STREQ(envp[0], "B=22");
    EXPECT_STREQ(envp[2], "A=1");
}

TEST(StringMove, StringWhoseZeroByteIsTheFirstAreaByteMoves) {
    Memory memory;
    // "B=22" ends with its zero byte at offset 28: an area starting there.
    const ArgumentArea area{memory.at(28), 1, 1};
    std::vector<char *> envp = {memory.at(20), memory.at(24), memory.at(29), nullptr};
    EXPECT_EQ(environment_bytes_to_move(envp.data(), area), 5u);
}

TEST(StringMove, EnvironmentPointingIntoTheArgumentsMoves) {
    Memory memory;
    std::vector<char *> envp = {memory.at(17), nullptr};  // putenv(argv[1])
    const ArgumentArea area = area_over(memory, 20);
    ASSERT_EQ(environment_bytes_to_move(envp.data(), area), 3u);
    char block[3];
    move_environment(envp.data(), area, block);
    EXPECT_EQ(envp[0], block);
    EXPECT_STREQ(block, "-c");
}

TEST(StringMove, NothingInsideMeansNothingToMove) {
    Memory memory;
    std::vector<char *> envp = {memory.at(29), nullptr};
    EXPECT_EQ(environment_bytes_to_move(envp.data(), area_over(memory, 29)), 0u);
    EXPECT_EQ(environment_bytes_to_move(nullptr, area_over(memory, 29)), 0u);
    std::vector<char *> empty = {nullptr};
    EXPECT_EQ(environment_bytes_to_move(empty.data(), area_over(memory, 29)), 0u);
}

TEST(StringMove, ProgramNameMovesWithItsShortNameInside) {
    Memory memory;
    char *name = memory.at(0);
    char *short_name = memory.at(9);  // "python3"
    const ArgumentArea area = area_over(memory, 20);
    ASSERT_EQ(program_name_bytes_to_move(name, short_name, area), 17u);
    char block[17];
    char *const end = move_program_name(&name, &short_name, area, block);
    EXPECT_EQ(end, block + 17);
    EXPECT_EQ(name, block);
    EXPECT_EQ(short_name, block + 9);
    std::memset(memory.bytes, 0, 20);
    EXPECT_STREQ(name, "/usr/bin/python3");
    EXPECT_STREQ(short_name, "python3");
}

TEST(StringMove, ShortNameOfItsOwnMovesOnItsOwn) {
    Memory memory;
    static char name_elsewhere[] = "/opt/python";
    char *name = name_elsewhere;
    char *short_name = memory.at(17);
    const ArgumentArea area = area_over(memory, 20);
    ASSERT_EQ(program_name_bytes_to_move(name, short_name, area), 3u);
    char block[3];
    move_program_name(&name, &short_name, area, block);
    EXPECT_EQ(name, name_elsewhere);
    EXPECT_EQ(short_name, block);
    EXPECT_STREQ(short_name, "-c");
}

TEST(StringMove, ProgramNamesOutsideOrMissingStay) {
    Memory memory;
    static char name_elsewhere[] = "/opt/python";
    char *name = name_elsewhere;
    char *short_name = name_elsewhere + 5;
    const ArgumentArea area = area_over(memory, 20);
    EXPECT_EQ(program_name_bytes_to_move(name, short_name, area), 0u);
    move_program_name(&name, &short_name, area, nullptr);
    EXPECT_EQ(name, name_elsewhere);
    EXPECT_EQ(short_name, name_elsewhere + 5);
    char *none = nullptr;
    char *none_short = nullptr;
    EXPECT_EQ(program_name_bytes_to_move(none, none_short, area), 0u);
    move_program_name(&none, &none_short, area, nullptr);
    EXPECT_EQ(none, nullptr);
}
