// Checking reference arguments in order and resolving them again before use.
#include "reference_arguments.h"

#include "live_references.h"
#include "pointer_string.h"

namespace qn4t {

bool convert_reference(PyObject *object, TypeSlot slot, void **claim) {
    return ConvertPointer(object, claim, TypeTable[slot], kRaiseOnMismatch) == 0;
}

bool refuse_reference(TypeSlot slot) {
    RaiseTypeMismatch(TypeTable[slot]);
    return false;
}

bool resolve_reference(TypeSlot slot, void **claim) {
    return !*claim || live_references().type_at(*claim) == TypeTable[slot] || refuse_reference(slot);
}

}  // namespace qn4t
