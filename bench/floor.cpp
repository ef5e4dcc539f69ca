// The floor under the module's calls: what a function costs that is called
// exactly as _setzentrave's are and does nothing of its own. The benchmarks
// build it for the interpreter they run on and divide each call by it; it is
// never shipped.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace {

const char *const keywords[] = {"title", nullptr};

// The text `get` returns a copy of, set once by `prepare`.
char text[256];
Py_ssize_t text_length = 0;

// The setters' convention and parser: the same flags, format and keywords,
// and nothing done with the parsed title.
PyObject *set(PyObject * /*module*/, PyObject *args, PyObject *kwargs) {
    const char *title = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s", keywords, &title)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The getter's convention, returning a new str of the prepared text.
PyObject *get(PyObject * /*module*/, PyObject * /*unused*/) {
    return PyUnicode_FromStringAndSize(text, text_length);
}

PyObject *prepare(PyObject * /*module*/, PyObject *arg) {
    Py_ssize_t length = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(arg, &length);
    if (utf8 == nullptr) {
        return nullptr;
    }
    if (length >= static_cast<Py_ssize_t>(sizeof text)) {
        PyErr_SetString(PyExc_ValueError, "at most 255 bytes");
        return nullptr;
    }
    std::memcpy(text, utf8, static_cast<std::size_t>(length));
    text_length = length;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"set", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(set)),
     METH_VARARGS | METH_KEYWORDS, "set(title) -- Parse the title and do nothing."},
    {"get", get, METH_NOARGS, "get() -- Return a new str of the prepared text."},
    {"prepare", prepare, METH_O, "prepare(text) -- Set the text get() returns."},
    {nullptr, nullptr, 0, nullptr},
};

// Declared as the module is, so that a free-threaded interpreter keeps its
// GIL off when the floor is imported.
PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_znv_floor", "The calling convention's floor.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__znv_floor() { return PyModuleDef_Init(&definition); }
