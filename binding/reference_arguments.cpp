// Checking reference arguments in order and resolving them again before use.
#include "reference_arguments.h"

#include "live_references.h"
#include "pointer_string.h"

namespace qn4t {

bool check_reference(PyObject *object, TypeSlot slot, NullReference nulls, void **claim) {
    if (ConvertPointer(object, claim, TypeTable[slot], kRaiseOnMismatch) != 0) return false;
    if (*claim || nulls == NullReference::kAccepted) return true;
    RaiseTypeMismatch(TypeTable[slot]);
    return false;
}

bool resolve_reference(TypeSlot slot, void **claim) {
    if (!*claim || live_references().type_at(*claim) == TypeTable[slot]) return true;
    RaiseTypeMismatch(TypeTable[slot]);
    return false;
}

}  // namespace qn4t
