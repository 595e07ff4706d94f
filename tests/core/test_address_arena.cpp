// The arena of handed-out objects: blocks are distinct, aligned and usable; no address is
// handed out twice, even once its page has gone back to the system and many more blocks
// have been asked for; empty pages go back in runs; memory and mappings stay flat over a
// million create/delete cycles; injected failures refuse an allocation without harm;
// threads may share the arena. Arenas that give every empty page back at once (runs of
// one page) make the page counts exact.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "core/address_arena.h"
#include "core/memory.h"
#include "core/records.h"

#if defined(__SANITIZE_ADDRESS__)
#define QN4T_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QN4T_UNDER_ASAN 1
#endif
#endif

namespace {

using qn4t::AddressArena;

constexpr std::size_t kEveryPageAtOnce = 1;  // release runs of one page
// What the default arena may hold beyond its live pages: the bump pointer's page and one
// run of empty pages not yet given back.
constexpr std::size_t kSlackPages = AddressArena::kDefaultReleaseRunPages + 1;

// The sizes of the module's handed-out objects, and the edges of what the arena serves.
std::vector<std::size_t> object_sizes(const AddressArena &arena) {
    return {1,
            sizeof(qn4tGeneric_StatMod_Stat_Details),
            sizeof(qn4tGeneric_Healing_Details),
            sizeof(qn4tGeneric_Damage_Details),
            sizeof(qn4tGeneric_Action_Header),
            AddressArena::kAlignment + 1,
            arena.largest_block()};
}

std::uintptr_t bits(const void *p) { return reinterpret_cast<std::uintptr_t>(p); }

// Resident memory of this process in bytes (Linux).
std::size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages_total = 0, pages_resident = 0;
    statm >> pages_total >> pages_resident;
    return pages_resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// The number of memory mappings of this process (Linux): what splitting a reservation
// into many pieces of different protection would make grow.
std::size_t mapping_count() {
    std::ifstream maps("/proc/self/maps");
    std::size_t count = 0;
    for (std::string line; std::getline(maps, line);) ++count;
    return count;
}

// The protection ("rw-p", "---p", ...) of the mapping that holds `address`; "" when none.
std::string protection_at(const void *address) {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) == 3 && bits(address) >= start &&
            bits(address) < end)
            return perms;
    }
    return "";
}

TEST(AddressArena, BlocksAreDistinctAlignedAndUsable) {
    AddressArena arena;
    for (std::size_t size : object_sizes(arena)) {
        SCOPED_TRACE("blocks of " + std::to_string(size) + " bytes");
        std::vector<unsigned char *> blocks;
        for (int i = 0; i < 600; ++i) {  // several pages of each size
            auto *block = static_cast<unsigned char *>(arena.allocate(size));
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(bits(block) % AddressArena::kAlignment, 0u);
            // Never across a page boundary.
            EXPECT_EQ(bits(block) / arena.page_size(), (bits(block) + size - 1) / arena.page_size());
            std::memset(block, i & 0xff, size);
            blocks.push_back(block);
        }
        std::vector<unsigned char *> sorted = blocks;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t i = 1; i < sorted.size(); ++i) EXPECT_GE(sorted[i] - sorted[i - 1], std::ptrdiff_t(size));
        for (std::size_t i = 0; i < blocks.size(); ++i)
            ASSERT_EQ(blocks[i][size - 1], static_cast<unsigned char>(i & 0xff)) << "blocks overlap";
        for (unsigned char *block : blocks) arena.release(block, size);
    }
    EXPECT_EQ(arena.live_blocks(), 0u);
    EXPECT_EQ(arena.live_bytes(), 0u);
    EXPECT_EQ(arena.allocate(arena.largest_block() + 1), nullptr);
}

