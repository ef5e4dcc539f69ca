#include "title/title_store.h"

#include <cstring>

#include "platform/process_title.h"
#include "title/strlcpy.h"
#include "title/title_lock.h"
#include "title/utf8_prefix.h"

namespace {

// Guarded by the title lock.
char title_buffer[TITLE_BUFFER_SIZE];
char **saved_argv = nullptr;

// Caller holds the title lock.
void store_and_show(const char *text) {
    const std::size_t keep = utf8_prefix_within(text, TITLE_BUFFER_SIZE - 1);
    znv_strlcpy(title_buffer, text, keep + 1);
    // The whole buffer goes to the platform; '%' in it is never read as a format.
    znv_platform_set_title(title_buffer, saved_argv);
}

}  // namespace

void znv_save_argv(char **argv) {
    TitleLock lock;
    saved_argv = argv;
}

void znv_init_title(const char *text) {
    TitleLock lock;
    if (saved_argv == nullptr) {
        return;
    }
    store_and_show(text);
}

void znv_set_title(const char *title) {
    TitleLock lock;
    store_and_show(title);
}

std::size_t znv_get_title(char (&out)[TITLE_BUFFER_SIZE]) {
    TitleLock lock;
    const std::size_t length = std::strlen(title_buffer);
    std::memcpy(out, title_buffer, length + 1);
    return length;
}
