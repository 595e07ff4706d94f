// The stream reference: Python holds the address of a StreamCell, which holds the handle.
#pragma once

#include <Python.h>
#include <zlib.h>

#include <array>
#include <cerrno>

#include "binding/reference_arguments.h"
#include "binding/spelling.h"
#include "interface/method_row.h"

namespace qn4t {

// Cells live in the handed-out objects' arena (core/address_arena.h) and are never
// released once handed out, so a stream reference never comes to name anything else.
struct StreamCell {
    gzFile handle = nullptr;  // null after a failed open and after close
    bool writing = false;     // opened with a non-zero write flag
    int open_error = 0;       // errno of a failed open
    int write_error = 0;      // errno of the first record write that zlib could not take
};

// What a record write tells a script: on an open write stream the record's own result (-1
// when zlib could not take the bytes, whose errno the cell keeps for the close); on a
// stream that takes no writes (failed open, read stream, closed) 0, as it always has been.
// Called right after the write, while errno is still the write's.
inline int reported_write(StreamCell &cell, int result) {
    if (!cell.handle || !cell.writing) return 0;
    if (result < 0 && !cell.write_error) cell.write_error = errno;
    return result;
}

// Closes the cell's stream; afterwards the cell holds a null handle however the close went,
// so that a second close does nothing. A write stream's data is finished first: None when
// all of it reached the file, else null with IOError set (the system's errno and message,
// and `path` as the file name when it is not null). A read stream or a failed open: None.
PyObject *close_cell(StreamCell &cell, PyObject *path);

// The stream argument of a call whose other arguments are converted already: checked and
// resolved at once. The cell, or null with TypeError "Type error. Expected _p_gzFile".
inline StreamCell *stream_argument(PyObject *object) {
    void *cell = nullptr;
    if (!usable_reference(object, kStreamSlot, NullReference::kRefused, &cell)) return nullptr;
    return static_cast<StreamCell *>(cell);
}

// The four stream functions (stream_interface.cpp), their Python names spelled once, and
// their rows, which open the method table.
PyObject *open_stream(PyObject *, PyObject *arguments);
PyObject *close_stream(PyObject *, PyObject *arguments);
PyObject *seek_stream(PyObject *, PyObject *arguments);
PyObject *stream_at_end(PyObject *, PyObject *arguments);

inline constexpr auto kOpenName = fixed_text("qn4tGenericOpen");
inline constexpr auto kCloseName = fixed_text("qn4tGenericClose");
inline constexpr auto kSeekName = fixed_text("qn4tGenericSeek");
inline constexpr auto kEndName = fixed_text("qn4tGenericEOF");

constexpr std::array<PyMethodDef, 4> stream_rows() {
    return {{method_row(kOpenName.c_str(), open_stream), method_row(kCloseName.c_str(), close_stream),
             method_row(kSeekName.c_str(), seek_stream), method_row(kEndName.c_str(), stream_at_end)}};
}

}  // namespace qn4t
