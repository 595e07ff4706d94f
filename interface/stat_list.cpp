// StatList: the stat entries of a StatMod, 4 bytes each, behaving as a list of Stat (see
// stat_list.h for what a Stat taken from it is).
//
// Every call that may run Python code (an index's __index__, an iterable's items, an
// allocation that collects garbage) runs before the list is looked at; what follows it reads
// the list's size afresh and changes the entries without running Python code. Every change
// of the entries goes through replace() or overwrite(), which keep the views' places true.
#include "interface/stat_list.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "binding/host.h"
#include "interface/fault_translation.h"
#include "core/codec.h"

namespace qn4t {

struct StatListObject {
    PyObject_HEAD
    std::vector<StatEntry> entries;
    StatObject *views;  // the live views onto its entries
};

namespace {

PyTypeObject list_type;
PyTypeObject *stat_base = nullptr;
PyTypeObject *const *stat_made = nullptr;

constexpr std::size_t kEntrySize = record_wire_size<StatEntry>();
// "StatMod.stats" and "Stat", as the record list names them.
const std::string kFieldName = std::string(Layout<EntryBody>::class_name) + ".stats";
const char *const kField = kFieldName.c_str();
const char *const kEntryClass = Layout<StatEntry>::class_name.data();  // a literal: ends in a zero

StatListObject *as_list(PyObject *object) { return reinterpret_cast<StatListObject *>(object); }
StatObject *as_stat(PyObject *object) { return reinterpret_cast<StatObject *>(object); }
Py_ssize_t size_of(const StatListObject *l) { return static_cast<Py_ssize_t>(l->entries.size()); }

bool is_stat(PyObject *object) { return PyObject_TypeCheck(object, stat_base) != 0; }

bool same(const StatEntry &a, const StatEntry &b) {
    bool equal = true;
    for_each_field(Layout<StatEntry>::fields, [&](const auto &f) { equal = equal && a.*(f.member) == b.*(f.member); });
    return equal;
}

// ---- Views ----

void link(StatObject *view, StatListObject *l, Py_ssize_t index) {
    Py_INCREF(l);
    view->list = l;
    view->index = index;
    view->prev = nullptr;
    view->next = l->views;
    if (l->views) l->views->prev = view;
    l->views = view;
}

void unlink(StatObject *view) {
    StatListObject *l = view->list;
    if (view->prev) view->prev->next = view->next;
    else l->views = view->next;
    if (view->next) view->next->prev = view->prev;
    view->list = nullptr;
    view->prev = view->next = nullptr;
    Py_DECREF(l);  // never the last reference while the list is being changed: its caller holds one
}

// The view keeps its entry's value as its own: the entry is leaving the list.
void detach(StatObject *view) {
    view->rec = view->list->entries[static_cast<std::size_t>(view->index)];
    unlink(view);
}

// Entries [lo, hi) are about to be replaced by `added` others: their views leave, the views
// behind them move.
void move_views(StatListObject *l, Py_ssize_t lo, Py_ssize_t hi, Py_ssize_t added) {
    for (StatObject *view = l->views, *next = nullptr; view; view = next) {
        next = view->next;
        if (view->index >= hi) view->index += added - (hi - lo);
        else if (view->index >= lo) detach(view);
    }
}

// Replaces entries [lo, hi) by the `count` entries at `from` (which must not point into the
// list).
void replace(StatListObject *l, Py_ssize_t lo, Py_ssize_t hi, const StatEntry *from, Py_ssize_t count) {
    move_views(l, lo, hi, count);
    auto &e = l->entries;
    const Py_ssize_t common = std::min(hi - lo, count);
    std::copy(from, from + common, e.begin() + lo);
    if (count > common)
        e.insert(e.begin() + lo + common, from + common, from + count);
    else
        e.erase(e.begin() + lo + common, e.begin() + hi);
    if (e.empty()) std::vector<StatEntry>().swap(e);  // a cleared list gives its memory back
}

// Overwrites the entry at `index`: its views leave with the old value.
void overwrite(StatListObject *l, Py_ssize_t index, const StatEntry &value) {
    for (StatObject *view = l->views, *next = nullptr; view; view = next) {
        next = view->next;
        if (view->index == index) detach(view);
    }
    l->entries[static_cast<std::size_t>(index)] = value;
}

// A new Stat of the registered class, standalone and zero; what it becomes is decided after
// the allocation, which may collect garbage and so run Python code.
StatObject *new_stat() {
    PyTypeObject *type = *stat_made;
    PyObject *stat = type->tp_alloc(type, 0);
    // Holds numbers and its list only: untracked by the cyclic collector when its class adds
    // nothing (as the Stat objects of body_kinds.h).
    if (stat && PyObject_IS_GC(stat) && type->tp_dictoffset == 0 && type->tp_basicsize == stat_base->tp_basicsize)
        PyObject_GC_UnTrack(stat);
    return as_stat(stat);
}

// A view onto entry `index` (negative counts from the end), or null with IndexError.
PyObject *view_at(StatListObject *l, Py_ssize_t index) {
    StatObject *view = new_stat();
    if (!view) return nullptr;
    if (index < 0) index += size_of(l);
    if (index < 0 || index >= size_of(l)) {
        Py_DECREF(view);
        PyErr_SetString(PyExc_IndexError, "StatList index out of range");
        return nullptr;
    }
    link(view, l, index);
    return reinterpret_cast<PyObject *>(view);
}

// ---- Values given to the list ----

bool refuse_item(PyObject *item, Py_ssize_t index) {
    PyErr_Format(PyExc_TypeError, "%s[%zd]: expected a %s, found %.100s", kField, index, kEntryClass,
                 Py_TYPE(item)->tp_name);
    return false;
}

// The values of the Stat objects of `iterable`, in `out`; `first` is the place the first
// will take (for the message). Runs the iterable's Python code.
bool collect(PyObject *iterable, Py_ssize_t first, std::vector<StatEntry> &out) {
    if (is_stat_list(iterable)) return guarded([&] { out = as_list(iterable)->entries; return true; });
    if (PyUnicode_Check(iterable) || host::is_bytes(iterable)) {
        PyErr_Format(PyExc_TypeError, "%s takes a list of %s, not %.100s", kField, kEntryClass,
                     Py_TYPE(iterable)->tp_name);
        return false;
    }
    PyObject *iterator = PyObject_GetIter(iterable);
    if (!iterator) return false;
    bool ok = true;
    while (ok) {
        PyObject *item = PyIter_Next(iterator);
        if (!item) break;
        ok = is_stat(item) || refuse_item(item, first + static_cast<Py_ssize_t>(out.size()));
        ok = ok && guarded([&] { out.push_back(stat_entry(item)); return true; });
        Py_DECREF(item);
    }
    Py_DECREF(iterator);
    return ok && !PyErr_Occurred();
}

// An index argument through its __index__ (on both hosts, as the field setters take it), or
// -1 with the exception set (test PyErr_Occurred).
Py_ssize_t index_of(PyObject *key) { return PyNumber_AsSsize_t(key, PyExc_IndexError); }

Py_ssize_t index_argument(PyObject *key) {
    if (!host::is_index(key)) {
        PyErr_Format(PyExc_TypeError, "an integer is required, not %.100s", Py_TYPE(key)->tp_name);
        return -1;
    }
    return index_of(key);
}

// ---- The sequence ----

Py_ssize_t list_length(PyObject *self) { return size_of(as_list(self)); }

PyObject *list_item(PyObject *self, Py_ssize_t index) {
    if (index < 0) {  // only the iterator and the sequence protocol call this, never negative
        PyErr_SetString(PyExc_IndexError, "StatList index out of range");
        return nullptr;
    }
    return view_at(as_list(self), index);
}

PyObject *new_list_of(const StatEntry *from, std::size_t count) {
    PyObject *made = new_stat_list();
    if (!made) return nullptr;
    if (!guarded([&] { as_list(made)->entries.assign(from, from + count); return true; })) Py_CLEAR(made);
    return made;
}

PyObject *list_subscript(PyObject *self, PyObject *key) {
    StatListObject *l = as_list(self);
    if (PySlice_Check(key)) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (!host::slice_unpack(key, &start, &stop, &step)) return nullptr;
        const Py_ssize_t count = host::slice_adjust(size_of(l), &start, &stop, step);
        if (step == 1) return new_list_of(l->entries.data() + start, static_cast<std::size_t>(count));
        std::vector<StatEntry> taken;
        const bool copied = guarded([&] {
            for (Py_ssize_t k = 0, at = start; k < count; ++k, at += step)
                taken.push_back(l->entries[static_cast<std::size_t>(at)]);
            return true;
        });
        return copied ? new_list_of(taken.data(), taken.size()) : nullptr;
    }
    if (!host::is_index(key))
        return PyErr_Format(PyExc_TypeError, "StatList indices must be integers or slices, not %.100s",
                            Py_TYPE(key)->tp_name);
    const Py_ssize_t index = index_of(key);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    return view_at(l, index);
}

// del stats[start:stop:step] for a step other than 1: the views of the entries taken leave,
// the others move down past those taken before them.
void delete_stepped(StatListObject *l, Py_ssize_t start, Py_ssize_t step, Py_ssize_t count) {
    if (step < 0) {
        start += (count - 1) * step;
        step = -step;
    }
    const Py_ssize_t last = start + (count - 1) * step;
    for (StatObject *view = l->views, *next = nullptr; view; view = next) {
        next = view->next;
        const Py_ssize_t i = view->index;
        if (i < start) continue;
        if (i <= last && (i - start) % step == 0) {
            detach(view);
            continue;
        }
        view->index -= std::min(count, (i - start + step - 1) / step);
    }
    auto &e = l->entries;
    Py_ssize_t kept = start;
    for (Py_ssize_t i = start; i < size_of(l); ++i)
        if (i > last || (i - start) % step != 0) e[static_cast<std::size_t>(kept++)] = e[static_cast<std::size_t>(i)];
    e.resize(static_cast<std::size_t>(kept));
}

int assign_slice(StatListObject *l, PyObject *slice, PyObject *value) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (!host::slice_unpack(slice, &start, &stop, &step)) return -1;
    std::vector<StatEntry> given;
    if (value && !collect(value, 0, given)) return -1;
    // Python code is behind us: the slice is fitted to the list as it is now.
    const Py_ssize_t count = host::slice_adjust(size_of(l), &start, &stop, step);
    const Py_ssize_t added = static_cast<Py_ssize_t>(given.size());
    if (step == 1) {
        replace(l, start, start + count, given.data(), added);
        return 0;
    }
    if (!value) {
        if (count > 0) delete_stepped(l, start, step, count);
        return 0;
    }
    if (added != count) {
        PyErr_Format(PyExc_ValueError, "attempt to assign sequence of size %zd to extended slice of size %zd",
                     added, count);
        return -1;
    }
    for (Py_ssize_t k = 0; k < count; ++k) overwrite(l, start + k * step, given[static_cast<std::size_t>(k)]);
    return 0;
}

