// The search's interface: iterative deepening with aspiration windows and time
// control over a principal-variation alpha-beta search and a quiescence search,
// its set-up, the stop flag and the tunable parameters. The inner parts that
// the tests reach are declared in search_testing.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "board/move.h"
#include "board/position.h"
#include "board/types.h"

namespace Search {

// What one search may spend (filled by the front end from the time budget).
struct SearchLimits {
    int32_t depth = 0;        // deepest iteration; 0 or less means 64
    uint64_t nodes = 0;       // node limit, 0 for none
    bool infinite = false;    // carried for the caller; not read by the search
    bool time_managed = false;    // apply the soft limit
    bool cap_at_maximum = false;  // apply the hard limit and cap the soft one
    int32_t optimum_ms = 0;
    int32_t maximum_ms = 0;
};

// Counters of one search, zero at its start, in this fixed order.
struct SearchStats {
    uint64_t nodes = 0;
    uint64_t pv_nodes = 0;
    uint64_t non_pv_nodes = 0;
    uint64_t qsearch_nodes = 0;
    uint64_t in_check_nodes = 0;
    uint64_t extensions = 0;
    uint64_t tt_probes = 0;
    uint64_t tt_hits = 0;
    uint64_t tt_cutoffs = 0;
    uint64_t null_tries = 0;
    uint64_t null_cutoffs = 0;
    uint64_t null_verifications = 0;
    uint64_t null_verification_cutoffs = 0;
    uint64_t razor_cutoffs = 0;
    uint64_t reverse_futility_cutoffs = 0;
    uint64_t move_prunes = 0;
    uint64_t futility_prunes = 0;
    uint64_t qsearch_delta_prunes = 0;
    uint64_t qsearch_see_prunes = 0;
    uint64_t quiet_cutoffs = 0;
    uint64_t capture_cutoffs = 0;
    uint64_t qsearch_beta_cutoffs = 0;
    uint64_t cutoffs = 0;
    uint64_t cutoff_move_count_sum = 0;
};

// The report of one completed iteration, handed to the on_info callback.
struct SearchInfo {
    int32_t depth = 0;
    int32_t seldepth = 0;
    int32_t score = 0;
    uint64_t nodes = 0;
    int32_t time_ms = 0;
    uint64_t nps = 0;
    int32_t hashfull = 0;
    std::vector<Move> pv;
    SearchStats stats;
};

// What search_position returns: the last completed iteration plus the totals.
struct SearchResult {
    int32_t score = 0;
    Move best_move = 0;  // 0 when the root has no legal move
    std::vector<Move> pv;
    uint64_t nodes = 0;
    int32_t depth = 0;
    int32_t seldepth = 0;
    int32_t time_ms = 0;
    bool stopped = false;
    SearchStats stats;
};

using InfoCallback = std::function<void(SearchInfo const&)>;

// ---- Public operations --------------------------------------------------

// One-time set-up (tables sized for 64 MiB / 8 MiB, reduction table, zeroed
// histories); later calls do nothing. Every operation below runs it first.
void init_search();
// Zeroes all history, killer, counter-move and correction tables and empties
// the transposition and pawn tables. Never while a search runs.
void new_game();
// Transposition table of mb MiB plus a pawn table of max(mb / 8, 1) MiB, both
// re-created empty with all their memory committed. False when the memory for
// either cannot be had. Never while a search runs.
[[nodiscard]] bool set_hash_size_mb(uint64_t mb);
// Stores value into the parameter whose option name equals name exactly
// (case-sensitive); other names are ignored. Safe during a search.
void set_see_param(std::string const& name, int value);

// The stop flag, shared by the command thread and the search (atomic).
void request_stop();
void clear_stop();
bool stop_requested();

// Runs iterative deepening on its own copy of pos. The caller clears the stop
// flag before starting the thread that calls this; the search never clears it.
SearchResult search_position(Position pos, SearchLimits const& limits, InfoCallback on_info);

// Nodes per second of a search that took ms milliseconds; the node count
// itself below one millisecond.
inline uint64_t nodes_per_second(uint64_t nodes, int32_t ms) {
    return ms > 0 ? nodes * 1000 / uint64_t(ms) : nodes;
}

}  // namespace Search

using Search::SearchResult;
