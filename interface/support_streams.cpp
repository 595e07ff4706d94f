// The companion module's stream functions: the reason of a failed open, and a close that
// names the file when its data did not reach it.
#include "binding/host.h"
#include "interface/stream_interface.h"
#include "interface/support_module.h"

namespace qn4t {
namespace {

constexpr auto kCheckOpenFormat = parse_format<kTwoObjects>(kCheckOpenName);
constexpr auto kStreamCloseFormat = parse_format<kTwoObjects>(kStreamCloseName);

}  // namespace

// (stream, path) -> None when the stream's open succeeded; otherwise IOError(errno, strerror,
// path), the system's reason for the failed open.
PyObject *stream_check_open(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr, *path = nullptr;
    if (!PyArg_ParseTuple(arguments, kCheckOpenFormat.c_str(), &reference, &path)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    if (cell->handle || !cell->open_error) return host::none();
    errno = cell->open_error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_IOError, path);
}

// (stream, path) -> None; IOError(errno, strerror, path) when a write stream's data did not
// all reach the file. The stream is closed either way.
PyObject *stream_close(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr, *path = nullptr;
    if (!PyArg_ParseTuple(arguments, kStreamCloseFormat.c_str(), &reference, &path)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    return close_cell(*cell, path == Py_None ? nullptr : path);
}

}  // namespace qn4t
