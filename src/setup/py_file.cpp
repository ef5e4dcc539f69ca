#include "setup/py_file.h"

#include "debug/trace.h"
#include "raii/py_ref.h"

PyObject *PyFile_FromString(const char *filename, const char *mode) {
    PyRef io{PyImport_ImportModule("io")};
    if (!io) {
        znv_debug("failed to import io");
        return nullptr;
    }
    return PyObject_CallMethod(io.get(), "open", "ss", filename, mode);
}
