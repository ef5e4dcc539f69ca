#pragma once

// Memory for laying out what the kernel would, fenced by inaccessible pages,
// so a read outside it ends the test with a crash.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

// `size` writable bytes (rounded up to whole pages), filled with 'x',
// between two PROT_NONE pages.
class GuardedRegion {
public:
    explicit GuardedRegion(std::size_t size) {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        inner_ = (size + page_ - 1) / page_ * page_;
        void *map = mmap(nullptr, inner_ + 2 * page_, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            std::abort();
        }
        map_ = static_cast<char *>(map);
        if (mprotect(map_, page_, PROT_NONE) != 0 ||
            mprotect(map_ + page_ + inner_, page_, PROT_NONE) != 0) {
            std::abort();
        }
        std::memset(base(), 'x', inner_);
    }
    ~GuardedRegion() { munmap(map_, inner_ + 2 * page_); }
    GuardedRegion(const GuardedRegion &) = delete;
    GuardedRegion &operator=(const GuardedRegion &) = delete;

    char *base() const { return map_ + page_; }  // the first byte above the lower guard
    char *end() const { return map_ + page_ + inner_; }

private:
    std::size_t page_ = 0;
    std::size_t inner_ = 0;
    char *map_ = nullptr;
};
