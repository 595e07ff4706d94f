// Heap allocation with an optional failure-injection countdown for tests.
#include "memory.h"

#include <cstdlib>

namespace qn4t {
namespace {
long successes_left = -1;  // negative: never fail
long allocations_made = 0;
}  // namespace

bool allocation_permitted() noexcept {
    if (successes_left == 0) return false;
    if (successes_left > 0) --successes_left;
    ++allocations_made;
    return true;
}

void *allocate(std::size_t n) noexcept {
    if (!allocation_permitted()) return nullptr;
    return std::malloc(n ? n : 1);
}

void release(void *block) noexcept { std::free(block); }

long fail_allocations_after(long successes) noexcept {
    long made = allocations_made;
    allocations_made = 0;
    successes_left = successes;
    return made;
}

}  // namespace qn4t
