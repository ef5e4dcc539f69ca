#pragma once

// The module's only diagnostic output. When the environment variable ZNV_DEBUG
// holds a non-empty value, each call writes "[ZNV]: ", the formatted message and
// a newline to standard error; otherwise it writes nothing. The variable is read
// once, at the first call, and the answer holds for the life of the process.
void znv_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Whether the trace is on: decided as znv_debug decides it, at the first call
// of either.
bool znv_tracing();