int list_ass_subscript(PyObject *self, PyObject *key, PyObject *value) {
    StatListObject *l = as_list(self);
    return guarded([&] {
        if (PySlice_Check(key)) return assign_slice(l, key, value);
        if (!host::is_index(key)) {
            PyErr_Format(PyExc_TypeError, "StatList indices must be integers or slices, not %.100s",
                         Py_TYPE(key)->tp_name);
            return -1;
        }
        Py_ssize_t index = index_of(key);
        if (index == -1 && PyErr_Occurred()) return -1;
        if (value && !is_stat(value)) return refuse_item(value, index), -1;
        const StatEntry entry = value ? stat_entry(value) : StatEntry();
        if (index < 0) index += size_of(l);
        if (index < 0 || index >= size_of(l)) {
            PyErr_SetString(PyExc_IndexError, "StatList assignment index out of range");
            return -1;
        }
        if (value) overwrite(l, index, entry);
        else replace(l, index, index + 1, nullptr, 0);
        return 0;
    });
}

// The first entry from `from` equal to the value of `item` (a Stat), or -1.
Py_ssize_t find(const StatListObject *l, PyObject *item, Py_ssize_t from = 0) {
    if (!is_stat(item)) return -1;
    const StatEntry wanted = stat_entry(item);
    for (Py_ssize_t i = from; i < size_of(l); ++i)
        if (same(l->entries[static_cast<std::size_t>(i)], wanted)) return i;
    return -1;
}

