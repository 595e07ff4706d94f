// Copies and pickles of the whole-action objects: __reduce__ gives (type, (), state) and
// __setstate__ sets a state back through the attributes' setters. What copy, deepcopy and
// pickle use on both hosts. Internal to the companion module.
#pragma once

#include <Python.h>

#include <cstddef>

#include "interface/object_kinds.h"

namespace qn4t {

// The work, for the object type in `slot` (object_copy.cpp).
PyObject *reduce_object(PyObject *self, std::size_t slot);
PyObject *set_state(PyObject *self, PyObject *state, std::size_t slot);

template <class R>
PyObject *reduce_method(PyObject *self, PyObject *) {
    return reduce_object(self, type_slot<R>);
}

template <class R>
PyObject *set_state_method(PyObject *self, PyObject *state) {
    return set_state(self, state, type_slot<R>);
}

// The copy methods of R's type.
template <class R>
PyMethodDef copy_methods[] = {
    {"__reduce__", reduce_method<R>, METH_NOARGS, "(type, (), state): for copy, deepcopy and pickle."},
    {"__setstate__", set_state_method<R>, METH_O, "Sets the attributes of a state made by __reduce__."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qn4t
