#pragma once

#include <cstddef>

// The kernel's cmdline file holds each argument string followed by a zero
// byte. Returns the number of zero bytes among the `size` bytes of
// `content`: a last string without its zero byte is not counted.
int count_cmdline_arguments(const char *content, std::size_t size);
