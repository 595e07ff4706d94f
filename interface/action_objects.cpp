// Whole actions as Python objects: native types whose attributes are made from the records'
// field tables, and their conversion to and from the decoded actions of core/action_file.h.
#include "interface/action_objects.h"
#include "interface/action_conversion.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "binding/host.h"
#include "binding/value_check.h"
#include "interface/action_json.h"
#include "interface/stat_list.h"
#include "interface/support_records.h"
#include "core/action_file.h"
#include "core/packed_details.h"
#include "core/records.h"

namespace qn4t {
namespace {

// The byte strings of the host, as the reader and writer below spell them (binding/host.h).
#define QN4T_BYTES_CHECK host::is_bytes
#define QN4T_BYTES_DATA host::bytes_data
#define QN4T_BYTES_SIZE host::bytes_size
#define QN4T_BYTES_FROM(data, size) host::bytes_from(data, static_cast<std::size_t>(size))

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

// The object type of each record.
template <class R>
using ObjectOf = std::conditional_t<
    std::is_same_v<R, ActionRecord>, ActionObject,
    std::conditional_t<std::is_same_v<R, DetailRecord>, DetailObject,
                       std::conditional_t<std::is_same_v<R, EntryRecord>, StatObject, BodyObject<R>>>>;

// The class name of each object type: a body's and an entry's from its Layout.
template <class R>
constexpr const char *class_name() {
    if constexpr (std::is_same_v<R, ActionRecord>)
        return "Action";
    else if constexpr (std::is_same_v<R, DetailRecord>)
        return "Detail";
    else
        return Layout<R>::class_name.data();  // a literal: ends in a zero
}

PyTypeObject base_types[kTypeCount];
PyTypeObject *made_types[kTypeCount];  // what the reader makes: the registered subclasses
const char *type_names[kTypeCount];    // class names by slot, from class_name()

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

void track(PyObject *object) {
    if (!host::gc_is_tracked(object)) PyObject_GC_Track(object);
}

// Whether the object's class adds nothing the collector would have to see (no __dict__, no
// slots): the registered classes of actions.py.
template <class R>
bool adds_nothing(PyObject *object) {
    const PyTypeObject *type = Py_TYPE(object);
    return type->tp_dictoffset == 0 && type->tp_basicsize == base_types[type_slot<R>].tp_basicsize;
}

bool tracked_by_collector(PyObject *object) { return PyObject_IS_GC(object) && host::gc_is_tracked(object); }

const char *type_name_of(PyObject *object) { return Py_TYPE(object)->tp_name; }

// The qualified names of the attributes ("Damage.die"), kept for the life of the process:
// the getset closures point at them.
const char *keep_name(const std::string &name) {
    static std::vector<std::unique_ptr<std::string>> names;
    names.push_back(std::make_unique<std::string>(name));
    return names.back()->c_str();
}

PyObject *new_int(long long value) { return host::int_from_long(static_cast<long>(value)); }

// The bytes of a text value given as str or bytes (on Python 3 str is encoded as UTF-8 with
// surrogateescape, the inverse of the getters). A new bytes object, or null with TypeError.
PyObject *bytes_of_text(PyObject *value, const char *field) {
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", field);
        return nullptr;
    }
    if (host::is_bytes(value)) {
        Py_INCREF(value);
        return value;
    }
    if (PyUnicode_Check(value)) return host::bytes_of_unicode(value);
    PyErr_Format(PyExc_TypeError, "%s: expected str or bytes, found %s", field,
                 type_name_of(value));
    return nullptr;
}

// ---- Record fields: one getter and setter per table entry ----

// The record an object's fields are: a Stat's is found afresh at each use, since its list
// may have changed while Python code ran.
template <class O>
auto &record_of(PyObject *self) {
    if constexpr (std::is_same_v<O, StatObject>)
        return stat_entry(self);
    else
        return reinterpret_cast<O *>(self)->rec;
}

template <class O, auto Member>
PyObject *get_integer(PyObject *self, void *) {
    return new_int(static_cast<long long>(record_of<O>(self).*Member));
}

// The closure of every attribute is its qualified name, "Damage.levelMult".
FieldName name_of(void *closure) { return field_name_of(static_cast<const char *>(closure)); }

template <class O, auto Member>
int set_integer(PyObject *self, PyObject *value, void *closure) {
    using V = std::remove_reference_t<decltype(record_of<O>(self).*Member)>;
    V number = 0;
    if (!field_integer(value, name_of(closure), &number)) return -1;
    record_of<O>(self).*Member = number;
    return 0;
}

PyGetSetDef getset(const char *name, getter get, setter set, const char *qualified) {
    PyGetSetDef row = {};
    row.name = const_cast<char *>(name);
    row.get = get;
    row.set = set;
    row.closure = const_cast<char *>(qualified);
    return row;
}

// ---- Values that follow what they count ----

// Getters and setters for the integer fields of `table`, except the counts, which are left
// to the type's own rows.
template <class R, class Table>
void add_integer_rows(std::vector<PyGetSetDef> &rows, const Table &table) {
    using O = ObjectOf<R>;
    for_each_field(table, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_integral_v<typename F::value> && !is_derived_count<F::member>()) {
            const char *qualified = keep_name(std::string(class_name<R>()) + "." + std::string(f.name));
            rows.push_back(getset(f.name.data(), get_integer<O, F::member>,
                                  set_integer<O, F::member>, qualified));
        }
    });
}

// The entries a body object holds: 0 for a body without entries.
template <class R>
std::size_t entries_of(PyObject *body) {
    if constexpr (has_entries<R>)
        return stat_list_entries(reinterpret_cast<BodyObject<R> *>(body)->stats).size();
    else
        return 0;
}

