// The native state that the flat module _qn4tGenericActionLoader shares with its companion
// extension modules: its live references, its type table and its allocator. The flat module
// exports one C function that hands the state out (and adds no Python name for it); a
// companion carries its own copy of the binding code and, at its import, points that copy at
// the flat module's state, so that both accept exactly the same references.
#pragma once

#include "binding/type_registry.h"  // the interpreter's headers come first

#include <cstddef>

#include "binding/live_references.h"

namespace qn4t {

// Raised whenever SharedState, or what it points at (LiveReferences, TypeDescriptor,
// StreamCell), changes its layout: a companion refuses the state of another version.
constexpr int kSharedStateVersion = 1;

struct SharedState {
    std::size_t size;                   // sizeof(SharedState) where it was made
    int version;                        // kSharedStateVersion where it was made
    LiveReferences *live_references;    // every record and stream cell handed out
    TypeDescriptor *const *type_table;  // the TypeTable, filled at the flat module's start
    std::size_t type_slots;             // kTypeSlotCount
    void *(*allocate)(std::size_t) noexcept;  // the allocator of records and texts
    void (*release)(void *) noexcept;
};

// The name of the flat module's exported function.
constexpr char kSharedStateSymbol[] = "qn4t_shared_state";

// For a companion module, at its import: imports _qn4tGenericActionLoader, finds its
// exported function (in the module's own file, or among the program's symbols when the
// module is built into an embedding program) and points this module's live references,
// type table and allocator at the flat module's. False with ImportError set.
bool link_shared_state();

}  // namespace qn4t

// Exported by the flat module only, with default visibility: its state, made once.
extern "C" __attribute__((visibility("default"))) const qn4t::SharedState *qn4t_shared_state(void);
