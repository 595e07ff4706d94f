// Adding objects to the companion module: each helper takes what it is given and lets go of
// it when the module cannot hold it, so a failed start leaks nothing.
#pragma once

#include <Python.h>

namespace qn4t {

// Adds `object` (a new reference, taken in any case; null passes an error on) under `name`.
// False with the exception set.
bool add_to_module(PyObject *module, const char *name, PyObject *object);

// Adds a static type object, which keeps a reference of its own. False with the exception set.
bool add_type(PyObject *module, const char *name, PyTypeObject *type);

// Adds a function for each row of `functions` (ended by a null row). False with the
// exception set.
bool add_functions(PyObject *module, PyMethodDef *functions);

}  // namespace qn4t
