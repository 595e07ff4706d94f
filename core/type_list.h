// Compile-time lists of types and the few steps that walk them: what the list of record
// types (core/record_types.h) is made of.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>

namespace qn4t {

template <class... T>
struct TypeList {
    static constexpr std::size_t size = sizeof...(T);
};

// A type carried as a value, so that a generic lambda can receive it.
template <class T>
struct TypeTag {
    using type = T;
};

// Calls fn(TypeTag<T>{}) for every type of the list, in order.
template <class... T, class Fn>
constexpr void for_each_type(TypeList<T...>, Fn &&fn) {
    (fn(TypeTag<T>{}), ...);
}

// The list's types as the arguments of another template: Apply<std::tuple, List>.
template <template <class...> class Target, class List>
struct ApplyList;
template <template <class...> class Target, class... T>
struct ApplyList<Target, TypeList<T...>> {
    using type = Target<T...>;
};
template <template <class...> class Target, class List>
using Apply = typename ApplyList<Target, List>::type;

// The type at position I of a list.
template <std::size_t I, class List>
using TypeAt = std::tuple_element_t<I, Apply<std::tuple, List>>;

// The position of T in a list; a type that is not in it does not compile.
template <class T, class List>
struct IndexIn;
template <class T, class... U>
struct IndexIn<T, TypeList<U...>> {
    static constexpr std::size_t value = [] {
        constexpr bool same[] = {std::is_same_v<T, U>..., false};
        std::size_t i = 0;
        while (i < sizeof...(U) && !same[i]) ++i;
        return i;
    }();
    static_assert(value < sizeof...(U), "the type is not in the list");
};
template <class T, class List>
constexpr std::size_t index_in = IndexIn<T, List>::value;

}  // namespace qn4t
