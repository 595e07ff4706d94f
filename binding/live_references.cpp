// An open-addressing hash set of live objects with linear probing and backward-shift
// deletion: lookups never allocate and touch one short run of slots.
#include "live_references.h"

#include <cstring>

#include "core/memory.h"

namespace qn4t {

LiveReferences *live_reference_set = new LiveReferences;

LiveReferences::~LiveReferences() { release(slots_); }

bool LiveReferences::grow() {
    const std::size_t new_capacity = capacity_ ? capacity_ * 2 : 64;
    auto *fresh = static_cast<Slot *>(allocate(new_capacity * sizeof(Slot)));
    if (!fresh) return false;
    std::memset(fresh, 0, new_capacity * sizeof(Slot));
    Slot *old = slots_;
    const std::size_t old_capacity = capacity_;
    slots_ = fresh;
    capacity_ = new_capacity;
    for (std::size_t i = 0; i < old_capacity; ++i) {
        if (!old[i].address) continue;
        std::size_t at = home(old[i].address);
        while (slots_[at].address) at = (at + 1) & (capacity_ - 1);
        slots_[at] = old[i];
    }
    release(old);
    return true;
}

bool LiveReferences::add(const void *address, const TypeDescriptor *type) {
    if ((count_ + 1) * 4 > capacity_ * 3 && !grow()) return false;  // keep load under 3/4
    std::size_t at = home(address);
    while (slots_[at].address && slots_[at].address != address) at = (at + 1) & (capacity_ - 1);
    if (!slots_[at].address) ++count_;
    slots_[at] = {address, type};
    return true;
}

void LiveReferences::remove(const void *address) {
    if (!capacity_) return;
    const std::size_t mask = capacity_ - 1;
    std::size_t at = home(address);
    while (slots_[at].address != address) {
        if (!slots_[at].address) return;
        at = (at + 1) & mask;
    }
    // Shift later members of the run back so that no lookup meets a hole too early.
    std::size_t hole = at;
    for (std::size_t next = (hole + 1) & mask; slots_[next].address; next = (next + 1) & mask) {
        const std::size_t want = home(slots_[next].address);
        const bool movable = ((next - want) & mask) >= ((next - hole) & mask);
        if (movable) {
            slots_[hole] = slots_[next];
            hole = next;
        }
    }
    slots_[hole] = {nullptr, nullptr};
    --count_;
}

}  // namespace qn4t
