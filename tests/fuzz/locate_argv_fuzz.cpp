// The walk down from the first environment string over synthetic memory: the
// input's bytes lie directly below an environment string, in pages fenced by
// inaccessible guard pages, and the window's floor is the last byte of the
// lower guard page, so a read at or below the floor (or above the
// environment string) crashes. The walk starts at environ[0], or at the
// recorded start when environ[0] is a heap copy, or not at all without a
// window. A vector the walk returns holds argc strings that end back to back
// at the environment string, all above the floor, the first of them argv[0].

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz_input.h"
#include "setup/locate_argv.h"

namespace {

constexpr char FIRST_ENV[] = "LANG=C";

// Pages of memory between two guard pages, freed when the input is done.
class Fenced {
public:
    explicit Fenced(std::size_t bytes)
        : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))),
          inner_((bytes + page_ - 1) / page_ * page_),
          map_(static_cast<char *>(mmap(nullptr, inner_ + 2 * page_, PROT_READ | PROT_WRITE,
                                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {
        FUZZ_CHECK(map_ != MAP_FAILED);
        FUZZ_CHECK(mprotect(map_, page_, PROT_NONE) == 0);
        FUZZ_CHECK(mprotect(map_ + page_ + inner_, page_, PROT_NONE) == 0);
    }
    ~Fenced() { munmap(map_, inner_ + 2 * page_); }
    Fenced(const Fenced &) = delete;
    Fenced &operator=(const Fenced &) = delete;

    char *begin() const { return map_ + page_; }
    char *end() const { return map_ + page_ + inner_; }

private:
    std::size_t page_;
    std::size_t inner_;
    char *map_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzInput in{data, size};
    const int argc = static_cast<int>(in.byte() % 40) - 2;
    const char filler = static_cast<char>(in.byte());
    const std::uint8_t start = in.byte() % 3;
    const std::string arg0 = in.text(64);
    const std::string memory = in.rest();
    if (memory.size() > 64 * 1024) {
        return 0;
    }

    Fenced fenced{memory.size() + sizeof FIRST_ENV};
    // Below the input's bytes, up to the floor: the filler byte.
    char *const first_env = fenced.end() - sizeof FIRST_ENV;
    std::memcpy(first_env, FIRST_ENV, sizeof FIRST_ENV);
    char *const below = first_env - memory.size();
    std::memset(fenced.begin(), filler, static_cast<std::size_t>(below - fenced.begin()));
    std::memcpy(below, memory.data(), memory.size());
    const char *const floor = fenced.begin() - 1;
    ExactString expected_arg0{arg0};

    // 0: environ[0] in the window, no record; 1: environ[0] a heap copy,
    // the start recorded; 2: no window at all.
    ExactString copied{FIRST_ENV};
    const std::optional<InitialStack> stack =
        start == 2 ? std::nullopt
                   : std::optional<InitialStack>{
                         {floor, fenced.end(), start == 1 ? first_env : nullptr}};
    char **argv = locate_argv_within(argc, expected_arg0.get(),
                                     start == 1 ? copied.get() : first_env, stack);
    if (argv == nullptr) {
        return 0;
    }
    FUZZ_CHECK(start != 2);
    FUZZ_CHECK(argc >= 1);
    FUZZ_CHECK(argv[argc] == nullptr);
    const char *next = first_env;
    for (int i = argc - 1; i >= 0; --i) {
        FUZZ_CHECK(argv[i] > floor && argv[i] < next);
        FUZZ_CHECK(argv[i] + std::strlen(argv[i]) + 1 == next);
        next = argv[i];
    }
    FUZZ_CHECK(std::strcmp(argv[0], arg0.c_str()) == 0);
    std::free(argv);
    return 0;
}
