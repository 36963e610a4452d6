// Time manager: turns the clock parameters of one "go" command and the three
// time options into the search's optimum (soft) and maximum (hard) thinking
// time in milliseconds.
#pragma once

#include <cstdint>

#include "board/position.h"
#include "board/types.h"

namespace TimeMan {

// The parsed "go" command; field names are the UCI words.
struct UciLimits {
    int32_t depth = 0;      // deepest iteration, 0 none (not read here)
    uint64_t nodes = 0;     // node limit, 0 none (not read here)
    int32_t movetime = 0;   // fixed time for this move, below 1 none
    int32_t wtime = -1;     // negative: clock not given
    int32_t btime = -1;
    int32_t winc = 0;
    int32_t binc = 0;
    int32_t movestogo = 0;  // below 1 none
    bool infinite = false;
};

// The options "Move Overhead", "Minimum Thinking Time" and "Slow Mover".
struct Options {
    int32_t move_overhead_ms = 30;
    int32_t min_thinking_ms = 20;
    int32_t slow_mover_pct = 100;
};

// Both flags false with both times 0 means no time control.
struct Budget {
    bool time_managed = false;
    bool cap_at_maximum = false;
    int32_t optimum_ms = 0;
    int32_t maximum_ms = 0;
};

// The budget for the side to move `side`. Pure; never fails.
Budget compute_budget(Color side, const UciLimits& limits, const Options& opts);

// Only the side to move is read from the position.
inline Budget compute_budget(const Position& pos, const UciLimits& limits, const Options& opts) {
    return compute_budget(Color(pos.side), limits, opts);
}

}  // namespace TimeMan
