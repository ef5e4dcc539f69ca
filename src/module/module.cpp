// The interpreter-facing module: its definition, its slots and the four
// Python-level functions.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "debug/trace.h"
#include "platform/thread_title.h"
#include "raii/py_mutex_guard.h"
#include "setup/setup.h"
#include "title/title_store.h"

namespace {

// Each setter has its own list: the one argument may be given as title=.
const char *const setzentrave_keywords[] = {"title", nullptr};
const char *const setthreadtitle_keywords[] = {"title", nullptr};

// Setup fails softly: the title functions work on without a first title.
void ensure_setup() {
    if (znv_setup_pending() && znv_setup() < 0) {
        znv_debug("failed to initialize setzentrave");
    }
}

PyObject *setzentrave(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
    const char *title = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", setzentrave_keywords, &title)) {
        znv_debug("failed to parse tuple and keywords");
        return nullptr;
    }
    ensure_setup();  // the first title must come before this one replaces it
    znv_set_title(title);
    Py_RETURN_NONE;
}

PyObject *getzentrave(PyObject * /*module*/, PyObject * /*unused*/) {
    ensure_setup();
    // Decode a copy: another thread may store a title while the interpreter
    // allocates the str.
    char title[TITLE_BUFFER_SIZE];
    const std::size_t length = znv_get_title(title);
    return PyUnicode_FromStringAndSize(title, static_cast<Py_ssize_t>(length));
}

PyObject *setthreadtitle(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
    const char *title = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", setthreadtitle_keywords, &title)) {
        znv_debug("failed to parse tuple and keywords");
        return nullptr;
    }
    thread_title_set_hook(title);
    Py_RETURN_NONE;
}

PyObject *getthreadtitle(PyObject * /*module*/, PyObject * /*unused*/) {
    char buffer[THREAD_TITLE_BUFFER_SIZE] = {};
    thread_title_get_hook(buffer);
    // A thread's name may have been given by other code, or cut by the kernel
    // inside a character: undecodable bytes come back escaped, as the
    // interpreter does for other names the system hands it.
    return PyUnicode_DecodeUTF8(buffer, static_cast<Py_ssize_t>(std::strlen(buffer)),
                                "surrogateescape");
}

int module_exec(PyObject * /*module*/) {
    znv_debug("module init");
    return znv_watch_forks();
}

PyMethodDef methods[] = {
    {"setzentrave", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setzentrave)),
     METH_VARARGS | METH_KEYWORDS, "setzentrave(title) -- Change the process title."},
    {"getzentrave", getzentrave, METH_NOARGS, "getzentrave() -- Get the current process title."},
    {"setthreadtitle",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setthreadtitle)),
     METH_VARARGS | METH_KEYWORDS, "setthreadtitle(title) -- Change the thread title."},
    {"getthreadtitle", getthreadtitle, METH_NOARGS,
     "getthreadtitle() -- Return the thread title."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // Everything the module remembers is process-wide and guarded by its own
    // lock, so it needs neither the GIL nor one interpreter per process.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_setzentrave",
    "Allow customization of the process title.",
    0,  // no per-module state: the title is the process's, not the module's
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

// Interpreters that import the module for the first time at once would each
// find the definition uninitialised and each give it an index of its own
// (PyModuleDef_Init reads and writes it unlocked): one at a time.
PyMutex definition_lock = {};

}  // namespace

PyMODINIT_FUNC PyInit__setzentrave() {
    PyMutexGuard guard(definition_lock);
    return PyModuleDef_Init(&module_definition);
}
