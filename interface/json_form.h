// Facts of the document form of whole actions (qn4tGenericActionLoader/_form.py) that both
// directions share: its member names beside the record fields, and which fields it leaves
// out because they follow what they count. Made from the record list's field tables.
#pragma once

#include <string_view>
#include <tuple>
#include <type_traits>

#include "core/record_types.h"

namespace qn4t {

// The members of the JSON form that are not record fields: an action's list of details, and
// a detail's header, body and stat entries.
constexpr std::string_view kDetailsMember = "details";
constexpr std::string_view kHeaderMember = "header";
constexpr std::string_view kBodyMember = "body";
constexpr std::string_view kStatsMember = "stats";

template <auto A, auto B>
constexpr bool same_member() {
    if constexpr (std::is_same_v<decltype(A), decltype(B)>)
        return A == B;
    else
        return false;
}

// Whether Member is the field of body R that counts its entries.
template <auto Member, class R>
constexpr bool counts_entries_of() {
    if constexpr (has_entries<R>)
        return same_member<Member, Layout<R>::entry_count>();
    else
        return false;
}

template <auto Member, class... R>
constexpr bool counts_entries(TypeList<R...>) {
    return (counts_entries_of<Member, R>() || ...);
}

// True for a field that the document form leaves out because it follows what it counts: a
// text's length, numDetails and a body's count of its entries (numStatMods).
template <auto Member>
constexpr bool derived_field() {
    bool found = same_member<Member, HeaderLayout::detail_count>() ||
                 counts_entries<Member>(DetailBodyTypes{});
    std::apply([&](const auto &...t) {
        ((found = found || same_member<Member, std::decay_t<decltype(t)>::length>()), ...);
    }, HeaderLayout::texts);
    return found;
}

}  // namespace qn4t
