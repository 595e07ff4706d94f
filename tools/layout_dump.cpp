// Prints the record field tables as a Python module, so that the Python-side classes and
// tools learn each record's fields, kinds and sizes from the one C++ declaration.
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "core/records.h"

namespace {

template <class V>
const char *kind_of() {
    if constexpr (std::is_same_v<V, std::uint8_t>) return "u8";
    else if constexpr (std::is_same_v<V, std::uint16_t>) return "u16";
    else if constexpr (std::is_same_v<V, std::uint32_t>) return "u32";
    else if constexpr (std::is_same_v<V, std::int16_t>) return "s16";
    else if constexpr (std::is_same_v<V, std::int32_t>) return "s32";
    else if constexpr (std::is_pointer_v<V>) return "text";
    else return "chars";
}

template <class R>
void print_record(std::size_t wire_size) {
    std::printf("    (\"%.*s\", %zu, (\n", static_cast<int>(qn4t::Layout<R>::name.size()),
                qn4t::Layout<R>::name.data(), wire_size);
    qn4t::for_each_field(qn4t::Layout<R>::fields, [](const auto &f) {
        using V = typename std::decay_t<decltype(f)>::value;
        std::printf("        (\"%.*s\", \"%s\"),\n", static_cast<int>(f.name.size()), f.name.data(),
                    kind_of<V>());
    });
    std::printf("    )),\n");
}

}  // namespace

int main() {
    std::printf("# Generated at build time from the record field tables (core/records.h).\n");
    std::printf("# Each entry: (record type, bytes in the file, ((field, kind), ...)).\n");
    std::printf("LAYOUT = (\n");
    print_record<qn4tGeneric_Action_Header>(qn4t::kHeadSize);
    print_record<qn4tGeneric_Action_Detail_Header>(qn4t::record_wire_size<qn4tGeneric_Action_Detail_Header>());
    print_record<qn4tGeneric_Damage_Details>(qn4t::record_wire_size<qn4tGeneric_Damage_Details>());
    print_record<qn4tGeneric_Healing_Details>(qn4t::record_wire_size<qn4tGeneric_Healing_Details>());
    print_record<qn4tGeneric_StatMod_Details>(qn4t::record_wire_size<qn4tGeneric_StatMod_Details>());
    print_record<qn4tGeneric_StatMod_Stat_Details>(qn4t::record_wire_size<qn4tGeneric_StatMod_Stat_Details>());
    std::printf(")\n");
    std::printf("SPELL_ACTION_TYPE = %d\n", qn4tGeneric_Action_Header::kSpellType);
    std::printf("TRAILER_SIZE = %zu\n", qn4t::kTrailerSize);
    return 0;
}
