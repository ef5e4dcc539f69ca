// A program embedding the interpreter without giving it any arguments, as a
// host application would. It runs the Python program read from its standard
// input and exits with 0 only when that program ran without an exception.

#include <Python.h>

#include <cstdio>

int main() {
    Py_Initialize();
    const int failed = PyRun_SimpleFile(stdin, "<stdin>");
    const int finalize_failed = Py_FinalizeEx();
    return failed != 0 || finalize_failed != 0 ? 1 : 0;
}
