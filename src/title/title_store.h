#pragma once

#include <cstddef>

// The one copy of the process title that the module keeps, and the only caller
// of the platform's title routine. Every function takes the title lock.

// 255 bytes of title and a terminator.
inline constexpr std::size_t TITLE_BUFFER_SIZE = 256;

// Hands the store the argument vector located at setup; the store keeps it for
// the life of the process.
void znv_save_argv(char **argv);

// Sets the first title, the command line the process was started with. Does
// nothing until an argument vector has been saved.
void znv_init_title(const char *text);

// Stores `title`, cut to at most 255 bytes before any character the cut would
// split, and has the platform show it.
void znv_set_title(const char *title);

// Copies the stored title, terminator included, into `out` and returns its
// length. Before any title is set, the title is empty.
std::size_t znv_get_title(char (&out)[TITLE_BUFFER_SIZE]);

// In the child of a fork(), which has only the thread that forked: frees the
// title lock and settles a title change that another thread was making at
// that moment (the child's title is then empty, stored and shown), so that
// the child's title calls neither wait for ever nor read or show a half-made
// title.
void znv_title_store_after_fork();
