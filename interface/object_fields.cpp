// What the whole-action object kinds share: the collector's tracking, attribute rows and
// their closures, text values, equality of held values and keyword construction.
#include "interface/object_kinds.h"

#include <memory>
#include <string>
#include <vector>

namespace qn4t {

void track(PyObject *object) {
    if (!host::gc_is_tracked(object)) PyObject_GC_Track(object);
}

bool tracked_by_collector(PyObject *object) { return PyObject_IS_GC(object) && host::gc_is_tracked(object); }

const char *type_name_of(PyObject *object) { return Py_TYPE(object)->tp_name; }

const char *keep_name(const std::string &name) {
    static std::vector<std::unique_ptr<std::string>> names;
    names.push_back(std::make_unique<std::string>(name));
    return names.back()->c_str();
}

PyObject *new_int(long long value) { return host::int_from_long(static_cast<long>(value)); }

FieldName name_of(void *closure) { return field_name_of(static_cast<const char *>(closure)); }

PyObject *bytes_of_text(PyObject *value, const char *field) {
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", field);
        return nullptr;
    }
    if (host::is_bytes(value)) {
        Py_INCREF(value);
        return value;
    }
    if (PyUnicode_Check(value)) return host::bytes_of_unicode(value);
    PyErr_Format(PyExc_TypeError, "%s: expected str or bytes, found %s", field, type_name_of(value));
    return nullptr;
}

PyGetSetDef getset(const char *name, getter get, setter set, const char *qualified) {
    PyGetSetDef row = {};
    row.name = const_cast<char *>(name);
    row.get = get;
    row.set = set;
    row.closure = const_cast<char *>(qualified);
    return row;
}

int equal_values(PyObject *a, PyObject *b) {
    Py_INCREF(a);
    Py_INCREF(b);
    const int same = PyObject_RichCompareBool(a, b, Py_EQ);
    Py_DECREF(a);
    Py_DECREF(b);
    return same;
}

void replace_reference(PyObject *&slot, PyObject *value) {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

int init_object(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (args && PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes keyword arguments only", type_name_of(self));
        return -1;
    }
    if (!kwargs) return 0;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(kwargs, &at, &key, &value))
        if (PyObject_SetAttr(self, key, value) < 0) return -1;
    return 0;
}

}  // namespace qn4t
