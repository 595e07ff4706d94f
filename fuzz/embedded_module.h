// The interpreter embedded in a fuzz target, with the module built in.
#pragma once

#include <Python.h>

#include <cstdlib>

#include "interface/module_start.h"

namespace qn4t_fuzz {

// Starts the interpreter on first use and returns the imported module (borrowed).
inline PyObject *embedded_module() {
    static PyObject *module = [] {
        PyImport_AppendInittab(const_cast<char *>("_qn4tGenericActionLoader"),
                               init_qn4tGenericActionLoader);
        Py_SetProgramName(const_cast<char *>(QN4T_PYTHON2_EXECUTABLE));  // finds the stdlib
        Py_InitializeEx(0);  // no signal handlers: libFuzzer keeps its own
        PyObject *imported = PyImport_ImportModule("_qn4tGenericActionLoader");
        if (!imported) {
            PyErr_Print();
            std::abort();
        }
        return imported;
    }();
    return module;
}

// Runs Python statements in a namespace of their own; returns that namespace (new).
inline PyObject *run_python(const char *code) {
    PyObject *globals = PyDict_New();
    if (!globals) std::abort();
    PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
    PyObject *result = PyRun_String(code, Py_file_input, globals, globals);
    if (!result) {
        PyErr_Print();
        std::abort();
    }
    Py_DECREF(result);
    return globals;
}

// Calls a module function by name with a tuple built from `format`; new reference or null.
template <class... A>
PyObject *call_module(const char *name, const char *format, A... arguments) {
    PyObject *function = PyObject_GetAttrString(embedded_module(), name);
    if (!function) std::abort();
    PyObject *args = Py_BuildValue(format, arguments...);
    PyObject *result = args ? PyObject_CallObject(function, args) : nullptr;
    Py_XDECREF(args);
    Py_DECREF(function);
    return result;
}

}  // namespace qn4t_fuzz
