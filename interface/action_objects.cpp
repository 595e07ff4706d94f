// The whole-action object types: one native type per kind of ObjectKind (object_kinds.h),
// made from the kind's traits, their life cycle and comparison, the subclasses the reader
// makes, and what the module gets of them.
#include "interface/action_objects.h"

#include <string>
#include <vector>

#include "interface/action_conversion.h"
#include "interface/action_json.h"
#include "interface/body_kinds.h"
#include "interface/fault_translation.h"
#include "interface/module_add.h"
#include "interface/object_copy.h"
#include "interface/object_kinds.h"

namespace qn4t {

PyTypeObject base_types[kTypeCount];
PyTypeObject *made_types[kTypeCount];

namespace {

const char *type_names[kTypeCount];  // class names by slot

// ---- Life of the objects ----

// The fresh object of each kind: every number zero, texts empty, lists empty; a Detail has an
// empty raw body until one is given.
template <class R>
PyObject *new_object(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = allocate<R>(type);
    if (self && !ObjectKind<R>::hold_fresh(self)) Py_CLEAR(self);
    return self;
}

template <class R>
void dealloc_plain(PyObject *self) {
    ObjectKind<R>::release(self);
    Py_TYPE(self)->tp_free(self);
}

template <class R>
void dealloc_gc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    ObjectKind<R>::release(self);
    Py_TYPE(self)->tp_free(self);
}

template <class R>
int clear_gc(PyObject *self) {
    ObjectKind<R>::clear(self);
    return 0;
}

// Equality by value between objects of one kind; anything else is not for this type to say.
template <class R>
PyObject *compare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_a<R>(a) || !is_a<R>(b)) {
        Py_INCREF(Py_NotImplemented);
        return Py_NotImplemented;
    }
    const int same = ObjectKind<R>::equal(a, b);
    if (same < 0) return nullptr;
    PyObject *result = (same == 1) == (op == Py_EQ) ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

// ---- Types ----

std::vector<PyGetSetDef> getset_rows[kTypeCount];

template <class R>
void prepare_type() {
    using Kind = ObjectKind<R>;
    constexpr std::size_t k = type_slot<R>;
    PyTypeObject &t = base_types[k];
    type_names[k] = Kind::name;
    t.tp_name = keep_name(std::string("_qn4tGenericActionSupport.") + Kind::name);
    t.tp_basicsize = static_cast<Py_ssize_t>(sizeof(typename Kind::Object));
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (Kind::collected ? Py_TPFLAGS_HAVE_GC : 0);
    t.tp_new = new_object<R>;
    t.tp_init = Kind::init;
    if constexpr (Kind::collected) {
        t.tp_dealloc = dealloc_gc<R>;
        t.tp_traverse = Kind::traverse;
        t.tp_clear = clear_gc<R>;
    } else {
        t.tp_dealloc = dealloc_plain<R>;
    }
    t.tp_richcompare = compare<R>;
    t.tp_methods = copy_methods<R>;
    t.tp_hash = PyObject_HashNotImplemented;  // mutable: compared by value, never hashed
    Kind::add_rows(getset_rows[k]);
    getset_rows[k].push_back(PyGetSetDef{});
    t.tp_getset = getset_rows[k].data();
    made_types[k] = &t;
}

bool ready_types() {
    for_each_type(ObjectRecords{}, [](auto tag) { prepare_type<typename decltype(tag)::type>(); });
    for (PyTypeObject &t : base_types)
        if (PyType_Ready(&t) < 0) return false;
    return ready_stat_list(&base_types[type_slot<EntryRecord>], &made_types[type_slot<EntryRecord>]);
}

// ---- Functions ----

// (Action, the bytes it takes in the file) made from an action's plain JSON form, or None
// when the value is in any other form or does not fit (see action_json.h).
PyObject *action_from_json(PyObject *, PyObject *json) {
    return guarded([&]() -> PyObject * {
        WholeAction w;
        switch (whole_action_from_json(json, w)) {
        case JsonFill::made: break;
        case JsonFill::declined: Py_INCREF(Py_None); return Py_None;
        case JsonFill::failed: return nullptr;
        }
        PyObject *action = action_object(w);
        PyObject *size = action ? PyLong_FromSize_t(encoded_size(w)) : nullptr;
        PyObject *pair = size ? PyTuple_Pack(2, action, size) : nullptr;
        Py_XDECREF(action);
        Py_XDECREF(size);
        return pair;
    });
}

// Takes {class name: class} for every object type: the subclasses the reader makes. A class
// it replaces is let go of (the base types are static and hold their own reference).
PyObject *register_classes(PyObject *, PyObject *classes) {
    if (!PyDict_Check(classes))
        return PyErr_Format(PyExc_TypeError, "_register_classes takes a dict of classes by name, not %s",
                            type_name_of(classes));
    PyObject *found[kTypeCount] = {};
    for (std::size_t k = 0; k < kTypeCount; ++k) {
        found[k] = PyDict_GetItemString(classes, type_names[k]);  // borrowed; the dict is held
        if (!found[k] || !PyType_Check(found[k]) ||
            !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(found[k]), &base_types[k]))
            return PyErr_Format(PyExc_TypeError, "_register_classes: %s must be a subclass of %s",
                                type_names[k], type_names[k]);
    }
    for (std::size_t k = 0; k < kTypeCount; ++k) {
        Py_INCREF(found[k]);
        PyObject *replaced = reinterpret_cast<PyObject *>(made_types[k]);
        made_types[k] = reinterpret_cast<PyTypeObject *>(found[k]);
        Py_DECREF(replaced);  // the registered class (or a base type's extra reference, below)
    }
    Py_INCREF(Py_None);
    return Py_None;
}

PyMethodDef functions[] = {
    {"_action_from_json", action_from_json, METH_O,
     "(Action, its size in the file) from an action's plain JSON form, or None."},
    {"_register_classes", register_classes, METH_O, "The subclasses the reader makes, by class name."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool add_action_api(PyObject *module) {
    static bool ready = false;
    if (!ready) {
        if (!guarded([] { return ready_types(); })) return false;
        for (PyTypeObject *&made : made_types) Py_INCREF(made);  // what register_classes lets go of
        ready = true;
    }
    for (std::size_t k = 0; k < kTypeCount; ++k)
        if (!add_type(module, type_names[k], &base_types[k])) return false;
    return add_type(module, "StatList", stat_list_type()) && add_functions(module, functions);
}

}  // namespace qn4t