// The case where a conventional allocator hands the freed address straight back (the
// same size asked for again at once), made to happen many times over, through pages
// given back and chunks used up and newly reserved.
TEST(AddressArena, NoAddressIsHandedOutTwice) {
    AddressArena arena(4 * 4096, kEveryPageAtOnce);  // small chunks: many reservations
    std::unordered_set<std::uintptr_t> seen;
    const std::vector<std::size_t> sizes = object_sizes(arena);
    for (int cycle = 0; cycle < 100000; ++cycle) {
        const std::size_t size = sizes[cycle % sizes.size()];
        void *block = arena.allocate(size);
        ASSERT_NE(block, nullptr);
        ASSERT_TRUE(seen.insert(bits(block)).second) << "address handed out twice at cycle " << cycle;
        arena.release(block, size);
    }
    EXPECT_GT(arena.reserved_chunks(), 100u);
    EXPECT_LE(arena.committed_pages(), 1u) << "empty pages were kept";
}

TEST(AddressArena, PageGoesBackOnceEmptyAndLeftBehind) {
    AddressArena arena(AddressArena::kDefaultChunkBytes, kEveryPageAtOnce);
    const std::size_t size = sizeof(qn4tGeneric_Action_Header);
    std::vector<void *> first_page{arena.allocate(size)};
    while (true) {
        void *block = arena.allocate(size);
        ASSERT_NE(block, nullptr);
        if (bits(block) / arena.page_size() != bits(first_page[0]) / arena.page_size()) {
            arena.release(block, size);  // the second page is now the bump pointer's
            break;
        }
        first_page.push_back(block);
    }
    EXPECT_EQ(arena.committed_pages(), 2u);
    for (std::size_t i = 1; i < first_page.size(); ++i) arena.release(first_page[i], size);
    EXPECT_EQ(arena.committed_pages(), 2u) << "a page went back with a block still on it";
    arena.release(first_page[0], size);
    EXPECT_EQ(arena.committed_pages(), 1u);
    // The bump pointer's page stays, empty, until the pointer moves on.
    EXPECT_EQ(arena.live_blocks(), 0u);
}

// Adjacent empty pages wait and go back together when the run is full; a page that does
// not extend the run sends the waiting ones back first.
TEST(AddressArena, EmptyPagesGoBackInRunsOfAdjacentPages) {
    constexpr std::size_t kRun = 4;
    AddressArena arena(AddressArena::kDefaultChunkBytes, kRun);
    const std::size_t size = arena.largest_block();  // one block per page
    std::vector<void *> pages;
    for (int i = 0; i < 10; ++i) pages.push_back(arena.allocate(size));
    ASSERT_EQ(arena.committed_pages(), 10u);
    for (std::size_t i = 0; i < kRun - 1; ++i) arena.release(pages[i], size);
    EXPECT_EQ(arena.committed_pages(), 10u) << "a run went back before it was full";
    arena.release(pages[kRun - 1], size);
    EXPECT_EQ(arena.committed_pages(), 10u - kRun);
    arena.release(pages[kRun], size);      // starts a run
    arena.release(pages[kRun + 2], size);  // not adjacent: the waiting page goes back
    EXPECT_EQ(arena.committed_pages(), 10u - kRun - 1);
    for (std::size_t i : {kRun + 1, kRun + 3, kRun + 4, kRun + 5}) arena.release(pages[i], size);
    EXPECT_LE(arena.committed_pages(), kRun + 1);
}

TEST(AddressArena, ChunkLeftEmptyBecomesInaccessibleReservedSpace) {
    AddressArena arena(2 * 4096, kEveryPageAtOnce);
    const std::size_t size = arena.largest_block();  // one block per page
    void *first = arena.allocate(size);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(protection_at(first), "rw-p");
    void *second = arena.allocate(size);  // the chunk's other page
    std::vector<void *> later;
    while (arena.reserved_chunks() < 3) later.push_back(arena.allocate(size));
    arena.release(second, size);
    EXPECT_EQ(protection_at(first), "rw-p") << "a chunk with a live block lost its memory";
    arena.release(first, size);
    EXPECT_EQ(protection_at(first), "---p");  // still mapped, so never handed to anyone else
    for (void *block : later) arena.release(block, size);
}

