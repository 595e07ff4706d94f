// Compile-time joining of names: the mangled type names and the wrappers' parse formats
// and Python names are spelled from the record tables, never typed out by hand.
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

// The Python-visible name within a parse format: the text after its colon.
constexpr const char *name_in_format(const char *format) {
    const char *p = format;
    while (*p && *p != ':') ++p;
    return *p ? p + 1 : format;
}

}  // namespace qn4t
