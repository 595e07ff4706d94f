// The reference arguments of the wrappers (records and streams): checked in argument
// order when their turn comes, which fixes the order in which errors are reported, and
// resolved again against the live set right before the pointer is used when Python code
// can run in between (it may delete what they name).
#pragma once

#include <Python.h>

#include "type_registry.h"

namespace qn4t {

// Whether a null reference (None, "NULL") is accepted.
enum class NullReference { kAccepted, kRefused };

// ConvertPointer against the slot's type, with TypeError on a mismatch. False with the
// exception set.
bool convert_reference(PyObject *object, TypeSlot slot, void **claim);
// Raises the slot type's TypeError ("Type error. Expected <name>"); returns false.
bool refuse_reference(TypeSlot slot);

// Checks `object` as a reference to the slot's type (convert_reference; a null one raises
// the same TypeError when refused). Python code can run here (a `this` property) and in
// any conversion after it (a value's __index__ or __int__, a later reference's `this`, a
// __del__ during a collection), so `*claim` is only a claim: hand it to resolve_reference()
// after the last such conversion and before any use. False with the exception set.
// Inline, so that `nulls` costs nothing at the call.
inline bool check_reference(PyObject *object, TypeSlot slot, NullReference nulls, void **claim) {
    if (!convert_reference(object, slot, claim)) return false;
    return *claim || nulls == NullReference::kAccepted || refuse_reference(slot);
}

// Resolves a checked claim for use: true, the pointer unchanged, when it is null or still
// a live object of the slot's type; otherwise raises that type's TypeError ("Type error.
// Expected <name>", as for any deleted object) and returns false. One hash lookup: it
// runs no Python code and allocates nothing, so the pointer stays good until the wrapper
// next calls into the interpreter. Objects are never freed behind the interpreter lock's
// back: every create and delete runs with it held.
bool resolve_reference(TypeSlot slot, void **claim);

// Checks and resolves at once, for a reference that is converted after every argument
// that can run Python code: ConvertPointer asks the live set after the last Python code it
// runs itself (a `this` property, the __del__ of the `this` string), so the pointer is
// good for use until the wrapper next calls into the interpreter, with no second lookup.
// False with the exception set.
inline bool usable_reference(PyObject *object, TypeSlot slot, NullReference nulls, void **pointer) {
    return check_reference(object, slot, nulls, pointer);
}

}  // namespace qn4t
