// The module's entry point and its method table.
#pragma once

#include <Python.h>

#include <cstddef>

#include "binding/host.h"

// Called by the interpreter at `import _qn4tGenericActionLoader`: exported as
// `init_qn4tGenericActionLoader` on Python 2 and `PyInit__qn4tGenericActionLoader` on
// Python 3 (which also receives the module).
QN4T_ENTRY_POINT(_qn4tGenericActionLoader);

namespace qn4t {

// Functions in the method table.
constexpr std::size_t kMethodCount = 134;

// The kMethodCount rows in table order and the null row that ends them.
PyMethodDef *MethodTable();

}  // namespace qn4t
