// Heap allocation with a count of blocks in use, an optional failure-injection countdown
// for tests, and forwarding to another module's allocator.
#include "memory.h"

#include <cstdlib>

namespace qn4t {
namespace {
long successes_left = -1;  // negative: never fail
long allocations_made = 0;
std::size_t blocks = 0;
Allocator forwarded = {nullptr, nullptr};  // empty: this copy allocates itself
}  // namespace

bool allocation_permitted() noexcept {
    if (successes_left == 0) return false;
    if (successes_left > 0) --successes_left;
    ++allocations_made;
    return true;
}

void *allocate(std::size_t n) noexcept {
    if (forwarded.allocate) return forwarded.allocate(n);
    if (!allocation_permitted()) return nullptr;
    void *block = std::malloc(n ? n : 1);
    if (block) ++blocks;
    return block;
}

void release(void *block) noexcept {
    if (forwarded.release) return forwarded.release(block);
    if (!block) return;
    --blocks;
    std::free(block);
}

long fail_allocations_after(long successes) noexcept {
    long made = allocations_made;
    allocations_made = 0;
    successes_left = successes;
    return made;
}

std::size_t blocks_in_use() noexcept { return blocks; }

void forward_allocations(const Allocator &to) noexcept { forwarded = to; }

}  // namespace qn4t
