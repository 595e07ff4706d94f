// Whole actions from their JSON form, walking the same field tables as the file codec: a
// JSON member per record field, under the field's own name.
#include "interface/action_json.h"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "binding/host.h"
#include "core/records.h"
#include "core/value_kinds.h"

namespace qn4t {
namespace {

// The members of the JSON form that are not record fields: an action's list of details, and
// a detail's header, body and stat entries.
constexpr std::string_view kDetailsMember = "details";
constexpr std::string_view kHeaderMember = "header";
constexpr std::string_view kBodyMember = "body";
constexpr std::string_view kStatsMember = "stats";

// A strong reference for the length of a scope: a container stays alive while it is read,
// even when Python code run by a lookup (a key's __eq__) takes it out of its parent.
class Held {
public:
    explicit Held(PyObject *object) : object_(object) { Py_XINCREF(object_); }
    ~Held() { Py_XDECREF(object_); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    PyObject *get() const { return object_; }

private:
    PyObject *object_;
};

// A member name as the json module's keys are (a Unicode string on both hosts), made once
// per name and kept for the life of the process. Null with MemoryError when it cannot be made.
PyObject *make_key(std::string_view name) {
    PyObject *key = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (key) host::intern_unicode(&key);
    return key;
}

template <auto Member>
PyObject *field_key(std::string_view name) {
    static PyObject *key = nullptr;
    if (!key) key = make_key(name);
    return key;
}

template <const std::string_view &Name>
PyObject *member_key() {
    static PyObject *key = nullptr;
    if (!key) key = make_key(Name);
    return key;
}

// The value of `dict`'s member `key` (borrowed), or null.
PyObject *member(PyObject *dict, PyObject *key) { return key ? PyDict_GetItem(dict, key) : nullptr; }

template <class Table>
constexpr Py_ssize_t member_count(const Table &) {
    return static_cast<Py_ssize_t>(std::tuple_size_v<Table>);
}

bool is_dict_of(PyObject *object, Py_ssize_t members) {
    return object && PyDict_CheckExact(object) && PyDict_Size(object) == members;
}

// A plain integer (not bool, not a subclass) within V's range.
template <class V>
bool take_integer(PyObject *value, V &out) {
    if (!value) return false;
    long number = 0;
    int overflow = 0;
    if (!host::exact_integer(value, &number, &overflow)) return false;
    if (overflow || !IntegerKind<V>::holds(number)) return false;  // the checked way words it
    out = static_cast<V>(number);
    return true;
}

// The UTF-8 bytes of a JSON string holding no zero byte and no surrogate (0xED starts every
// surrogate's three bytes; other texts with it go the checked way too, which takes them).
bool take_text(PyObject *value, std::string &out) {
    if (!value || !PyUnicode_CheckExact(value)) return false;
    std::size_t size = 0;
    PyObject *holder = nullptr;
    const char *data = host::utf8_of(value, &size, &holder);  // fails on a lone surrogate
    if (!data) return false;
    out.assign(data, size);
    Py_XDECREF(holder);
    return out.find('\0') == std::string::npos && out.find('\xed') == std::string::npos;
}

// The integer fields of `table` from the members of the same names.
template <class R, class Table>
bool take_integers(PyObject *dict, const Table &table, R &record) {
    bool ok = true;
    for_each_field(table, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_integral_v<typename F::value>)
            ok = ok && take_integer(member(dict, field_key<F::member>(f.name)), record.*(F::member));
    });
    return ok;
}

// A fixed-size record: a dict with exactly its fields.
template <class R>
bool take_record(PyObject *dict, R &record) {
    return is_dict_of(dict, member_count(Layout<R>::fields)) && take_integers(dict, Layout<R>::fields, record);
}

// Each text is padded with zero bytes to its length field's value, as in the file.
bool take_texts(PyObject *json, WholeAction &action) {
    bool ok = true;
    std::size_t n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        using T = std::decay_t<decltype(t)>;
        std::string &text = action.texts[n++];
        if (!ok || !take_text(member(json, field_key<T::member>(t.name)), text)) {
            ok = false;
            return;
        }
        const std::size_t length = action.head.*(T::length);
        ok = text.size() <= length;
        if (ok) text.resize(length, '\0');
    });
    return ok;
}

