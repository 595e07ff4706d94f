// One row of the module's method table.
#pragma once

#include <Python.h>

namespace qn4t {

// Every function of the module takes its arguments as one tuple and has no documentation.
constexpr PyMethodDef method_row(const char *name, PyCFunction handler) {
    return {name, handler, METH_VARARGS, nullptr};
}

}  // namespace qn4t
