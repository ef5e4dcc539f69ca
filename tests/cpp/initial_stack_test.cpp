// The window Linux describes for this test process itself.

#include <gtest/gtest.h>

#include <sys/auxv.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/initial_stack.h"
#include "platform/linux/kernel_bounds.h"

TEST(InitialStack, HoldsThisProcessesStringsAsTheKernelRecordsThem) {
    std::ifstream file("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto bounds = parse_kernel_bounds(stat);
    ASSERT_TRUE(bounds);
    const auto stack = znv_platform_initial_stack();
    ASSERT_TRUE(stack);
    // From the argument area's first byte to the executable's name above
    // the environment strings.
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stack->floor) + 1, bounds->arg_start);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stack->top), getauxval(AT_EXECFN));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(stack->environment), bounds->env_start);
    EXPECT_LE(bounds->env_end, getauxval(AT_EXECFN));
}
