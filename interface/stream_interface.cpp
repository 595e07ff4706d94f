// The four stream functions: open, close, seek and end test over a StreamCell.
#include "stream_interface.h"

#include "binding/hand_out.h"
#include "binding/host.h"
#include "binding/reference_arguments.h"
#include "core/address_arena.h"
#include "core/record_stream.h"

namespace qn4t {
namespace {

// The stream argument of a call whose other arguments are converted already (the seek's
// offset by the parser): checked and resolved at once. The cell, or null with TypeError
// "Type error. Expected _p_gzFile".
StreamCell *stream_argument(PyObject *object) {
    void *cell = nullptr;
    if (!usable_reference(object, kStreamSlot, NullReference::kRefused, &cell)) return nullptr;
    return static_cast<StreamCell *>(cell);
}

// A cell that could not be handed out: its file (if one was opened) is closed, the cell
// released.
void release_cell(void *cell) {
    qn4tGenericClose(static_cast<StreamCell *>(cell)->handle);
    destroy_handed_out(static_cast<StreamCell *>(cell));
}

}  // namespace

// (path, writeFlag) -> a reference to a new cell; a file that cannot be opened still
// gives one, holding a null handle. None when the cell cannot be allocated.
PyObject *open_stream(PyObject *, PyObject *arguments) {
    const char *path = nullptr;
    int write_flag = 0;
    if (!PyArg_ParseTuple(arguments, "si:qn4tGenericOpen", &path, &write_flag)) return nullptr;
    // The cell is made and entered as live before the file is opened, so that running out
    // of memory leaves the file untouched.
    StreamCell *cell = create_handed_out<StreamCell>();
    if (!enter_live(cell, kStreamSlot, &release_cell)) return host::none();
    cell->handle = qn4tGenericOpen(path, write_flag);
    return wrap_entered(cell, kStreamSlot, &release_cell);
}

// (stream) -> None. The cell keeps a null handle afterwards, so a second close does
// nothing and later calls behave as on a stream whose open failed.
PyObject *close_stream(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    if (!PyArg_ParseTuple(arguments, "O:qn4tGenericClose", &reference)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    qn4tGenericClose(cell->handle);
    cell->handle = nullptr;
    return host::none();
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

}  // namespace qn4t
