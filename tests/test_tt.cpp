// Transposition table: sizing, stored values, the same-key rule, bucket
// indexing, replacement by depth, bound and age, and the fill estimate.
#include "search/tt.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <vector>

#include "board/types.h"

namespace {

constexpr uint64_t MULT = 0x9E3779B97F4A7C15ULL;
constexpr int SHIFT_1MIB = 51;  // 8192 buckets

// Multiplicative inverse of the odd multiplier modulo 2^64 (Newton iteration).
constexpr uint64_t inverse_mult() {
    uint64_t inv = MULT;
    for (int i = 0; i < 6; ++i) inv *= 2 - MULT * inv;
    return inv;
}
static_assert(MULT * inverse_mult() == 1);

// A key that a 1 MiB table puts into the given bucket; `low` fills the bits of
// the product below the index bits, so keys differing there share the bucket.
uint64_t key_in_bucket(uint64_t bucket, uint64_t low) {
    uint64_t product = (bucket << SHIFT_1MIB) | (low & ((uint64_t(1) << SHIFT_1MIB) - 1));
    return product * inverse_mult();
}

struct Probe {
    unsigned move;
    int depth, score, eval;
    TT::Bound bound;
};

Probe probe(uint64_t key) {
    Probe p{};
    p.move = TT::probe(key, 0, p.depth, p.score, p.eval, p.bound);
    return p;
}

bool present(uint64_t key) { return probe(key).bound != TT::NONE; }

class TTTest : public ::testing::Test {
protected:
    void SetUp() override { TT::init_tt(1); }
};

}  // namespace

// A process that has created no table yet: the check runs in a freshly started
// copy of this test binary (threadsafe death-test style re-executes it), so it
// holds whatever tests ran before it in this process.
TEST(TTNoTable, ProbeMissesAndStoreDoesNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool ok = TT::size_mb() == 0;
            TT::store(42, 7, 5, 100, 10, TT::EXACT);
            TT::prefetch(42);
            const Probe p = probe(42);
            ok = ok && p.move == 0u && p.depth == 0 && p.score == 0 && p.eval == SCORE_NONE &&
                 p.bound == TT::NONE && TT::hashfull() == 0;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TTSizing, LargestPowerOfTwoThatFits) {
    struct Row {
        unsigned long long mb;
        uint64_t buckets;
    };
    const Row rows[] = {
        {0, 8192},           {1, 8192},          {2, 16384},     {3, 32768},  // 3 MiB fits 32768 exactly
        {64, 524288},        {100, 1048576},     {4095, 1u << 25}, {4096, 1u << 25},
        {6144, 1ull << 26},  {1ull << 20, 1ull << 33},
    };
    for (const Row& r : rows) {
        uint64_t n = TT::buckets_for_mb(r.mb);
        EXPECT_EQ(n, r.buckets) << r.mb << " MiB";
        uint64_t budget = (r.mb == 0 ? 1 : r.mb) * 1048576ull;
        EXPECT_LE(n * 96, budget) << r.mb << " MiB";
        EXPECT_GT(2 * n * 96, budget) << r.mb << " MiB";
    }
    // Absurd budgets must not wrap around to a tiny or zero count.
    uint64_t huge = TT::buckets_for_mb(ULLONG_MAX);
    EXPECT_EQ(huge & (huge - 1), 0u);
    EXPECT_GE(huge, uint64_t(1) << 40);
}

TEST(TTSizing, ZeroIsOneMiBAndReinitEmpties) {
    TT::init_tt(0);
    EXPECT_EQ(TT::size_mb(), 1u);
    TT::store(123, 9, 4, 50, 0, TT::EXACT);
    ASSERT_TRUE(present(123));
    TT::init_tt(0);  // same size: still re-created empty
    EXPECT_FALSE(present(123));
    TT::init_tt(3);
    EXPECT_EQ(TT::size_mb(), 3u);
}

