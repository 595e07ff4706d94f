// The few interpreter calls whose spelling depends on the Python host. Everything that
// differs between interpreter versions lives here, so that the rest of the binding and
// the wrappers are written once.
#pragma once

#include <Python.h>

#include <cstddef>

namespace qn4t {
namespace host {

// A new integer object, or null with the exception set.
inline PyObject *int_from_long(long value) { return PyInt_FromLong(value); }

// The value of an integer-like object; on failure -1 with the exception set (test with
// PyErr_Occurred, since -1 is also an ordinary value).
inline long long_of(PyObject *object) { return PyInt_AsLong(object); }

// True for the interpreter's byte string type and its subtypes.
inline bool is_byte_string(PyObject *object) {
    return PyType_IsSubtype(Py_TYPE(object), &PyString_Type) != 0;
}

// The bytes and size of an object for which is_byte_string() holds.
inline const char *byte_string_data(PyObject *object, std::size_t *size) {
    *size = static_cast<std::size_t>(PyString_GET_SIZE(object));
    return PyString_AS_STRING(object);
}

// A new string object holding `size` bytes, or null with the exception set.
inline PyObject *byte_string(const char *bytes, std::size_t size) {
    return PyString_FromStringAndSize(bytes, static_cast<Py_ssize_t>(size));
}

// A new string object holding a zero-terminated text, or null with the exception set.
inline PyObject *text_from(const char *text) { return PyString_FromString(text); }

// A new string object for an identifier such as an attribute name, kept for reuse.
inline PyObject *interned(const char *name) { return PyString_InternFromString(name); }

// A new reference to None.
inline PyObject *none() {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace host
}  // namespace qn4t
