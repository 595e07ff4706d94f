// The stream reference: Python holds the address of a StreamCell, which holds the handle.
#pragma once

#include <Python.h>
#include <zlib.h>

namespace qn4t {

struct StreamCell {
    gzFile handle = nullptr;  // null after a failed open and after close
};

// Converts a stream reference; a null one (None, "NULL") is refused. Returns the cell, or
// null with TypeError "Type error. Expected _p_gzFile" set.
StreamCell *stream_argument(PyObject *object);

}  // namespace qn4t
