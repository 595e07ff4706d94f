// Handing a new native object (a record or a stream cell) out to Python: entered into the
// live set, then wrapped as its pointer string or shadow-class instance. What cannot be
// handed out is released, so nothing is left behind that Python cannot name.
#pragma once

#include <Python.h>

#include "type_registry.h"

namespace qn4t {

// Releases an object that was not handed out (destroys it; a stream cell closes its file).
using Release = void (*)(void *object);

// Enters `object` into the live set as the slot's type. False when it is null or memory
// runs out; `release` then has it (a null object is not passed on).
bool enter_live(void *object, TypeSlot slot, Release release);

// Wraps an entered object (NewPointerObject, own flag 1): a new reference, or null with
// the exception set when the string cannot be made, the object then forgotten and
// released (unless Python code run meanwhile by a shadow class deleted it already).
PyObject *wrap_entered(void *object, TypeSlot slot, Release release);

// Both steps: the new reference, None when the object is null or cannot be entered, or
// null with the exception set.
PyObject *hand_out(void *object, TypeSlot slot, Release release);

}  // namespace qn4t
