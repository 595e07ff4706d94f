// Facts of the document form of whole actions (qn4tGenericActionLoader/_form.py) that both
// directions share: its member names beside the record fields. Which fields it leaves out,
// because they follow what they count, is is_derived_count (core/record_types.h).
#pragma once

#include <string>
#include <string_view>

#include "core/record_types.h"

namespace qn4t {

// The members of the JSON form that are not record fields: an action's list of details, and
// a detail's header, body and stat entries.
constexpr std::string_view kDetailsMember = "details";
constexpr std::string_view kHeaderMember = "header";
constexpr std::string_view kBodyMember = "body";
constexpr std::string_view kStatsMember = "stats";

// The most spaces per level the JSON text is indented by: deeper than any reader wants, and
// far from overflowing a line.
constexpr long kMostIndent = 1L << 20;

// Appends `bytes` in lowercase hex, two digits a byte: the value of the "hex" member that
// stands for bytes that are not UTF-8.
inline void append_hex(std::string &out, std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    for (const char byte : bytes) {
        const unsigned char c = static_cast<unsigned char>(byte);
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
}

}  // namespace qn4t
