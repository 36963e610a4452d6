// Time manager: worked budgets, both sides of each clock boundary, option
// edges, and the budget bounds over extreme and random inputs.
#include "uci/timeman.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>

using TimeMan::Budget;
using TimeMan::Options;
using TimeMan::UciLimits;

namespace {

struct Row {
    const char* name;
    Color side;
    UciLimits limits;
    int optimum, maximum;
    bool managed;
};

UciLimits clocks(int wtime, int btime, int winc, int binc, int movestogo = 0) {
    UciLimits l;
    l.wtime = wtime;
    l.btime = btime;
    l.winc = winc;
    l.binc = binc;
    l.movestogo = movestogo;
    return l;
}

UciLimits movetime(int ms) {
    UciLimits l;
    l.movetime = ms;
    return l;
}

// The budget must respect the available time for every input: the optimum
// never exceeds it, the maximum lies between the optimum and it.
void expect_invariants(Color side, const UciLimits& l, const Options& o) {
    Budget b = TimeMan::compute_budget(side, l, o);
    SCOPED_TRACE(testing::Message() << "side " << side << " wtime " << l.wtime << " btime " << l.btime
                                    << " winc " << l.winc << " binc " << l.binc << " mtg " << l.movestogo
                                    << " movetime " << l.movetime << " inf " << l.infinite << " ovh "
                                    << o.move_overhead_ms << " min " << o.min_thinking_ms << " slow "
                                    << o.slow_mover_pct);
    ASSERT_EQ(b.time_managed, b.cap_at_maximum);
    if (!b.time_managed) {
        ASSERT_EQ(b.optimum_ms, 0);
        ASSERT_EQ(b.maximum_ms, 0);
        return;
    }
    int64_t overhead = std::max(0, o.move_overhead_ms);
    if (l.movetime >= 1) {
        ASSERT_EQ(b.optimum_ms, std::max<int64_t>(1, int64_t(l.movetime) - overhead));
        ASSERT_EQ(b.maximum_ms, b.optimum_ms);
        return;
    }
    int64_t clock = side == WHITE ? l.wtime : l.btime;
    int64_t avail = std::max<int64_t>(1, clock - overhead);
    ASSERT_GE(b.optimum_ms, 0);
    ASSERT_LE(b.optimum_ms, avail);
    ASSERT_GE(b.maximum_ms, b.optimum_ms);
    ASSERT_LE(b.maximum_ms, avail);
}

}  // namespace

TEST(TimeMan, WorkedExamples) {
    UciLimits infiniteWithClocks = clocks(60000, 60000, 1000, 1000);
    infiniteWithClocks.infinite = true;
    UciLimits infiniteWithMovetime = movetime(1000);
    infiniteWithMovetime.infinite = true;
    UciLimits movetimeAndClock = clocks(60000, 60000, 0, 0);
    movetimeAndClock.movetime = 500;

    const Row rows[] = {
        {"wtime 5000", WHITE, clocks(5000, -1, 0, 0), 310, 465, true},
        {"wtime 1000", WHITE, clocks(1000, -1, 0, 0), 60, 90, true},
        {"wtime 0", WHITE, clocks(0, -1, 0, 0), 0, 0, true},
        {"wtime 10000 winc 100", WHITE, clocks(10000, -1, 100, 0), 693, 1039, true},
        {"wtime 60000", WHITE, clocks(60000, -1, 0, 0), 2141, 3211, true},
        {"wtime 60000 winc 1000", WHITE, clocks(60000, -1, 1000, 0), 3098, 4647, true},
        {"wtime 180000 winc 2000", WHITE, clocks(180000, -1, 2000, 0), 6999, 10498, true},
        {"btime 300000 binc 2000", BLACK, clocks(-1, 300000, 0, 2000), 9332, 13998, true},
        {"wtime 900000 winc 5000", WHITE, clocks(900000, -1, 5000, 0), 26183, 39274, true},
        {"wtime 3600000", WHITE, clocks(3600000, -1, 0, 0), 85713, 128569, true},
        {"wtime 60000 movestogo 40", WHITE, clocks(60000, -1, 0, 0, 40), 1499, 2248, true},
        {"wtime 30000 movestogo 5", WHITE, clocks(30000, -1, 0, 0, 5), 5994, 8991, true},
        {"wtime 30000 movestogo 1", WHITE, clocks(30000, -1, 0, 0, 1), 29970, 29970, true},
        {"movetime 1000", WHITE, movetime(1000), 970, 970, true},
        {"movetime 20", WHITE, movetime(20), 1, 1, true},
        {"black, only wtime", BLACK, clocks(60000, -1, 0, 0), 0, 0, false},
        // Edge cases around the examples.
        {"infinite with clocks", WHITE, infiniteWithClocks, 0, 0, false},
        {"infinite with movetime", WHITE, infiniteWithMovetime, 0, 0, false},
        {"movetime wins over clock", WHITE, movetimeAndClock, 470, 470, true},
        {"movetime equal to overhead", WHITE, movetime(30), 1, 1, true},
        {"movestogo 0 is absent", WHITE, clocks(60000, -1, 0, 0, 0), 2141, 3211, true},
        {"movestogo -5 is absent", WHITE, clocks(60000, -1, 0, 0, -5), 2141, 3211, true},
        {"negative increment is none", WHITE, clocks(60000, -1, -1000, 0), 2141, 3211, true},
        {"other side's increment unused", WHITE, clocks(60000, 60000, 0, 1000), 2141, 3211, true},
        {"no clocks at all", WHITE, UciLimits{}, 0, 0, false},
    };
    const Options defaults;
    for (const Row& r : rows) {
        Budget b = TimeMan::compute_budget(r.side, r.limits, defaults);
        EXPECT_EQ(b.time_managed, r.managed) << r.name;
        EXPECT_EQ(b.cap_at_maximum, r.managed) << r.name;
        EXPECT_EQ(b.optimum_ms, r.optimum) << r.name;
        EXPECT_EQ(b.maximum_ms, r.maximum) << r.name;
    }
}

