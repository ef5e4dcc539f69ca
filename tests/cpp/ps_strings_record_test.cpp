// FreeBSD's ps_strings record, laid out in fenced memory as the kernel lays
// out a new process's stack (exec_copyout_strings): the record at the top,
// the executable's path below it, then the argument and environment strings
// back to back, then the argument and environment vectors, each ended by a
// null pointer. A read outside the region crashes the test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "guarded_region.h"
#include "platform/freebsd/ps_strings_record.h"
#include "raii/heap_ptr.h"

namespace {

struct NewStack {
    GuardedRegion region{8192};
    PsStringsShape *record = nullptr;
    std::vector<char *> args;  // where each string was put
    std::vector<char *> env;

    NewStack(const std::vector<std::string> &arguments, const std::vector<std::string> &variables) {
        char *top = region.end() - sizeof(PsStringsShape);
        record = reinterpret_cast<PsStringsShape *>(top);
        const std::string path = "/usr/local/bin/python3.13";
        char *cursor = top - path.size() - 1;
        std::memcpy(cursor, path.c_str(), path.size() + 1);
        cursor -= 64;  // the canary and the page sizes

        std::size_t bytes = 0;
        for (const auto &text : arguments) bytes += text.size() + 1;
        for (const auto &text : variables) bytes += text.size() + 1;
        cursor -= bytes;
        cursor -= reinterpret_cast<std::uintptr_t>(cursor) % sizeof(char *);
        char *strings = cursor;
        for (const auto &text : arguments) args.push_back(put(strings, text));
        for (const auto &text : variables) env.push_back(put(strings, text));

        auto **vectors = reinterpret_cast<char **>(cursor) -
                         (arguments.size() + 1 + variables.size() + 1);
        char **argv = vectors;
        std::copy(args.begin(), args.end(), argv);
        argv[args.size()] = nullptr;
        char **envp = argv + args.size() + 1;
        std::copy(env.begin(), env.end(), envp);
        envp[env.size()] = nullptr;
        *record = {argv, static_cast<unsigned int>(args.size()), envp,
                   static_cast<unsigned int>(env.size())};
    }

    InitialStack window() const { return {region.base() - 1, region.end(), nullptr}; }

    static char *put(char *&at, const std::string &text) {
        char *start = at;
        std::memcpy(at, text.c_str(), text.size() + 1);
        at += text.size() + 1;
        return start;
    }
};

const char *start_of(const NewStack &stack) {
    return environment_start_from_record(stack.record, stack.window());
}

}  // namespace

TEST(PsStringsRecord, TheEnvironmentStartsAtItsVectorsFirstEntry) {
    NewStack stack({"python3.13", "-c", "pass"}, {"HOME=/root", "LANG=C.UTF-8"});
    EXPECT_EQ(start_of(stack), stack.env[0]);
    EXPECT_EQ(stack.env[0], stack.args[2] + 5);  // right above the last argument

    // setproctitle points the argument fields at a vector of its own: the
    // environment fields still tell.
    static char title[] = "python3.13: worker";
    static char *titles[] = {title, nullptr};
    stack.record->ps_argvstr = titles;
    stack.record->ps_nargvstr = 1;
    EXPECT_EQ(start_of(stack), stack.env[0]);
}

TEST(PsStringsRecord, WithoutEnvironmentStringsTheArgumentsEndTellsIt) {
    NewStack stack({"python3.13", "-c", "pass"}, {});
    EXPECT_EQ(start_of(stack), stack.args[2] + 5);
}

TEST(PsStringsRecord, NothingOutsideTheWindowIsReadOrTaken) {
    NewStack stack({"python3.13", "-c"}, {"HOME=/root"});
    const InitialStack window = stack.window();
    // The record itself outside the window, or running past its top.
    HeapPtr<PsStringsShape> copy{static_cast<PsStringsShape *>(std::malloc(sizeof *copy))};
    *copy = *stack.record;
    EXPECT_EQ(environment_start_from_record(copy.get(), window), nullptr);
    EXPECT_EQ(environment_start_from_record(nullptr, window), nullptr);
    EXPECT_EQ(environment_start_from_record(stack.region.end() - 8, window), nullptr);

    // The vector in the inaccessible pages: never read.
    char **const envp = stack.record->ps_envstr;
    stack.record->ps_envstr = reinterpret_cast<char **>(stack.region.base() - 64);
    EXPECT_EQ(start_of(stack), nullptr);
    stack.record->ps_envstr = reinterpret_cast<char **>(stack.region.end());
    EXPECT_EQ(start_of(stack), nullptr);

    // A first entry pointing at the heap, as after the C library's copy.
    stack.record->ps_envstr = envp;
    HeapPtr<char> heap{strdup("HOME=/root")};
    envp[0] = heap.get();
    EXPECT_EQ(start_of(stack), nullptr);

    // No environment, and an argument count whose vector would leave the
    // window, or a last argument with no zero byte before the top.
    stack.record->ps_nenvstr = 0;
    stack.record->ps_nargvstr = 0xFFFFFFFFU;
    EXPECT_EQ(start_of(stack), nullptr);
    stack.record->ps_nargvstr = 2;
    stack.record->ps_argvstr[1] = stack.region.end() - 4;
    std::memset(stack.region.end() - 4, 'x', 4);
    EXPECT_EQ(start_of(stack), nullptr);
}
