// Entering new objects into the live set and wrapping them for Python.
#include "hand_out.h"

#include "host.h"
#include "live_references.h"
#include "pointer_string.h"

namespace qn4t {

bool enter_live(void *object, TypeSlot slot, Release release) {
    if (!object) return false;
    if (live_references().add(object, TypeTable[slot])) return true;
    release(object);
    return false;
}

PyObject *wrap_entered(void *object, TypeSlot slot, Release release) {
    PyObject *reference = NewPointerObject(object, TypeTable[slot], 1);
    // Only a string that cannot be made gives null; should Python code (a shadow class)
    // ever have run and deleted the object before that, it is not released twice.
    if (!reference && live_references().type_at(object)) {
        live_references().remove(object);
        release(object);
    }
    return reference;
}

PyObject *hand_out(void *object, TypeSlot slot, Release release) {
    if (!enter_live(object, slot, release)) return host::none();
    return wrap_entered(object, slot, release);
}

}  // namespace qn4t
