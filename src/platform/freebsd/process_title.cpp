#include "platform/process_title.h"

#include <sys/types.h>
#include <unistd.h>

// FreeBSD's C library keeps the process title itself. The fixed format keeps
// any '%' in the title literal.
void znv_platform_set_title(const char *title, std::size_t /*length*/, char *const * /*argv*/) {
    setproctitle("%s", title);
}

// What a call cut off by fork() left is the C library's own state; the
// child's next title replaces it.
void znv_platform_clear_after_fork() {}
