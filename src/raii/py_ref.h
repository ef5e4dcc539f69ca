#pragma once

#include <Python.h>

#include <memory>

// An owned reference to an interpreter object: released when it goes out of
// scope, so every path out of a function gives back what it made.
struct PyRefRelease {
    void operator()(PyObject *object) const { Py_DECREF(object); }
};
using PyRef = std::unique_ptr<PyObject, PyRefRelease>;