int list_contains(PyObject *self, PyObject *item) { return find(as_list(self), item) >= 0; }

// ---- Methods ----

PyObject *none() { return host::none(); }

PyObject *list_append(PyObject *self, PyObject *item) {
    StatListObject *l = as_list(self);
    if (!is_stat(item)) return refuse_item(item, size_of(l)), nullptr;
    const StatEntry entry = stat_entry(item);
    if (!guarded([&] { replace(l, size_of(l), size_of(l), &entry, 1); return true; })) return nullptr;
    return none();
}

PyObject *list_extend(PyObject *self, PyObject *iterable) {
    StatListObject *l = as_list(self);
    std::vector<StatEntry> given;
    if (!collect(iterable, size_of(l), given)) return nullptr;
    const bool added = guarded([&] {
        replace(l, size_of(l), size_of(l), given.data(), static_cast<Py_ssize_t>(given.size()));
        return true;
    });
    return added ? none() : nullptr;
}

PyObject *list_inplace_concat(PyObject *self, PyObject *iterable) {
    PyObject *done = list_extend(self, iterable);
    if (!done) return nullptr;
    Py_DECREF(done);
    Py_INCREF(self);
    return self;
}

PyObject *list_insert(PyObject *self, PyObject *args) {
    StatListObject *l = as_list(self);
    PyObject *key = nullptr, *item = nullptr;
    if (!PyArg_ParseTuple(args, "OO:insert", &key, &item)) return nullptr;
    Py_ssize_t index = index_argument(key);  // runs its __index__
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (!is_stat(item)) return refuse_item(item, index), nullptr;
    const StatEntry entry = stat_entry(item);
    const Py_ssize_t n = size_of(l);
    if (index < 0) index = std::max<Py_ssize_t>(0, index + n);
    index = std::min(index, n);
    if (!guarded([&] { replace(l, index, index, &entry, 1); return true; })) return nullptr;
    return none();
}

