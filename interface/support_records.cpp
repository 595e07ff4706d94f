// The companion module's record functions: the non-template steps they share (the rows of
// every record type are made in support_module.cpp, from the list of record types).
#include "interface/support_records.h"

#include <cerrno>
#include <string>

#include "binding/live_references.h"
#include "binding/pointer_string.h"
#include "core/record_stream.h"
#include "interface/stream_faults.h"

namespace qn4t {
namespace {

std::string text_of(std::string_view view) { return std::string(view); }

// The stream object's `path` attribute (a Stream of the Python-side classes has one), or null
// without an exception: the file name of an IOError. Asked only when the operation is over.
PyObject *path_of(PyObject *stream) {
    if (host::is_str(stream)) return nullptr;  // a pointer string names no file
    PyObject *path = PyObject_GetAttrString(stream, "path");
    if (!path) PyErr_Clear();
    return path;
}

PyObject *raise_with_path(const StreamFault &fault, PyObject *stream) {
    PyObject *path = path_of(stream);
    raise_stream_fault(fault, path);
    Py_XDECREF(path);
    return nullptr;
}

}  // namespace

bool stream_open_for(const StreamCell &cell, bool writing, std::string_view operation,
                     std::string_view record) {
    const char *problem = nullptr;
    if (!cell.handle)
        problem = cell.open_error ? "its open failed" : "the stream is closed";
    else if (cell.writing != writing)
        problem = cell.writing ? "the stream is open for writing" : "the stream is open for reading";
    if (!problem) return true;
    PyErr_Format(PyExc_IOError, "cannot %s a %s: %s", text_of(operation).c_str(),
                 text_of(record).c_str(), problem);
    return false;
}

PyObject *failed_read(const StreamCell &cell, PyObject *stream, std::string_view record,
                      int system_error) {
    const StreamFault fault = read_failure(cell.handle, system_error);
    if (!fault) return host::int_from_long(-1);  // the clean end of the data
    if (fault.zlib_error != Z_BUF_ERROR && fault.zlib_error != Z_DATA_ERROR)
        return raise_with_path(fault, stream);
    const char *what = fault.zlib_error == Z_BUF_ERROR
                           ? "the compressed data is cut short"
                           : "the compressed data is corrupt or fails its check";
    PyErr_Format(DamagedFileError(), "%s (%s): a %s read stopped at uncompressed byte %ld", what,
                 fault.message, text_of(record).c_str(), static_cast<long>(gztell(cell.handle)));
    return nullptr;
}

PyObject *failed_write(const StreamCell &cell, PyObject *stream) {
    StreamFault fault = stream_fault(cell.handle, cell.write_error);
    if (!fault) {  // zlib keeps no fault: say what the system said
        fault.zlib_error = Z_ERRNO;
        fault.system_error = cell.write_error ? cell.write_error : EIO;
    }
    return raise_with_path(fault, stream);
}

}  // namespace qn4t
