// The cells of a CSV row as the table import takes them, made natively where they are plain.
#pragma once

#include <Python.h>

namespace qn4t {

// Adds _csv_cells to the companion; false with the exception set.
bool add_table_cells(PyObject *module);

}  // namespace qn4t