// Bytes a body takes in the file behind its detail header, its entries included: what
// `length` follows when it is not given.
std::size_t body_size(PyObject *body) {
    std::size_t size = host::is_bytes(body) ? host::bytes_size(body) : 0;
    for_each_body_type([&](auto tag) {
        using R = typename decltype(tag)::type;
        if (is_a<R>(body)) size = body_wire_size<R>(entries_of<R>(body));
    });
    return size;
}

// ---- Action ----

std::string_view text_of(const ActionObject *a, std::size_t i) {
    const std::uint32_t start = i == 0 ? 0 : a->text_end[i - 1];
    return std::string_view(a->text_bytes ? a->text_bytes + start : "", a->text_end[i] - start);
}

std::string_view packed_of(const ActionObject *a) {
    return std::string_view(a->text_bytes ? a->text_bytes + a->text_end[kTextCount - 1] : "", a->packed_size);
}

// Makes the action hold `texts` and behind them the `packed` details (which may lie in its
// present block); false with MemoryError (nothing changed). The texts (at most 64 KiB each)
// and the packed bytes (checked by the caller) fit 32-bit offsets.
bool hold_block(ActionObject *a, const std::string_view (&texts)[kTextCount], std::string_view packed) {
    std::size_t total = packed.size();
    for (const std::string_view &t : texts) total += t.size();
    char *block = nullptr;
    if (total > 0 && !(block = static_cast<char *>(PyMem_Malloc(total)))) {
        PyErr_NoMemory();
        return false;
    }
    std::uint32_t end = 0;
    for (std::size_t i = 0; i < kTextCount; ++i) {
        if (!texts[i].empty()) std::memcpy(block + end, texts[i].data(), texts[i].size());
        a->text_end[i] = end += static_cast<std::uint32_t>(texts[i].size());
    }
    if (!packed.empty()) std::memcpy(block + end, packed.data(), packed.size());
    a->packed_size = static_cast<std::uint32_t>(packed.size());
    PyMem_Free(a->text_bytes);
    a->text_bytes = block;
    return true;
}

bool hold_texts(ActionObject *a, const std::string_view (&texts)[kTextCount]) {
    return hold_block(a, texts, packed_of(a));
}

// Forgets the packed details (their Detail objects are made, or they are replaced). Their
// bytes stay in the block, unused, until a text is set: shrinking it would copy the texts
// for each action whose details are asked for.
void drop_packed(ActionObject *a) {
    a->packed_count = 0;
    a->packed_size = 0;
}

template <std::size_t I, class T>
PyObject *get_text(PyObject *self, void *) {
    const std::string_view text = text_of(reinterpret_cast<ActionObject *>(self), I);
    return host::record_text(text.data(), text.size());
}

template <std::size_t I, class Length>
int set_text(PyObject *self, PyObject *value, void *closure) {
    const char *field = static_cast<const char *>(closure);
    PyObject *bytes = bytes_of_text(value, field);
    if (!bytes) return -1;
    const std::size_t size = host::bytes_size(bytes);
    if (!text_fits(size, std::numeric_limits<Length>::max(), name_of(closure),
                   length_field_name<qn4tGeneric_Action_Header, std::decay_t<decltype(std::get<I>(HeaderLayout::texts))>>())) {
        Py_DECREF(bytes);
        return -1;
    }
    auto *a = reinterpret_cast<ActionObject *>(self);
    std::string_view texts[kTextCount];
    for (std::size_t i = 0; i < kTextCount; ++i) texts[i] = text_of(a, i);
    texts[I] = std::string_view(host::bytes_data(bytes), size);
    const bool held = hold_texts(a, texts);
    Py_DECREF(bytes);
    return held ? 0 : -1;
}

template <std::size_t I>
PyObject *get_text_length(PyObject *self, void *) {
    return new_int(static_cast<long long>(text_of(reinterpret_cast<ActionObject *>(self), I).size()));
}

template <std::size_t... I>
void add_text_rows(std::vector<PyGetSetDef> &rows, std::index_sequence<I...>) {
    auto one = [&](auto index) {
        constexpr std::size_t i = decltype(index)::value;
        const auto &t = std::get<i>(HeaderLayout::texts);
        using Length =
            std::remove_reference_t<decltype(std::declval<qn4tGeneric_Action_Header &>().*(t.length))>;
        rows.push_back(getset(t.name.data(), get_text<i, Length>, set_text<i, Length>,
                              keep_name("Action." + std::string(t.name))));
        for_each_field(HeaderLayout::head, [&](const auto &h) {
            if constexpr (std::is_same_v<decltype(h.member), decltype(t.length)>)
                if (h.member == t.length)
                    rows.push_back(getset(h.name.data(), get_text_length<i>, nullptr, nullptr));
        });
    };
    (one(std::integral_constant<std::size_t, I>()), ...);
}

constexpr std::size_t kSpellCodeSize = sizeof(qn4tGeneric_Action_Header::spellCode) - 1;

PyObject *get_spell_code(PyObject *self, void *) {
    const char *code = record_of<ActionObject>(self).spellCode;
    std::size_t size = kSpellCodeSize;
    while (size > 0 && code[size - 1] == '\0') --size;  // trailing zero bytes only
    return host::record_text(code, size);
}

int set_spell_code(PyObject *self, PyObject *value, void *closure) {
    const char *field = static_cast<const char *>(closure);
    PyObject *bytes = bytes_of_text(value, field);
    if (!bytes) return -1;
    const std::size_t size = host::bytes_size(bytes);
    if (!text_fits(size, kSpellCodeSize, name_of(closure), {})) {
        Py_DECREF(bytes);
        return -1;
    }
    char *code = record_of<ActionObject>(self).spellCode;
    std::memset(code, 0, kSpellCodeSize + 1);
    std::memcpy(code, host::bytes_data(bytes), size);
    Py_DECREF(bytes);
    return 0;
}

