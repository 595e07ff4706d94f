// The stat entries of a StatMod held packed: StatList, a native sequence of 4-byte entries
// that behaves as a list of Stat, and the Stat object, which is either a value of its own or
// a live view onto one entry of a StatList. Internal to the companion module; the object
// types themselves are action_objects.cpp's.
//
// A view follows its entry: it reads and writes the list's entry while the entry is in the
// list, and its index moves with insertions and removals before it. When its entry leaves
// the list (deleted, popped, removed, replaced, the list cleared) the view becomes a Stat of
// its own holding the entry's last value, as an object taken out of a list would. Values put
// into a list (append, assignment, ...) are copied: the Stat given stays what it was.
#pragma once

#include <Python.h>

#include <vector>

#include "core/record_types.h"

namespace qn4t {

using StatEntry = EntryRecord;  // the entry record of the record list

struct StatListObject;

struct StatObject {
    PyObject_HEAD
    StatEntry rec;          // the value of a Stat of its own
    StatListObject *list;   // the list whose entry it shows (a reference), or null
    Py_ssize_t index;       // that entry's place, always within the list
    StatObject *prev, *next;  // the list's views
};

// The entry a Stat shows: its own, or its list's. Valid until Python code runs.
StatEntry &stat_entry(PyObject *stat);

// Ends a view (the Stat is being freed): unlinks it and lets go of its list.
void release_stat(PyObject *stat);

// Makes the StatList type ready. `stat_base` is the Stat type; `*stat_made` the class the
// list makes its Stat objects of (the registered subclass), read at each use.
bool ready_stat_list(PyTypeObject *stat_base, PyTypeObject *const *stat_made);
PyTypeObject *stat_list_type();

bool is_stat_list(PyObject *object);

// A new, empty StatList, or null with the exception set.
PyObject *new_stat_list();

// A new StatList that takes over `entries` (left empty), or null with the exception set.
PyObject *stat_list_taking(std::vector<StatEntry> &entries);

// A new StatList holding the values of the Stat objects of `iterable` (any iterable other
// than a text; a StatList is copied without a Python call). Null with TypeError naming
// `field` ("StatMod.stats[3]: expected a Stat, found int"), or another exception.
PyObject *stat_list_of(PyObject *iterable, const char *field);

// The entries of a StatList.
const std::vector<StatEntry> &stat_list_entries(PyObject *list);

}  // namespace qn4t
