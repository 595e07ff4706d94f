// Heap allocation for what the module owns besides the objects it hands out (text
// buffers, the live-reference table), and the failure-injection hook shared with the
// allocator of handed-out objects (core/address_arena.h).
#pragma once

#include <cstddef>
#include <new>

namespace qn4t {

// Returns a block of at least n bytes, or nullptr when memory cannot be obtained.
// Never throws. A request for 0 bytes still returns a distinct block.
void *allocate(std::size_t n) noexcept;

// Gives back a block from allocate(); nullptr is ignored.
void release(void *block) noexcept;

// Allocates and value-initialises one T; nullptr when memory cannot be obtained.
template <class T>
T *create() noexcept {
    void *block = allocate(sizeof(T));
    return block ? new (block) T() : nullptr;
}

// Destroys and releases what create() made; nullptr is ignored.
template <class T>
void destroy(T *object) noexcept {
    if (!object) return;
    object->~T();
    release(object);
}

// Test hook for allocation-failure injection: after `successes` more successful
// allocations, every further allocation fails. A negative value switches failures off
// (the default). Returns the number of allocations made since the last call. Counts the
// allocations of allocate() and of the handed-out objects' arena alike.
long fail_allocations_after(long successes) noexcept;

// For allocators in core/: counts one allocation against the failure-injection countdown;
// false when this one is to fail. Not thread-safe: the countdown is a test hook, used
// with one thread running.
bool allocation_permitted() noexcept;

// The number of blocks from allocate() not yet given back: what a leak makes grow. The
// module counts them itself, so that leak checks see none of the interpreter's own use of
// the heap and hold in every build type.
std::size_t blocks_in_use() noexcept;

}  // namespace qn4t
