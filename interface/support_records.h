// The companion module's functions of a record type, made from its field table: checked
// accessors (every integer kind range-checked alike, unsigned 32-bit fields read unsigned,
// texts that keep their length fields in step) and a read and write that raise instead of
// returning a quiet -1 or 0. The Python-side classes bind these; the flat module's functions
// keep their own conversions.
#pragma once

#include <Python.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/host.h"
#include "binding/reference_arguments.h"
#include "binding/spelling.h"
#include "binding/string_arguments.h"
#include "binding/type_registry.h"
#include "binding/value_check.h"
#include "core/records.h"
#include "core/text.h"
#include "interface/method_row.h"
#include "interface/record_interface.h"
#include "interface/stream_interface.h"

namespace qn4t {

// ---- Shared, non-template steps (support_records.cpp) ----

// True when the cell's stream is open in the mode an operation needs; else false with IOError
// saying that the stream is closed (or its open failed) or open the other way.
bool stream_open_for(const StreamCell &cell, bool writing, std::string_view operation,
                     std::string_view record);

// What a record read that returned -1 means, asked right after it (`system_error`: errno
// then): the integer -1 at a clean end of the data; DamagedFileError when the compressed data
// is cut short, corrupt or fails its check; IOError for the system's read error (naming the
// stream object's `path` attribute when it has one); MemoryError when the record's memory ran
// out. A new reference, or null with the exception set.
PyObject *failed_read(const StreamCell &cell, PyObject *stream, std::string_view record,
                      int system_error);

// The IOError of a record write that zlib could not take (the errno the cell kept, and the
// stream object's `path` attribute as the file name when it has one). Returns null.
PyObject *failed_write(const StreamCell &cell, PyObject *stream);

// ---- Conversion of values ----

// What a checked getter returns: as the flat getter, but an unsigned 32-bit field unsigned.
template <class V>
PyObject *checked_value(const V &value) {
    if constexpr (std::is_same_v<V, std::uint32_t>) {
        static_assert(sizeof(long) > sizeof(std::uint32_t), "a long holds every u32 value");
        return host::int_from_long(static_cast<long>(value));
    } else {
        return ConversionKind<V>::value(value);
    }
}

// ---- Spelling ----

// The flat accessor's names and getter format; the setter takes every integer as "O" (the
// range is checked here) and a text as the flat setter does.
template <class R, std::size_t I>
struct CheckedAccessor : Accessor<R, I> {
    using Base = Accessor<R, I>;
    using Field = typename Base::Field;
    using value = typename Field::value;
    static constexpr auto setter_format = [] {
        if constexpr (std::is_integral_v<value>)
            return parse_format<kTwoObjects>(Base::setter_name);
        else
            return parse_format<kTextSetterCodes>(Base::setter_name);
    }();
};

// ---- Wrappers ----

// `<record>_<field>_get`: (record) -> the field's value.
template <class R, std::size_t I>
PyObject *checked_get(PyObject *, PyObject *arguments) {
    using A = CheckedAccessor<R, I>;
    PyObject *reference[1] = {};
    void *record = nullptr;
    if (!parse_objects(arguments, A::getter_format.c_str(), reference) ||
        !usable_reference(reference[0], A::slot, NullReference::kRefused, &record))
        return nullptr;
    return checked_value(static_cast<R *>(record)->*(A::member));
}

// `<record>_<field>_set`: (record, value) -> None. The value must fit the field: an integer
// within its range, a text within what its length field can count (which it then holds), a
// spell code of at most four bytes.
template <class R, std::size_t I>
PyObject *checked_set(PyObject *, PyObject *arguments) {
    using A = CheckedAccessor<R, I>;
    using V = typename A::value;
    void *record = nullptr;
    if constexpr (std::is_integral_v<V>) {
        PyObject *objects[2] = {};  // the record and the value
        V number = 0;
        if (!parse_objects(arguments, A::setter_format.c_str(), objects) ||
            !check_reference(objects[0], A::slot, NullReference::kRefused, &record) ||
            !field_integer(objects[1], {Layout<R>::name, A::field_name}, &number) ||
            !resolve_reference(A::slot, &record))
            return nullptr;
        static_cast<R *>(record)->*(A::member) = number;
        return host::none();
    } else {
        PyObject *reference = nullptr;
        TextArgument value(A::setter_name.c_str());
        if (!value.parse(arguments, A::setter_format.c_str(), &reference) ||
            !usable_reference(reference, A::slot, NullReference::kRefused, &record))
            return nullptr;
        const std::size_t size = std::strlen(value.text());
        R &target = *static_cast<R *>(record);
        if constexpr (std::is_array_v<V>) {
            if (!text_fits(size, std::extent_v<V> - 1, {Layout<R>::name, A::field_name}, {}))
                return nullptr;
            store_chars(target.*(A::member), std::extent_v<V>, value.text());
        } else {
            using Length = std::remove_reference_t<decltype(target.*(A::Field::length))>;
            if (!text_fits(size, std::numeric_limits<Length>::max(), {Layout<R>::name, A::field_name},
                           length_field_name<R, typename A::Field>()))
                return nullptr;
            if (!replace_text(target.*(A::member), value.text(), size)) return PyErr_NoMemory();
            target.*(A::Field::length) = static_cast<Length>(size);
        }
        return host::none();
    }
}

// Zeroes the fields of a table: what a record holds of a part the file did not carry.
template <class R, class Tuple>
void clear_fields(R &record, const Tuple &table) {
    for_each_field(table, [&](const auto &f) {
        auto &value = record.*(f.member);
        if constexpr (std::is_array_v<std::remove_reference_t<decltype(value)>>)
            std::memset(value, 0, sizeof value);
        else
            value = 0;
    });
}

// `<record>_read` and `<record>_write`: (record, stream) -> 0, or -1 from a read at the
// clean end of the data; every failure raises (see failed_read, failed_write and
// stream_open_for). A header read leaves no spell trailer of an earlier record behind on an
// action that has none.
template <class R, bool Write>
PyObject *checked_io(PyObject *, PyObject *arguments) {
    using L = Lifecycle<R>;
    PyObject *objects[2] = {};  // the record and the stream
    void *record = nullptr;
    void *stream = nullptr;
    const char *format = Write ? L::write_format.c_str() : L::read_format.c_str();
    if (!parse_objects(arguments, format, objects) ||
        !check_reference(objects[0], L::slot, NullReference::kRefused, &record) ||
        !usable_reference(objects[1], kStreamSlot, NullReference::kRefused, &stream) ||
        !resolve_reference(L::slot, &record))
        return nullptr;
    StreamCell *cell = static_cast<StreamCell *>(stream);
    if (!stream_open_for(*cell, Write, Write ? "write" : "read", Layout<R>::name)) return nullptr;
    R &target = *static_cast<R *>(record);
    errno = 0;
    if constexpr (Write) {
        if (reported_write(*cell, target.write(cell->handle)) != 0) return failed_write(*cell, objects[1]);
    } else {
        if (target.read(cell->handle) != 0) return failed_read(*cell, objects[1], Layout<R>::name, errno);
        if constexpr (std::is_same_v<R, HeaderLayout::Record>)
            if (target.*(HeaderLayout::action_type) != R::kSpellType)
                clear_fields(target, HeaderLayout::trailer);
    }
    return host::int_from_long(0);
}

// ---- Method-table rows ----

// The rows of field I: its checked setter, then its checked getter.
template <class R, std::size_t I>
constexpr std::array<PyMethodDef, 2> checked_field_rows() {
    using A = CheckedAccessor<R, I>;
    return {{method_row(A::setter_name.c_str(), &checked_set<R, I>),
             method_row(A::getter_name.c_str(), &checked_get<R, I>)}};
}

template <class R, std::size_t... I>
constexpr auto checked_rows(std::index_sequence<I...>) {
    using L = Lifecycle<R>;
    constexpr std::array<PyMethodDef, 2> io = {{method_row(L::read_name.c_str(), &checked_io<R, false>),
                                                method_row(L::write_name.c_str(), &checked_io<R, true>)}};
    return join_rows(checked_field_rows<R, I>()..., io);
}

// The companion's rows of a record type: setter and getter of every field, read, write.
template <class R>
constexpr auto checked_rows() {
    return checked_rows<R>(std::make_index_sequence<std::tuple_size_v<FieldTuple<R>>>());
}

}  // namespace qn4t
