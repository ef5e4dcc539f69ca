#pragma once

#include <atomic>

// The one-time setup, run by the first process-title call: finds the command
// line the process was started with, hands the argument vector to the title
// store and sets the command line, joined by blanks, as the first title.
// Returns 0 on success and -1 on failure (traced, no interpreter error left
// pending); any later call traces that it came again and returns the first
// run's result. Needs an attached thread state.
int znv_setup();

// Set once setup has run while the trace is off: a title call then has
// nothing left to run or trace about setup. Never cleared.
extern std::atomic<bool> znv_setup_settled;

// Whether a title call must still call znv_setup. Asked on every title call,
// although the answer changes once per process: one load.
inline bool znv_setup_pending() { return !znv_setup_settled.load(std::memory_order_acquire); }

// Registers, once per process, what a forked child runs to free the module's
// locks and settle what another thread left half done. Returns 0, or -1 with
// MemoryError set when the C library has no room for it (traced); the module
// must not be used then, and the next import tries again.
int znv_watch_forks();
