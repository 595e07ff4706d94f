// Action objects to and from the decoded actions of core/action_file.h (action_conversion.h).
#include "interface/action_conversion.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

#include "core/packed_details.h"
#include "interface/action_block.h"
#include "interface/body_kinds.h"
#include "interface/kept_details.h"
#include "interface/object_kinds.h"

namespace qn4t {
namespace {

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

// ---- From objects to the encoder ----

// "actions[3] (actionID 1003)" in front of a message about one action.
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
                                            ObjectKind<R>::name + " body, found " + type_name_of(body));
    d.body<R>() = ObjectKind<R>::record(body);
    if constexpr (has_entries<R>)
        d.stats = stat_list_entries(reinterpret_cast<BodyObject<R> *>(body)->stats);  // entry values only
    if (o->length_given) return true;
    using Length = decltype(d.header.length);
    const std::size_t size = body_wire_size<R>(ObjectKind<R>::entries(body));
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
const char *spell_field_on_non_spell(const ActionRecord &head) {
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

// The details of an Action object into `w`, its counts following them.
bool fill_details(ActionObject *a, std::size_t index, WholeAction &w) {
    if (!a->details) {  // packed: decoded straight into the action written
        if (!unpack_details(packed_of(a), a->packed_count, w.details))
            return refuse(PyExc_SystemError, where(index, a) + ": its kept details do not decode");
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
    return true;
}

}  // namespace

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

PyObject *action_object(WholeAction &w) {
    PyObject *self = allocate<ActionRecord>(made_types[type_slot<ActionRecord>]);
    if (!self) return nullptr;
    const bool untracked = adds_nothing<ActionRecord>(self);  // see "The cyclic collector"
    if (untracked) PyObject_GC_UnTrack(self);
    auto *a = reinterpret_cast<ActionObject *>(self);
    new (&a->rec) ActionRecord();
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
                                            std::to_string(ActionRecord::kSpellType) +
                                            " (a spell) carries the spell fields; set them to 0 or make it a spell");
    for (std::size_t i = 0; i < kTextCount; ++i) w.texts[i].assign(text_of(a, i));
    if (!fill_details(a, index, w)) return false;
    const std::string problem = derive_counts(w);
    if (!problem.empty()) return refuse(PyExc_ValueError, where(index, a) + ": " + problem);
    return true;
}

}  // namespace qn4t
