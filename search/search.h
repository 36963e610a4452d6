// The search: iterative deepening with aspiration windows and time control over
// a principal-variation alpha-beta search and a quiescence search, with the
// history, killer, counter-move, continuation and correction tables, the stop
// flag and the tunable search parameters.
#pragma once

#include <atomic>
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

// One per ply of the current path; entry p belongs to the node at ply p.
struct SearchStackEntry {
    Move move = 0;           // move being searched from this ply, 0 otherwise
    Move tt_move = 0;
    Move excluded_move = 0;  // set by a node starting a singular-extension search
    int32_t static_eval = SCORE_NONE;
    int32_t move_score = 0;  // picker score of the current move
    int32_t reduction = 0;
    int32_t extension = 0;
    bool in_check = false;
    bool null_move_child = false;
    int32_t move_count = 0;
    int32_t double_extensions = 0;
};

constexpr int STACK_SIZE = MAX_PLY + 4;

// The state of one search, passed by reference to every search routine.
struct SearchContext {
    SearchLimits limits;
    InfoCallback on_info;
    int64_t start_time = 0;  // steady clock, nanoseconds
    uint64_t nodes = 0;
    bool stopped = false;
    int32_t completed_depth = 0;
    int32_t seldepth = 0;
    int32_t completed_seldepth = 0;
    SearchStats stats;
    Move completed_best_move = 0;
    int32_t completed_score = 0;
    std::vector<Move> completed_pv;
    Move pv[MAX_PLY][MAX_PLY];
    int32_t pv_length[MAX_PLY];
    SearchStackEntry stack[STACK_SIZE];

    SearchContext() { reset(); }
    // Zeroes everything, then marks every stack entry as having no evaluation.
    void reset();
};

// ---- Shared state -------------------------------------------------------

// Stop flag: written by both threads (atomic exchanges), polled by the search.
extern std::atomic<bool> stopSearch;

// Tunable parameters; any 32-bit value is accepted, read whole (relaxed).
extern std::atomic<int32_t> g_seeCaptureMargin;
extern std::atomic<int32_t> g_seeCaptureDepth;
extern std::atomic<int32_t> g_seeQuietMargin;
extern std::atomic<int32_t> g_seeQuietDepth;
extern std::atomic<int32_t> g_seeEndgameGuard;
extern std::atomic<int32_t> g_seeCaptHistDiv;
extern std::atomic<int32_t> g_seeQuietHistDiv;
extern std::atomic<int32_t> g_corrPawnWeight;
extern std::atomic<int32_t> g_corrNonPawnWeight;
extern std::atomic<int32_t> g_corrContWeight;
extern std::atomic<int32_t> g_corrWeightScale;

// ---- Public operations --------------------------------------------------

// One-time set-up (tables sized for 64 MiB / 8 MiB, reduction table, zeroed
// histories); later calls do nothing. Every operation below runs it first.
void init_search();
// Zeroes all history, killer, counter-move and correction tables and empties
// the transposition and pawn tables. Never while a search runs.
void new_game();
// Transposition table of mb MiB plus a pawn table of max(mb / 8, 1) MiB, both
// re-created empty. Never while a search runs.
void set_hash_size_mb(uint64_t mb);
// Stores value into the parameter whose option name equals name exactly
// (case-sensitive); other names are ignored. Safe during a search.
void set_see_param(std::string const& name, int value);

void request_stop();
void clear_stop();
bool stop_requested();

// Runs iterative deepening on its own copy of pos. The caller clears the stop
// flag before starting the thread that calls this; the search never clears it.
SearchResult search_position(Position pos, SearchLimits const& limits, InfoCallback on_info);

// ---- Search routines (used by the driver; exposed for tests) ------------

// Fail-soft main search of a node at ply >= 1; 0 with ctx.stopped when stopped.
int negamax(Position& pos, SearchContext& ctx, int depth, int alpha, int beta, int ply);
// Fail-hard quiescence search; qply counts the quiescence plies above the node.
int quiescence(Position& pos, SearchContext& ctx, int alpha, int beta, int ply, int qply);

// Rewards move (and punishes the other tried quiets) after a node; quiets has
// quiet_count valid entries (at most 96).
void update_move_heuristics(Position const& pos, SearchContext const& ctx, int ply, Color side,
                            Move move, int depth, bool is_cutoff, Move const* quiets,
                            int quiet_count);
// Moves the correction entries of the node toward best_score - static_eval.
void update_corr_hist(Position const& pos, SearchContext const& ctx, int ply, int static_eval,
                      int best_score, int depth);
// raw plus the weighted correction of the node at ply, clamped to the
// non-mate range; raw of SCORE_NONE is returned unchanged.
int corrected_eval(Position const& pos, SearchContext const& ctx, int ply, int raw);

// ---- Helpers with fixed rules (exposed for tests and diagnostics) -------

constexpr int MAX_QUIETS_TRIED = 96;

// Mate-score conversion into (node-relative) and out of (root-relative) the
// transposition table; scores of exactly +-MATE_THRESHOLD are not converted.
constexpr int score_to_tt(int s, int ply) {
    return s > MATE_THRESHOLD ? s + ply : s < -MATE_THRESHOLD ? s - ply : s;
}
constexpr int score_from_tt(int s, int ply) {
    return s > MATE_THRESHOLD ? s - ply : s < -MATE_THRESHOLD ? s + ply : s;
}

// Late-move reduction table entry, indices clamped to 0..63.
int lmr_reduction(int depth, int moveCount);
// Bonus sizes of the move-ordering updates for a node depth (below 1 taken as 1).
int quiet_history_bonus(int depth);
int capture_history_bonus(int depth);
// Gravity update of one history entry with bonus b >= 0, saturating at +-32768.
int history_raise(int h, int b);
int history_lower(int h, int b);

// Read-only views of the learning tables (for tests and diagnostics).
int history_value(int side, int from, int to);
int capture_history_value(int side, int moverType, int to, int victimType);
// plies_back is 1, 2 or 4: the continuation table keyed by that earlier move.
int continuation_value(int plies_back, int prevPiece, int prevTo, int piece, int to);
Move killer_move(int ply, int slot);
Move counter_move(int side, int from, int to);
int pawn_corr_value(int side, uint64_t pawnKey);
int non_pawn_corr_value(int side, uint64_t nonPawnKey);
int cont_corr_value(int piece, int to);

// Flat table layouts handed to the move picker (PickerHeuristics):
//   history      [2][64][64]          side, from, to
//   captureHist  [2][6][64][6]        side, mover type, to, victim type
//   contHist*    [12][64][12][64]     prev piece, prev to, piece, to
constexpr int HISTORY_SIZE = 2 * 64 * 64;
constexpr int CAPTURE_HISTORY_SIZE = 2 * 6 * 64 * 6;
constexpr int CONT_HISTORY_SIZE = 12 * 64 * 12 * 64;

}  // namespace Search

using Search::SearchResult;
