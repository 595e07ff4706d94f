// The Python functions of the stat modification record, made from its field table.
#include "interface/method_rows.h"
#include "interface/record_interface.h"

namespace qn4t {
namespace {
constexpr auto rows = record_rows<qn4tGeneric_StatMod_Details, LifecycleOrder::kDetailRecord>();
}

const MethodRows kStatModRows{rows.data(), rows.size()};

}  // namespace qn4t
