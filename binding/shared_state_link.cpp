// A companion module's side of the shared state: at import it finds the flat module's
// exported function and points this module's copy of the binding at the flat module's state.
#include "binding/host.h"  // the interpreter's headers come first
#include "binding/shared_state.h"

#include <dlfcn.h>

#include <algorithm>

#include "core/memory.h"

namespace qn4t {

LiveReferences *live_reference_set = nullptr;  // the flat module's, once linked

namespace {

constexpr char kFlatModule[] = "_qn4tGenericActionLoader";
using StateFunction = const SharedState *(*)();

// The exported function of the flat module: looked up in the module's own file, which the
// interpreter has loaded already (RTLD_NOLOAD), or among the program's symbols when the
// module is built into the program. Null when neither has it; no exception is left set.
StateFunction find_state_function(PyObject *flat) {
    void *found = nullptr;
    PyObject *file = PyObject_GetAttrString(flat, "__file__");
    PyObject *path = file ? host::fs_path(file) : nullptr;
    if (path) {
        if (void *library = dlopen(PyBytes_AS_STRING(path), RTLD_NOW | RTLD_NOLOAD)) {
            found = dlsym(library, kSharedStateSymbol);
            dlclose(library);  // the interpreter keeps its own handle: the module stays loaded
        }
    }
    Py_XDECREF(path);
    Py_XDECREF(file);
    PyErr_Clear();  // a built-in module has no __file__
    if (!found) found = dlsym(RTLD_DEFAULT, kSharedStateSymbol);
    return reinterpret_cast<StateFunction>(found);
}

}  // namespace

bool link_shared_state() {
    PyObject *flat = PyImport_ImportModule(kFlatModule);
    if (!flat) return false;
    StateFunction state_of = find_state_function(flat);
    Py_DECREF(flat);
    if (!state_of) {
        PyErr_Format(PyExc_ImportError, "%s does not share its native state (%s not found)",
                     kFlatModule, kSharedStateSymbol);
        return false;
    }
    const SharedState *state = state_of();
    if (state->size != sizeof(SharedState) || state->version != kSharedStateVersion ||
        state->type_slots != kTypeSlotCount) {
        PyErr_Format(PyExc_ImportError,
                     "%s was built from other sources than this module (shared state version "
                     "%d, this module needs %d)",
                     kFlatModule, state->version, kSharedStateVersion);
        return false;
    }
    live_reference_set = state->live_references;
    // The flat module registers its types once per process, before it can be imported.
    std::copy_n(state->type_table, kTypeSlotCount, TypeTable);
    forward_allocations({state->allocate, state->release});
    return true;
}

}  // namespace qn4t
