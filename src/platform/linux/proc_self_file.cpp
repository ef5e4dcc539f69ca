#include "platform/linux/proc_self_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

// Closes the descriptor on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

std::optional<std::string_view> read_proc_self(const char *name, char *buffer,
                                               std::size_t size) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/%s", name);
    const Descriptor file(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        return std::nullopt;
    }
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::read(file.get(), buffer + filled, size - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    return std::string_view(buffer, filled);
}
