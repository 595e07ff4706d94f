// The module's entry point and its method table.
#pragma once

#include <Python.h>

// Called by the interpreter at `import _qn4tGenericActionLoader`.
extern "C" __attribute__((visibility("default"))) void init_qn4tGenericActionLoader(void);

namespace qn4t {

// The 134 rows in table order and the null row that ends them.
PyMethodDef *MethodTable();

}  // namespace qn4t
