#pragma once

// Shows `title`, a terminated string of at most 255 bytes, as this process's
// title in process listings. `argv` is the argument vector located at setup,
// or null when setup has not run or failed. Called with the title lock held.
void znv_platform_set_title(const char *title, char *const *argv);