PyObject *list_pop(PyObject *self, PyObject *args) {
    StatListObject *l = as_list(self);
    PyObject *key = nullptr;
    if (!PyArg_ParseTuple(args, "|O:pop", &key)) return nullptr;
    Py_ssize_t index = key ? index_argument(key) : -1;  // runs its __index__
    if (index == -1 && PyErr_Occurred()) return nullptr;
    StatObject *taken = new_stat();
    if (!taken) return nullptr;
    if (l->entries.empty() || index < -size_of(l) || index >= size_of(l)) {
        Py_DECREF(taken);
        PyErr_SetString(PyExc_IndexError, l->entries.empty() ? "pop from empty StatList" : "pop index out of range");
        return nullptr;
    }
    if (index < 0) index += size_of(l);
    taken->rec = l->entries[static_cast<std::size_t>(index)];
    replace(l, index, index + 1, nullptr, 0);
    return reinterpret_cast<PyObject *>(taken);
}

PyObject *list_remove(PyObject *self, PyObject *item) {
    StatListObject *l = as_list(self);
    const Py_ssize_t at = find(l, item);
    if (at < 0) {
        PyErr_SetString(PyExc_ValueError, "StatList.remove(x): x not in list");
        return nullptr;
    }
    replace(l, at, at + 1, nullptr, 0);
    return none();
}

PyObject *list_index(PyObject *self, PyObject *item) {
    const Py_ssize_t at = find(as_list(self), item);
    if (at < 0) return PyErr_Format(PyExc_ValueError, "StatList.index(x): x not in list");
    return host::int_from_long(static_cast<long>(at));
}

PyObject *list_count(PyObject *self, PyObject *item) {
    const StatListObject *l = as_list(self);
    Py_ssize_t count = 0;
    for (Py_ssize_t at = find(l, item); at >= 0; at = find(l, item, at + 1)) ++count;
    return host::int_from_long(static_cast<long>(count));
}

PyObject *list_clear(PyObject *self, PyObject *) {
    StatListObject *l = as_list(self);
    replace(l, 0, size_of(l), nullptr, 0);
    return none();
}

PyObject *list_reverse(PyObject *self, PyObject *) {
    StatListObject *l = as_list(self);
    std::reverse(l->entries.begin(), l->entries.end());
    for (StatObject *view = l->views; view; view = view->next) view->index = size_of(l) - 1 - view->index;
    return none();
}

PyObject *list_copy(PyObject *self, PyObject *) {
    const StatListObject *l = as_list(self);
    return new_list_of(l->entries.data(), l->entries.size());
}

// The entries as the file holds them: 4 bytes each, little-endian.
PyObject *list_to_bytes(PyObject *self, PyObject *) {
    const StatListObject *l = as_list(self);
    PyObject *bytes = host::bytes_from(nullptr, l->entries.size() * kEntrySize);
    if (!bytes) return nullptr;
    auto *out = reinterpret_cast<std::uint8_t *>(host::bytes_data(bytes));
    for (const StatEntry &e : l->entries) out = encode(e, Layout<StatEntry>::fields, out);
    return bytes;
}

