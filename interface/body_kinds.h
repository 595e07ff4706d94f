// What a detail body of the record list and its entry record do as objects: the primary
// ObjectKind (a body: its record, and for the body that has entries its StatList) and the
// entry record's kind (a Stat: stat_list.h). Neither can hold what the cyclic collector must
// see. Internal to the companion module.
#pragma once

#include <Python.h>

#include <vector>

#include "interface/object_fields.h"
#include "interface/object_kinds.h"
#include "interface/stat_list.h"

namespace qn4t {

template <class R>
struct ObjectKind {
    using Object = BodyObject<R>;
    static constexpr const char *name = Layout<R>::class_name.data();  // a literal: ends in a zero
    static constexpr bool collected = false;

    static R &record(PyObject *self) { return reinterpret_cast<Object *>(self)->rec; }

    // The entries the body holds: 0 for a body without entries.
    static std::size_t entries(PyObject *self) {
        if constexpr (has_entries<R>)
            return stat_list_entries(reinterpret_cast<Object *>(self)->stats).size();
        else
            return 0;
    }

    static bool hold_fresh(PyObject *self) {
        if constexpr (has_entries<R>)
            return (reinterpret_cast<Object *>(self)->stats = new_stat_list()) != nullptr;
        else
            return true;
    }

    static void clear(PyObject *self) {
        if constexpr (has_entries<R>) Py_CLEAR(reinterpret_cast<Object *>(self)->stats);
    }

    static void release(PyObject *self) { clear(self); }

    static int equal(PyObject *a, PyObject *b) {
        if (!same_fields(record(a), record(b), Layout<R>::fields)) return 0;
        if constexpr (has_entries<R>)
            return equal_values(reinterpret_cast<Object *>(a)->stats, reinterpret_cast<Object *>(b)->stats);
        return 1;
    }

    static int init(PyObject *self, PyObject *args, PyObject *kwargs) { return init_object(self, args, kwargs); }

    // Its fields; a body with entries adds its count (read-only, following the entries) and
    // `stats`, a StatList (handed out itself, as a list is) that takes the values of any
    // iterable of entry objects when set.
    static void add_rows(std::vector<PyGetSetDef> &rows) {
        add_integer_rows<R>(rows, Layout<R>::fields);
        if constexpr (has_entries<R>) {
            for_each_field(Layout<R>::fields, [&](const auto &f) {
                if constexpr (is_derived_count<std::decay_t<decltype(f)>::member>())
                    rows.push_back(getset(f.name.data(), get_entry_count, nullptr, nullptr));
            });
            rows.push_back(getset("stats", get_list<Object, &Object::stats>, set_stats,
                                  keep_name(std::string(name) + ".stats")));
        }
    }

  private:
    static PyObject *get_entry_count(PyObject *self, void *) {
        return new_int(static_cast<long long>(entries(self)));
    }

    static int set_stats(PyObject *self, PyObject *value, void *closure) {
        const char *field = static_cast<const char *>(closure);
        if (!value) {
            PyErr_Format(PyExc_TypeError, "%s cannot be deleted", field);
            return -1;
        }
        PyObject *list = stat_list_of(value, field);  // may run Python code: nothing is held yet
        if (!list) return -1;
        if constexpr (has_entries<R>) replace_reference(reinterpret_cast<Object *>(self)->stats, list);
        return 0;
    }
};

template <>
struct ObjectKind<EntryRecord> {
    using Object = StatObject;
    static constexpr const char *name = Layout<EntryRecord>::class_name.data();
    static constexpr bool collected = false;
    // Found afresh at each use: its list may have changed while Python code ran.
    static EntryRecord &record(PyObject *self) { return stat_entry(self); }
    static bool hold_fresh(PyObject *) { return true; }
    static void clear(PyObject *self) { release_stat(self); }
    static void release(PyObject *self) { release_stat(self); }
    static int equal(PyObject *a, PyObject *b) { return same_fields(record(a), record(b), Layout<EntryRecord>::fields); }
    static int init(PyObject *self, PyObject *args, PyObject *kwargs) { return init_object(self, args, kwargs); }
    static void add_rows(std::vector<PyGetSetDef> &rows) { add_integer_rows<EntryRecord>(rows, Layout<EntryRecord>::fields); }
};

// Bytes a body takes in the file behind its detail header, its entries included: what
// `length` follows when it is not given. A raw body is its bytes.
std::size_t body_size(PyObject *body);

}  // namespace qn4t
