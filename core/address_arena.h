// Storage for the objects the module hands out to scripts (records and stream cells): an
// address is handed out at most once in a process, so that a reference to a deleted
// object can never come to name a newer one, while memory stays flat however many objects
// are created and deleted.
#pragma once

#include <cstddef>
#include <mutex>
#include <new>
#include <vector>

namespace qn4t {

// Takes fresh addresses from address space reserved in large chunks (mmap, PROT_NONE,
// MAP_NORESERVE), bump-allocating them in order and never twice. Objects never straddle a
// page: each page starts with a count of the objects living on it. Pages are committed
// (made writable) in batches ahead of the bump pointer; once the bump pointer has moved
// past a page and its last object is released, the page's memory goes back to the system
// (MADV_DONTNEED) while its addresses stay reserved, so nothing else can be placed there.
// Empty pages go back in runs of adjacent pages (each call flushes the TLB, which costs
// far more than the page), so at most one run's worth of empty pages holds memory. A
// chunk whose pages have all gone back is turned into plain reserved address space again
// (PROT_NONE), which also returns any commit charge. Reservations are never unmapped
// while the arena lives: an unmapped range could come back from a later mmap.
//
// Threads: allocate() and release() take a mutex. The module calls them with the
// interpreter lock held, so the mutex never waits there; it keeps the arena sound for
// callers without that lock (tests, native programs).
class AddressArena {
public:
    // Blocks are aligned to this and sized in multiples of it.
    static constexpr std::size_t kAlignment = alignof(std::max_align_t);
    // Address space reserved at a time.
    static constexpr std::size_t kDefaultChunkBytes = std::size_t(64) << 20;
    // Empty pages given back together, at most.
    static constexpr std::size_t kDefaultReleaseRunPages = 64;

    // `chunk_bytes` is rounded up to whole pages, at least two; `release_run_pages` is at
    // least 1 (every empty page goes back at once).
    explicit AddressArena(std::size_t chunk_bytes = kDefaultChunkBytes,
                          std::size_t release_run_pages = kDefaultReleaseRunPages) noexcept;
    // Gives all reservations back; only for arenas of tests (the module's is never destroyed).
    ~AddressArena();
    AddressArena(const AddressArena &) = delete;
    AddressArena &operator=(const AddressArena &) = delete;

    // A block of at least `size` bytes at an address this arena never handed out before,
    // aligned to kAlignment, with unspecified content. Null when an injected failure
    // (fail_allocations_after) or the system refuses, or when `size` exceeds
    // largest_block(). Never throws.
    void *allocate(std::size_t size) noexcept;
    // Gives back a block from allocate() of this arena, with the size it was asked for;
    // null is ignored. The block's address is never handed out again.
    void release(void *block, std::size_t size) noexcept;

    // The largest size allocate() serves: a page less its count.
    std::size_t largest_block() const { return page_size_ - kPageHeaderBytes; }
    std::size_t page_size() const { return page_size_; }
    // Pages that hold memory now: opened by the bump pointer and not yet given back (live
    // ones, the bump pointer's own, and empty ones waiting in the current run).
    std::size_t committed_pages() const;
    // Blocks handed out and not yet released, and the bytes they take.
    std::size_t live_blocks() const;
    std::size_t live_bytes() const;
    // Chunks of address space reserved so far.
    std::size_t reserved_chunks() const;

private:
    struct PageHeader {
        unsigned live;         // blocks on this page not yet released
        unsigned chunk;        // index of the page's chunk in chunks_
    };
    static constexpr std::size_t kPageHeaderBytes =
        (sizeof(PageHeader) + kAlignment - 1) / kAlignment * kAlignment;
    struct Chunk {
        char *base;
        std::size_t pages_in_use;  // opened and not yet given back
        bool decommitted;
    };

    static std::size_t block_bytes(std::size_t size);
    PageHeader *header_of(void *address) const;
    bool open_next_page();
    bool reserve_chunk();
    bool commit_more();
    void retire_page(char *page);
    void give_back_run();
    void decommit_if_done(std::size_t chunk);

    const std::size_t page_size_;
    const std::size_t chunk_bytes_;
    const std::size_t release_run_pages_;
    mutable std::mutex mutex_;
    std::vector<Chunk> chunks_;
    char *page_ = nullptr;            // the page the bump pointer is in, or null
    char *cursor_ = nullptr;          // the next free byte in page_
    char *next_page_ = nullptr;       // the page to open next
    char *chunk_end_ = nullptr;       // end of the newest chunk
    char *committed_end_ = nullptr;   // end of the writable part of the newest chunk
    char *run_start_ = nullptr;       // adjacent empty pages of one chunk, not yet given back
    std::size_t run_pages_ = 0;
    std::size_t committed_pages_ = 0;
    std::size_t live_blocks_ = 0;
    std::size_t live_bytes_ = 0;
};

// The arena of the module's handed-out objects. It is never destroyed: the objects live
// until scripts delete them, and stream cells until the process ends.
AddressArena &handout_arena();

// Allocates and value-initialises one T in the handed-out objects' arena; null when
// memory cannot be obtained (the failure-injection countdown included).
template <class T>
T *create_handed_out() noexcept {
    static_assert(alignof(T) <= AddressArena::kAlignment, "over-aligned for the arena");
    void *block = handout_arena().allocate(sizeof(T));
    return block ? new (block) T() : nullptr;
}

// Destroys and releases what create_handed_out() made; null is ignored.
template <class T>
void destroy_handed_out(T *object) noexcept {
    if (!object) return;
    object->~T();
    handout_arena().release(object, sizeof(T));
}

}  // namespace qn4t
