// The text setters' value and the open's path: parsed by "s" on Python 2, by converters on
// Python 3.
#include "string_arguments.h"

#include <cstring>

namespace qn4t {

TextArgument::~TextArgument() {
#if QN4T_PYTHON3
    Py_XDECREF(bytes_);
#endif
}

bool TextArgument::parse(PyObject *arguments, const char *format, PyObject **object) {
#if QN4T_PYTHON3
    return PyArg_ParseTuple(arguments, format, object, &TextArgument::convert, this) != 0;
#else
    return PyArg_ParseTuple(arguments, format, object, &text_) != 0;
#endif
}

#if QN4T_PYTHON3
int TextArgument::convert(PyObject *value, void *address) {
    auto *self = static_cast<TextArgument *>(address);
    PyObject *bytes = nullptr;
    if (PyUnicode_Check(value)) {
        // Most texts have a strict UTF-8 form, which the str caches: no new object.
        Py_ssize_t size = 0;
        if (const char *utf8 = PyUnicode_AsUTF8AndSize(value, &size))
            return self->keep(utf8, static_cast<std::size_t>(size), nullptr);
        PyErr_Clear();  // surrogates: escaped bytes need the error handler
        bytes = PyUnicode_AsEncodedString(value, "utf-8", "surrogateescape");
        if (!bytes) return 0;  // a lone surrogate outside the escape range
    } else if (PyBytes_Check(value)) {
        Py_INCREF(value);
        bytes = value;
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() argument 2 must be str or bytes, not %.50s",
                     self->function_, value == Py_None ? "None" : Py_TYPE(value)->tp_name);
        return 0;
    }
    return self->keep(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)),
                      bytes);
}

int TextArgument::keep(const char *text, std::size_t size, PyObject *owner) {
    if (std::strlen(text) != size) {
        PyErr_Format(PyExc_TypeError,
                     "%.200s() argument 2 must be str or bytes without null bytes", function_);
        Py_XDECREF(owner);
        return 0;
    }
    Py_XDECREF(bytes_);
    bytes_ = owner;
    text_ = text;
    return 1;
}
#endif

namespace {

#if QN4T_PYTHON3
struct PathArgument {
    const char *function;        // names the function in the messages of a refused path
    const char *path = nullptr;  // the str's own UTF-8 form: valid while the argument lives
};

// The "O&" converter: 1 with the path kept, 0 with the exception set.
int convert_path(PyObject *value, void *address) {
    auto *argument = static_cast<PathArgument *>(address);
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%.200s() argument 1 must be str, not %.50s",
                     argument->function, value == Py_None ? "None" : Py_TYPE(value)->tp_name);
        return 0;
    }
    Py_ssize_t size = 0;
    const char *path = PyUnicode_AsUTF8AndSize(value, &size);
    if (!path) return 0;
    if (std::strlen(path) != static_cast<std::size_t>(size)) {
        PyErr_Format(PyExc_TypeError, "%.200s() argument 1 must be str without null bytes",
                     argument->function);
        return 0;
    }
    argument->path = path;
    return 1;
}
#endif

}  // namespace

bool parse_path_and_int(PyObject *arguments, const char *format, const char *function,
                        const char **path, int *number) {
#if QN4T_PYTHON3
    PathArgument argument{function};
    if (!PyArg_ParseTuple(arguments, format, &convert_path, &argument, number)) return false;
    *path = argument.path;
    return true;
#else
    (void)function;
    return PyArg_ParseTuple(arguments, format, path, number) != 0;
#endif
}

}  // namespace qn4t
