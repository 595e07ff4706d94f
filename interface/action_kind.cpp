// What an Action object does: its attributes (fields, texts kept in its block, spellCode,
// details), what a fresh one holds, what the collector sees and equality by value.
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "interface/action_block.h"
#include "interface/kept_details.h"
#include "interface/object_fields.h"
#include "interface/object_kinds.h"

namespace qn4t {
namespace {

ActionObject *action(PyObject *self) { return reinterpret_cast<ActionObject *>(self); }

// ---- Texts ----

template <std::size_t I, class T>
PyObject *get_text(PyObject *self, void *) {
    const std::string_view text = text_of(action(self), I);
    return host::record_text(text.data(), text.size());
}

template <std::size_t I, class Length>
int set_text(PyObject *self, PyObject *value, void *closure) {
    const char *field = static_cast<const char *>(closure);
    PyObject *bytes = bytes_of_text(value, field);
    if (!bytes) return -1;
    const std::size_t size = host::bytes_size(bytes);
    if (!text_fits(size, std::numeric_limits<Length>::max(), name_of(closure),
                   length_field_name<ActionRecord, std::decay_t<decltype(std::get<I>(HeaderLayout::texts))>>())) {
        Py_DECREF(bytes);
        return -1;
    }
    ActionObject *a = action(self);
    std::string_view texts[kTextCount];
    for (std::size_t i = 0; i < kTextCount; ++i) texts[i] = text_of(a, i);
    texts[I] = std::string_view(host::bytes_data(bytes), size);
    const bool held = hold_texts(a, texts);
    Py_DECREF(bytes);
    return held ? 0 : -1;
}

template <std::size_t I>
PyObject *get_text_length(PyObject *self, void *) {
    return new_int(static_cast<long long>(text_of(action(self), I).size()));
}

// Each text, and behind it its length field (read-only: it follows the text).
template <std::size_t... I>
void add_text_rows(std::vector<PyGetSetDef> &rows, std::index_sequence<I...>) {
    auto one = [&](auto index) {
        constexpr std::size_t i = decltype(index)::value;
        const auto &t = std::get<i>(HeaderLayout::texts);
        using Length = std::remove_reference_t<decltype(std::declval<ActionRecord &>().*(t.length))>;
        rows.push_back(getset(t.name.data(), get_text<i, Length>, set_text<i, Length>,
                              keep_name("Action." + std::string(t.name))));
        for_each_field(HeaderLayout::head, [&](const auto &h) {
            if constexpr (std::is_same_v<decltype(h.member), decltype(t.length)>)
                if (h.member == t.length) rows.push_back(getset(h.name.data(), get_text_length<i>, nullptr, nullptr));
        });
    };
    (one(std::integral_constant<std::size_t, I>()), ...);
}

// ---- spellCode ----

constexpr std::size_t kSpellCodeSize = sizeof(ActionRecord::spellCode) - 1;

PyObject *get_spell_code(PyObject *self, void *) {
    const char *code = action(self)->rec.spellCode;
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
    char *code = action(self)->rec.spellCode;
    std::memset(code, 0, kSpellCodeSize + 1);
    std::memcpy(code, host::bytes_data(bytes), size);
    Py_DECREF(bytes);
    return 0;
}

// ---- details ----

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
bool closed_details(PyObject *self) {
    PyObject *list = action(self)->details;
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
    PyObject *self = handed_out[next_handed_out];
    handed_out[next_handed_out] = nullptr;
    if (!self || !host::gc_is_tracked(self) || !adds_nothing<ActionRecord>(self) || !closed_details(self))
        return;
    PyObject_GC_UnTrack(action(self)->details);
    PyObject_GC_UnTrack(self);
}

void forget_handed_out(PyObject *self) {
    for (PyObject *&kept : handed_out)
        if (kept == self) kept = nullptr;
}

void note_handed_out(PyObject *self) {
    forget_handed_out(self);  // one place each
    handed_out[next_handed_out] = self;
    next_handed_out = (next_handed_out + 1) % kHandedOutKept;
}

// Action.details: once handed out or replaced, anything may be put into the list.
PyObject *get_details(PyObject *self, void *) {
    settle_oldest_handed_out();  // before objects are made, which may set off a collection
    PyObject *list = details_of(action(self));
    if (!list) return nullptr;
    track(list);
    track(self);
    note_handed_out(self);
    return list;
}

int set_details(PyObject *self, PyObject *value, void *closure) {
    PyObject *list = list_of<DetailRecord>(value, static_cast<const char *>(closure));
    if (!list) return -1;
    replace_reference(action(self)->details, list);
    drop_packed(action(self));
    track(self);
    return 0;
}

PyObject *get_num_details(PyObject *self, void *) {
    const ActionObject *a = action(self);
    return new_int(a->details ? PyList_GET_SIZE(a->details) : a->packed_count);
}

// Compares the details of two actions, made from packed details where need be (and not
// kept: see details_to_read). The lists are held to the end: an item's __eq__ may replace
// them in their actions.
int equal_details(ActionObject *x, ActionObject *y) {
    PyObject *xs = details_to_read(x);
    if (!xs) return -1;
    PyObject *ys = details_to_read(y);
    const int same = ys ? PyObject_RichCompareBool(xs, ys, Py_EQ) : -1;
    Py_DECREF(xs);
    Py_XDECREF(ys);
    return same;
}

}  // namespace

bool ObjectKind<ActionRecord>::hold_fresh(PyObject *self) {
    ActionObject *a = action(self);
    new (&a->rec) ActionRecord();  // texts empty: no block, every end 0
    return (a->details = PyList_New(0)) != nullptr;
}

// The block holds no reference: it stays until the object is freed, since tp_clear may run
// before the object's last use.
void ObjectKind<ActionRecord>::clear(PyObject *self) {
    Py_CLEAR(action(self)->details);
    drop_packed(action(self));  // no details, packed or not
}

void ObjectKind<ActionRecord>::release(PyObject *self) {
    forget_handed_out(self);
    clear(self);
    PyMem_Free(action(self)->text_bytes);
    action(self)->text_bytes = nullptr;
}

// An untracked action (see "The cyclic collector") shows nothing: the collector never
// traverses it, and gc.get_referents would hand out its untracked list, in which a cycle
// could then be made that is never collected. Its details are handed out by `details`,
// which tracks both.
int ObjectKind<ActionRecord>::traverse(PyObject *self, visitproc visit, void *arg) {
    if (!host::gc_is_tracked(self)) return 0;
    Py_VISIT(action(self)->details);
    return 0;
}

int ObjectKind<ActionRecord>::equal(PyObject *a, PyObject *b) {
    ActionObject *x = action(a), *y = action(b);
    // The spell fields belong to the file only for spells.
    const bool spell = x->rec.actionType == ActionRecord::kSpellType;
    if (!same_fields(x->rec, y->rec, HeaderLayout::head) ||
        (spell && !same_fields(x->rec, y->rec, HeaderLayout::trailer)))
        return 0;
    for (std::size_t i = 0; i < kTextCount; ++i)
        if (text_of(x, i) != text_of(y, i)) return 0;
    // Packed details are equal exactly when their bytes are: each field is its bytes, a
    // length as read and an entry count that counts the entries.
    if (!x->details && !y->details) return x->packed_count == y->packed_count && packed_of(x) == packed_of(y);
    return equal_details(x, y);
}

void ObjectKind<ActionRecord>::add_rows(std::vector<PyGetSetDef> &rows) {
    add_integer_rows<ActionRecord>(rows, HeaderLayout::head);
    add_text_rows(rows, std::make_index_sequence<kTextCount>());
    rows.push_back(getset("numDetails", get_num_details, nullptr, nullptr));
    rows.push_back(getset("spellCode", get_spell_code, set_spell_code, "Action.spellCode"));
    add_integer_rows<ActionRecord>(rows, HeaderLayout::trailer);
    rows.push_back(getset("details", get_details, set_details, "Action.details"));
}

}  // namespace qn4t
