// The vocabulary of record field tables: one entry per field, naming the member and its
// Python-visible name. The byte codec, the Python accessors and the method rows all walk
// these tables, so every field is declared exactly once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>

namespace qn4t {

template <class M>
struct member_traits;
template <class R, class V>
struct member_traits<V R::*> {
    using record = R;
    using value = V;
};

// A plain field: an integer, or a fixed character array.
template <auto Member>
struct Field {
    using record = typename member_traits<decltype(Member)>::record;
    using value = typename member_traits<decltype(Member)>::value;
    static constexpr auto member = Member;
    std::string_view name;
};

// An owned text of the action header, with the head field that counts its bytes in the file.
template <auto Text, auto Length>
struct TextField : Field<Text> {
    static constexpr auto length = Length;
};

template <auto Member>
constexpr Field<Member> field(std::string_view name) { return {name}; }

template <auto Text, auto Length>
constexpr TextField<Text, Length> text(std::string_view name) { return {{name}}; }

// Table entries for the record type named `Record` in the enclosing scope.
#define QN4T_FIELD(member) ::qn4t::field<&Record::member>(#member)
#define QN4T_TEXT(member, length) ::qn4t::text<&Record::member, &Record::length>(#member)

// Each record type specialises Layout with `name`, `title` and the tuple `fields` (all
// fields in declaration order); the action header adds `head`, `texts` and `trailer`. The
// facts of an action file that hang on a record stand beside them (core/records.h).
template <class R>
struct Layout;

// Bytes a field takes in the file: an integer its width, a character array all but its
// terminator.
template <class F>
constexpr std::size_t wire_width() {
    using V = typename F::value;
    if constexpr (std::is_array_v<V>)
        return std::extent_v<V> - 1;
    else
        return sizeof(V);
}

template <class Tuple, std::size_t... I>
constexpr std::size_t wire_size_of(std::index_sequence<I...>) {
    return (std::size_t{0} + ... + wire_width<std::tuple_element_t<I, Tuple>>());
}

// Bytes a tuple of fields takes in the file.
template <class Tuple>
constexpr std::size_t wire_size() {
    return wire_size_of<Tuple>(std::make_index_sequence<std::tuple_size_v<Tuple>>());
}

// Calls fn(field) for every field of a table, in order.
template <class Tuple, class Fn>
constexpr void for_each_field(const Tuple &fields, Fn &&fn) {
    std::apply([&](const auto &...f) { (fn(f), ...); }, fields);
}

}  // namespace qn4t
