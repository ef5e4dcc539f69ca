#include "setup/argc_argv.h"

#include <Python.h>

#include <cstring>

#include "debug/trace.h"
#include "raii/heap_ptr.h"
#include "setup/locate_argv.h"
#include "setup/proc_cmdline.h"
#include "raii/py_ref.h"

namespace {

// argv[0] as the interpreter decoded it, encoded back to bytes strictly in
// the default encoding, so it compares byte for byte with the argument area.
// Null when it has no such form (a name that was not valid text) or the
// copy cannot be had.
char *interpreter_arg0(int count, wchar_t *const *argv) {
    znv_debug("found %d arguments", count);
    PyRef text{PyUnicode_FromWideChar(argv[0], -1)};
    if (!text) {
        znv_debug("failed to convert argv[0] to unicode");
        PyErr_Clear();
        return nullptr;
    }
    PyRef encoded{PyUnicode_AsEncodedString(text.get(), PyUnicode_GetDefaultEncoding(), "strict")};
    if (!encoded) {
        znv_debug("failed to encode argv[0]");
        PyErr_Clear();
        return nullptr;
    }
    // A bytes object's buffer cannot be missing once the object exists.
    return strdup(PyBytes_AS_STRING(encoded.get()));
}

int discovery_failed() {
    znv_debug("get_argc_argv failed");
    return -1;
}

}  // namespace

int get_argc_argv(int *argc, char ***argv) {
    znv_debug("reading argc/argv from Python main");
    int count = 0;
    wchar_t **interpreter_argv = nullptr;
    Py_GetArgcArgv(&count, &interpreter_argv);

    HeapPtr<char> arg0;
    if (count > 0 && interpreter_argv != nullptr) {
        arg0.reset(interpreter_arg0(count, interpreter_argv));
        if (!arg0) {
            znv_debug("couldn't get a copy of argv[0]");
            return discovery_failed();
        }
    } else {
        znv_debug("no good news from Py_GetArgcArgv");
        znv_debug("looking for args into proc fs");
        char *proc_arg0 = nullptr;
        if (read_proc_cmdline(&count, &proc_arg0) != 0) {
            znv_debug("failed to get args from proc fs");
            return discovery_failed();
        }
        arg0.reset(proc_arg0);
    }

    // The copy of argv[0] is only needed for the walk's check.
    char **found = locate_argv(count, arg0.get());
    arg0.reset();
    if (found == nullptr) {
        return discovery_failed();
    }
    *argc = count;
    *argv = found;
    return 0;
}
