// Pointer type descriptors, their registry and the module's table of eight types.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "core/records.h"

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

// The slots of the TypeTable, in registration order.
enum TypeSlot : int {
    kCharSlot,
    kActionHeaderSlot,
    kDetailHeaderSlot,
    kStreamSlot,
    kDamageSlot,
    kHealingSlot,
    kStatModSlot,
    kStatModStatSlot,
    kTypeSlotCount
};

template <class R>
struct SlotOf;
template <> struct SlotOf<qn4tGeneric_Action_Header> { static constexpr TypeSlot value = kActionHeaderSlot; };
template <> struct SlotOf<qn4tGeneric_Action_Detail_Header> { static constexpr TypeSlot value = kDetailHeaderSlot; };
template <> struct SlotOf<qn4tGeneric_Damage_Details> { static constexpr TypeSlot value = kDamageSlot; };
template <> struct SlotOf<qn4tGeneric_Healing_Details> { static constexpr TypeSlot value = kHealingSlot; };
template <> struct SlotOf<qn4tGeneric_StatMod_Details> { static constexpr TypeSlot value = kStatModSlot; };
template <> struct SlotOf<qn4tGeneric_StatMod_Stat_Details> { static constexpr TypeSlot value = kStatModStatSlot; };

// Filled at module start with the descriptor registered for each slot.
extern TypeDescriptor *TypeTable[kTypeSlotCount];

// Enters a group (descriptor, cast entries, null-named end record) into the registry and
// returns the registered descriptor of its name: the group's own, or an earlier one of
// the same name, which then takes the group's entries in front of its own.
TypeDescriptor *RegisterType(TypeDescriptor *group);

// Registers the module's eight groups into the TypeTable, in slot order.
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