// A list attribute: the list itself is handed out, so that appending to it changes the
// object; setting takes any iterable.
template <class O, PyObject *O::*Slot>
PyObject *get_list(PyObject *self, void *) {
    PyObject *list = reinterpret_cast<O *>(self)->*Slot;
    Py_INCREF(list);
    return list;
}

// A list field takes the items of any iterable other than a text, each of the field's item
// kind, checked here: a fault is refused when it is made, not when the action is written.
// (What is appended to the list handed out is checked when the action is written.)

template <class O, PyObject *O::*Slot, class Item>
int set_list(PyObject *self, PyObject *value, void *closure) {
    const char *field = static_cast<const char *>(closure);
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", field);
        return -1;
    }
    if (PyUnicode_Check(value) || host::is_bytes(value)) {
        PyErr_Format(PyExc_TypeError, "%s takes a list of %s, not %s", field, class_name<Item>(),
                     type_name_of(value));
        return -1;
    }
    PyObject *list = PySequence_List(value);  // may run Python code: nothing is held yet
    if (!list) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        if (!is_a<Item>(item)) {
            PyErr_Format(PyExc_TypeError, "%s[%zd]: expected a %s, found %s", field, i, class_name<Item>(),
                         type_name_of(item));
            Py_DECREF(list);
            return -1;
        }
    }
    PyObject *&slot = reinterpret_cast<O *>(self)->*Slot;
    PyObject *old = slot;
    slot = list;
    Py_XDECREF(old);
    return 0;
}

PyObject *details_of(ActionObject *a);

// ---- Details handed out lately ----
// Handing out an action's details list tracks the action and the list: the script may put
// anything into the list. A script that walks every detail of a kept list holds each list
// for a moment only, yet tracked, each action and list would be carried into the oldest
// generation and scanned again by every full collection, and their growing number sets off
// one full collection after another. So the last few actions whose lists were handed out
// are looked at once more when another list is handed out, and untracked again when
// nothing can put anything into their lists or details any more: the list is held by the
// action alone, and each of its items is an untracked Detail (its body holds nothing the
// collector sees) held by the list alone. To reach either again a script must ask the
// action for its details, which tracks both again.

constexpr std::size_t kHandedOutKept = 4;
// Actions whose lists were handed out lately, borrowed: an action is forgotten when freed.
PyObject *handed_out[kHandedOutKept];
std::size_t next_handed_out = 0;

// Whether the action's list and details can be reached only through the action and hold
// nothing that could lead back to it.
bool closed_details(PyObject *action) {
    PyObject *list = reinterpret_cast<ActionObject *>(action)->details;
    if (!list || !PyList_CheckExact(list) || Py_REFCNT(list) != 1) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *detail = PyList_GET_ITEM(list, i);
        if (Py_REFCNT(detail) != 1 || !is_a<DetailRecord>(detail) || host::gc_is_tracked(detail) ||
            !adds_nothing<DetailRecord>(detail))
            return false;
    }
    return true;
}

// Untracks the action handed out longest ago, and its list, where that is sound; its place
// is then free for the next one.
void settle_oldest_handed_out() {
    PyObject *action = handed_out[next_handed_out];
    handed_out[next_handed_out] = nullptr;
    if (!action || !host::gc_is_tracked(action) || !adds_nothing<ActionRecord>(action) ||
        !closed_details(action))
        return;
    PyObject_GC_UnTrack(reinterpret_cast<ActionObject *>(action)->details);
    PyObject_GC_UnTrack(action);
}

void note_handed_out(PyObject *action) {
    handed_out[next_handed_out] = action;
    next_handed_out = (next_handed_out + 1) % kHandedOutKept;
}

void forget_handed_out(PyObject *action) {
    for (PyObject *&kept : handed_out)
        if (kept == action) kept = nullptr;
}

// Action.details: once handed out or replaced, anything may be put into the list.
PyObject *get_details(PyObject *self, void *) {
    settle_oldest_handed_out();  // before objects are made: it may not survive a collection
    PyObject *list = details_of(reinterpret_cast<ActionObject *>(self));
    if (!list) return nullptr;
    track(list);
    track(self);
    forget_handed_out(self);  // a place of its own, once
    note_handed_out(self);
    return list;
}

int set_details(PyObject *self, PyObject *value, void *closure) {
    if (set_list<ActionObject, &ActionObject::details, DetailRecord>(self, value, closure) < 0) return -1;
    drop_packed(reinterpret_cast<ActionObject *>(self));
    track(self);
    return 0;
}

PyObject *get_num_details(PyObject *self, void *) {
    const auto *a = reinterpret_cast<ActionObject *>(self);
    return new_int(a->details ? PyList_GET_SIZE(a->details) : a->packed_count);
}

// The entries of a body that has them: a StatList (handed out itself, as a list is); setting
// takes the values of any iterable of entry objects. Its count follows the list.
template <class R>
PyObject *get_entry_count(PyObject *self, void *) {
    return new_int(static_cast<long long>(entries_of<R>(self)));
}

template <class R>
int set_stats(PyObject *self, PyObject *value, void *closure) {
    const char *field = static_cast<const char *>(closure);
    if (!value) {
        PyErr_Format(PyExc_TypeError, "%s cannot be deleted", field);
        return -1;
    }
    PyObject *list = stat_list_of(value, field);  // may run Python code: nothing is held yet
    if (!list) return -1;
    PyObject *&slot = reinterpret_cast<BodyObject<R> *>(self)->stats;
    PyObject *old = slot;
    slot = list;
    Py_XDECREF(old);
    return 0;
}

// ---- Detail ----

PyObject *get_detail_length(PyObject *self, void *) {
    auto *d = reinterpret_cast<DetailObject *>(self);
    return new_int(d->length_given ? d->rec.length : static_cast<long long>(body_size(d->body)));
}

