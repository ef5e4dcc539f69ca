#include "platform/process_title.h"

#include <sys/types.h>
#include <unistd.h>

// FreeBSD's C library keeps the process title itself. The fixed format keeps
// any '%' in the title literal.
void znv_platform_set_title(const char *title, char *const * /*argv*/) {
    setproctitle("%s", title);
}
