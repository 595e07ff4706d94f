// The integer kinds a record field may have: the short tag the layout file gives each, the
// words a message uses and the range of values it holds. Every check of a value against its
// field, on either Python-side API and in the JSON import, asks here; a field of a type with
// no row here does not compile.
#pragma once

#include <cstdint>
#include <limits>

namespace qn4t {

template <class V>
struct IntegerKind {
    static_assert(sizeof(V) == 0,
                  "a field of this integer type needs a row in core/value_kinds.h (its tag and words)");
};

template <class V, const char *Tag, const char *Words>
struct IntegerKindRow {
    static constexpr const char *tag = Tag;      // in the layout file: "u8"
    static constexpr const char *words = Words;  // in a message: "unsigned 8-bit"
    static constexpr long long low = std::numeric_limits<V>::min();
    static constexpr long long high = std::numeric_limits<V>::max();
    static constexpr bool holds(long long value) { return value >= low && value <= high; }
};

inline constexpr char kU8[] = "u8", kU8Words[] = "unsigned 8-bit";
inline constexpr char kU16[] = "u16", kU16Words[] = "unsigned 16-bit";
inline constexpr char kU32[] = "u32", kU32Words[] = "unsigned 32-bit";
inline constexpr char kS16[] = "s16", kS16Words[] = "signed 16-bit";
inline constexpr char kS32[] = "s32", kS32Words[] = "signed 32-bit";

template <> struct IntegerKind<std::uint8_t> : IntegerKindRow<std::uint8_t, kU8, kU8Words> {};
template <> struct IntegerKind<std::uint16_t> : IntegerKindRow<std::uint16_t, kU16, kU16Words> {};
template <> struct IntegerKind<std::uint32_t> : IntegerKindRow<std::uint32_t, kU32, kU32Words> {};
template <> struct IntegerKind<std::int16_t> : IntegerKindRow<std::int16_t, kS16, kS16Words> {};
template <> struct IntegerKind<std::int32_t> : IntegerKindRow<std::int32_t, kS32, kS32Words> {};

}  // namespace qn4t
