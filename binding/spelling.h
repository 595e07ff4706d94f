// Compile-time joining of names: the mangled type names and the wrappers' Python names are
// spelled from the record tables, never typed out by hand, and each parse format is made
// from its wrapper's name.
#pragma once

#include <cstddef>
#include <string_view>

namespace qn4t {

template <std::size_t N>
struct FixedText {
    char text[N + 1] = {};
    constexpr const char *c_str() const { return text; }
    constexpr std::string_view view() const { return {text, N}; }
};

template <std::size_t K>
constexpr std::size_t joined_size(const std::string_view (&parts)[K]) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    return size;
}

template <std::size_t N, std::size_t K>
constexpr FixedText<N> join(const std::string_view (&parts)[K]) {
    FixedText<N> out{};
    std::size_t at = 0;
    for (std::string_view part : parts)
        for (char c : part) out.text[at++] = c;
    return out;
}

// Joins a static constexpr array of string_view parts into one FixedText.
#define QN4T_JOIN(parts) ::qn4t::join<::qn4t::joined_size(parts)>(parts)

// A name given whole, as a FixedText.
template <std::size_t N>
constexpr FixedText<N - 1> fixed_text(const char (&literal)[N]) {
    FixedText<N - 1> out{};
    for (std::size_t i = 0; i + 1 < N; ++i) out.text[i] = literal[i];
    return out;
}

// The argument codes that many wrappers share: none, one object, two objects.
inline constexpr std::string_view kNoArguments = "";
inline constexpr std::string_view kOneObject = "O";
inline constexpr std::string_view kTwoObjects = "OO";

// A wrapper's parse format, made from its Python name: the argument codes, a colon and the
// name, which the interpreter's parser puts into its error messages.
template <const std::string_view &Codes, std::size_t N>
constexpr FixedText<Codes.size() + 1 + N> parse_format(const FixedText<N> &name) {
    FixedText<Codes.size() + 1 + N> out{};
    std::size_t at = 0;
    for (char c : Codes) out.text[at++] = c;
    out.text[at++] = ':';
    for (std::size_t i = 0; i < N; ++i) out.text[at++] = name.text[i];
    return out;
}

}  // namespace qn4t
