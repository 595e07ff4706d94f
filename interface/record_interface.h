// The Python functions of a record type, made from its field table: a setter and a
// getter per field, constructor, destructor, read, write and shadow-class registration,
// with their parse formats, Python names and method-table rows spelled at compile time.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/hand_out.h"
#include "binding/host.h"
#include "binding/reference_arguments.h"
#include "binding/spelling.h"
#include "binding/string_arguments.h"
#include "binding/type_registry.h"
#include "core/address_arena.h"
#include "core/records.h"
#include "interface/method_row.h"
#include "interface/stream_interface.h"

namespace qn4t {

// ---- Shared, non-template steps (record_interface.cpp) ----

// Forgets a record as live before it is destroyed.
void retire_record(void *record);
// Parses a text setter's (record, text) with a format whose codes are kTextSetterCodes,
// then converts the record (refusing a null one) after the text, which is how it is used.
// False with the exception set.
bool text_setter_arguments(PyObject *arguments, const char *format, TypeSlot slot,
                           TextArgument &value, void **record);
// Stores a fresh copy of `value` in a text field: None, or MemoryError with the old text kept.
PyObject *store_text(char *&field, const char *value);
// Copies up to capacity - 1 characters into a character array and zero-fills the rest.
void store_chars(char *array, std::size_t capacity, const char *value);
// A text field's value: the text up to its first zero byte, or None when absent.
PyObject *text_value(const char *text);
// A character array's value: its text up to the first zero byte, within the array.
PyObject *chars_value(const char *array, std::size_t capacity);
// The `_swigregister` step: stores the class as the slot type's client data, keeps a
// reference to it and returns None.
PyObject *register_shadow_class(PyObject *arguments, TypeSlot slot);

// Unpacks an argument tuple whose codes are all "O" (any object) into `objects`. A tuple
// of exactly N items needs no parsing; any other goes through PyArg_ParseTuple with
// `format`, which raises the interpreter's own error. False with the exception set.
template <std::size_t N>
inline bool parse_objects(PyObject *arguments, const char *format, PyObject *(&objects)[N]) {
    static_assert(N == 1 || N == 2, "wrappers take one or two objects");
    if (PyTuple_GET_SIZE(arguments) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) objects[i] = PyTuple_GET_ITEM(arguments, i);
        return true;
    }
    if constexpr (N == 1)
        return PyArg_ParseTuple(arguments, format, &objects[0]) != 0;
    else
        return PyArg_ParseTuple(arguments, format, &objects[0], &objects[1]) != 0;
}

// ---- Conversion kinds: what a field's declared type makes of its accessors ----
//
// Each kind says once what it is: the setter's argument codes, how the setter takes its
// arguments and stores the value, and the getter's value for Python. `A` is the field's
// Accessor (below): its record type, member, slot, Python names and parse formats.

template <class V, class = void>
struct ConversionKind;

// Unsigned 8, 16 and 32 bits: the value comes as "O" and is converted here (PyInt_AsLong),
// keeping the field's low bits. The record is checked first; the conversion may run
// __index__ or __int__, so it is resolved again after. A null record skips the store.
template <class V>
struct ConversionKind<V, std::enable_if_t<std::is_unsigned_v<V>>> {
    static constexpr std::string_view codes = "OO";

    template <class A>
    static PyObject *set(PyObject *arguments) {
        PyObject *objects[2] = {};  // the record and the value
        void *record = nullptr;
        if (!parse_objects(arguments, A::setter_format.c_str(), objects) ||
            !check_reference(objects[0], A::slot, NullReference::kAccepted, &record))
            return nullptr;
        const long number = host::long_of(objects[1]);  // may run __index__ or __int__
        if ((number == -1 && PyErr_Occurred()) || !resolve_reference(A::slot, &record)) return nullptr;
        if (record) static_cast<typename A::Record *>(record)->*(A::member) = static_cast<V>(number);
        return host::none();
    }

    // Widened without sign; an unsigned 32-bit field reads back as its bits taken as a
    // signed value.
    static PyObject *value(V field) {
        if constexpr (sizeof(V) == 4) {
            const long bits = static_cast<long>(field);
            return host::int_from_long(bits >= 0x80000000L ? bits - 0x100000000L : bits);
        } else {
            return host::int_from_long(field);
        }
    }
};

// Signed 16 and 32 bits: the interpreter's parser converts the value ("h", "i") and refuses
// one out of range before anything is stored; the record is converted after it, and so used
// as it is then. A null record skips the store.
template <class V>
struct ConversionKind<V, std::enable_if_t<std::is_integral_v<V> && std::is_signed_v<V>>> {
    static_assert(std::is_same_v<V, short> || std::is_same_v<V, int>, "parsed by \"h\" or \"i\"");
    static constexpr std::string_view codes = std::is_same_v<V, short> ? "Oh" : "Oi";

