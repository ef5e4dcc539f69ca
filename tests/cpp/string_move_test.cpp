#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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

// The three steps of a move as the first title makes it, on an unchanged
// vector; returns the first unused byte of `block`.
char *move_environment(char **envp, const ArgumentArea &area, char *block, std::size_t room) {
    EnvironmentMove move;
    EXPECT_TRUE(note_environment_strings(envp, area, move));
    char *const end = copy_environment_strings(move, block, room);
    EXPECT_NE(end, nullptr);
    point_environment_at_copies(envp, move);
    return end;
}

TEST(StringMove, EnvironmentStringsInsideTheAreaMoveAndKeepTheirText) {
    Memory memory;
    static char outside[] = "D=4444";
    std::vector<char *> envp = {memory.at(24), outside, memory.at(20), memory.at(29),
                                memory.at(24), nullptr};
    const ArgumentArea area = area_over(memory, 26);  // ends inside B=22
    // A=1 and B=22 reach into the area, B=22 listed twice; C=333 and D=4444 do not.
    EnvironmentMove move;
    ASSERT_TRUE(note_environment_strings(envp.data(), area, move));
    ASSERT_EQ(move.bytes, 5u + 4);
    std::vector<char> block(9, 'X');
    char *const end = move_environment(envp.data(), area, block.data(), block.size());
    EXPECT_EQ(end, block.data() + 9);
    EXPECT_EQ(envp[0], block.data());
    EXPECT_EQ(envp[1], outside);
    EXPECT_EQ(envp[2], block.data() + 5);
    EXPECT_EQ(envp[3], memory.at(29));
    EXPECT_EQ(envp[4], block.data());
    EXPECT_EQ(envp[5], nullptr);
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
    EnvironmentMove move;
    ASSERT_TRUE(note_environment_strings(envp.data(), area, move));
    EXPECT_EQ(move.bytes, 5u);
}

TEST(StringMove, EnvironmentPointingIntoTheArgumentsMoves) {
    Memory memory;
    std::vector<char *> envp = {memory.at(17), nullptr};  // putenv(argv[1])
    char block[3];
    move_environment(envp.data(), area_over(memory, 20), block, sizeof block);
    EXPECT_EQ(envp[0], block);
    EXPECT_STREQ(block, "-c");
}

TEST(StringMove, NothingInsideMeansNothingToMove) {
    Memory memory;
    EnvironmentMove move;
    std::vector<char *> envp = {memory.at(29), nullptr};
    ASSERT_TRUE(note_environment_strings(envp.data(), area_over(memory, 29), move));
    EXPECT_EQ(move.count, 0u);
    ASSERT_TRUE(note_environment_strings(nullptr, area_over(memory, 29), move));
    EXPECT_EQ(move.count, 0u);
}

// Another thread changes the environment between the steps of the move.
// The vector the strings were noted in is heap memory, as the C library's is
// after its first setenv of a new name.
struct ChangingEnvironment {
    Memory memory;
    const ArgumentArea area = area_over(memory, 32);  // reaches into C=333
    char **noted_vector = new_vector({memory.at(20), memory.at(24), memory.at(29)});
    EnvironmentMove move;
    std::vector<char> block = std::vector<char>(4 + 5 + 6 + 8, 'G');  // guard bytes after

    static char **new_vector(std::vector<char *> entries) {
        entries.push_back(nullptr);
        auto **vector = static_cast<char **>(std::malloc(entries.size() * sizeof(char *)));
        std::copy(entries.begin(), entries.end(), vector);
        return vector;
    }
    ChangingEnvironment() {
        EXPECT_TRUE(note_environment_strings(noted_vector, area, move));
        EXPECT_EQ(move.bytes, 4u + 5 + 6);
    }
    ~ChangingEnvironment() { std::free(noted_vector); }
    void copy() { ASSERT_NE(copy_environment_strings(move, block.data(), move.bytes), nullptr); }
    bool guard_kept() const {
        return std::all_of(block.end() - 8, block.end(), [](char c) { return c == 'G'; });
    }
};

TEST(StringMove, EntriesShiftedDownByAnUnsetenvAreStillFound) {
    ChangingEnvironment env;
    env.copy();
    env.noted_vector[0] = env.noted_vector[1];  // unsetenv("A"), in place
    env.noted_vector[1] = env.noted_vector[2];
    env.noted_vector[2] = nullptr;
    point_environment_at_copies(env.noted_vector, env.move);
    EXPECT_STREQ(env.noted_vector[0], "B=22");
    EXPECT_STREQ(env.noted_vector[1], "C=333");
    EXPECT_EQ(env.noted_vector[0], env.block.data() + 4);
    EXPECT_EQ(env.noted_vector[1], env.block.data() + 9);
    EXPECT_EQ(env.noted_vector[2], nullptr);
    EXPECT_TRUE(env.guard_kept());
}

TEST(StringMove, AVectorReplacedBySetenvIsTheOneRewritten) {
    ChangingEnvironment env;
    env.copy();
    // setenv of a new name moved the vector; the noted one is freed.
    static char added[] = "E=5";
    static char replaced[] = "B=new";
    char **now = ChangingEnvironment::new_vector(
        {env.memory.at(20), replaced, env.memory.at(29), added});
    std::free(env.noted_vector);
    env.noted_vector = now;
    point_environment_at_copies(now, env.move);
    EXPECT_EQ(now[0], env.block.data());
    EXPECT_EQ(now[1], replaced);  // changed since it was noted: left as it is
    EXPECT_EQ(now[2], env.block.data() + 9);
    EXPECT_EQ(now[3], added);
    EXPECT_STREQ(now[0], "A=1");
    EXPECT_STREQ(now[2], "C=333");
}

TEST(StringMove, AStringThatGrewAfterItWasNotedIsNotCopiedPastTheRoom) {
    ChangingEnvironment env;
    env.memory.bytes[34] = '3';  // C=333 now reads C=3333G
    env.memory.bytes[36] = '\0';
    EXPECT_EQ(copy_environment_strings(env.move, env.block.data(), env.move.bytes), nullptr);
    EXPECT_TRUE(env.guard_kept());
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