TEST_F(TTTest, RoundTripStoresValuesUnconverted) {
    struct Row {
        int depth, score, eval;
        TT::Bound bound;
        int wantDepth, wantEval;
    };
    const Row rows[] = {
        {5, 123, 40, TT::EXACT, 5, 40},
        {0, -77, 40000, TT::LOWER, 0, 32000},
        {-3, 0, -40000, TT::UPPER, -3, -32000},
        {7, 9899000, SCORE_NONE, TT::LOWER, 7, SCORE_NONE},   // mate scores are the search's business
        {7, -9899995, -32767, TT::UPPER, 7, -32000},
        {9, INT_MAX, 32000, TT::EXACT, 9, 32000},
        {9, INT_MIN, -32000, TT::EXACT, 9, -32000},
        {70000, 1, 32001, TT::EXACT, int16_t(70000), 32000},  // depth keeps its low 16 bits
    };
    uint64_t key = 1000;
    for (const Row& r : rows) {
        ++key;
        TT::store(key, 0x1234u + unsigned(key), r.depth, r.score, r.eval, r.bound);
        Probe p = probe(key);
        EXPECT_EQ(p.move, 0x1234u + unsigned(key));
        EXPECT_EQ(p.depth, r.wantDepth);
        EXPECT_EQ(p.score, r.score);
        EXPECT_EQ(p.eval, r.wantEval);
        EXPECT_EQ(p.bound, r.bound);
    }
    Probe miss = probe(999);
    EXPECT_EQ(miss.move, 0u);
    EXPECT_EQ(miss.eval, SCORE_NONE);
    EXPECT_EQ(miss.bound, TT::NONE);
}

TEST_F(TTTest, KeyZeroIsKeptAsOne) {
    TT::store(0, 11, 5, 10, 0, TT::EXACT);
    EXPECT_EQ(probe(0).move, 11u);
    EXPECT_EQ(probe(1).move, 11u);
    TT::store(1, 22, 7, 20, 0, TT::EXACT);  // same slot, not a second entry
    EXPECT_EQ(probe(0).move, 22u);
    EXPECT_EQ(probe(0).depth, 7);
}

TEST_F(TTTest, SameKeyOverwriteOrRefresh) {
    struct Row {
        const char* name;
        int oldDepth;
        unsigned oldMove;
        int newDepth;
        TT::Bound newBound;
        unsigned newMove;
        int newEval;
        bool overwrite;
        unsigned wantMove;
        int wantEval;
    };
    const Row rows[] = {
        {"shallower lower", 5, 100, 3, TT::LOWER, 200, 60, false, 200, 60},
        {"shallower no move no eval", 5, 100, 3, TT::UPPER, 0, SCORE_NONE, false, 100, 50},
        {"same depth lower", 5, 100, 5, TT::LOWER, 200, 60, false, 200, 60},
        {"same depth upper", 5, 100, 5, TT::UPPER, 0, 60, false, 100, 60},
        {"deeper", 5, 100, 6, TT::UPPER, 0, SCORE_NONE, true, 0, SCORE_NONE},
        {"exact always", 5, 100, 1, TT::EXACT, 0, 70, true, 0, 70},
        {"stored move empty", 5, 0, 2, TT::LOWER, 200, 60, true, 200, 60},
    };
    uint64_t key = 5000;
    for (const Row& r : rows) {
        ++key;
        TT::store(key, r.oldMove, r.oldDepth, 111, 50, TT::LOWER);
        TT::store(key, r.newMove, r.newDepth, 222, r.newEval, r.newBound);
        Probe p = probe(key);
        EXPECT_EQ(p.move, r.wantMove) << r.name;
        EXPECT_EQ(p.eval, r.wantEval) << r.name;
        EXPECT_EQ(p.depth, r.overwrite ? r.newDepth : r.oldDepth) << r.name;
        EXPECT_EQ(p.score, r.overwrite ? 222 : 111) << r.name;
        EXPECT_EQ(p.bound, r.overwrite ? r.newBound : TT::LOWER) << r.name;
    }
}