    template <class A>
    static PyObject *set(PyObject *arguments) {
        PyObject *reference = nullptr;
        V value = 0;
        void *record = nullptr;
        if (!PyArg_ParseTuple(arguments, A::setter_format.c_str(), &reference, &value) ||
            !usable_reference(reference, A::slot, NullReference::kAccepted, &record))
            return nullptr;
        if (record) static_cast<typename A::Record *>(record)->*(A::member) = value;
        return host::none();
    }

    static PyObject *value(V field) { return host::int_from_long(field); }
};

// An owned text: the setter stores a fresh copy of the value (TextArgument); the getter
// gives the text up to its first zero byte, or None while the record holds none. A null
// record is refused.
template <>
struct ConversionKind<char *> {
    static constexpr std::string_view codes = kTextSetterCodes;

    template <class A>
    static PyObject *set(PyObject *arguments) {
        TextArgument value(A::setter_name.c_str());
        void *record = nullptr;
        if (!text_setter_arguments(arguments, A::setter_format.c_str(), A::slot, value, &record))
            return nullptr;
        return store_text(static_cast<typename A::Record *>(record)->*(A::member), value.text());
    }

    static PyObject *value(const char *field) { return text_value(field); }
};

// A fixed character array of N - 1 characters and a terminator: the setter copies up to
// N - 1 characters of the value and fills the rest with zero bytes; the getter gives the
// text up to the first zero byte. A null record is refused.
template <std::size_t N>
struct ConversionKind<char[N]> {
    static constexpr std::string_view codes = kTextSetterCodes;

    template <class A>
    static PyObject *set(PyObject *arguments) {
        TextArgument value(A::setter_name.c_str());
        void *record = nullptr;
        if (!text_setter_arguments(arguments, A::setter_format.c_str(), A::slot, value, &record))
            return nullptr;
        store_chars(static_cast<typename A::Record *>(record)->*(A::member), N, value.text());
        return host::none();
    }

    static PyObject *value(const char (&field)[N]) { return chars_value(field, N); }
};

// ---- Spelling: each wrapper's Python name once, its parse format made from it ----

template <class R>
using FieldTuple = std::remove_const_t<decltype(Layout<R>::fields)>;

// Field I of record R: `<record>_<field>_set` and `<record>_<field>_get`.
template <class R, std::size_t I>
struct Accessor {
    using Record = R;
    using Field = std::tuple_element_t<I, FieldTuple<R>>;
    using Kind = ConversionKind<typename Field::value>;
    static constexpr auto member = Field::member;
    static constexpr TypeSlot slot = slot_of<R>;
    static constexpr std::string_view field_name = std::get<I>(Layout<R>::fields).name;
    static constexpr std::string_view setter_parts[] = {Layout<R>::name, "_", field_name, "_set"};
    static constexpr std::string_view getter_parts[] = {Layout<R>::name, "_", field_name, "_get"};
    static constexpr auto setter_name = QN4T_JOIN(setter_parts);
    static constexpr auto getter_name = QN4T_JOIN(getter_parts);
    static constexpr auto setter_format = parse_format<Kind::codes>(setter_name);
    static constexpr auto getter_format = parse_format<kOneObject>(getter_name);
};

// The life-cycle functions of record R. `_swigregister` parses with the bare "O", so that
// its errors name no function, and has no format of its own.
template <class R>
struct Lifecycle {
    static constexpr TypeSlot slot = slot_of<R>;
    static constexpr std::string_view new_parts[] = {"new_", Layout<R>::name};
    static constexpr std::string_view delete_parts[] = {"delete_", Layout<R>::name};
    static constexpr std::string_view read_parts[] = {Layout<R>::name, "_read"};
    static constexpr std::string_view write_parts[] = {Layout<R>::name, "_write"};
    static constexpr std::string_view register_parts[] = {Layout<R>::name, "_swigregister"};
    static constexpr auto new_name = QN4T_JOIN(new_parts);
    static constexpr auto delete_name = QN4T_JOIN(delete_parts);
    static constexpr auto read_name = QN4T_JOIN(read_parts);
    static constexpr auto write_name = QN4T_JOIN(write_parts);
    static constexpr auto register_name = QN4T_JOIN(register_parts);
    static constexpr auto new_format = parse_format<kNoArguments>(new_name);
    static constexpr auto delete_format = parse_format<kOneObject>(delete_name);
    static constexpr auto read_format = parse_format<kTwoObjects>(read_name);
    static constexpr auto write_format = parse_format<kTwoObjects>(write_name);
};

// ---- Wrappers ----
//
// Every wrapper takes its arguments in one shape: check each reference in argument order
// (check_reference, binding/reference_arguments.h), convert the values (which may run
// Python code), resolve the references again (resolve_reference), then use them with no
// call into the interpreter until the use is over. A record deleted by Python code run in
// between is refused with its TypeError and nothing is stored, read or written. Where
// nothing is converted after a reference, checking it resolves it (usable_reference).

