// The four stream functions: open, close, seek and end test over a StreamCell.
#include "stream_interface.h"

#include <cerrno>

#include "binding/host.h"
#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "binding/reference_arguments.h"
#include "core/address_arena.h"
#include "core/record_stream.h"
#include "interface/method_rows.h"

namespace qn4t {
namespace {

// (path, writeFlag) -> a reference to a new cell; a file that cannot be opened still
// gives one, holding a null handle. None when the cell cannot be allocated.
PyObject *open_stream(PyObject *, PyObject *arguments) {
    const char *path = nullptr;
    int write_flag = 0;
    if (!host::parse_path_and_int(arguments, QN4T_PATH_CODE "i:qn4tGenericOpen", &path, &write_flag))
        return nullptr;
    // The cell comes first, so that running out of memory leaves the file untouched.
    StreamCell *cell = create_handed_out<StreamCell>();
    if (!cell) return host::none();
    if (!live_references().add(cell, TypeTable[kStreamSlot])) {
        destroy_handed_out(cell);
        return host::none();
    }
    errno = 0;
    cell->handle = qn4tGenericOpen(path, write_flag);
    cell->writing = write_flag != 0;
    if (!cell->handle) cell->open_error = errno ? errno : EIO;  // kept for the Python-side classes
    PyObject *reference = NewPointerObject(cell, TypeTable[kStreamSlot], 1);
    if (!reference) {
        qn4tGenericClose(cell->handle);
        live_references().remove(cell);
        destroy_handed_out(cell);
    }
    return reference;
}

// (stream) -> None, or IOError when a write stream's data did not all reach the file. The
// cell keeps a null handle afterwards, so a second close does nothing and later calls
// behave as on a stream whose open failed.
PyObject *close_stream(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    if (!PyArg_ParseTuple(arguments, "O:qn4tGenericClose", &reference)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    return close_cell(*cell, nullptr);
}

// (stream, offset) -> None; moves relative to the current position.
PyObject *seek_stream(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    int offset = 0;
    if (!PyArg_ParseTuple(arguments, "Oi:qn4tGenericSeek", &reference, &offset)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    qn4tGenericSeek(cell->handle, offset);
    return host::none();
}

// (stream) -> 1 once a read has met the end of the input, else 0.
PyObject *stream_at_end(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    if (!PyArg_ParseTuple(arguments, "O:qn4tGenericEOF", &reference)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    return host::int_from_long(qn4tGenericEOF(cell->handle));
}

PyMethodDef stream_rows[] = {
    {"qn4tGenericOpen", open_stream, METH_VARARGS, nullptr},
    {"qn4tGenericClose", close_stream, METH_VARARGS, nullptr},
    {"qn4tGenericSeek", seek_stream, METH_VARARGS, nullptr},
    {"qn4tGenericEOF", stream_at_end, METH_VARARGS, nullptr},
};

}  // namespace

const MethodRows kStreamRows{stream_rows, sizeof stream_rows / sizeof stream_rows[0]};

}  // namespace qn4t