int set_detail_length(PyObject *self, PyObject *value, void *closure) {
    auto *d = reinterpret_cast<DetailObject *>(self);
    if (value == Py_None) {
        d->length_given = false;
        return 0;
    }
    if (!field_integer(value, name_of(closure), &d->rec.length)) return -1;
    d->length_given = true;
    return 0;
}

PyObject *get_body(PyObject *self, void *) {
    PyObject *body = reinterpret_cast<DetailObject *>(self)->body;
    Py_INCREF(body);
    return body;
}

bool is_body_object(PyObject *value) {
    bool body = false;
    for_each_body_type([&](auto tag) { body = body || is_a<typename decltype(tag)::type>(value); });
    return body;
}

// "a Damage, StatMod or Healing, or bytes": what a body can be, the body classes of the
// record list in type order. Made when the types are made.
std::string body_choices;

std::string body_class_names() {
    std::string names;
    std::size_t n = 0;
    for_each_body_type([&](auto tag) {
        ++n;
        names += n == 1 ? "a " : n == DetailBodyTypes::size ? " or " : ", ";
        names += class_name<typename decltype(tag)::type>();
    });
    return names;
}

int set_body(PyObject *self, PyObject *value, void *closure) {
    if (!value || !(is_body_object(value) || host::is_bytes(value))) {
        PyErr_Format(PyExc_TypeError, "%s: expected %s, found %s", static_cast<const char *>(closure),
                     body_choices.c_str(), value ? type_name_of(value) : "nothing");
        return -1;
    }
    PyObject *&slot = reinterpret_cast<DetailObject *>(self)->body;
    PyObject *old = slot;
    Py_INCREF(value);
    slot = value;
    if (tracked_by_collector(value)) track(self);
    Py_XDECREF(old);
    return 0;
}

// ---- Life of the objects ----

// A new object of `type`, zeroed. A body or an entry holds only numbers (a body its
// StatList): a class that adds nothing to it (a Python subclass is a GC type on Python 3 all
// the same) is left untracked (see "The cyclic collector").
template <class R>
PyObject *allocate(PyTypeObject *type) {
    PyObject *self = type->tp_alloc(type, 0);  // a GC object is tracked already
    if (!self || !PyObject_IS_GC(self)) return self;
    if constexpr (!std::is_same_v<R, ActionRecord> && !std::is_same_v<R, DetailRecord>)
        if (adds_nothing<R>(self)) PyObject_GC_UnTrack(self);
    return self;
}

PyObject *empty_bytes() { return host::bytes_from(nullptr, 0); }

// The fresh object of each type: every number zero, texts empty, lists empty; a Detail has
// an empty raw body until one is given. Makes the references a fresh object holds; false
// with the exception set.
template <class R>
bool hold_fresh(PyObject *self) {
    if constexpr (std::is_same_v<R, ActionRecord>) {
        auto *a = reinterpret_cast<ActionObject *>(self);
        new (&a->rec) qn4tGeneric_Action_Header();  // texts empty: no block, every end 0
        return (a->details = PyList_New(0)) != nullptr;
    } else if constexpr (std::is_same_v<R, DetailRecord>) {
        return (reinterpret_cast<DetailObject *>(self)->body = empty_bytes()) != nullptr;
    } else if constexpr (has_entries<R>) {
        return (reinterpret_cast<BodyObject<R> *>(self)->stats = new_stat_list()) != nullptr;
    } else {
        return true;
    }
}

template <class R>
PyObject *new_object(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = allocate<R>(type);
    if (self && !hold_fresh<R>(self)) Py_CLEAR(self);
    return self;
}

// Keyword arguments set the attributes of the same name, in the order given.
int init_object(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (args && PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes keyword arguments only", type_name_of(self));
        return -1;
    }
    if (!kwargs) return 0;
    PyObject *key = nullptr, *value = nullptr;
    Py_ssize_t at = 0;
    while (PyDict_Next(kwargs, &at, &key, &value))
        if (PyObject_SetAttr(self, key, value) < 0) return -1;
    return 0;
}

// A Detail made with a body and no type takes the body's type; one made with a type of the
// record list and no body gets a fresh body of that type.
int init_detail(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (init_object(self, args, kwargs) < 0) return -1;
    auto *d = reinterpret_cast<DetailObject *>(self);
    const bool type_given = kwargs && PyDict_GetItemString(kwargs, "type");
    const bool body_given = kwargs && PyDict_GetItemString(kwargs, "body");
    if (!type_given && body_given) {
        for_each_body_type([&](auto tag) {
            using R = typename decltype(tag)::type;
            if (is_a<R>(d->body)) d->rec.*(DetailHeaderLayout::body_type) = Layout<R>::detail_type;
        });
    } else if (type_given && !body_given) {
        PyObject *body = nullptr;
        const bool known = visit_body_type(d->rec.*(DetailHeaderLayout::body_type), [&](auto tag) {
            PyTypeObject *type = made_types[type_slot<typename decltype(tag)::type>];
            body = type->tp_new(type, nullptr, nullptr);
        });
        if (!known) return 0;
        if (!body) return -1;
        Py_DECREF(d->body);
        d->body = body;
    }
    return 0;
}

template <class R>
void clear_references(PyObject *self) {
    if constexpr (std::is_same_v<R, ActionRecord>) {
        auto *a = reinterpret_cast<ActionObject *>(self);
        Py_CLEAR(a->details);
        drop_packed(a);  // no details, packed or not
    } else if constexpr (std::is_same_v<R, DetailRecord>) {
        Py_CLEAR(reinterpret_cast<DetailObject *>(self)->body);
    } else if constexpr (std::is_same_v<R, EntryRecord>) {
        release_stat(self);
    } else if constexpr (has_entries<R>) {
        Py_CLEAR(reinterpret_cast<BodyObject<R> *>(self)->stats);
    }
}

