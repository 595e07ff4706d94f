// The four stream functions: open, close, seek and end test over a StreamCell.
#include "stream_interface.h"

#include <cerrno>

#include "binding/hand_out.h"
#include "binding/host.h"
#include "binding/string_arguments.h"
#include "core/address_arena.h"
#include "core/record_stream.h"

namespace qn4t {
namespace {

inline constexpr std::string_view kPathAndInt = QN4T_PATH_CODE "i";
inline constexpr std::string_view kObjectAndInt = "Oi";
constexpr auto kOpenFormat = parse_format<kPathAndInt>(kOpenName);
constexpr auto kCloseFormat = parse_format<kOneObject>(kCloseName);
constexpr auto kSeekFormat = parse_format<kObjectAndInt>(kSeekName);
constexpr auto kEndFormat = parse_format<kOneObject>(kEndName);

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
    if (!parse_path_and_int(arguments, kOpenFormat.c_str(), kOpenName.c_str(), &path, &write_flag))
        return nullptr;
    // The cell is made and entered as live before the file is opened, so that running out
    // of memory leaves the file untouched.
    StreamCell *cell = create_handed_out<StreamCell>();
    if (!enter_live(cell, kStreamSlot, &release_cell)) return host::none();
    errno = 0;
    cell->handle = qn4tGenericOpen(path, write_flag);
    cell->writing = write_flag != 0;
    if (!cell->handle) cell->open_error = errno ? errno : EIO;  // kept for the Python-side classes
    return wrap_entered(cell, kStreamSlot, &release_cell);
}

// (stream) -> None, or IOError when a write stream's data did not all reach the file. The
// cell keeps a null handle afterwards, so a second close does nothing and later calls
// behave as on a stream whose open failed.
PyObject *close_stream(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    if (!PyArg_ParseTuple(arguments, kCloseFormat.c_str(), &reference)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    return close_cell(*cell, nullptr);
}

// (stream, offset) -> None; moves relative to the current position.
PyObject *seek_stream(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    int offset = 0;
    if (!PyArg_ParseTuple(arguments, kSeekFormat.c_str(), &reference, &offset)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    qn4tGenericSeek(cell->handle, offset);
    return host::none();
}

// (stream) -> 1 once a read has met the end of the input, else 0.
PyObject *stream_at_end(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr;
    if (!PyArg_ParseTuple(arguments, kEndFormat.c_str(), &reference)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    return host::int_from_long(qn4tGenericEOF(cell->handle));
}

}  // namespace qn4t
