// The module's global-variable object of the type "swigvarlink". The module links no
// variables to it and does not publish it; it exists for the life of the process.
#pragma once

#include <Python.h>

namespace qn4t {

struct LinkedVariable {
    char *name;
    PyObject *(*get)();
    int (*set)(PyObject *value);
    LinkedVariable *next;
};

struct VariableLink {
    PyObject_HEAD
    LinkedVariable *variables;  // null when empty
};

// A new VariableLink with no variables (reference count 1), or null (no exception set)
// when memory or the type cannot be had.
PyObject *CreateVariableLink();

// The module-wide VariableLink, made at the first module start; null before it.
PyObject *ModuleVariableLink();
void SetModuleVariableLink(PyObject *link);

}  // namespace qn4t