template <class R>
void dealloc_plain(PyObject *self) {
    clear_references<R>(self);
    Py_TYPE(self)->tp_free(self);
}

template <class R>
int clear_gc(PyObject *self) {
    clear_references<R>(self);
    return 0;
}

template <class R>
int traverse(PyObject *self, visitproc visit, void *arg) {
    if constexpr (std::is_same_v<R, ActionRecord>) {
        Py_VISIT(reinterpret_cast<ActionObject *>(self)->details);
    } else if constexpr (std::is_same_v<R, DetailRecord>) {
        Py_VISIT(reinterpret_cast<DetailObject *>(self)->body);
    }
    return 0;
}

template <class R>
void dealloc_gc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if constexpr (std::is_same_v<R, ActionRecord>) forget_handed_out(self);
    clear_references<R>(self);
    if constexpr (std::is_same_v<R, ActionRecord>)
        PyMem_Free(reinterpret_cast<ActionObject *>(self)->text_bytes);  // no reference: kept by tp_clear
    Py_TYPE(self)->tp_free(self);
}

// ---- Equality by value ----

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

// Compares the details of two actions, made from packed details where need be. The lists
// are held to the end: an item's __eq__ may replace them in their actions.
int equal_details(ActionObject *x, ActionObject *y) {
    PyObject *xs = details_of(x);
    if (!xs) return -1;
    PyObject *ys = details_of(y);
    const int same = ys ? PyObject_RichCompareBool(xs, ys, Py_EQ) : -1;
    Py_DECREF(xs);
    Py_XDECREF(ys);
    return same;
}

// Compares two values that the objects hold. An item's __eq__ (anything can be appended to a
// list handed out) may replace them in their objects: they are held until the end.
int equal_values(PyObject *a, PyObject *b) {
    Py_INCREF(a);
    Py_INCREF(b);
    const int same = PyObject_RichCompareBool(a, b, Py_EQ);
    Py_DECREF(a);
    Py_DECREF(b);
    return same;
}

// 1 equal, 0 not, -1 error.
template <class R>
int equal_objects(PyObject *a, PyObject *b) {
    if constexpr (std::is_same_v<R, ActionRecord>) {
        auto *x = reinterpret_cast<ActionObject *>(a), *y = reinterpret_cast<ActionObject *>(b);
        // The spell fields belong to the file only for spells.
        const bool spell = x->rec.actionType == qn4tGeneric_Action_Header::kSpellType;
        if (!same_fields(x->rec, y->rec, HeaderLayout::head) ||
            (spell && !same_fields(x->rec, y->rec, HeaderLayout::trailer)))
            return 0;
        for (std::size_t i = 0; i < kTextCount; ++i)
            if (text_of(x, i) != text_of(y, i)) return 0;
        // Packed details are equal exactly when their bytes are: each field is its bytes, a
        // length as read and an entry count that counts the entries.
        if (!x->details && !y->details)
            return x->packed_count == y->packed_count && packed_of(x) == packed_of(y);
        return equal_details(x, y);
    } else if constexpr (std::is_same_v<R, DetailRecord>) {
        auto *x = reinterpret_cast<DetailObject *>(a), *y = reinterpret_cast<DetailObject *>(b);
        const std::size_t xl = x->length_given ? x->rec.length : body_size(x->body);
        const std::size_t yl = y->length_given ? y->rec.length : body_size(y->body);
        if (x->rec.type != y->rec.type || xl != yl) return 0;
        return equal_values(x->body, y->body);
    } else {
        using O = ObjectOf<R>;
        if (!same_fields(record_of<O>(a), record_of<O>(b), Layout<R>::fields)) return 0;
        if constexpr (has_entries<R>)
            return equal_values(reinterpret_cast<O *>(a)->stats, reinterpret_cast<O *>(b)->stats);
        return 1;
    }
}

template <class R>
PyObject *compare(PyObject *a, PyObject *b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_a<R>(a) || !is_a<R>(b)) {
        Py_INCREF(Py_NotImplemented);
        return Py_NotImplemented;
    }
    const int same = equal_objects<R>(a, b);
    if (same < 0) return nullptr;
    PyObject *result = (same == 1) == (op == Py_EQ) ? Py_True : Py_False;
    Py_INCREF(result);
    return result;
}

// ---- From the decoder to objects ----

template <class R>
PyObject *body_object(WholeDetail &d) {
    PyObject *self = allocate<R>(made_types[type_slot<R>]);
    if (!self) return nullptr;
    reinterpret_cast<BodyObject<R> *>(self)->rec = d.body<R>();
    if constexpr (has_entries<R>) {
        // The entries are taken, not copied: a detail of millions of them is held once.
        if (!(reinterpret_cast<BodyObject<R> *>(self)->stats = stat_list_taking(d.stats))) {
            Py_DECREF(self);
            return nullptr;
        }
    }
    return self;
}

PyObject *body_object(WholeDetail &d) {
    PyObject *self = nullptr;
    const bool known = visit_body_type(d.header.type, [&](auto tag) {
        self = body_object<typename decltype(tag)::type>(d);
    });
    return known ? self : host::bytes_from(d.raw.data(), d.raw.size());
}

PyObject *detail_object(WholeDetail &d);

// A list of new Detail objects holding `details` (their stat entries taken), or null with
// the exception set.
PyObject *detail_list(std::vector<WholeDetail> &details) {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(details.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < details.size(); ++i) {
        PyObject *detail = detail_object(details[i]);
        if (!detail) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), detail);
    }
    return list;
}

// ---- Packed details to objects ----