// Replaces every entry by those of `bytes` in the file's form.
bool set_from_bytes(StatListObject *l, PyObject *bytes) {
    if (!host::is_bytes(bytes)) {
        PyErr_Format(PyExc_TypeError, "StatList: expected bytes, found %.100s", Py_TYPE(bytes)->tp_name);
        return false;
    }
    const std::size_t size = host::bytes_size(bytes);
    if (size % kEntrySize != 0) {
        PyErr_Format(PyExc_ValueError, "StatList: %zu bytes are not a whole number of %zu-byte entries", size,
                     kEntrySize);
        return false;
    }
    return guarded([&] {
        std::vector<StatEntry> given(size / kEntrySize);
        const auto *in = reinterpret_cast<const std::uint8_t *>(host::bytes_data(bytes));
        for (StatEntry &e : given) in = decode(e, Layout<StatEntry>::fields, in);
        replace(l, 0, size_of(l), given.data(), static_cast<Py_ssize_t>(given.size()));
        return true;
    });
}

PyObject *list_from_bytes(PyObject *type, PyObject *bytes) {
    PyObject *made = new_stat_list();
    (void)type;
    if (made && !set_from_bytes(as_list(made), bytes)) Py_CLEAR(made);
    return made;
}

PyObject *list_reduce(PyObject *self, PyObject *) {
    PyObject *bytes = list_to_bytes(self, nullptr);
    if (!bytes) return nullptr;
    return Py_BuildValue("(O()N)", reinterpret_cast<PyObject *>(Py_TYPE(self)), bytes);
}

PyObject *list_set_state(PyObject *self, PyObject *state) {
    return set_from_bytes(as_list(self), state) ? none() : nullptr;
}

PyMethodDef list_methods[] = {
    {"append", list_append, METH_O, "Appends the value of a Stat."},
    {"extend", list_extend, METH_O, "Appends the values of the Stat objects of an iterable."},
    {"insert", list_insert, METH_VARARGS, "insert(index, stat): inserts the value of a Stat before index."},
    {"pop", list_pop, METH_VARARGS, "pop([index]): removes the entry (default the last) and returns it as a Stat."},
    {"remove", list_remove, METH_O, "Removes the first entry equal to the Stat."},
    {"index", list_index, METH_O, "The place of the first entry equal to the Stat."},
    {"count", list_count, METH_O, "The number of entries equal to the Stat."},
    {"clear", list_clear, METH_NOARGS, "Removes every entry."},
    {"reverse", list_reverse, METH_NOARGS, "Reverses the entries in place."},
    {"copy", list_copy, METH_NOARGS, "A new StatList with the same entries."},
    {"to_bytes", list_to_bytes, METH_NOARGS, "The entries as the file holds them, 4 bytes each."},
    {"from_bytes", list_from_bytes, METH_O | METH_CLASS, "A StatList from entries as to_bytes gives them."},
    {"__reduce__", list_reduce, METH_NOARGS, "(StatList, (), the entries' bytes)."},
    {"__setstate__", list_set_state, METH_O, "Takes the entries' bytes of __reduce__."},
    {nullptr, nullptr, 0, nullptr}};

// ---- Comparison and repr ----

// 1 when `other` (a StatList or a list) holds the same values in the same order, else 0.
int equal_to(const StatListObject *l, PyObject *other) {
    if (is_stat_list(other)) {
        const auto &o = as_list(other)->entries;
        return l->entries.size() == o.size() &&
               std::equal(o.begin(), o.end(), l->entries.begin(), same);
    }
    if (PyList_GET_SIZE(other) != size_of(l)) return 0;
    for (Py_ssize_t i = 0; i < size_of(l); ++i) {
        PyObject *item = PyList_GET_ITEM(other, i);  // no Python code runs in this loop
        if (!is_stat(item) || !same(stat_entry(item), l->entries[static_cast<std::size_t>(i)])) return 0;
    }
    return 1;
}

PyObject *list_compare(PyObject *self, PyObject *other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !(is_stat_list(other) || PyList_Check(other))) {
        Py_INCREF(Py_NotImplemented);
        return Py_NotImplemented;
    }
    PyObject *result = (equal_to(as_list(self), other) == 1) == (op == Py_EQ) ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

