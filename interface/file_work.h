// The objects that work through a file object a call at a time (the reader of actions, the
// inflated stream, the JSON export's blocks): one native type each, made by one template,
// which holds the file and owns the work on it. Internal to the companion module.
#pragma once

#include <Python.h>

#include <cstring>
#include <type_traits>

#include "binding/host.h"
#include "interface/fault_translation.h"

namespace qn4t {

// FileWorkType<O> makes the type of objects O. O starts with PyObject_HEAD and holds
//   PyObject *file    the file object (held)
//   State *state      the work on it (owned), null once the work is over
//   bool running      set while a call runs the file's read() (see OneCallAtATime)
// and values of its own (plain data, zero when made). O::visit(o, visit, arg) shows the
// collector the references among them, O::clear(o) lets go of them.
template <class O>
class FileWorkType {
public:
    using State = std::remove_pointer_t<decltype(O::state)>;

    static PyTypeObject type;

    // A new object over `file` whose work is State(file, arguments...), or null with the
    // exception set (MemoryError when the work cannot be made).
    template <class... A>
    static O *make(PyObject *file, A... arguments) {
        O *o = PyObject_GC_New(O, &type);
        if (!o) return nullptr;
        std::memset(reinterpret_cast<char *>(o) + sizeof(PyObject), 0, sizeof(O) - sizeof(PyObject));
        Py_INCREF(file);
        o->file = file;
        o->state = guarded([&] { return new State(file, arguments...); });
        PyObject_GC_Track(reinterpret_cast<PyObject *>(o));
        if (!o->state) {
            Py_DECREF(reinterpret_cast<PyObject *>(o));
            return nullptr;
        }
        return o;
    }

    // Ends the work: what it holds goes, the object's own values stay.
    static void finish(O *o) {
        delete o->state;
        o->state = nullptr;
    }

    // Makes the type ready once: `next` makes it an iterator (null: not one). False with
    // the exception set.
    static bool ready(const char *name, iternextfunc next, PyMethodDef *methods, PyGetSetDef *getset) {
        if (type.tp_flags & Py_TPFLAGS_READY) return true;
        type.tp_name = name;
        type.tp_basicsize = sizeof(O);
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        if (next) {
            type.tp_flags |= host::iterator_flags();
            type.tp_iter = PyObject_SelfIter;
            type.tp_iternext = next;
        }
        type.tp_dealloc = dealloc;
        type.tp_traverse = traverse;
        type.tp_clear = clear;
        type.tp_methods = methods;
        type.tp_getset = getset;
        return PyType_Ready(&type) == 0;
    }

private:
    static O *of(PyObject *self) { return reinterpret_cast<O *>(self); }

    static void dealloc(PyObject *self) {
        PyObject_GC_UnTrack(self);
        finish(of(self));
        O::clear(of(self));
        Py_CLEAR(of(self)->file);
        PyObject_GC_Del(self);
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(of(self)->file);
        return O::visit(of(self), visit, arg);
    }

    static int clear(PyObject *self) {
        O::clear(of(self));
        return 0;
    }
};

template <class O>
PyTypeObject FileWorkType<O>::type;

}  // namespace qn4t