// Both sides of each clock boundary of the schedule, without and with an
// increment large enough to reach the caps, with and without movestogo.
TEST(TimeMan, ClockBoundaries) {
    struct BoundRow {
        const char* name;
        int wtime, winc, movestogo;
        int optimum, maximum;
    };
    const BoundRow rows[] = {
        {"wtime 5000 winc 0", 5000, 0, 0, 310, 465},
        {"wtime 5001 winc 0", 5001, 0, 0, 248, 372},
        {"wtime 10000 winc 2500", 10000, 2500, 0, 1661, 1994},
        {"wtime 10001 winc 2500", 10001, 2500, 0, 1661, 1661},
        {"wtime 15000 winc 0", 15000, 0, 0, 748, 1122},
        {"wtime 15001 winc 0", 15001, 0, 0, 623, 934},
        {"wtime 15000 winc 3750", 15000, 3750, 0, 2495, 2495},
        {"wtime 15001 winc 3750", 15001, 3750, 0, 1247, 2495},
        {"wtime 30000 winc 0", 30000, 0, 0, 1248, 1872},
        {"wtime 30001 winc 0", 30001, 0, 0, 1070, 1605},
        {"wtime 30000 winc 7500", 30000, 7500, 0, 2497, 4995},
        {"wtime 30001 winc 7500", 30001, 7500, 0, 2497, 4281},
        {"wtime 60000 winc 0", 60000, 0, 0, 2141, 3211},
        {"wtime 60001 winc 0", 60001, 0, 0, 1763, 2644},
        {"wtime 60000 winc 15000", 60000, 15000, 0, 4997, 8567},
        {"wtime 60001 winc 15000", 60001, 15000, 0, 3748, 8567},
        {"wtime 120000 winc 30000", 120000, 30000, 0, 7498, 17138},
        {"wtime 120001 winc 30000", 120001, 30000, 0, 7498, 19995},
        {"wtime 180000 winc 0", 180000, 0, 0, 5293, 7939},
        {"wtime 180001 winc 0", 180001, 0, 0, 4499, 6748},
        {"wtime 180000 winc 45000", 180000, 45000, 0, 11248, 29995},
        {"wtime 180001 winc 45000", 180001, 45000, 0, 12855, 29995},
        {"wtime 600000 winc 0", 600000, 0, 0, 14999, 22498},
        {"wtime 600001 winc 0", 600001, 0, 0, 14285, 21427},
        {"wtime 600000 winc 150000", 600000, 150000, 0, 42855, 99995},
        {"wtime 600001 winc 150000", 600001, 150000, 0, 90788, 99995},
        {"wtime 10000 winc 2500 movestogo 10", 10000, 2500, 10, 2747, 2747},
        {"wtime 10001 winc 2500 movestogo 10", 10001, 2500, 10, 2497, 2497},
        {"wtime 30000 winc 0 movestogo 10", 30000, 0, 10, 2997, 4495},
        {"wtime 30001 winc 0 movestogo 10", 30001, 0, 10, 2997, 4281},
        {"wtime 60000 winc 15000 movestogo 10", 60000, 15000, 10, 14997, 14997},
        {"wtime 60001 winc 15000 movestogo 10", 60001, 15000, 10, 13497, 13497},
        {"wtime 120000 winc 0 movestogo 10", 120000, 0, 10, 11997, 17138},
        {"wtime 120001 winc 0 movestogo 10", 120001, 0, 10, 11997, 17995},
    };
    for (const BoundRow& r : rows) {
        Budget b = TimeMan::compute_budget(WHITE, clocks(r.wtime, -1, r.winc, 0, r.movestogo), Options{});
        EXPECT_EQ(b.optimum_ms, r.optimum) << r.name;
        EXPECT_EQ(b.maximum_ms, r.maximum) << r.name;
    }
}

