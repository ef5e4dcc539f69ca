#pragma once

#include <Python.h>

// Holds a PyMutex for the guard's scope. The module's locks guard state that
// is process-wide, shared by every thread and every interpreter. While a
// thread waits, PyMutex detaches its thread state, so a waiter never holds up
// the interpreter (or the GIL of a GIL build) that the owner may need.
// PyMutex is not reentrant.
class PyMutexGuard {
public:
    explicit PyMutexGuard(PyMutex &mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
    ~PyMutexGuard() { PyMutex_Unlock(&mutex_); }
    PyMutexGuard(const PyMutexGuard &) = delete;
    PyMutexGuard &operator=(const PyMutexGuard &) = delete;

private:
    PyMutex &mutex_;
};