// The action's list of details, a new reference, made from its packed details the first
// time; null with the exception set. Making the objects may run the collector and with it
// any __del__, which may ask for this action's details or replace them (and free the
// block): the bytes are decoded into plain values before any object is made, and the list
// made here is installed only when no other call installed one meanwhile.
PyObject *details_of(ActionObject *a) {
    if (a->details) {
        Py_INCREF(a->details);
        return a->details;
    }
    std::vector<WholeDetail> decoded;
    try {
        if (!unpack_details(packed_of(a), a->packed_count, decoded)) {
            PyErr_Format(PyExc_SystemError, "Action (actionID %lu): its kept details do not decode",
                         static_cast<unsigned long>(a->rec.actionID));
            return nullptr;
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject *made = detail_list(decoded);
    if (!made) return nullptr;
    if (!host::gc_is_tracked(reinterpret_cast<PyObject *>(a))) PyObject_GC_UnTrack(made);  // see "The cyclic collector"
    if (!a->details) {
        a->details = made;
        drop_packed(a);
        Py_INCREF(made);
        return made;
    }
    PyObject *installed = a->details;  // by a call made while the objects were made
    Py_INCREF(installed);
    Py_DECREF(made);
    return installed;
}

// Keeps the action's details packed (see ActionObject) when their bytes say exactly what
// their fields say; false when they are to be made objects now.
bool hold_packed(ActionObject *a, const WholeAction &w, const std::string_view (&texts)[kTextCount]) {
    if (packed_size(w) > kMostPackedBytes || !packs_exactly(w)) return false;
    static std::string packed;  // reused: no Python code runs while it is filled and copied
    packed.clear();
    try {
        pack_details(w, packed);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    if (!hold_block(a, texts, packed)) return false;
    a->packed_count = w.head.numDetails;
    return true;
}

PyObject *detail_object(WholeDetail &d) {
    PyObject *self = allocate<DetailRecord>(made_types[type_slot<DetailRecord>]);
    if (!self) return nullptr;
    if (adds_nothing<DetailRecord>(self)) PyObject_GC_UnTrack(self);  // see "The cyclic collector"
    auto *o = reinterpret_cast<DetailObject *>(self);
    o->rec = d.header;
    o->length_given = true;  // kept as read
    if (!(o->body = body_object(d))) {
        Py_DECREF(self);
        return nullptr;
    }
    if (tracked_by_collector(o->body)) track(self);
    return self;
}

}  // namespace

PyObject *action_object(WholeAction &w) {
    PyObject *self = allocate<ActionRecord>(made_types[type_slot<ActionRecord>]);
    if (!self) return nullptr;
    const bool untracked = adds_nothing<ActionRecord>(self);  // see "The cyclic collector"
    if (untracked) PyObject_GC_UnTrack(self);
    auto *a = reinterpret_cast<ActionObject *>(self);
    new (&a->rec) qn4tGeneric_Action_Header();
    for_each_field(std::tuple_cat(HeaderLayout::head, HeaderLayout::trailer), [&](const auto &f) {
        std::memcpy(&(a->rec.*(f.member)), &(w.head.*(f.member)), sizeof(a->rec.*(f.member)));
    });
    {
        std::string_view texts[kTextCount];
        for (std::size_t i = 0; i < kTextCount; ++i) texts[i] = w.texts[i];
        if (hold_packed(a, w, texts)) return self;
        if (PyErr_Occurred() || !hold_texts(a, texts)) goto error;
    }
    if (!(a->details = detail_list(w.details))) goto error;
    if (untracked) PyObject_GC_UnTrack(a->details);
    return self;
error:
    Py_DECREF(self);
    return nullptr;
}

namespace {

// ---- From objects to the encoder ----

// "actions[3] (actionID 1003): " in front of a message about one action.
std::string where(std::size_t index, const ActionObject *a) {
    return "actions[" + std::to_string(index) + "] (actionID " + std::to_string(a->rec.actionID) + ")";
}

bool refuse(PyObject *kind, const std::string &message) {
    PyErr_SetString(kind, message.c_str());
    return false;
}

// The body object of type R into the detail; false with the exception set when the body is
// not one, or its size does not fit a `length` that follows it.
template <class R>
bool fill_body(const DetailObject *o, WholeDetail &d, const std::string &place) {
    PyObject *body = o->body;
    if (!is_a<R>(body))
        return refuse(PyExc_ValueError, place + ": type " + std::to_string(d.header.type) + " needs a " +
                                            class_name<R>() + " body, found " + type_name_of(body));
    d.body<R>() = record_of<BodyObject<R>>(body);
    if constexpr (has_entries<R>)
        d.stats = stat_list_entries(reinterpret_cast<BodyObject<R> *>(body)->stats);  // entry values only
    if (o->length_given) return true;
    using Length = decltype(d.header.length);
    const std::size_t size = body_wire_size<R>(entries_of<R>(body));
    if (size > std::numeric_limits<Length>::max())
        return refuse(PyExc_ValueError, place + ".length: the body's " + std::to_string(size) +
                                            " bytes are more than length holds (0 to " +
                                            std::to_string(std::numeric_limits<Length>::max()) +
                                            "): give length");
    d.header.*(DetailHeaderLayout::body_length) = static_cast<Length>(size);
    return true;
}

bool fill_detail(PyObject *object, WholeDetail &d, const std::string &place) {
    if (!is_a<DetailRecord>(object))
        return refuse(PyExc_TypeError, place + ": expected a Detail, found " + type_name_of(object));
    auto *o = reinterpret_cast<DetailObject *>(object);
    d.header = o->rec;
    bool filled = false;
    const bool known = visit_body_type(d.header.type, [&](auto tag) {
        filled = fill_body<typename decltype(tag)::type>(o, d, place);
    });
    if (known) return filled;
    PyObject *body = o->body;
    if (!host::is_bytes(body))
        return refuse(PyExc_ValueError, place + ": a detail of type " + std::to_string(d.header.type) +
                                            " keeps its body as bytes, found " + type_name_of(body));
    d.raw.assign(host::bytes_data(body), host::bytes_size(body));
    if (o->length_given && o->rec.length != d.raw.size())
        return refuse(PyExc_ValueError, place + ".length: " + std::to_string(o->rec.length) +
                                            " does not match the " + std::to_string(d.raw.size()) +
                                            " bytes of its raw body");
    return true;
}

// Only a spell carries the spell trailer in the file: spell fields set on any other action
// would be dropped without a word, so such an action is refused. Returns the field's name,
// or null when there is none.
const char *spell_field_on_non_spell(const qn4tGeneric_Action_Header &head) {
    if (is_spell(head)) return nullptr;
    const char *found = nullptr;
    for_each_field(HeaderLayout::trailer, [&](const auto &f) {
        const auto &value = head.*(f.member);
        bool set = false;
        if constexpr (std::is_array_v<std::remove_reference_t<decltype(value)>>)
            set = std::any_of(std::begin(value), std::end(value), [](char c) { return c != 0; });
        else
            set = value != 0;
        if (set && !found) found = f.name.data();
    });
    return found;
}

}  // namespace

bool fill_action(PyObject *object, std::size_t index, WholeAction &w) {
    if (!is_a<ActionRecord>(object))
        return refuse(PyExc_TypeError, "actions[" + std::to_string(index) + "]: expected an Action, found " +
                                           type_name_of(object));
    auto *a = reinterpret_cast<ActionObject *>(object);
    for_each_field(std::tuple_cat(HeaderLayout::head, HeaderLayout::trailer), [&](const auto &f) {
        std::memcpy(&(w.head.*(f.member)), &(a->rec.*(f.member)), sizeof(w.head.*(f.member)));
    });
    if (const char *field = spell_field_on_non_spell(w.head))
        return refuse(PyExc_ValueError, where(index, a) + ": " + field + ": only an action of actionType " +
                                            std::to_string(qn4tGeneric_Action_Header::kSpellType) +
                                            " (a spell) carries the spell fields; set them to 0 or make it a spell");
    for (std::size_t i = 0; i < kTextCount; ++i)
        w.texts[i].assign(text_of(a, i));
    if (!a->details) {  // packed: decoded straight into the action written
        if (!unpack_details(packed_of(a), a->packed_count, w.details))
            return refuse(PyExc_SystemError, where(index, a) + ": its kept details do not decode");
        const std::string problem = derive_counts(w);
        if (!problem.empty()) return refuse(PyExc_ValueError, where(index, a) + ": " + problem);
        return true;
    }
    const std::size_t count = static_cast<std::size_t>(PyList_GET_SIZE(a->details));
    if (count > std::numeric_limits<decltype(w.head.numDetails)>::max())
        return refuse(PyExc_ValueError, where(index, a) + ": details: " + std::to_string(count) +
                                            " details, more than numDetails holds (0 to 255)");
    w.details.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        if (!fill_detail(PyList_GET_ITEM(a->details, static_cast<Py_ssize_t>(i)), w.details[i],
                         where(index, a) + ": details[" + std::to_string(i) + "]"))
            return false;
    const std::string problem = derive_counts(w);
    if (!problem.empty()) return refuse(PyExc_ValueError, where(index, a) + ": " + problem);
    return true;
}

namespace {

// ---- From the JSON form ----

// (Action, the bytes it takes in the file) made from an action's plain JSON form, or None
// when the value is in any other form or does not fit (see action_json.h).
PyObject *action_from_json(PyObject *, PyObject *json) {
    try {
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
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

// Takes {class name: class} for every object type: the subclasses the reader makes.
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
        Py_INCREF(found[k]);  // kept for the life of the process
        made_types[k] = reinterpret_cast<PyTypeObject *>(found[k]);
    }
    Py_INCREF(Py_None);
    return Py_None;
}

PyMethodDef functions[] = {
    {"_action_from_json", action_from_json, METH_O,
     "(Action, its size in the file) from an action's plain JSON form, or None."},
    {"_register_classes", register_classes, METH_O, "The subclasses the reader makes, by class name."},
    {nullptr, nullptr, 0, nullptr}};

// ---- Copies and pickles ----

// (the object's type, no arguments, its state): the state holds every attribute that can be
// set, under its name, as the getters give it; a Detail's length is None when it follows the
// body. What copy, deepcopy and pickle use on both hosts.
template <class R>
PyObject *reduce_object(PyObject *self, PyObject *) {
    if (!is_a<R>(self)) return PyErr_Format(PyExc_TypeError, "%s cannot be copied", type_name_of(self));
    PyObject *state = PyDict_New();
    if (!state) return nullptr;
    for (const PyGetSetDef *row = base_types[type_slot<R>].tp_getset; row->name; ++row) {
        if (!row->set) continue;  // a count, which follows what it counts
        const bool follows = row->get == get_detail_length &&
                             !reinterpret_cast<DetailObject *>(self)->length_given;
        PyObject *value = follows ? host::none() : row->get(self, row->closure);
        const int stored = value ? PyDict_SetItemString(state, row->name, value) : -1;
        Py_XDECREF(value);
        if (stored < 0) {
            Py_DECREF(state);
            return nullptr;
        }
    }
    return Py_BuildValue("(O()N)", reinterpret_cast<PyObject *>(Py_TYPE(self)), state);
}

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

// Sets the attributes of a state made by reduce_object, each through its setter; a name that
// is no settable field is refused. The items are taken first: a setter (a value's
// __index__) may change the dict.
template <class R>
PyObject *set_state(PyObject *self, PyObject *state) {
    if (!is_a<R>(self) || !PyDict_Check(state))
        return PyErr_Format(PyExc_TypeError, "%s.__setstate__ takes a dict, not %s", type_name_of(self),
                            type_name_of(state));
    PyObject *items = PyDict_Items(state);
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); ++i) {
        PyObject *name = PyTuple_GET_ITEM(PyList_GET_ITEM(items, i), 0);
        const PyGetSetDef *row = settable_row(type_slot<R>, name);
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

template <class R>
PyMethodDef object_methods[] = {
    {"__reduce__", reduce_object<R>, METH_NOARGS, "(type, (), state): for copy, deepcopy and pickle."},
    {"__setstate__", set_state<R>, METH_O, "Sets the attributes of a state made by __reduce__."},
    {nullptr, nullptr, 0, nullptr}};

// ---- Types ----

std::vector<PyGetSetDef> getset_rows[kTypeCount];

// Only an Action and a Detail can hold what the collector must see; a body holds numbers and
// at most its StatList, an entry object a StatList.
template <class R>
constexpr bool collected = std::is_same_v<R, ActionRecord> || std::is_same_v<R, DetailRecord>;

template <class R>
void prepare_type() {
    constexpr std::size_t k = type_slot<R>;
    PyTypeObject &t = base_types[k];
    type_names[k] = class_name<R>();
    t.tp_name = keep_name(std::string("_qn4tGenericActionSupport.") + class_name<R>());
    t.tp_basicsize = static_cast<Py_ssize_t>(sizeof(ObjectOf<R>));
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (collected<R> ? Py_TPFLAGS_HAVE_GC : 0);
    t.tp_new = new_object<R>;
    t.tp_init = std::is_same_v<R, DetailRecord> ? init_detail : init_object;
    if constexpr (collected<R>) {
        t.tp_dealloc = dealloc_gc<R>;
        t.tp_traverse = traverse<R>;
        t.tp_clear = clear_gc<R>;
    } else {
        t.tp_dealloc = dealloc_plain<R>;
    }
    t.tp_richcompare = compare<R>;
    t.tp_methods = object_methods<R>;
    t.tp_hash = PyObject_HashNotImplemented;  // mutable: compared by value, never hashed
    getset_rows[k].push_back(PyGetSetDef{});
    t.tp_getset = getset_rows[k].data();
    made_types[k] = &t;
}

void add_action_rows(std::vector<PyGetSetDef> &action) {
    add_integer_rows<ActionRecord>(action, HeaderLayout::head);
    add_text_rows(action, std::make_index_sequence<kTextCount>());
    action.push_back(getset("numDetails", get_num_details, nullptr, nullptr));
    action.push_back(getset("spellCode", get_spell_code, set_spell_code, "Action.spellCode"));
    add_integer_rows<ActionRecord>(action, HeaderLayout::trailer);
    action.push_back(getset("details", get_details, set_details, "Action.details"));
}

void add_detail_rows(std::vector<PyGetSetDef> &detail) {
    detail.push_back(getset("type", get_integer<DetailObject, &qn4tGeneric_Action_Detail_Header::type>,
                            set_integer<DetailObject, &qn4tGeneric_Action_Detail_Header::type>, "Detail.type"));
    detail.push_back(getset("length", get_detail_length, set_detail_length, "Detail.length"));
    detail.push_back(getset("body", get_body, set_body, "Detail.body"));
}

// A body's or entry's fields; a body with entries adds its count (read-only) and `stats`.
template <class R>
void add_record_rows(std::vector<PyGetSetDef> &rows) {
    add_integer_rows<R>(rows, Layout<R>::fields);
    if constexpr (has_entries<R>) {
        for_each_field(Layout<R>::fields, [&](const auto &f) {
            if constexpr (is_derived_count<std::decay_t<decltype(f)>::member>())
                rows.push_back(getset(f.name.data(), get_entry_count<R>, nullptr, nullptr));
        });
        rows.push_back(getset("stats", get_list<BodyObject<R>, &BodyObject<R>::stats>, set_stats<R>,
                              keep_name(std::string(class_name<R>()) + ".stats")));
    }
}

bool ready_types() {
    body_choices = body_class_names() + ", or bytes";
    for_each_type(ObjectRecords{}, [](auto tag) {
        using R = typename decltype(tag)::type;
        auto &rows = getset_rows[type_slot<R>];
        if constexpr (std::is_same_v<R, ActionRecord>)
            add_action_rows(rows);
        else if constexpr (std::is_same_v<R, DetailRecord>)
            add_detail_rows(rows);
        else
            add_record_rows<R>(rows);
        prepare_type<R>();
    });
    for (PyTypeObject &t : base_types)
        if (PyType_Ready(&t) < 0) return false;
    return ready_stat_list(&base_types[type_slot<EntryRecord>], &made_types[type_slot<EntryRecord>]);
}

}  // namespace

bool add_action_api(PyObject *module) {
    static bool ready = false;
    try {
        if (!ready) {
            if (!ready_types()) return false;
            ready = true;
        }
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    for (std::size_t k = 0; k < kTypeCount; ++k) {
        Py_INCREF(&base_types[k]);
        if (PyModule_AddObject(module, type_names[k], reinterpret_cast<PyObject *>(&base_types[k])) < 0)
            return false;
    }
    Py_INCREF(stat_list_type());
    if (PyModule_AddObject(module, "StatList", reinterpret_cast<PyObject *>(stat_list_type())) < 0) return false;
    for (PyMethodDef *f = functions; f->ml_name; ++f) {
        PyObject *function = PyCFunction_New(f, nullptr);
        if (!function || PyModule_AddObject(module, f->ml_name, function) < 0) return false;
    }
    return true;
}

}  // namespace qn4t
