// Tests of the hash tables' memory: zero and committed when made, zero again
// after clearing, to the last byte of sizes that split over several threads.
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "board/table_memory.h"

namespace {

constexpr uint64_t PAGE = 4096;
constexpr uint64_t MIB = uint64_t(1) << 20;

#ifndef VW_SANITIZED
long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}
#endif

bool all_zero(const unsigned char* p, uint64_t bytes) {
    static const unsigned char zeros[PAGE] = {};
    for (uint64_t at = 0; at < bytes; at += PAGE)
        if (std::memcmp(p + at, zeros, std::min(PAGE, bytes - at)) != 0) return false;
    return true;
}

struct Block {
    uint64_t bytes;
    bool hugePages;
};

// One page; a huge page and a bit; and sizes that the zeroing and committing
// split into two, three and four pieces, exactly or with an odd tail.
constexpr Block BLOCKS[] = {
    {PAGE, false},
    {2 * MIB + PAGE + 24, true},
    {128 * MIB, false},
    {128 * MIB + 1, false},
    {192 * MIB + 3 * PAGE + 8, true},
    {301 * MIB + 112, false},
};

// Makes a block, and later clears it, with the next `refused` helper starts
// refused each time: it must be aligned, every page already there and, after
// writes all over it, zero again to the last byte.
void expect_committed_and_zeroed(const Block& b, unsigned refused = 0) {
    SCOPED_TRACE(b.bytes);
    TableMemory::refuse_helper_starts(refused);
    auto* p = static_cast<unsigned char*>(TableMemory::map_committed(b.bytes, b.hugePages));
    ASSERT_NE(p, nullptr);
    if (b.hugePages && b.bytes >= 2 * MIB) {
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (2 * MIB), 0u) << "huge-page aligned";
    }

#ifndef VW_SANITIZED  // the sanitizers' own shadow memory faults on first use
    // Every page is there already: writing to each one costs no page fault
    // (where it did, even huge pages would cost one per 2 MiB).
    const long before = minor_faults();
    for (uint64_t at = 0; at < b.bytes; at += PAGE) p[at] = 1;
    EXPECT_LE(minor_faults() - before, 4);
#endif

    std::memset(p, 0xA5, b.bytes);
    TableMemory::refuse_helper_starts(refused);
    TableMemory::zero(p, b.bytes);
    EXPECT_TRUE(all_zero(p, b.bytes));
    TableMemory::unmap(p, b.bytes);
    TableMemory::refuse_helper_starts(0);
}

}  // namespace

TEST(TableMemory, BlocksAreZeroCommittedAndZeroedAgainToTheLastByte) {
    for (const Block& b : BLOCKS) expect_committed_and_zeroed(b);
}

// Where the system refuses helper threads, the calling thread does their pieces:
// every page is still committed, and every byte zeroed, whichever starts fail.
TEST(TableMemory, RefusedHelpersLeaveNoPieceUndone) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core: no helpers to refuse";
    // A piece per core up to four, the last one short.
    for (const unsigned refused : {1u, 3u}) {
        SCOPED_TRACE(refused);
        expect_committed_and_zeroed({301 * MIB + 112, true}, refused);
    }
}

// A huge-page block of no whole number of pages leaves nothing mapped once
// unmapped: neither its pages nor the spare beyond its last page (mapped for the
// alignment, always at least a page). Zeroing no bytes does nothing.
TEST(TableMemory, OddSizesAndEmptyBlocks) {
    // mincore fails with ENOMEM on a page that is not mapped.
    const auto mapped = [](const unsigned char* at) {
        unsigned char resident = 0;
        return mincore(const_cast<unsigned char*>(at), PAGE, &resident) == 0 || errno != ENOMEM;
    };
    constexpr uint64_t bytes = 2 * MIB + PAGE + 24, end = 2 * MIB + 2 * PAGE;
    auto* p = static_cast<unsigned char*>(TableMemory::map_committed(bytes, true));
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(mapped(p + end)) << "the spare after the block";
    p[bytes - 1] = 1;
    TableMemory::zero(p, 0);
    EXPECT_EQ(p[bytes - 1], 1);
    TableMemory::unmap(p, bytes);
    for (uint64_t at = 0; at < end; at += PAGE) EXPECT_FALSE(mapped(p + at)) << "page " << at / PAGE;
}

// A table remembers whether anything was written, and clearing makes every
// slot zero again only then; a failed creation leaves no table.
TEST(TableMemory, ZeroedTableClearsWhatWasWritten) {
    ZeroedTable<uint64_t> t;
    EXPECT_FALSE(t);
    constexpr uint64_t count = 40 * MIB / sizeof(uint64_t) + 3;
    ASSERT_TRUE(t.create(count, true));
    EXPECT_FALSE(t.written);
    t[0] = 7;
    t[count / 2] = 8;
    t[count - 1] = 9;
    t.clear();
    EXPECT_EQ(t[count - 1], 9u) << "an unwritten table is left alone";
    t.written = true;
    t.clear();
    EXPECT_FALSE(t.written);
    EXPECT_TRUE(all_zero(reinterpret_cast<const unsigned char*>(t.get()), count * sizeof(uint64_t)));

    // More than any address space holds.
    EXPECT_FALSE(t.create(uint64_t(1) << 58, true));
    EXPECT_FALSE(t);
}
