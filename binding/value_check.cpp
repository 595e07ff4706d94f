#include "binding/value_check.h"

#include <string>

#include "binding/host.h"

namespace qn4t {
namespace {

std::string text_of(FieldName name) {
    return std::string(name.owner) + "." + std::string(name.field);
}

PyObject *make_field_value_error() {
    PyObject *bases = PyTuple_Pack(2, PyExc_OverflowError, PyExc_ValueError);
    if (!bases) return nullptr;
    PyObject *type = PyErr_NewExceptionWithDoc(
        const_cast<char *>("qn4tGenericActionLoader.FieldValueError"),
        const_cast<char *>("A value its field cannot hold: an integer out of the field's range, a "
                           "text longer than its length field counts. Both an OverflowError and "
                           "a ValueError."),
        bases, nullptr);
    Py_DECREF(bases);
    return type;
}

}  // namespace

PyObject *FieldValueError() {
    static PyObject *type = nullptr;
    if (!type) type = make_field_value_error();
    return type;
}

FieldName field_name_of(std::string_view qualified) {
    const std::size_t dot = qualified.rfind('.');
    if (dot == std::string_view::npos) return {{}, qualified};
    return {qualified.substr(0, dot), qualified.substr(dot + 1)};
}

bool integer_value(PyObject *value, long long low, long long high, const char *words,
                   FieldName name, long long *out) {
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", text_of(name).c_str());
        return false;
    }
    if (!host::is_index(value)) {
        PyErr_Format(PyExc_TypeError, "%s takes an integer, not %.100s", text_of(name).c_str(),
                     value == Py_None ? "None" : Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long number = host::index_value(value, &overflow);
    if (number == -1 && !overflow && PyErr_Occurred()) return false;
    if (!overflow && number >= low && number <= high) {
        *out = number;
        return true;
    }
    PyObject *error = FieldValueError();
    if (!error) return false;
    PyObject *shown = PyObject_Repr(value);  // the value as the script wrote it
    std::size_t size = 0;
    const char *text = shown && host::is_str(shown) ? host::str_data(shown, &size) : "the value";
    if (!shown) PyErr_Clear();
    PyErr_Format(error, "%s is %s: %.100s is out of its range %lld to %lld", text_of(name).c_str(),
                 words, text, low, high);
    Py_XDECREF(shown);
    return false;
}

bool text_fits(std::size_t size, std::size_t limit, FieldName name, std::string_view length_field) {
    if (size <= limit) return true;
    PyObject *error = FieldValueError();
    if (!error) return false;
    if (length_field.empty()) {
        PyErr_Format(error, "%s holds at most %zu bytes, not %zu", text_of(name).c_str(), limit, size);
    } else {
        PyErr_Format(error, "%s: a text of %zu bytes is too long for its length field %s (at most %zu)",
                     text_of(name).c_str(), size, std::string(length_field).c_str(), limit);
    }
    return false;
}

}  // namespace qn4t