TEST_F(TTTest, IndexUsesTopBitsOfMultipliedKey) {
    // Five keys sharing bucket 77 (their products differ below the index bits,
    // including bit 50, which a larger table would use): one must be evicted.
    const uint64_t lows[] = {0, 1, uint64_t(1) << 50, 0xABCDEF, (uint64_t(1) << 50) | 5};
    std::vector<uint64_t> same;
    for (uint64_t low : lows) same.push_back(key_in_bucket(77, low));
    const int depths[] = {5, 4, 3, 6};
    for (int i = 0; i < 4; ++i) TT::store(same[i], 1, depths[i], 0, 0, TT::LOWER);
    TT::store(same[4], 1, 1, 0, 0, TT::LOWER);
    EXPECT_TRUE(present(same[0]));
    EXPECT_TRUE(present(same[1]));
    EXPECT_FALSE(present(same[2]));
    EXPECT_TRUE(present(same[3]));
    EXPECT_TRUE(present(same[4]));

    // Five keys whose products agree in all low bits but not in the top bits
    // land in five buckets: nothing is evicted.
    std::vector<uint64_t> spread;
    for (uint64_t b = 1000; b < 1005; ++b) spread.push_back(key_in_bucket(b, 0x777));
    for (uint64_t k : spread) TT::store(k, 1, 1, 0, 0, TT::LOWER);
    for (uint64_t k : spread) EXPECT_TRUE(present(k));
}

TEST_F(TTTest, ReplacementByDepthBoundAndGeneration) {
    struct Slot {
        int depth;
        TT::Bound bound;
        int ageBehind;  // generations behind the current one
    };
    struct Row {
        const char* name;
        Slot slots[4];
        int victim;
    };
    const Row rows[] = {
        {"shallowest", {{5, TT::LOWER, 0}, {3, TT::LOWER, 0}, {7, TT::UPPER, 0}, {6, TT::LOWER, 0}}, 1},
        {"lowest index among equals", {{5, TT::LOWER, 0}, {3, TT::UPPER, 0}, {3, TT::LOWER, 0}, {3, TT::LOWER, 0}}, 1},
        {"exact worth two plies", {{6, TT::LOWER, 0}, {3, TT::EXACT, 0}, {4, TT::LOWER, 0}, {8, TT::LOWER, 0}}, 2},
        {"exact ties two deeper", {{6, TT::LOWER, 0}, {5, TT::LOWER, 0}, {3, TT::EXACT, 0}, {8, TT::LOWER, 0}}, 1},
        {"exact loses to three deeper", {{6, TT::LOWER, 0}, {5, TT::LOWER, 0}, {2, TT::EXACT, 0}, {8, TT::LOWER, 0}}, 2},
        {"four generations tie one ply", {{4, TT::LOWER, 0}, {5, TT::LOWER, 4}, {9, TT::LOWER, 0}, {9, TT::LOWER, 0}}, 0},
        {"five generations lose to one ply", {{4, TT::LOWER, 0}, {5, TT::LOWER, 5}, {9, TT::LOWER, 0}, {9, TT::LOWER, 0}}, 1},
        {"old deep entry goes", {{3, TT::LOWER, 0}, {3, TT::LOWER, 0}, {10, TT::EXACT, 40}, {3, TT::LOWER, 0}}, 2},
    };
    uint64_t bucket = 300;
    for (const Row& r : rows) {
        TT::init_tt(1);
        ++bucket;
        uint64_t keys[5];
        for (int i = 0; i < 5; ++i) keys[i] = key_in_bucket(bucket, 100 + i);
        int maxBehind = 0;
        for (const Slot& s : r.slots) maxBehind = std::max(maxBehind, s.ageBehind);
        for (int i = 0; i < 4; ++i) TT::store(keys[i], 9, r.slots[i].depth, 0, 0, r.slots[i].bound);
        // Age entries by refreshing the newer ones as the generations advance.
        for (int g = 1; g <= maxBehind; ++g) {
            TT::new_search();
            for (int i = 0; i < 4; ++i)
                if (maxBehind - r.slots[i].ageBehind == g)
                    TT::store(keys[i], 9, 0, 0, SCORE_NONE, TT::LOWER);
        }
        TT::store(keys[4], 9, 1, 0, 0, TT::LOWER);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(present(keys[i]), i != r.victim) << r.name << " slot " << i;
        EXPECT_TRUE(present(keys[4])) << r.name;
    }
}

