// The one list of the record types. Everything the build makes per record type comes from
// it: the type slots and their registration, the Python functions and their method rows,
// the layout file, the fuzz targets and the typed tests. A new record type is defined in
// records.h and entered here; nothing else names it.
#pragma once

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

}  // namespace qn4t
