// The attributes of the whole-action objects made from the records' field tables: one getter
// and setter per integer field, list attributes that hand out the list itself, and equality
// of the fields a table lists. Internal to the companion module.
#pragma once

#include <Python.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "interface/object_kinds.h"

namespace qn4t {

template <class R, auto Member>
PyObject *get_integer(PyObject *self, void *) {
    return new_int(static_cast<long long>(ObjectKind<R>::record(self).*Member));
}

// The record is found afresh after the conversion: a Stat's list may have changed while
// the value's __index__ ran.
template <class R, auto Member>
int set_integer(PyObject *self, PyObject *value, void *closure) {
    using V = std::remove_reference_t<decltype(ObjectKind<R>::record(self).*Member)>;
    V number = 0;
    if (!field_integer(value, name_of(closure), &number)) return -1;
    ObjectKind<R>::record(self).*Member = number;
    return 0;
}

// Getters and setters for the integer fields of `table`, except the counts, which are left
// to the kind's own rows.
template <class R, class Table>
void add_integer_rows(std::vector<PyGetSetDef> &rows, const Table &table) {
    for_each_field(table, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_integral_v<typename F::value> && !is_derived_count<F::member>()) {
            const char *qualified = keep_name(std::string(ObjectKind<R>::name) + "." + std::string(f.name));
            rows.push_back(getset(f.name.data(), get_integer<R, F::member>, set_integer<R, F::member>, qualified));
        }
    });
}

// Whether the fields of `table` other than the counts (which follow what they count) are
// the same in both.
template <class R, class Table>
bool same_fields(const R &a, const R &b, const Table &table) {
    bool same = true;
    for_each_field(table, [&](const auto &f) {
        if constexpr (!is_derived_count<std::decay_t<decltype(f)>::member>())
            same = same && std::memcmp(&(a.*(f.member)), &(b.*(f.member)), sizeof(a.*(f.member))) == 0;
    });
    return same;
}

// A list attribute: the list itself is handed out, so that appending to it changes the
// object.
template <class O, PyObject *O::*Slot>
PyObject *get_list(PyObject *self, void *) {
    PyObject *list = reinterpret_cast<O *>(self)->*Slot;
    Py_INCREF(list);
    return list;
}

// A new list of the items of `value`, any iterable other than a text, each of them an
// object of kind Item, checked here: a fault is refused when it is made, not when the
// action is written. (What is appended to the list handed out is checked when the action is
// written.) Null with TypeError naming `field`, or another exception.
template <class Item>
PyObject *list_of(PyObject *value, const char *field) {
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", field);
        return nullptr;
    }
    if (PyUnicode_Check(value) || host::is_bytes(value)) {
        PyErr_Format(PyExc_TypeError, "%s takes a list of %s, not %s", field, ObjectKind<Item>::name,
                     type_name_of(value));
        return nullptr;
    }
    PyObject *list = PySequence_List(value);  // may run Python code: nothing is held yet
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (!is_a<Item>(item)) {
            PyErr_Format(PyExc_TypeError, "%s[%zd]: expected a %s, found %s", field, i, ObjectKind<Item>::name,
                         type_name_of(item));
            Py_DECREF(list);
            return nullptr;
        }
    }
    return list;
}

}  // namespace qn4t
