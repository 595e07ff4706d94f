// The one list of the record types. Everything the build makes per record type comes from
// it: the type slots and their registration, the Python functions and their method rows,
// the layout file, the fuzz targets and the typed tests. A new record type is defined in
// records.h and entered here; nothing else names it.
#pragma once

#include <cstdint>
#include <tuple>
#include <type_traits>

#include "records.h"
#include "type_list.h"

namespace qn4t {

// In the order the module registers their pointer types and lists their functions.
using RecordTypes =
    TypeList<qn4tGeneric_Action_Header, qn4tGeneric_Action_Detail_Header, qn4tGeneric_Damage_Details,
             qn4tGeneric_Healing_Details, qn4tGeneric_StatMod_Details,
             qn4tGeneric_StatMod_Stat_Details>;

constexpr std::size_t kRecordTypeCount = RecordTypes::size;

// Calls fn(TypeTag<R>{}) for every record type, in list order.
template <class Fn>
constexpr void for_each_record_type(Fn &&fn) {
    for_each_type(RecordTypes{}, fn);
}

// The bodies that follow a detail header, in the order of their detail type numbers: the
// body at position i belongs to detail type i + 1 (Layout<R>::detail_type). A body whose
// Layout names an Entry is followed by as many Entry records as its entry_count field says.
// A detail of any other type carries `length` raw bytes.
using DetailBodyTypes =
    TypeList<qn4tGeneric_Damage_Details, qn4tGeneric_StatMod_Details, qn4tGeneric_Healing_Details>;

template <class R, class = void>
struct HasEntries : std::false_type {};
template <class R>
struct HasEntries<R, std::void_t<typename Layout<R>::Entry>> : std::true_type {};
// Whether entry records follow the body R.
template <class R>
constexpr bool has_entries = HasEntries<R>::value;

// The body whose entries follow it (the one such body of the list: a whole detail keeps
// its entries in one vector), and its entry record.
template <class List>
struct FirstWithEntries {
    using type = void;
};
template <class R, class... Rest>
struct FirstWithEntries<TypeList<R, Rest...>> {
    using type =
        std::conditional_t<has_entries<R>, R, typename FirstWithEntries<TypeList<Rest...>>::type>;
};
using EntryBody = typename FirstWithEntries<DetailBodyTypes>::type;
using EntryRecord = typename Layout<EntryBody>::Entry;

template <class... R>
constexpr std::size_t count_with_entries(TypeList<R...>) {
    return (std::size_t{has_entries<R>} + ... + 0);
}
static_assert(count_with_entries(DetailBodyTypes{}) == 1, "one detail body of the list has entries");

// Calls fn(TypeTag<R>{}) for every detail body type, in the order of their type numbers.
template <class Fn>
constexpr void for_each_body_type(Fn &&fn) {
    for_each_type(DetailBodyTypes{}, fn);
}

// Calls fn(TypeTag<R>{}) for the body of detail type `type`; false (fn not called) for a
// type that has no body in the list.
template <class Fn>
bool visit_body_type(std::uint16_t type, Fn &&fn) {
    bool found = false;
    for_each_body_type([&](auto tag) {
        if (!found && type == Layout<typename decltype(tag)::type>::detail_type) {
            found = true;
            fn(tag);
        }
    });
    return found;
}

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

// Whether Member (a pointer to a record's field) is a count that follows what it counts in a
// whole action: a text's length, the action's count of its details, a body's count of its
// entries.
template <auto Member>
constexpr bool is_derived_count() {
    bool found = same_member<Member, HeaderLayout::detail_count>() ||
                 counts_entries<Member>(DetailBodyTypes{});
    std::apply([&](const auto &...t) {
        ((found = found || same_member<Member, std::decay_t<decltype(t)>::length>()), ...);
    }, HeaderLayout::texts);
    return found;
}

constexpr bool bodies_numbered_in_order() {
    bool ok = true;
    std::uint16_t expected = 1;
    for_each_body_type([&](auto tag) {
        ok = ok && Layout<typename decltype(tag)::type>::detail_type == expected++;
    });
    return ok;
}
static_assert(bodies_numbered_in_order(), "detail bodies are listed in the order of their type numbers");

}  // namespace qn4t
