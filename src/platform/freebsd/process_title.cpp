#include "platform/process_title.h"

#include <sys/types.h>
#include <stdlib.h>  // getprogname
#include <sys/sysctl.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include "debug/trace.h"
#include "platform/freebsd/title_room.h"

// FreeBSD's C library keeps the process title itself, and hands the kernel
// `progname: title`, which the kernel keeps only while it fits its limit
// (see title_room.h); the title is cut to fit, so a listing never goes on
// showing one the program has replaced.

namespace {

// Read at the first title and kept: guarded by the title lock, which every
// caller of znv_platform_set_title holds.
bool limit_known = false;
std::size_t cache_limit = DEFAULT_PS_ARG_CACHE_LIMIT;

std::size_t read_cache_limit() {
    unsigned int limit = 0;
    std::size_t size = sizeof limit;
    if (sysctlbyname("kern.ps_arg_cache_limit", &limit, &size, nullptr, 0) != 0 ||
        size != sizeof limit) {
        znv_debug("can't read kern.ps_arg_cache_limit: titles are cut to fit %d bytes",
                  static_cast<int>(DEFAULT_PS_ARG_CACHE_LIMIT));
        return DEFAULT_PS_ARG_CACHE_LIMIT;
    }
    return limit;
}

}  // namespace

void znv_platform_set_title(const char *title, std::size_t /*length*/, char *const * /*argv*/) {
    if (!limit_known) {
        cache_limit = read_cache_limit();
        limit_known = true;
    }
    const char *name = getprogname();
    const std::size_t length =
        title_cut(title, cache_limit, name != nullptr ? std::strlen(name) : 0);
    // The fixed format keeps any '%' in the title literal; the precision
    // hands over only the bytes that fit.
    setproctitle("%.*s", static_cast<int>(length), title);
}

// What a call cut off by fork() left is the C library's own state; the
// child's next title replaces it.
void znv_platform_clear_after_fork() {}