// As the list of Stat it stands for: "[Stat(stat=1, modAmt=-2), ...]", made without calling
// Python code.
PyObject *list_repr(PyObject *self) {
    const StatListObject *l = as_list(self);
    const char *name = (*stat_made)->tp_name;
    if (const char *dot = std::strrchr(name, '.')) name = dot + 1;
    return guarded([&]() -> PyObject * {
        std::string text = "[";
        for (const StatEntry &e : l->entries) {
            if (text.size() > 1) text += ", ";
            text += name;
            const char *separator = "(";
            for_each_field(Layout<StatEntry>::fields, [&](const auto &f) {
                text += separator;
                text += f.name;
                text += "=" + std::to_string(static_cast<long long>(e.*(f.member)));
                separator = ", ";
            });
            text += ")";
        }
        text += "]";
        return host::text_from(text.c_str());
    });
}

// ---- Life ----

PyObject *list_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *iterable = nullptr;
    static const char *keywords[] = {"entries", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:StatList", const_cast<char **>(keywords), &iterable))
        return nullptr;
    std::vector<StatEntry> given;
    if (iterable && !collect(iterable, 0, given)) return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_list(self)->entries) std::vector<StatEntry>();
    as_list(self)->entries.swap(given);
    return self;
}

void list_dealloc(PyObject *self) {
    StatListObject *l = as_list(self);
    // Every view holds a reference: none is left.
    l->entries.~vector();
    Py_TYPE(self)->tp_free(self);
}

PySequenceMethods list_sequence = {};
PyMappingMethods list_mapping = {};

}  // namespace

StatEntry &stat_entry(PyObject *stat) {
    StatObject *s = as_stat(stat);
    return s->list ? s->list->entries[static_cast<std::size_t>(s->index)] : s->rec;
}

void release_stat(PyObject *stat) {
    StatObject *s = as_stat(stat);
    if (s->list) unlink(s);
}

bool is_stat_list(PyObject *object) { return Py_TYPE(object) == &list_type; }

PyTypeObject *stat_list_type() { return &list_type; }

PyObject *new_stat_list() {
    std::vector<StatEntry> none;
    return stat_list_taking(none);
}

PyObject *stat_list_taking(std::vector<StatEntry> &entries) {
    PyObject *self = list_type.tp_alloc(&list_type, 0);
    if (!self) return nullptr;
    new (&as_list(self)->entries) std::vector<StatEntry>();
    as_list(self)->entries.swap(entries);
    return self;
}

PyObject *stat_list_of(PyObject *iterable, const char *field) {
    (void)field;  // every StatList is the stats of a StatMod, and says so in its messages
    if (is_stat_list(iterable)) return list_copy(iterable, nullptr);
    std::vector<StatEntry> given;
    if (!collect(iterable, 0, given)) return nullptr;
    return stat_list_taking(given);
}

const std::vector<StatEntry> &stat_list_entries(PyObject *list) { return as_list(list)->entries; }

bool ready_stat_list(PyTypeObject *base, PyTypeObject *const *made) {
    stat_base = base;
    stat_made = made;
    list_sequence.sq_length = list_length;
    list_sequence.sq_item = list_item;
    list_sequence.sq_contains = list_contains;
    list_sequence.sq_inplace_concat = list_inplace_concat;
    list_mapping.mp_length = list_length;
    list_mapping.mp_subscript = list_subscript;
    list_mapping.mp_ass_subscript = list_ass_subscript;
    PyTypeObject &t = list_type;
    host::set_refcount(reinterpret_cast<PyObject *>(&t), 1);  // static: never freed
    t.tp_name = "_qn4tGenericActionSupport.StatList";
    t.tp_doc = "The stat entries of a StatMod, held packed: a list of Stat values. An entry taken "
               "from it is a Stat that reads and writes the entry while it is in the list.";
    t.tp_basicsize = sizeof(StatListObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT;
    t.tp_new = list_new;
    t.tp_dealloc = list_dealloc;
    t.tp_as_sequence = &list_sequence;
    t.tp_as_mapping = &list_mapping;
    t.tp_iter = PySeqIter_New;
    t.tp_richcompare = list_compare;
    t.tp_repr = list_repr;
    t.tp_methods = list_methods;
    t.tp_hash = PyObject_HashNotImplemented;
    return PyType_Ready(&t) == 0;
}

}  // namespace qn4t
