// The stream reference: Python holds the address of a StreamCell, which holds the handle.
#pragma once

#include <Python.h>
#include <zlib.h>

#include <array>

#include "interface/method_row.h"

namespace qn4t {

// Cells live in the handed-out objects' arena (core/address_arena.h) and are never
// released once handed out, so a stream reference never comes to name anything else.
struct StreamCell {
    gzFile handle = nullptr;  // null after a failed open and after close
};

// The four stream functions (stream_interface.cpp).
PyObject *open_stream(PyObject *, PyObject *arguments);
PyObject *close_stream(PyObject *, PyObject *arguments);
PyObject *seek_stream(PyObject *, PyObject *arguments);
PyObject *stream_at_end(PyObject *, PyObject *arguments);

// Their rows, which open the method table.
constexpr std::array<PyMethodDef, 4> stream_rows() {
    return {{method_row("qn4tGenericOpen", open_stream), method_row("qn4tGenericClose", close_stream),
             method_row("qn4tGenericSeek", seek_stream), method_row("qn4tGenericEOF", stream_at_end)}};
}

}  // namespace qn4t
