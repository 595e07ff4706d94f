// Heap allocation with a count of blocks in use, an optional failure-injection countdown
// for tests.
#include "memory.h"

#include <cstdlib>

namespace qn4t {
namespace {
long successes_left = -1;  // negative: never fail
long allocations_made = 0;
std::size_t blocks = 0;
}  // namespace

bool allocation_permitted() noexcept {
    if (successes_left == 0) return false;
    if (successes_left > 0) --successes_left;
    ++allocations_made;
    return true;
}

void *allocate(std::size_t n) noexcept {
    if (!allocation_permitted()) return nullptr;
    void *block = std::malloc(n ? n : 1);
    if (block) ++blocks;
    return block;
}

void release(void *block) noexcept {
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

}  // namespace qn4t
