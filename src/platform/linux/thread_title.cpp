#include "platform/thread_title.h"

#include <sys/prctl.h>

#include <cerrno>
#include <cstring>

#include "debug/trace.h"
#include "title/utf8_prefix.h"

// The kernel keeps a name of at most 15 bytes for each thread (the "comm" of
// /proc/self/task/TID/comm, shown by `ps -L` and `top -H`). The main thread's
// name is the process's short name, which `top` shows and `pgrep` matches.
// PR_SET_NAME and PR_GET_NAME act on the calling thread only.

void thread_title_set_hook(const char *title) {
    char name[THREAD_TITLE_BUFFER_SIZE] = {};
    // The kernel would cut at 15 bytes wherever characters fall; cut before
    // the character instead, so the name stays readable text.
    std::memcpy(name, title, utf8_prefix_within(title, THREAD_TITLE_BUFFER_SIZE - 1));
    if (prctl(PR_SET_NAME, name, 0, 0, 0) != 0) {
        znv_debug("naming the thread failed: errno %d", errno);
    }
}

void thread_title_get_hook(char *buffer) {
    if (prctl(PR_GET_NAME, buffer, 0, 0, 0) != 0) {
        znv_debug("reading the thread name failed: errno %d", errno);
        buffer[0] = '\0';
    }
    buffer[THREAD_TITLE_BUFFER_SIZE - 1] = '\0';
}