TEST_F(TTTest, HashfullSamplesFirstThousandEntries) {
    EXPECT_EQ(TT::hashfull(), 0);
    // One entry in each of the first 250 buckets (the first 1000 entries).
    for (uint64_t b = 0; b < 250; ++b) TT::store(key_in_bucket(b, 1), 1, 1, 0, 0, TT::LOWER);
    EXPECT_EQ(TT::hashfull(), 250);
    // Entries beyond the sample do not count.
    for (uint64_t b = 250; b < 1000; ++b) TT::store(key_in_bucket(b, 1), 1, 1, 0, 0, TT::LOWER);
    EXPECT_EQ(TT::hashfull(), 250);
    for (uint64_t b = 0; b < 250; ++b)
        for (uint64_t j = 2; j <= 4; ++j) TT::store(key_in_bucket(b, j), 1, 1, 0, 0, TT::LOWER);
    EXPECT_EQ(TT::hashfull(), 1000);

    TT::new_search();  // one generation behind still counts
    EXPECT_EQ(TT::hashfull(), 1000);
    TT::new_search();
    EXPECT_EQ(TT::hashfull(), 0);
    // A refresh brings an entry back into the current generation.
    TT::store(key_in_bucket(3, 2), 1, 0, 0, SCORE_NONE, TT::LOWER);
    TT::store(key_in_bucket(7, 4), 1, 0, 0, SCORE_NONE, TT::LOWER);
    TT::store(key_in_bucket(9, 1), 1, 0, 0, SCORE_NONE, TT::LOWER);
    EXPECT_EQ(TT::hashfull(), 3);

    TT::clear_tt();
    EXPECT_EQ(TT::hashfull(), 0);
    EXPECT_FALSE(present(key_in_bucket(3, 2)));
}

TEST_F(TTTest, GenerationWrapsFrom255To1) {
    const uint64_t key = key_in_bucket(0, 1);
    TT::store(key, 1, 1, 0, 0, TT::LOWER);  // generation 1
    for (int i = 0; i < 254; ++i) TT::new_search();  // now 255: the entry is 254 behind
    EXPECT_EQ(TT::hashfull(), 0);
    TT::new_search();  // 255 -> 1, the entry's own generation again
    EXPECT_EQ(TT::hashfull(), 1);
    TT::new_search();  // 2: one behind
    EXPECT_EQ(TT::hashfull(), 1);
    TT::new_search();
    EXPECT_EQ(TT::hashfull(), 0);

    // Generation 0 is skipped, so an entry written at 255 is already two
    // behind at generation 1.
    TT::init_tt(1);
    for (int i = 0; i < 254; ++i) TT::new_search();
    TT::store(key, 1, 1, 0, 0, TT::LOWER);
    EXPECT_EQ(TT::hashfull(), 1);
    TT::new_search();
    EXPECT_EQ(TT::hashfull(), 0);
}

TEST_F(TTTest, ClearKeepsGenerationInitResetsIt) {
    const uint64_t key = key_in_bucket(0, 1);
    TT::new_search();
    TT::new_search();  // generation 3
    TT::clear_tt();
    TT::store(key, 1, 1, 0, 0, TT::LOWER);  // stored at 3
    TT::init_tt(1);   // generation back to 1
    TT::store(key, 1, 1, 0, 0, TT::LOWER);
    TT::new_search();
    TT::new_search();  // 3: an entry written at 1 is two behind
    EXPECT_EQ(TT::hashfull(), 0);
}
