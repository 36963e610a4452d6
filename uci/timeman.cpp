#include "uci/timeman.h"

#include <algorithm>
#include <iterator>

namespace TimeMan {

namespace {

// One clock bracket of the no-movestogo schedule: clocks up to max_clock_ms.
struct Bracket {
    int64_t max_clock_ms;
    int base_div_no_inc;
    int base_div_inc;
    int share_num;  // increment share = I * share_num / share_den
    int share_den;
    int opt_cap_div;  // optimum cap = A / opt_cap_div, 1 meaning the whole of A
    int max_cap_div;
};

// Short clocks spend a larger slice of the remaining time per move, long
// clocks a smaller one; with an increment a move may also spend part of it.
constexpr Bracket BRACKETS[] = {
    {5000, 16, 12, 7, 10, 6, 5},
    {10000, 20, 16, 7, 10, 6, 5},
    {15000, 20, 16, 6, 10, 6, 6},
    {30000, 24, 20, 6, 10, 12, 6},
    {60000, 28, 24, 6, 10, 12, 7},
    {120000, 34, 30, 1, 2, 16, 7},
    {180000, 34, 30, 1, 2, 16, 6},
    {600000, 40, 36, 1, 2, 14, 6},
    {INT64_MAX, 42, 38, 1, 2, 1, 6},
};

const Bracket& bracket_for(int64_t clock) {
    for (const Bracket& b : BRACKETS)
        if (clock <= b.max_clock_ms) return b;
    return BRACKETS[std::size(BRACKETS) - 1];
}

}  // namespace

Budget compute_budget(Color side, const UciLimits& limits, const Options& opts) {
    if (limits.infinite) return {};

    // All arithmetic is in 64 bits so that any 32-bit clock, increment or
    // option value is safe; every result is bounded by a 32-bit clock value.
    const int64_t overhead = std::max<int64_t>(0, opts.move_overhead_ms);

    if (limits.movetime >= 1) {
        int64_t v = std::max<int64_t>(1, int64_t(limits.movetime) - overhead);
        return {true, true, int32_t(v), int32_t(v)};
    }

    const int64_t clock = side == WHITE ? limits.wtime : limits.btime;
    const int64_t inc = side == WHITE ? limits.winc : limits.binc;
    if (clock < 0) return {};

    const int64_t avail = std::max<int64_t>(1, clock - overhead);
    const int64_t slow = std::max<int64_t>(10, opts.slow_mover_pct);
    const int64_t minThink = std::min(std::max<int64_t>(opts.min_thinking_ms, 0), avail);
    const int64_t mtg = limits.movestogo;

    int64_t base, share = 0, optCap, maxCap;
    if (mtg >= 1) {
        base = std::max<int64_t>(1, avail / mtg);
        if (inc >= 1) {
            if (clock <= 10000) share = inc * 7 / 10;
            else if (clock <= 60000) share = inc * 6 / 10;
            else share = inc / 2;
        }
        optCap = avail;
        if (clock <= 10000) maxCap = avail / 5;
        else if (clock <= 30000) maxCap = avail / 6;
        else if (clock <= 120000) maxCap = avail / 7;
        else maxCap = avail / 6;
    } else {
        const Bracket& b = bracket_for(clock);
        base = std::max<int64_t>(1, avail / (inc >= 1 ? b.base_div_inc : b.base_div_no_inc));
        if (inc >= 1) share = inc * b.share_num / b.share_den;
        optCap = avail / b.opt_cap_div;
        maxCap = avail / b.max_cap_div;
    }

    int64_t optimum = (base + share) * slow / 100;
    optimum = std::max(optimum, minThink);
    optimum = std::min(optimum, optCap);  // may undercut the minimum thinking time

    int64_t maximum = optimum + std::max(optimum / 2, share);
    maximum = std::min(maximum, maxCap);
    // With few moves left the hard limit may exceed the usual cap, up to all of A.
    if (mtg >= 1 && mtg <= 8) maximum = std::max(maximum, optimum + optimum / 2);
    maximum = std::min(avail, std::max(maximum, optimum));

    return {true, true, int32_t(optimum), int32_t(maximum)};
}

}  // namespace TimeMan
