// The stream reference: Python holds the address of a StreamCell, which holds the handle.
#pragma once

#include <Python.h>
#include <zlib.h>

#include <cerrno>

namespace qn4t {

struct StreamCell {
    gzFile handle = nullptr;  // null after a failed open and after close
    bool writing = false;     // opened with a non-zero write flag
    int open_error = 0;       // errno of a failed open
    int write_error = 0;      // errno of the first record write that zlib could not take
};

// Converts a stream reference; a null one (None, "NULL") is refused. Returns the cell, or
// null with TypeError "Type error. Expected _p_gzFile" set.
StreamCell *stream_argument(PyObject *object);

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

}  // namespace qn4t
