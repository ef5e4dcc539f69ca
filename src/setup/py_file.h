#pragma once

#include <Python.h>

#include "export.h"

// Opens `filename` with `mode` through the interpreter's io.open. Returns a
// new reference to the file object, or null with the interpreter's error set
// (the caller must hold an attached thread state).
ZNV_EXPORT PyObject *PyFile_FromString(const char *filename, const char *mode);
