// Pointer type descriptors, their registry and the module's table of its pointer types.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "core/record_types.h"

namespace qn4t {

// One record layout for a type's descriptor and for its cast entries (the names of the
// pointer types accepted where this type is expected).
struct TypeDescriptor {
    const char *name;             // mangled: "_p_" + native type name; null ends a group
    void *(*converter)(void *);   // cast entry: turns its type into the owner's; null = as is
    const char *readable_name;    // e.g. "gzFile *"; null in a cast entry
    PyObject *client_data;        // the shadow class registered for the type, or null
    TypeDescriptor *next;         // descriptor: first cast entry; entry: the next one
    TypeDescriptor *prev;         // descriptor: registered before it; entry: the one before
};
using CastEntry = TypeDescriptor;

// The slots of the TypeTable, in registration order: the text type first, then the records
// in the order of RecordTypes, with the stream type in the place it has always had behind
// the first two records.
enum TypeSlot : int {
    kCharSlot = 0,
    kStreamSlot = 3,
    kTypeSlotCount = 2 + static_cast<int>(kRecordTypeCount),
};

// The slot of the record at position `index` of RecordTypes.
constexpr TypeSlot record_slot(std::size_t index) {
    const int slot = static_cast<int>(index) + 1;  // behind the text type
    return static_cast<TypeSlot>(slot < kStreamSlot ? slot : slot + 1);
}

// The slot of record type R.
template <class R>
constexpr TypeSlot slot_of = record_slot(index_in<R, RecordTypes>);

// Filled at module start with the descriptor registered for each slot.
extern TypeDescriptor *TypeTable[kTypeSlotCount];

// Enters a group (descriptor, cast entries, null-named end record) into the registry and
// returns the registered descriptor of its name: the group's own, or an earlier one of
// the same name, which then takes the group's entries in front of its own.
TypeDescriptor *RegisterType(TypeDescriptor *group);

// Registers the module's groups, one per slot, into the TypeTable in slot order.
void RegisterModuleTypes();

// The most recently registered descriptor; the registry runs through `prev`.
TypeDescriptor *TypeRegistryHead();

// The cast entry of `expected` named exactly `name`, moved to the front of the list so
// that it is tried first next time; null when there is none.
CastEntry *FindCastEntry(std::string_view name, TypeDescriptor *expected);

// The pointer converted by the entry's converter, or unchanged when it has none.
void *ApplyCast(const CastEntry *entry, void *pointer);

// Stores `shadow_class` as the client data of `type` and of every registered descriptor
// named like one of its converter-less cast entries. Takes no reference.
void SetTypeClientData(TypeDescriptor *type, PyObject *shadow_class);

}  // namespace qn4t
