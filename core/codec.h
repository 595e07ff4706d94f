// Little-endian field codec: one put/get pair per wire type, driven by the field tables.
// Independent of the host's byte order and of struct padding.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "field_table.h"

namespace qn4t {

// The bytes of an integer, least significant first, spelled as one expression per byte: the
// compiler makes a single load or store of it on a little-endian host (a loop over the bytes
// it keeps as a loop at -O2).
template <class U>
using Assembled = std::conditional_t<(sizeof(U) <= 4), std::uint32_t, std::uint64_t>;

template <class U, std::size_t... I>
inline void scatter(std::uint8_t *p, U bits, std::index_sequence<I...>) {
    ((p[I] = static_cast<std::uint8_t>(bits >> (8 * I))), ...);
}

template <class U, std::size_t... I>
inline U gather(const std::uint8_t *p, std::index_sequence<I...>) {
    return static_cast<U>(((static_cast<Assembled<U>>(p[I]) << (8 * I)) | ...));
}

template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
inline std::uint8_t *put(std::uint8_t *p, T value) {
    using U = std::make_unsigned_t<T>;
    scatter(p, static_cast<U>(value), std::make_index_sequence<sizeof(T)>());
    return p + sizeof(T);
}

template <class T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
inline const std::uint8_t *get(const std::uint8_t *p, T &value) {
    using U = std::make_unsigned_t<T>;
    const U bits = gather<U>(p, std::make_index_sequence<sizeof(T)>());
    if constexpr (std::is_signed_v<T>) {
        // Two's complement written out: a set top bit means bits - 2^width.
        constexpr int width = 8 * sizeof(T);
        std::int64_t wide = static_cast<std::int64_t>(bits);
        if (bits >> (width - 1)) wide -= std::int64_t{1} << width;
        value = static_cast<T>(wide);
    } else {
        value = bits;
    }
    return p + sizeof(T);
}

// A character array travels without its last place, which is the terminator in memory.
template <std::size_t N>
inline std::uint8_t *put(std::uint8_t *p, const char (&chars)[N]) {
    std::memcpy(p, chars, N - 1);
    return p + N - 1;
}

template <std::size_t N>
inline const std::uint8_t *get(const std::uint8_t *p, char (&chars)[N]) {
    std::memcpy(chars, p, N - 1);
    chars[N - 1] = '\0';
    return p + N - 1;
}

// Writes the fields of `table` from `record` at `out`; returns the place behind them.
template <class R, class Tuple>
std::uint8_t *encode(const R &record, const Tuple &table, std::uint8_t *out) {
    for_each_field(table, [&](const auto &f) { out = put(out, record.*(f.member)); });
    return out;
}

// Reads the fields of `table` into `record` from `in`; returns the place behind them.
template <class R, class Tuple>
const std::uint8_t *decode(R &record, const Tuple &table, const std::uint8_t *in) {
    for_each_field(table, [&](const auto &f) { in = get(in, record.*(f.member)); });
    return in;
}

}  // namespace qn4t