TEST(AddressArena, MemoryAndMappingsStayFlatOverAMillionCycles) {
    AddressArena arena;
    const std::size_t size = sizeof(qn4tGeneric_Action_Header);
    const std::size_t resident_before = resident_bytes();
    const std::size_t mappings_before = mapping_count();
    std::size_t most_committed = 0;
    std::vector<void *> survivors;  // one block in 500 lives on, scattered over the pages
    survivors.reserve(1000000 / 500);
    for (int cycle = 0; cycle < 1000000; ++cycle) {
        void *block = arena.allocate(size);
        ASSERT_NE(block, nullptr);
        if (cycle % 500 == 0)
            survivors.push_back(block);
        else
            arena.release(block, size);
        most_committed = std::max(most_committed, arena.committed_pages());
    }
    // Every survivor holds its page; everything else went back, but for one run.
    EXPECT_LE(arena.committed_pages(), survivors.size() + kSlackPages);
    const std::size_t mappings_after = mapping_count();
    for (void *block : survivors) arena.release(block, size);
    EXPECT_LE(arena.committed_pages(), kSlackPages);
    EXPECT_LE(most_committed, survivors.size() + kSlackPages + 1);
    // The sanitizer keeps the shadow of released pages resident and maps memory of its own
    // as the test runs, so the process-wide figures are checked without it.
#ifndef QN4T_UNDER_ASAN
    EXPECT_LE(mappings_after, mappings_before + 4) << "the reservations were split into pieces";
    EXPECT_LT(resident_bytes(), resident_before + (std::size_t(4) << 20))
        << "a million cycles of " << size << "-byte blocks grew resident memory";
#else
    (void)mappings_after;
    (void)mappings_before;
    (void)resident_before;
#endif
}

TEST(AddressArena, InjectedFailureRefusesWithoutHarm) {
    AddressArena arena;
    std::vector<void *> blocks;
    qn4t::fail_allocations_after(2);
    blocks.push_back(arena.allocate(24));
    blocks.push_back(arena.allocate(24));
    EXPECT_EQ(arena.allocate(24), nullptr);
    EXPECT_EQ(qn4t::create_handed_out<qn4tGeneric_Damage_Details>(), nullptr);
    EXPECT_EQ(qn4t::fail_allocations_after(-1), 2);
    EXPECT_EQ(arena.live_blocks(), 2u);
    void *after = arena.allocate(24);
    ASSERT_NE(after, nullptr);
    for (void *block : blocks) {
        ASSERT_NE(block, nullptr);
        EXPECT_NE(block, after);
        arena.release(block, 24);
    }
    arena.release(after, 24);
    EXPECT_EQ(arena.live_blocks(), 0u);
}

TEST(AddressArena, HandedOutRecordsAreZeroedAndFresh) {
    auto *header = qn4t::create_handed_out<qn4tGeneric_Action_Header>();
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->actionID, 0u);
    EXPECT_EQ(header->name, nullptr);
    EXPECT_STREQ(header->spellCode, "");
    const void *old = header;
    qn4t::destroy_handed_out(header);
    auto *next = qn4t::create_handed_out<qn4tGeneric_Action_Header>();
    EXPECT_NE(static_cast<const void *>(next), old);
    qn4t::destroy_handed_out(next);
}

TEST(AddressArena, ThreadsShareItWithoutMeetingTheSameAddress) {
    AddressArena arena(16 * 4096, kEveryPageAtOnce);
    constexpr int kThreads = 4;
    constexpr int kCycles = 20000;
    std::vector<std::vector<std::uintptr_t>> handed(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&arena, &handed, t] {
            std::vector<void *> held;
            for (int i = 0; i < kCycles; ++i) {
                void *block = arena.allocate(24);
                if (!block) return;
                handed[t].push_back(bits(block));
                std::memset(block, t, 24);
                held.push_back(block);
                if (i % 3 != 0) {  // keep a few for a while, so pages are shared and left
                    arena.release(held.back(), 24);
                    held.pop_back();
                }
                if (held.size() > 50) {
                    for (void *h : held) arena.release(h, 24);
                    held.clear();
                }
            }
            for (void *h : held) arena.release(h, 24);
        });
    for (std::thread &thread : threads) thread.join();
    std::unordered_set<std::uintptr_t> all;
    for (const auto &list : handed) {
        EXPECT_EQ(list.size(), std::size_t(kCycles));
        for (std::uintptr_t address : list) EXPECT_TRUE(all.insert(address).second);
    }
    EXPECT_EQ(arena.live_blocks(), 0u);
    EXPECT_LE(arena.committed_pages(), 1u);
}

}  // namespace
