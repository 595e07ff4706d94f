// The arena of handed-out objects: reserved chunks, bump allocation by pages, pages given
// back to the system once empty, and no address ever handed out twice.
#include "address_arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "memory.h"

// Sanitizer and memcheck builds see the arena's blocks as heap blocks: a use after release
// is reported as it would be for malloc. Elsewhere these are no-ops.
#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif
#ifndef VALGRIND_MALLOCLIKE_BLOCK
#define VALGRIND_MALLOCLIKE_BLOCK(address, size, redzone, zeroed) ((void)(address))
#define VALGRIND_FREELIKE_BLOCK(address, redzone) ((void)(address))
#define VALGRIND_MAKE_MEM_NOACCESS(address, size) ((void)(address))
#endif

namespace qn4t {
namespace {

// Pages made writable at a time as the bump pointer advances: fewer system calls, and the
// writable part of a chunk stays one mapping.
constexpr std::size_t kCommitBatchPages = 64;

std::size_t system_page_size() {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
}

std::size_t whole_pages(std::size_t bytes, std::size_t page) {
    return std::max((bytes + page - 1) / page, std::size_t(2)) * page;
}

}  // namespace

AddressArena::AddressArena(std::size_t chunk_bytes, std::size_t release_run_pages) noexcept
    : page_size_(system_page_size()),
      chunk_bytes_(whole_pages(chunk_bytes, page_size_)),
      release_run_pages_(std::max(release_run_pages, std::size_t(1))) {}

AddressArena::~AddressArena() {
    for (const Chunk &chunk : chunks_) {
        ASAN_UNPOISON_MEMORY_REGION(chunk.base, chunk_bytes_);
        munmap(chunk.base, chunk_bytes_);
    }
}

std::size_t AddressArena::block_bytes(std::size_t size) {
    return (std::max(size, std::size_t(1)) + kAlignment - 1) / kAlignment * kAlignment;
}

AddressArena::PageHeader *AddressArena::header_of(void *address) const {
    const auto bits = reinterpret_cast<std::uintptr_t>(address);
    return reinterpret_cast<PageHeader *>(bits & ~(static_cast<std::uintptr_t>(page_size_) - 1));
}

void *AddressArena::allocate(std::size_t size) noexcept {
    const std::size_t bytes = block_bytes(size);
    if (bytes > largest_block()) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!allocation_permitted()) return nullptr;
    if (!page_ || cursor_ + bytes > page_ + page_size_) {
        if (!open_next_page()) return nullptr;
    }
    char *block = cursor_;
    cursor_ += bytes;
    ++header_of(block)->live;
    ++live_blocks_;
    live_bytes_ += bytes;
    ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    VALGRIND_MALLOCLIKE_BLOCK(block, size, 0, 0);
    return block;
}

void AddressArena::release(void *block, std::size_t size) noexcept {
    if (!block) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t bytes = block_bytes(size);
    PageHeader *header = header_of(block);
    --header->live;
    --live_blocks_;
    live_bytes_ -= bytes;
    VALGRIND_FREELIKE_BLOCK(block, 0);
    ASAN_POISON_MEMORY_REGION(block, bytes);
    // The bump pointer's own page stays until the pointer leaves it (open_next_page).
    char *page = reinterpret_cast<char *>(header);
    if (header->live == 0 && page != page_) retire_page(page);
}

// Moves the bump pointer to the start of the next page, reserving and committing as
// needed, and gives the page it leaves back if nothing lives there. False (nothing
// changed that a retry would not redo) when the system refuses.
bool AddressArena::open_next_page() {
    if (next_page_ == chunk_end_ && !reserve_chunk()) return false;
    if (next_page_ == committed_end_ && !commit_more()) return false;
    char *left = page_;
    page_ = next_page_;
    next_page_ += page_size_;
    cursor_ = page_ + kPageHeaderBytes;
    *header_of(page_) = PageHeader{0, static_cast<unsigned>(chunks_.size() - 1)};
    ++chunks_.back().pages_in_use;
    ++committed_pages_;
    ASAN_POISON_MEMORY_REGION(cursor_, page_size_ - kPageHeaderBytes);
    VALGRIND_MAKE_MEM_NOACCESS(cursor_, page_size_ - kPageHeaderBytes);
    if (left && header_of(left)->live == 0) retire_page(left);
    return true;
}

bool AddressArena::reserve_chunk() {
    try {
        chunks_.reserve(chunks_.size() + 1);  // so that recording the chunk cannot fail
    } catch (...) {
        return false;
    }
    void *base = mmap(nullptr, chunk_bytes_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return false;
    chunks_.push_back(Chunk{static_cast<char *>(base), 0, false});
    next_page_ = committed_end_ = static_cast<char *>(base);
    chunk_end_ = next_page_ + chunk_bytes_;
    return true;
}

bool AddressArena::commit_more() {
    const std::size_t bytes =
        std::min(kCommitBatchPages * page_size_, static_cast<std::size_t>(chunk_end_ - committed_end_));
    if (mprotect(committed_end_, bytes, PROT_READ | PROT_WRITE) != 0) return false;
#ifdef MADV_POPULATE_WRITE
    // One call instead of a fault per page; older kernels refuse it and fault as usual.
    madvise(committed_end_, bytes, MADV_POPULATE_WRITE);
#endif
    committed_end_ += bytes;
    return true;
}

// An empty page that the bump pointer has left joins the run of pages to give back; a
// run ends when it is full or when the page does not extend it.
void AddressArena::retire_page(char *page) {
    if (run_pages_ && (page != run_start_ + run_pages_ * page_size_ ||
                       header_of(page)->chunk != header_of(run_start_)->chunk))
        give_back_run();
    if (!run_pages_) run_start_ = page;
    if (++run_pages_ == release_run_pages_) give_back_run();
}

// The run's memory goes back to the system in one call; its addresses stay reserved (and
// writable, so that giving pages back never splits the chunk's mapping into many).
void AddressArena::give_back_run() {
    const unsigned chunk = header_of(run_start_)->chunk;  // read before the pages are emptied
    madvise(run_start_, run_pages_ * page_size_, MADV_DONTNEED);
    committed_pages_ -= run_pages_;
    chunks_[chunk].pages_in_use -= run_pages_;
    run_pages_ = 0;
    decommit_if_done(chunk);
}

// A chunk that the bump pointer has left and whose pages have all gone back becomes
// plain reserved address space again, one mapping without access or commit charge.
void AddressArena::decommit_if_done(std::size_t index) {
    Chunk &chunk = chunks_[index];
    if (index + 1 == chunks_.size() || chunk.pages_in_use != 0 || chunk.decommitted) return;
    // Replacing the mapping in place keeps the range ours; should it fail, the pages are
    // already empty and the chunk merely stays writable.
    void *replaced = mmap(chunk.base, chunk_bytes_, PROT_NONE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    chunk.decommitted = replaced != MAP_FAILED;
}

std::size_t AddressArena::committed_pages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return committed_pages_;
}

std::size_t AddressArena::live_blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_blocks_;
}

std::size_t AddressArena::live_bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_bytes_;
}

std::size_t AddressArena::reserved_chunks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_.size();
}

AddressArena &handout_arena() {
    static AddressArena *const arena = new AddressArena;
    return *arena;
}

}  // namespace qn4t
