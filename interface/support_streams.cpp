// The companion module's stream functions: the reason of a failed open, and a close that
// names the file when its data did not reach it.
#include "binding/host.h"
#include "interface/stream_interface.h"
#include "interface/support_module.h"

namespace qn4t {
namespace {

// (stream, path) -> None when the stream's open succeeded; otherwise IOError(errno, strerror,
// path), the system's reason for the failed open.
PyObject *check_open(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr, *path = nullptr;
    if (!PyArg_ParseTuple(arguments, "OO:stream_check_open", &reference, &path)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    if (cell->handle || !cell->open_error) return host::none();
    errno = cell->open_error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_IOError, path);
}

// (stream, path) -> None; IOError(errno, strerror, path) when a write stream's data did not
// all reach the file. The stream is closed either way.
PyObject *close(PyObject *, PyObject *arguments) {
    PyObject *reference = nullptr, *path = nullptr;
    if (!PyArg_ParseTuple(arguments, "OO:stream_close", &reference, &path)) return nullptr;
    StreamCell *cell = stream_argument(reference);
    if (!cell) return nullptr;
    return close_cell(*cell, path == Py_None ? nullptr : path);
}

const PyMethodDef stream_rows[] = {
    {"stream_check_open", check_open, METH_VARARGS, nullptr},
    {"stream_close", close, METH_VARARGS, nullptr},
};

}  // namespace

const MethodRows kSupportStreamRows[] = {{stream_rows, sizeof stream_rows / sizeof stream_rows[0]}};
const std::size_t kSupportStreamRowSets = 1;

}  // namespace qn4t
