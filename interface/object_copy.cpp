// Copies and pickles of the whole-action objects (object_copy.h).
#include "interface/object_copy.h"

#include <string_view>

namespace qn4t {
namespace {

bool is_of_slot(PyObject *object, std::size_t slot) { return PyObject_TypeCheck(object, &base_types[slot]) != 0; }

// The row of the settable attribute `name` of the type in `slot`, or null.
const PyGetSetDef *settable_row(std::size_t slot, PyObject *name) {
    if (!host::is_str(name)) return nullptr;
    std::size_t size = 0;
    const char *data = host::str_data(name, &size);
    const std::string_view wanted(data, size);
    for (const PyGetSetDef *row = base_types[slot].tp_getset; row->name; ++row)
        if (row->set && wanted == row->name) return row;
    return nullptr;
}

}  // namespace

// The state holds every attribute that can be set, under its name, as the getters give it;
// a Detail's length is None when it follows the body.
PyObject *reduce_object(PyObject *self, std::size_t slot) {
    if (!is_of_slot(self, slot)) return PyErr_Format(PyExc_TypeError, "%s cannot be copied", type_name_of(self));
    PyObject *state = PyDict_New();
    if (!state) return nullptr;
    for (const PyGetSetDef *row = base_types[slot].tp_getset; row->name; ++row) {
        if (!row->set) continue;  // a count, which follows what it counts
        PyObject *value = length_follows_body(self, *row) ? host::none() : row->get(self, row->closure);
        const int stored = value ? PyDict_SetItemString(state, row->name, value) : -1;
        Py_XDECREF(value);
        if (stored < 0) {
            Py_DECREF(state);
            return nullptr;
        }
    }
    return Py_BuildValue("(O()N)", reinterpret_cast<PyObject *>(Py_TYPE(self)), state);
}

// A name that is no settable field is refused. The items are taken first: a setter (a
// value's __index__) may change the dict.
PyObject *set_state(PyObject *self, PyObject *state, std::size_t slot) {
    if (!is_of_slot(self, slot) || !PyDict_Check(state))
        return PyErr_Format(PyExc_TypeError, "%s.__setstate__ takes a dict, not %s", type_name_of(self),
                            type_name_of(state));
    PyObject *items = PyDict_Items(state);
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject *name = PyTuple_GET_ITEM(PyList_GET_ITEM(items, i), 0);
        const PyGetSetDef *row = settable_row(slot, name);
        if (!row) {
            std::size_t size = 0;
            PyErr_Format(PyExc_TypeError, "%s.__setstate__: %.100s is not a field it sets", type_name_of(self),
                         host::is_str(name) ? host::str_data(name, &size) : type_name_of(name));
        }
        if (!row || row->set(self, PyTuple_GET_ITEM(PyList_GET_ITEM(items, i), 1), row->closure) < 0) {
            Py_DECREF(items);
            return nullptr;
        }
    }
    Py_DECREF(items);
    return host::none();
}

}  // namespace qn4t