// `<record>_<field>_get`: (record) -> the field's value.
template <class R, std::size_t I>
PyObject *get_field(PyObject *, PyObject *arguments) {
    using A = Accessor<R, I>;
    PyObject *reference[1] = {};
    void *record = nullptr;
    if (!parse_objects(arguments, A::getter_format.c_str(), reference) ||
        !usable_reference(reference[0], A::slot, NullReference::kRefused, &record))
        return nullptr;
    // Making an int or a str runs no Python code and starts no collection.
    return A::Kind::value(static_cast<R *>(record)->*(A::member));
}

// `<record>_<field>_set`: (record, value) -> None, as the field's conversion kind says.
template <class R, std::size_t I>
PyObject *set_field(PyObject *, PyObject *arguments) {
    using A = Accessor<R, I>;
    return A::Kind::template set<A>(arguments);
}

template <class R>
void destroy_record(void *record) {
    destroy_handed_out(static_cast<R *>(record));
}

// `new_<record>`: () -> a new zeroed record, or None when memory runs out. Its address is
// one no record or stream had before (core/address_arena.h).
template <class R>
PyObject *new_record(PyObject *, PyObject *arguments) {
    if (!PyArg_ParseTuple(arguments, Lifecycle<R>::new_format.c_str())) return nullptr;
    return hand_out(create_handed_out<R>(), Lifecycle<R>::slot, &destroy_record<R>);
}

// `delete_<record>`: (record) -> None; destroys the record; a null record does nothing.
template <class R>
PyObject *delete_record(PyObject *, PyObject *arguments) {
    PyObject *reference[1] = {};
    void *record = nullptr;
    if (!parse_objects(arguments, Lifecycle<R>::delete_format.c_str(), reference) ||
        !usable_reference(reference[0], Lifecycle<R>::slot, NullReference::kAccepted, &record))
        return nullptr;
    if (record) {
        retire_record(record);
        destroy_record<R>(record);
    }
    return host::none();
}

// `<record>_read` and `<record>_write`: (record, stream) -> the operation's int. The
// record is checked before the stream and resolved again after it (the stream's `this`
// can run Python code), before anything is read or written.
template <class R, bool Write>
PyObject *record_io(PyObject *, PyObject *arguments) {
    PyObject *objects[2] = {};  // the record and the stream
    void *record = nullptr;
    void *cell = nullptr;
    const char *format = Write ? Lifecycle<R>::write_format.c_str() : Lifecycle<R>::read_format.c_str();
    if (!parse_objects(arguments, format, objects) ||
        !check_reference(objects[0], Lifecycle<R>::slot, NullReference::kRefused, &record) ||
        !usable_reference(objects[1], kStreamSlot, NullReference::kRefused, &cell) ||
        !resolve_reference(Lifecycle<R>::slot, &record))
        return nullptr;
    R *target = static_cast<R *>(record);
    StreamCell &stream = *static_cast<StreamCell *>(cell);  // its handle now: a close meanwhile left it null
    return host::int_from_long(Write ? reported_write(stream, target->write(stream.handle))
                                     : target->read(stream.handle));
}

template <class R>
PyObject *register_record_class(PyObject *, PyObject *arguments) {
    return register_shadow_class(arguments, Lifecycle<R>::slot);
}

// ---- Method-table rows ----

// The rows of field I: its setter, then its getter.
template <class R, std::size_t I>
constexpr std::array<PyMethodDef, 2> field_rows() {
    using A = Accessor<R, I>;
    return {{method_row(A::setter_name.c_str(), &set_field<R, I>),
             method_row(A::getter_name.c_str(), &get_field<R, I>)}};
}

// The five life-cycle rows. A record that declares its own destructor (the action header,
// which owns its texts) lists delete_ right behind new_; the others list it behind read
// and write.
template <class R>
constexpr std::array<PyMethodDef, 5> lifecycle_rows() {
    using L = Lifecycle<R>;
    const PyMethodDef create_row = method_row(L::new_name.c_str(), &new_record<R>);
    const PyMethodDef delete_row = method_row(L::delete_name.c_str(), &delete_record<R>);
    const PyMethodDef read_row = method_row(L::read_name.c_str(), &record_io<R, false>);
    const PyMethodDef write_row = method_row(L::write_name.c_str(), &record_io<R, true>);
    const PyMethodDef register_row = method_row(L::register_name.c_str(), &register_record_class<R>);
    if constexpr (!std::is_trivially_destructible_v<R>)
        return {{create_row, delete_row, read_row, write_row, register_row}};
    else
        return {{create_row, read_row, write_row, delete_row, register_row}};
}

template <class R, std::size_t... I>
constexpr auto record_rows(std::index_sequence<I...>) {
    return join_rows(field_rows<R, I>()..., lifecycle_rows<R>());
}

// All method rows of a record type, in method-table order: a setter and a getter per
// field, then the five life-cycle rows.
template <class R>
constexpr auto record_rows() {
    return record_rows<R>(std::make_index_sequence<std::tuple_size_v<FieldTuple<R>>>());
}

}  // namespace qn4t
