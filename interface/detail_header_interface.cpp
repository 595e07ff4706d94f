// The Python functions of the detail header record, made from its field table.
#include "interface/method_rows.h"
#include "interface/record_interface.h"

namespace qn4t {
namespace {
constexpr auto rows = record_rows<qn4tGeneric_Action_Detail_Header, LifecycleOrder::kDetailRecord>();
}

const MethodRows kDetailHeaderRows{rows.data(), rows.size()};

}  // namespace qn4t
