// Whole actions from their document form (qn4tGenericActionLoader/_form.py), walking the same
// field tables as the file codec: a JSON member per record field, under the field's own name,
// leaving out the fields that follow what they count.
#include "interface/action_json.h"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>

#include "binding/host.h"
#include "core/records.h"
#include "core/value_kinds.h"
#include "interface/fault_translation.h"
#include "interface/json_form.h"

namespace qn4t {
namespace {

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

// The UTF-8 bytes of a JSON string holding no surrogate (0xED starts every surrogate's three
// bytes; other texts with it go the checked way too, which takes them).
bool take_text(PyObject *value, std::string &out) {
    if (!value || !PyUnicode_CheckExact(value)) return false;
    std::size_t size = 0;
    PyObject *holder = nullptr;
    const char *data = host::utf8_of(value, &size, &holder);  // fails on a lone surrogate
    if (!data) return false;
    out.assign(data, size);
    Py_XDECREF(holder);
    return out.find('\xed') == std::string::npos;
}

// The integer fields of `table` that the form carries, from the members of the same names;
// `taken` counts them.
template <class R, class Table>
bool take_integers(PyObject *dict, const Table &table, R &record, Py_ssize_t &taken) {
    bool ok = true;
    for_each_field(table, [&](const auto &f) {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_integral_v<typename F::value> && !is_derived_count<F::member>()) {
            ok = ok && take_integer(member(dict, field_key<F::member>(f.name)), record.*(F::member));
            ++taken;
        }
    });
    return ok;
}

// A fixed-size record: a dict with exactly the fields the form carries.
template <class R>
bool take_record(PyObject *dict, R &record) {
    Py_ssize_t taken = 0;
    return dict && PyDict_CheckExact(dict) && take_integers(dict, Layout<R>::fields, record, taken) &&
           PyDict_Size(dict) == taken;
}

// Every text with every byte; its length field follows it (derive_counts).
bool take_texts(PyObject *json, WholeAction &action) {
    bool ok = true;
    std::size_t n = 0;
    for_each_field(HeaderLayout::texts, [&](const auto &t) {
        using T = std::decay_t<decltype(t)>;
        ok = ok && take_text(member(json, field_key<T::member>(t.name)), action.texts[n++]);
    });
    return ok;
}

// The spell trailer: its integers, and the spell code as a text of up to its width, padded
// with zero bytes.
bool take_trailer(PyObject *json, qn4tGeneric_Action_Header &head, Py_ssize_t &taken) {
    bool ok = take_integers(json, HeaderLayout::trailer, head, taken);
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
            ++taken;
        }
    });
    return ok;
}

// The entry records that follow body R (a stat modification's stat entries).
template <class R>
bool take_entries(PyObject *detail, WholeDetail &d) {
    using Entry = typename Layout<R>::Entry;
    Held list(member(detail, member_key<kStatsMember>()));
    if (!list.get() || !PyList_CheckExact(list.get())) return false;
    d.stats.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (std::size_t k = 0; k < d.stats.size(); ++k) {
        if (static_cast<Py_ssize_t>(k) >= PyList_GET_SIZE(list.get())) return false;  // shrunk meanwhile
        Held entry(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(k)));
        if (!take_record<Entry>(entry.get(), d.stats[k])) return false;
    }
    return true;
}

// The detail header: its type, and its length where it is given (one that differs from the
// body's size); otherwise the body's size.
bool take_detail_header(PyObject *json, WholeDetail &d, bool &length_given) {
    constexpr auto type_field = std::get<0>(DetailHeaderLayout::fields);
    constexpr auto length_field = std::get<1>(DetailHeaderLayout::fields);
    Held header(member(json, member_key<kHeaderMember>()));
    if (!header.get() || !PyDict_CheckExact(header.get())) return false;
    PyObject *length = member(header.get(), field_key<decltype(length_field)::member>(length_field.name));
    length_given = length != nullptr;
    return PyDict_Size(header.get()) == (length ? 2 : 1) &&
           take_integer(member(header.get(), field_key<decltype(type_field)::member>(type_field.name)),
                        d.header.*(DetailHeaderLayout::body_type)) &&
           (!length || take_integer(length, d.header.*(DetailHeaderLayout::body_length)));
}

// A detail of a type the form names (1, 2 or 3) with its header, body and, for a stat
// modification, its stat entries; a raw body is left to the checked way.
bool take_detail(PyObject *json, WholeDetail &d) {
    if (!PyDict_CheckExact(json)) return false;
    bool length_given = false;
    if (!take_detail_header(json, d, length_given)) return false;
    bool ok = false;
    std::size_t size = 0;
    visit_body_type(d.header.type, [&](auto tag) {
        using R = typename decltype(tag)::type;
        if (PyDict_Size(json) != (has_entries<R> ? 3 : 2)) return;  // header, body (, entries)
        Held body(member(json, member_key<kBodyMember>()));
        ok = take_record(body.get(), d.body<R>());
        if constexpr (has_entries<R>) ok = ok && take_entries<R>(json, d);
        if (ok) size = body_wire_size<R>(d.stats.size());
    });
    if (!ok || length_given) return ok;
    if (size > std::numeric_limits<decltype(d.header.length)>::max()) return false;  // the checked way says so
    d.header.*(DetailHeaderLayout::body_length) = static_cast<decltype(d.header.length)>(size);
    return true;
}

bool take_details(PyObject *json, WholeAction &action) {
    Held list(member(json, member_key<kDetailsMember>()));
    if (!list.get() || !PyList_CheckExact(list.get())) return false;
    action.details.resize(static_cast<std::size_t>(PyList_GET_SIZE(list.get())));
    for (std::size_t i = 0; i < action.details.size(); ++i) {
        if (static_cast<Py_ssize_t>(i) >= PyList_GET_SIZE(list.get())) return false;  // shrunk meanwhile
        Held detail(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)));
        if (!take_detail(detail.get(), action.details[i])) return false;
    }
    return true;
}

bool take_action(PyObject *json, WholeAction &action) {
    Py_ssize_t taken = 0;
    if (!PyDict_CheckExact(json) || !take_integers(json, HeaderLayout::head, action.head, taken)) return false;
    taken += member_count(HeaderLayout::texts) + 1;  // the texts and the details
    if (is_spell(action.head) && !take_trailer(json, action.head, taken)) return false;
    if (PyDict_Size(json) != taken || !take_texts(json, action)) return false;
    return take_details(json, action) && derive_counts(action).empty();
}

}  // namespace

JsonFill whole_action_from_json(PyObject *json, WholeAction &action) {
    if (guarded([&] { return take_action(json, action); })) return JsonFill::made;
    if (!PyErr_Occurred()) return JsonFill::declined;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return JsonFill::failed;
    PyErr_Clear();  // a text that is not UTF-8, a failed comparison: the checked way words it
    return JsonFill::declined;
}

}  // namespace qn4t
