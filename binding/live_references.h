// The native objects the module has handed out and that still live, by address and type.
// A pointer string is a claim: it is honoured only for an address in this set whose type
// is the expected one, so forged, stale and deleted references fail cleanly. Addresses
// are never handed out twice (core/address_arena.h), so an address that left the set
// never comes back to mean another object.
//
// Threads: the set has no lock of its own. Every add, remove and lookup runs inside a
// module function, with the interpreter lock held (the module never releases it), which
// keeps them apart; other native callers must do the same.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qn4t {

struct TypeDescriptor;

class LiveReferences {
public:
    LiveReferences() = default;
    ~LiveReferences();
    LiveReferences(const LiveReferences &) = delete;
    LiveReferences &operator=(const LiveReferences &) = delete;

    // Records `address` as a live object of `type`. False when memory cannot be obtained.
    bool add(const void *address, const TypeDescriptor *type);
    // Forgets `address`; an address not in the set is ignored.
    void remove(const void *address);
    // The type `address` lives as, or null: one hash lookup, no allocation. Inline: every
    // reference argument of every call comes here.
    const TypeDescriptor *type_at(const void *address) const {
        if (!capacity_ || !address) return nullptr;
        for (std::size_t at = home(address);; at = (at + 1) & (capacity_ - 1)) {
            if (slots_[at].address == address) return slots_[at].type;
            if (!slots_[at].address) return nullptr;
        }
    }
    std::size_t size() const { return count_; }

private:
    struct Slot {
        const void *address;  // null: empty
        const TypeDescriptor *type;
    };
    std::size_t home(const void *address) const {
        // Addresses share their low bits; multiply to spread the high ones down.
        const std::uint64_t bits = reinterpret_cast<std::uintptr_t>(address);
        return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & (capacity_ - 1);
    }
    bool grow();

    Slot *slots_ = nullptr;
    std::size_t capacity_ = 0;  // a power of two, or 0
    std::size_t count_ = 0;
};

// The module-wide set, which the flat module and its companion share. It is never destroyed:
// the live records and the stream cells (which the module never releases) stay reachable
// through it until the process ends, instead of being orphaned by a static destructor at exit.
extern LiveReferences *live_reference_set;
inline LiveReferences &live_references() { return *live_reference_set; }

}  // namespace qn4t
