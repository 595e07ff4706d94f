// The objects that work through a file object a call at a time (the reader of actions, the
// inflated stream, the JSON export's blocks): one native type each, made by one template,
// which holds the file and owns the work on it. Internal to the companion module.
#pragma once

#include <Python.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "binding/host.h"
#include "core/action_file.h"
#include "interface/action_io.h"
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

// The head of an iterator that gives out a block of whole actions per call (dump and check's
// walk, the JSON text, the table rows): FileWorkType's members, what the blocks given out hold,
// and the file's own exception from read(), held while the block before it is given out. O
// derives from it, names itself in `O::busy` and adds its own values.
template <class State>
struct BlockWork {
    PyObject_HEAD
    PyObject *file;
    State *state;  // null once the work is over
    unsigned long long actions;  // in the blocks given out
    unsigned long long offset;   // uncompressed, behind the last of them
    PyObject *error_type, *error_value, *error_traceback;
    bool running;  // inside the call that may run the file's read()

    // The collector's view of the held exception; O::visit adds its own references.
    int visit_held(visitproc visit, void *arg) {
        Py_VISIT(error_type);
        Py_VISIT(error_value);
        Py_VISIT(error_traceback);
        return 0;
    }
    void clear_held() {
        Py_CLEAR(error_type);
        Py_CLEAR(error_value);
        Py_CLEAR(error_traceback);
    }

    // Reads the next action into `action`; false at the end, at damage (`damage` gets the
    // reader's report) or where the file's read() failed (its exception held). Each of those
    // ends the reading: `ended`.
    bool read_action(ActionReader &reader, WholeAction &action, bool &ended, std::string &damage) {
        const ActionReader::Step step = reader.next(action);
        if (step == ActionReader::Step::action) return true;
        ended = true;
        if (step == ActionReader::Step::end) return false;
        if (reader.source_failed() && PyErr_Occurred())
            PyErr_Fetch(&error_type, &error_value, &error_traceback);
        else
            damage = reader.error();
        return false;
    }

    // Raises the file's exception held, after the last block: true; false where none is held.
    bool raise_held() {
        if (!error_type) return false;
        PyErr_Restore(error_type, error_value, error_traceback);
        error_type = error_value = error_traceback = nullptr;
        return true;
    }
};

// tp_iternext of a block iterator O: one call at a time, StopIteration once the work is over,
// otherwise Step's block (null at the end or with the exception set).
template <class O, PyObject *(*Step)(O *)>
PyObject *next_block_of(PyObject *self) {
    O *o = reinterpret_cast<O *>(self);
    const OneCallAtATime call(self, o->running, O::busy);
    if (!call.entered()) return nullptr;
    if (!o->state) return nullptr;  // over: StopIteration
    return Step(o);
}

template <class O>
PyObject *actions_given(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<O *>(self)->actions);
}

template <class O>
PyObject *offset_given(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<O *>(self)->offset);
}

// The getset rows of a block iterator's `actions` and `offset`, each with its own words.
template <class O>
PyGetSetDef actions_row(const char *doc) {
    return {const_cast<char *>("actions"), actions_given<O>, nullptr, const_cast<char *>(doc), nullptr};
}

template <class O>
PyGetSetDef offset_row(const char *doc) {
    return {const_cast<char *>("offset"), offset_given<O>, nullptr, const_cast<char *>(doc), nullptr};
}

}  // namespace qn4t
