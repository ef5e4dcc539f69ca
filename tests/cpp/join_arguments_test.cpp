#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "setup/join_arguments.h"

namespace {

std::string join(std::vector<std::string> args) {
    std::vector<char *> argv;
    for (auto &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    char *text = join_arguments(static_cast<int>(args.size()), argv.data());
    EXPECT_NE(text, nullptr);
    std::string joined = text != nullptr ? text : "<null>";
    std::free(text);
    return joined;
}

}  // namespace

TEST(JoinArguments, SeparatesBySingleBlanks) {
    EXPECT_EQ(join({"python", "script.py", "arg"}), "python script.py arg");
    EXPECT_EQ(join({"prog"}), "prog");
}

TEST(JoinArguments, EmptyArgumentsKeepTheirBlanks) {
    EXPECT_EQ(join({"a", "", "b"}), "a  b");
    EXPECT_EQ(join({"a", "", "", "b"}), "a   b");
    EXPECT_EQ(join({"a", ""}), "a ");
    EXPECT_EQ(join({"", ""}), " ");
}

TEST(JoinArguments, NoArgumentsGiveTheEmptyText) {
    EXPECT_EQ(join({}), "");
}
