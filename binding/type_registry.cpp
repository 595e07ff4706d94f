// The type registry: one statically allocated group per slot, linked in place at module start.
#include "type_registry.h"

#include <array>
#include <cstring>
#include <utility>

#include "spelling.h"

namespace qn4t {

TypeDescriptor *TypeTable[kTypeSlotCount] = {};

namespace {

TypeDescriptor *registry_head = nullptr;

constexpr std::string_view kPointerPrefix = "_p_";
constexpr std::string_view kPointerSuffix = " *";

// "_p_<record>" and "<record> *" for a record type, spelled from its table's name.
template <class R>
struct RecordTypeNames {
    static constexpr std::string_view mangled_parts[] = {kPointerPrefix, Layout<R>::name};
    static constexpr std::string_view readable_parts[] = {Layout<R>::name, kPointerSuffix};
    static constexpr auto mangled = QN4T_JOIN(mangled_parts);
    static constexpr auto readable = QN4T_JOIN(readable_parts);
};

// A group: the descriptor, one cast entry of its own name, and the end record.
using TypeGroup = std::array<TypeDescriptor, 3>;

constexpr TypeGroup group(const char *mangled, const char *readable) {
    return {{{mangled, nullptr, readable, nullptr, nullptr, nullptr},
             {mangled, nullptr, nullptr, nullptr, nullptr, nullptr},
             {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

template <std::size_t... I>
constexpr std::array<TypeGroup, kTypeSlotCount> module_groups(std::index_sequence<I...>) {
    std::array<TypeGroup, kTypeSlotCount> groups{};
    groups[kCharSlot] = group("_p_char", "char *");
    groups[kStreamSlot] = group("_p_gzFile", "gzFile *");
    ((groups[record_slot(I)] = group(RecordTypeNames<TypeAt<I, RecordTypes>>::mangled.c_str(),
                                     RecordTypeNames<TypeAt<I, RecordTypes>>::readable.c_str())),
     ...);
    return groups;
}

// Linked in place at registration, so not constant; initialised at compile time.
std::array<TypeGroup, kTypeSlotCount> groups =
    module_groups(std::make_index_sequence<kRecordTypeCount>());

bool same_name(const char *a, const char *b) { return std::strcmp(a, b) == 0; }

}  // namespace

TypeDescriptor *RegisterType(TypeDescriptor *group) {
    TypeDescriptor *registered = registry_head;
    while (registered && !same_name(registered->name, group[0].name)) registered = registered->prev;

    TypeDescriptor *insertion = nullptr;
    TypeDescriptor *old_tail = nullptr;
    if (registered) {
        if (registered->client_data) group[0].client_data = registered->client_data;
        insertion = registered;
        old_tail = registered->next;
    } else {
        insertion = &group[0];
        group[0].prev = registry_head;
        registry_head = &group[0];
    }
    TypeDescriptor *result = insertion;
    for (TypeDescriptor *entry = &group[1]; entry->name; ++entry) {
        insertion->next = entry;
        entry->prev = insertion;
        insertion = entry;
    }
    if (old_tail) old_tail->prev = insertion;
    insertion->next = old_tail;
    return result;
}

void RegisterModuleTypes() {
    for (int slot = 0; slot < kTypeSlotCount; ++slot) TypeTable[slot] = RegisterType(groups[slot].data());
}

TypeDescriptor *TypeRegistryHead() { return registry_head; }

CastEntry *FindCastEntry(std::string_view name, TypeDescriptor *expected) {
    if (!expected) return nullptr;
    CastEntry *const first = expected->next;
    for (CastEntry *entry = first; entry;) {
        if (name == entry->name) {
            if (entry == expected->next) return entry;
            // Move the hit to the front, directly behind its descriptor.
            entry->prev->next = entry->next;
            if (entry->next) entry->next->prev = entry->prev;
            entry->next = expected->next;
            expected->next->prev = entry;
            expected->next = entry;
            entry->prev = expected;
            return entry;
        }
        entry = entry->next;
        if (entry == first) break;
    }
    return nullptr;
}

void *ApplyCast(const CastEntry *entry, void *pointer) {
    return entry->converter ? entry->converter(pointer) : pointer;
}

void SetTypeClientData(TypeDescriptor *type, PyObject *shadow_class) {
    if (type->client_data == shadow_class) return;
    type->client_data = shadow_class;
    for (CastEntry *entry = type->next; entry; entry = entry->next) {
        if (entry->converter) continue;
        for (TypeDescriptor *registered = registry_head; registered; registered = registered->prev)
            if (same_name(registered->name, entry->name)) SetTypeClientData(registered, shadow_class);
    }
}

}  // namespace qn4t
