// The kinds of whole-action objects (Action, Detail, a body of the record list, the entry
// record) and what each does, in one traits type per kind: ObjectKind<R> gives the kind's
// object layout, its class name, what a fresh object holds, what it lets go of, what the
// cyclic collector sees, equality by value and its attributes. The generic parts (type
// slots, life cycle, registration: action_objects.cpp) only call these. Internal to the
// companion module.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/host.h"
#include "binding/value_check.h"
#include "core/action_file.h"
#include "core/record_types.h"
#include "core/records.h"
#include "core/type_list.h"
#include "interface/stat_list.h"

namespace qn4t {

// ---- The objects ----

// A detail body of the record list: the record itself, and for the body that has entries
// its StatList. (The entry object is its entry, or a view onto one entry of a StatList:
// stat_list.h.)
template <class R, bool = has_entries<R>>
struct BodyObject {
    PyObject_HEAD
    R rec;
};
template <class R>
struct BodyObject<R, true> {
    PyObject_HEAD
    R rec;
    PyObject *stats;  // the StatList of its entries
};

struct DetailObject {
    PyObject_HEAD
    qn4tGeneric_Action_Detail_Header rec;
    bool length_given;  // false: `length` follows the body
    PyObject *body;     // a body object of the record list, or bytes
};

struct ActionObject {
    PyObject_HEAD
    qn4tGeneric_Action_Header rec;  // numeric fields and trailer; its text pointers stay null
    // The texts, every byte, back to back in one block (PyMem; null while all are empty):
    // one allocation per action instead of an object per text. Behind them, while `details`
    // is null, the details as the file holds them (core/packed_details.h): an action read
    // whole makes its Detail objects only when they are asked for.
    char *text_bytes;
    std::uint32_t text_end[kTextCount];  // where each text ends in it
    std::uint32_t packed_size;      // bytes of packed details behind the texts
    std::uint8_t packed_count;      // and the details they hold
    PyObject *details;              // a list of Detail, or null while they are packed
};

// The records that have an object type, in the order of their type slots: the action
// header, the detail header, the detail bodies of the record list and their entry record.
using ActionRecord = qn4tGeneric_Action_Header;
using DetailRecord = qn4tGeneric_Action_Detail_Header;
template <class... Bodies>
using ObjectRecordsOf = TypeList<ActionRecord, DetailRecord, Bodies..., EntryRecord>;
using ObjectRecords = Apply<ObjectRecordsOf, DetailBodyTypes>;
constexpr std::size_t kTypeCount = ObjectRecords::size;

// The place of R's type in base_types and made_types.
template <class R>
constexpr std::size_t type_slot = index_in<R, ObjectRecords>;

extern PyTypeObject base_types[kTypeCount];
extern PyTypeObject *made_types[kTypeCount];  // what the reader makes: the registered subclasses

template <class R>
bool is_a(PyObject *object) {
    return PyObject_TypeCheck(object, &base_types[type_slot<R>]) != 0;
}

// ---- The cyclic collector ----
// What the reader makes holds only numbers, bytes and bodies that cannot hold anything else,
// so it can be part of no cycle: it is left untracked, and the collector's passes do not
// rescan a kept file's objects each time (CPython does the same for tuples and dicts of
// atomic values). A container is tracked again as soon as something else could be put into
// it: an Action when its details list is handed out or replaced (the list with it), a Detail
// when it is given a body the collector tracks.

void track(PyObject *object);
bool tracked_by_collector(PyObject *object);

// Whether the object's class adds nothing the collector would have to see (no __dict__, no
// slots): the registered classes of actions.py.
template <class R>
bool adds_nothing(PyObject *object) {
    const PyTypeObject *type = Py_TYPE(object);
    return type->tp_dictoffset == 0 && type->tp_basicsize == base_types[type_slot<R>].tp_basicsize;
}

// What each kind does: below, and the bodies' and the entry's in body_kinds.h.
template <class R>
struct ObjectKind;

// A new object of `type`, zeroed. A kind that cannot hold what the collector must see, of
// a class that adds nothing to it (a Python subclass is a GC type on Python 3 all the same),
// is left untracked.
template <class R>
PyObject *allocate(PyTypeObject *type) {
    PyObject *self = type->tp_alloc(type, 0);  // a GC object is tracked already
    if (!self || !PyObject_IS_GC(self)) return self;
    if (!ObjectKind<R>::collected && adds_nothing<R>(self)) PyObject_GC_UnTrack(self);
    return self;
}

// ---- Helpers the kinds share (object_fields.cpp) ----

const char *type_name_of(PyObject *object);

// A name kept for the life of the process (the getset closures and type names point at it).
const char *keep_name(const std::string &name);

PyObject *new_int(long long value);

// The closure of every attribute is its qualified name, "Damage.levelMult".
FieldName name_of(void *closure);

// The bytes of a text value given as str or bytes (on Python 3 str is encoded as UTF-8 with
// surrogateescape, the inverse of the getters). A new bytes object, or null with TypeError.
PyObject *bytes_of_text(PyObject *value, const char *field);

PyGetSetDef getset(const char *name, getter get, setter set, const char *qualified);

// Compares two values that the objects hold. An item's __eq__ (anything can be appended to a
// list handed out) may replace them in their objects: they are held until the end.
int equal_values(PyObject *a, PyObject *b);

// Replaces the reference in `slot` by `value` (a new reference, taken), then lets go of the
// old one: its __del__ then sees the object already changed.
void replace_reference(PyObject *&slot, PyObject *value);

// ---- What each kind does ----
// ObjectKind<R> for every R of ObjectRecords:
//   Object                         the object's C layout
//   name                           its class name
//   collected                      whether it can hold what the cyclic collector must see
//   record(self)                   the record its fields are
//   hold_fresh(self)               makes the references a fresh object holds; false with
//                                  the exception set
//   clear(self)                    lets go of every reference (tp_clear)
//   release(self)                  lets go of everything it holds, as it is freed
//   traverse(self, visit, arg)     what the collector sees (collected kinds only)
//   equal(a, b)                    1 equal by value, 0 not, -1 error
//   init(self, args, kwargs)       tp_init
//   add_rows(rows)                 its attributes
// The primary template is a body of the record list; the action header, the detail header
// and the entry record have their own.

// Keyword arguments set the attributes of the same name, in the order given.
int init_object(PyObject *self, PyObject *args, PyObject *kwargs);

template <>
struct ObjectKind<ActionRecord> {
    using Object = ActionObject;
    static constexpr const char *name = "Action";
    static constexpr bool collected = true;
    static ActionRecord &record(PyObject *self) { return reinterpret_cast<ActionObject *>(self)->rec; }
    static bool hold_fresh(PyObject *self);
    static void clear(PyObject *self);
    static void release(PyObject *self);  // the block too
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int equal(PyObject *a, PyObject *b);
    static int init(PyObject *self, PyObject *args, PyObject *kwargs) { return init_object(self, args, kwargs); }
    static void add_rows(std::vector<PyGetSetDef> &rows);
};

template <>
struct ObjectKind<DetailRecord> {
    using Object = DetailObject;
    static constexpr const char *name = "Detail";
    static constexpr bool collected = true;
    static DetailRecord &record(PyObject *self) { return reinterpret_cast<DetailObject *>(self)->rec; }
    static bool hold_fresh(PyObject *self);
    static void clear(PyObject *self);
    static void release(PyObject *self) { clear(self); }
    static int traverse(PyObject *self, visitproc visit, void *arg);
    static int equal(PyObject *a, PyObject *b);
    static int init(PyObject *self, PyObject *args, PyObject *kwargs);
    static void add_rows(std::vector<PyGetSetDef> &rows);
};

// Whether `row` is a Detail's length that follows its body (it is not given).
bool length_follows_body(PyObject *detail, const PyGetSetDef &row);

template <>
struct ObjectKind<EntryRecord>;  // body_kinds.h, with the primary template

}  // namespace qn4t
