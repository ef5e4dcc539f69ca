#pragma once

#include <Python.h>

// The title buffer and the platform's title area are process-wide: every
// thread of a free-threaded interpreter, and every interpreter in the process,
// shares them. One PyMutex serialises every change to them (readers of the
// buffer need no lock, see title_store.cpp). While a thread waits for
// it, PyMutex detaches the thread's interpreter state, so a waiter never holds
// up the interpreter (or the GIL of a GIL build) that the owner may need.
// The lock is not reentrant: nothing that runs under it calls back into Python.
inline PyMutex title_mutex{};

class TitleLock {
public:
    TitleLock() { PyMutex_Lock(&title_mutex); }
    ~TitleLock() { PyMutex_Unlock(&title_mutex); }
    TitleLock(const TitleLock &) = delete;
    TitleLock &operator=(const TitleLock &) = delete;
};