// The spell trailer: its integers, and the spell code as a text of up to its width.
bool take_trailer(PyObject *json, qn4tGeneric_Action_Header &head) {
    bool ok = take_integers(json, HeaderLayout::trailer, head);
    for_each_field(HeaderLayout::trailer, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_array_v<typename F::value>) {
            std::string code;
            auto &stored = head.*(F::member);
            ok = ok && take_text(member(json, field_key<F::member>(f.name)), code) &&
                 code.size() < sizeof stored;  // room for the terminating zero
            if (ok) {
                std::memset(stored, 0, sizeof stored);
                std::memcpy(stored, code.data(), code.size());
            }
        }
    });
    return ok;
}

bool take_stats(PyObject *detail, WholeDetail &d) {
    using Entry = Layout<qn4tGeneric_StatMod_Details>::Entry;
    Held list(member(detail, member_key<kStatsMember>()));
    if (!list.get() || !PyList_CheckExact(list.get()) ||
        static_cast<std::size_t>(PyList_GET_SIZE(list.get())) != d.statmod.*(Layout<qn4tGeneric_StatMod_Details>::entry_count))
        return false;
    d.stats.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (std::size_t k = 0; k < d.stats.size(); ++k) {
        if (static_cast<Py_ssize_t>(k) >= PyList_GET_SIZE(list.get())) return false;  // shrunk meanwhile
        Held entry(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(k)));
        if (!take_record<Entry>(entry.get(), d.stats[k])) return false;
    }
    return true;
}

// A detail of a type the JSON form names (1, 2 or 3) with its header, body and, for a stat
// modification, its stat entries; a raw body is left to the checked way.
bool take_detail(PyObject *json, WholeDetail &d) {
    if (!PyDict_CheckExact(json)) return false;
    {
        Held header(member(json, member_key<kHeaderMember>()));
        if (!take_record(header.get(), d.header)) return false;
    }
    const BodyKind kind = d.kind();
    if (kind == BodyKind::raw || PyDict_Size(json) != (kind == BodyKind::statmod ? 3 : 2)) return false;
    Held body(member(json, member_key<kBodyMember>()));
    switch (kind) {
    case BodyKind::damage: return take_record(body.get(), d.damage);
    case BodyKind::healing: return take_record(body.get(), d.healing);
    case BodyKind::statmod: return take_record(body.get(), d.statmod) && take_stats(json, d);
    case BodyKind::raw: break;
    }
    return false;
}

bool take_details(PyObject *json, WholeAction &action) {
    Held list(member(json, member_key<kDetailsMember>()));
    if (!list.get() || !PyList_CheckExact(list.get()) ||
        PyList_GET_SIZE(list.get()) != action.head.*(HeaderLayout::detail_count))
        return false;
    action.details.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (std::size_t i = 0; i < action.details.size(); ++i) {
        if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(list.get())) return false;  // shrunk meanwhile
        Held detail(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)));
        if (!take_detail(detail.get(), action.details[i])) return false;
    }
    return true;
}

bool take_action(PyObject *json, WholeAction &action) {
    if (!PyDict_CheckExact(json) || !take_integers(json, HeaderLayout::head, action.head)) return false;
    const bool spell = is_spell(action.head);
    const Py_ssize_t members = member_count(HeaderLayout::head) + member_count(HeaderLayout::texts) + 1 +
                               (spell ? member_count(HeaderLayout::trailer) : 0);
    if (PyDict_Size(json) != members || !take_texts(json, action)) return false;
    if (spell && !take_trailer(json, action.head)) return false;
    return take_details(json, action) && derive_counts(action).empty();
}

}  // namespace

JsonFill whole_action_from_json(PyObject *json, WholeAction &action) {
    try {
        if (take_action(json, action)) return JsonFill::made;
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    }
    if (!PyErr_Occurred()) return JsonFill::declined;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return JsonFill::failed;
    PyErr_Clear();  // a text that is not UTF-8, a failed comparison: the checked way words it
    return JsonFill::declined;
}

}  // namespace qn4t
