// Closing a stream cell and raising the faults of a record stream as Python exceptions:
// shared by the flat module's close and the companion module's stream functions; the
// exception of a damaged file.
#include "interface/stream_faults.h"

#include <cerrno>

#include "binding/host.h"
#include "core/record_stream.h"
#include "interface/stream_interface.h"

namespace qn4t {

PyObject *raise_stream_fault(const StreamFault &fault, PyObject *path) {
    if (fault.zlib_error == Z_MEM_ERROR) return PyErr_NoMemory();
    if (fault.zlib_error == Z_ERRNO && fault.system_error) {
        errno = fault.system_error;
        return path ? PyErr_SetFromErrnoWithFilenameObject(PyExc_IOError, path)
                    : PyErr_SetFromErrno(PyExc_IOError);
    }
    // zlib's own message, which names the file it was opened with.
    PyErr_SetString(PyExc_IOError, fault.message[0] ? fault.message : zError(fault.zlib_error));
    return nullptr;
}

PyObject *DamagedFileError() {
    static PyObject *made = nullptr;
    if (made) return made;
    PyObject *bases = PyTuple_Pack(2, PyExc_IOError, PyExc_ValueError);
    if (!bases) return nullptr;
    made = PyErr_NewExceptionWithDoc(
        const_cast<char *>("qn4tGenericActionLoader.DamagedFileError"),
        const_cast<char *>("An action file whose compressed data is cut short, corrupt or fails "
                           "its check: the data cannot be read to its end."),
        bases, nullptr);
    Py_DECREF(bases);
    return made;
}

PyObject *close_cell(StreamCell &cell, PyObject *path) {
    gzFile handle = cell.handle;
    cell.handle = nullptr;
    if (!handle) return host::none();
    if (!cell.writing) {
        qn4tGenericClose(handle);
        return host::none();
    }
    StreamFault fault = close_written(handle);
    if (!fault) return host::none();
    if (fault.zlib_error == Z_ERRNO && !fault.system_error) fault.system_error = cell.write_error;
    return raise_stream_fault(fault, path);
}

}  // namespace qn4t
