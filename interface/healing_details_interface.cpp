// The Python functions of the healing detail record, made from its field table.
#include "interface/method_rows.h"
#include "interface/record_interface.h"

namespace qn4t {
namespace {
constexpr auto rows = record_rows<qn4tGeneric_Healing_Details, LifecycleOrder::kDetailRecord>();
}

const MethodRows kHealingRows{rows.data(), rows.size()};

}  // namespace qn4t
