// Table rows as the table import takes them, made natively where they are plain.
#pragma once

#include <Python.h>

namespace qn4t {

// Adds _csv_cells and _row_document to the companion; false with the exception set.
bool add_table_cells(PyObject *module);

}  // namespace qn4t