TEST(TimeMan, OptionEdges) {
    struct OptRow {
        const char* name;
        UciLimits limits;
        Options opts;
        int optimum, maximum;
    };
    const OptRow rows[] = {
        // Negative overhead counts as 0.
        {"overhead -50", movetime(1000), {-50, 20, 100}, 1000, 1000},
        // Slow mover below 10 counts as 10: 2141 * 10 / 100 = 214.
        {"slow mover 1", clocks(60000, -1, 0, 0), {30, 20, 1}, 214, 321},
        {"slow mover 200", clocks(60000, -1, 0, 0), {30, 20, 200}, 4282, 6423},
        // wtime 100: A = 70, base 4, scaled by 10% to 0; the minimum thinking
        // time lifts it, the cap A / 6 = 11 undercuts it; a negative one counts as 0.
        {"min think 20, short clock", clocks(100, -1, 0, 0), {30, 20, 10}, 11, 14},
        {"min think -1, short clock", clocks(100, -1, 0, 0), {30, -1, 10}, 0, 0},
        // Minimum thinking time lifts the optimum ...
        {"min think 2000", clocks(60000, -1, 0, 0), {30, 2000, 100}, 2141, 3211},
        {"min think 4000", clocks(60000, -1, 0, 0), {30, 4000, 100}, 4000, 6000},
        // ... but the optimum cap undercuts it: A / 12 = 4997.
        {"min think 5000", clocks(60000, -1, 0, 0), {30, 5000, 100}, 4997, 7495},
    };
    for (const OptRow& r : rows) {
        Budget b = TimeMan::compute_budget(WHITE, r.limits, r.opts);
        EXPECT_TRUE(b.time_managed) << r.name;
        EXPECT_EQ(b.optimum_ms, r.optimum) << r.name;
        EXPECT_EQ(b.maximum_ms, r.maximum) << r.name;
    }
}

// Values that would overflow 32-bit intermediates must come out exact.
TEST(TimeMan, ExtremeValuesDoNotOverflow) {
    struct ExtRow {
        const char* name;
        UciLimits limits;
        Options opts;
        int optimum, maximum;
    };
    const ExtRow rows[] = {
        // share = INT_MAX * 7 / 10 = 1503238552; capped at A / 6 and A / 5.
        {"huge increment, short clock", clocks(10000, -1, INT_MAX, 0), {}, 1661, 1994},
        // base 56512726 + share 1073741823; optimum cap is A itself.
        {"max clock and increment", clocks(INT_MAX, -1, INT_MAX, 0), {}, 1130254549, 1130254549},
        // 2141 * INT_MAX / 100 before the A / 12 cap.
        {"max slow mover", clocks(60000, -1, 0, 0), {30, 20, INT_MAX}, 4997, 7495},
        // A = INT_MAX / 1 move, times INT_MAX percent.
        {"everything max", clocks(INT_MAX, -1, INT_MAX, 0, 1), {0, INT_MAX, INT_MAX}, INT_MAX, INT_MAX},
        {"max movetime, min overhead", movetime(INT_MAX), {INT_MIN, 0, 100}, INT_MAX, INT_MAX},
        {"max movestogo", clocks(INT_MAX, -1, 0, 0, INT_MAX), {}, 20, 30},
        {"min clock", clocks(INT_MIN, -1, INT_MAX, 0), {}, 0, 0},
    };
    for (const ExtRow& r : rows) {
        Budget b = TimeMan::compute_budget(WHITE, r.limits, r.opts);
        EXPECT_EQ(b.optimum_ms, r.optimum) << r.name;
        EXPECT_EQ(b.maximum_ms, r.maximum) << r.name;
    }

    // Every combination of extreme values keeps the invariants (and, under the
    // sanitizer build, shows no signed overflow).
    const int extremes[] = {INT_MIN, -1, 0, 1, 10000, INT_MAX};
    for (int clock : extremes)
        for (int inc : extremes)
            for (int mtg : extremes)
                for (int mt : {INT_MIN, 0, INT_MAX})
                    for (int ovh : extremes)
                        for (int minThink : {INT_MIN, 0, INT_MAX})
                            for (int slow : {INT_MIN, 0, INT_MAX}) {
                                UciLimits l = clocks(clock, clock, inc, inc, mtg);
                                l.movetime = mt;
                                expect_invariants(BLACK, l, Options{ovh, minThink, slow});
                            }
}

TEST(TimeMan, InvariantsOverRandomInputs) {
    std::mt19937_64 rng(20240611);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    // Mix realistic ranges with the whole 32-bit range.
    auto value = [&](int lo, int hi) { return pick(0, 3) == 0 ? pick(INT_MIN, INT_MAX) : pick(lo, hi); };
#ifdef VW_SANITIZED
    const int rounds = 20000;
#else
    const int rounds = 200000;
#endif
    for (int i = 0; i < rounds; ++i) {
        UciLimits l = clocks(value(-1, 4000000), value(-1, 4000000), value(-100, 60000), value(-100, 60000),
                             pick(0, 2) == 0 ? value(-2, 60) : 0);
        if (pick(0, 9) == 0) l.movetime = value(-10, 100000);
        l.infinite = pick(0, 49) == 0;
        Options o{value(-10, 5000), value(-10, 5000), value(0, 500)};
        expect_invariants(pick(0, 1) ? BLACK : WHITE, l, o);
        if (testing::Test::HasFatalFailure()) return;
    }
}
