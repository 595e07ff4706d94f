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

bool checked_integer(PyObject *value, long low, long high, const char *kind,
                     std::string_view record, std::string_view field, long *out) {
    if (!host::is_index(value)) {
        PyErr_Format(PyExc_TypeError, "%s.%s takes an integer, not %.100s", text_of(record).c_str(),
                     text_of(field).c_str(), value == Py_None ? "None" : Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long number = host::index_value(value, &overflow);
    if (number == -1 && !overflow && PyErr_Occurred()) return false;
    if (!overflow && number >= low && number <= high) {
        *out = number;
        return true;
    }
    const std::string name = text_of(record) + "." + text_of(field);
    PyObject *shown = PyObject_Repr(value);  // the value as the script wrote it
    std::size_t size = 0;
    const char *text = shown && host::is_str(shown) ? host::str_data(shown, &size) : "the value";
    if (!shown) PyErr_Clear();
    PyErr_Format(PyExc_OverflowError, "%s is %s: %.100s is out of its range %ld to %ld",
                 name.c_str(), kind, text, low, high);
    Py_XDECREF(shown);
    return false;
}

bool text_fits(std::size_t size, std::size_t limit, std::string_view record,
               std::string_view field, std::string_view length_field) {
    if (size <= limit) return true;
    const std::string name = text_of(record) + "." + text_of(field);
    if (length_field.empty()) {
        PyErr_Format(PyExc_ValueError, "%s holds at most %zu bytes, not %zu", name.c_str(), limit,
                     size);
    } else {
        PyErr_Format(PyExc_ValueError,
                     "%s: a text of %zu bytes is too long for its length field %s (at most %zu)",
                     name.c_str(), size, text_of(length_field).c_str(), limit);
    }
    return false;
}

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
