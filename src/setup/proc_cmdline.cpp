#include "setup/proc_cmdline.h"

#include <Python.h>

#include <cstdio>
#include <cstring>

#include "debug/trace.h"
#include "debug/trace_text.h"
#include "raii/py_ref.h"
#include "setup/cmdline_count.h"
#include "setup/py_file.h"

namespace {

// Every failure of an interpreter call is traced and then cleared: this
// source fails softly and leaves no error behind.
int traced_failure(const char *message) {
    znv_debug("%s", message);
    PyErr_Clear();
    return -1;
}

// Closing a file we only read cannot lose data; a failure is traced, cleared
// and otherwise ignored. The caller's error state must be clean.
void close_file(PyObject *file) {
    PyRef closed{PyObject_CallMethod(file, "close", nullptr)};
    if (!closed) {
        znv_debug("closing failed");
        PyErr_Clear();
    }
}

// Reads the whole file. Whatever the read gives, the file is closed; a failed
// read's error is set aside meanwhile, so close runs on a clean error state,
// and put back afterwards for the caller to handle.
PyRef read_and_close(PyObject *file) {
    PyRef content{PyObject_CallMethod(file, "read", nullptr)};
    PyObject *read_error = content ? nullptr : PyErr_GetRaisedException();
    close_file(file);
    if (read_error != nullptr) {
        PyErr_SetRaisedException(read_error);  // steals the reference
    }
    return content;
}

}  // namespace

int read_proc_cmdline(int *argc, char **arg0) {
    PyRef os{PyImport_ImportModule("os")};
    if (!os) {
        return traced_failure("failed to import os");
    }
    PyRef pid_object{PyObject_CallMethod(os.get(), "getpid", nullptr)};
    if (!pid_object) {
        return traced_failure("calling os.getpid() failed");
    }
    const long pid = PyLong_AsLong(pid_object.get());
    if (pid == -1) {
        return traced_failure("os.getpid() returned crap?");
    }

    char path[30];
    std::snprintf(path, sizeof path, "/proc/%ld/cmdline", pid);
    PyRef file{PyFile_FromString(path, "rb")};
    if (!file) {
        znv_debug("opening '%s' failed", path);
        PyErr_Clear();
        return -1;
    }
    PyRef content = read_and_close(file.get());
    if (!content) {
        return traced_failure("reading failed");
    }
    const char *bytes = PyBytes_AsString(content.get());
    if (bytes == nullptr) {
        return traced_failure("failed to get cmdline string");
    }

    // A bytes object always ends with a zero byte past its content, so the
    // copy stops there even when the content holds none.
    char *copy = strdup(bytes);
    if (copy == nullptr) {
        znv_debug("arg0 strdup failed");
        return -1;
    }
    znv_debug("got argv[0] = '%s' from /proc", TraceText(copy).c_str());
    const int count = count_cmdline_arguments(
        bytes, static_cast<std::size_t>(PyBytes_Size(content.get())));
    znv_debug("got argc = %d from /proc", count);
    *argc = count;
    *arg0 = copy;
    return 0;
}
