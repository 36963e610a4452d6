// The search's inner parts, set apart for the tests: the per-search context
// and stack, the two search routines, the tunable parameters, the learning-
// table updates and read-only views of the tables, and the fixed rules. The
// engine's front end and the benches use search.h only.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "board/move.h"
#include "board/position.h"
#include "board/types.h"
#include "search/search.h"

namespace Search {

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

// ---- Tunable parameters ---------------------------------------------------

// Set through set_see_param; any 32-bit value is accepted, read whole (relaxed).
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

// ---- Search routines --------------------------------------------------------

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

// ---- Fixed rules ------------------------------------------------------------

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

// Read-only views of the learning tables.
int history_value(int side, int from, int to);
int capture_history_value(int side, int moverType, int to, int victimType);
// plies_back is 1, 2 or 4: the continuation table keyed by that earlier move.
int continuation_value(int plies_back, int prevPiece, int prevTo, int piece, int to);
Move killer_move(int ply, int slot);
Move counter_move(int side, int from, int to);
int pawn_corr_value(int side, uint64_t pawnKey);
int non_pawn_corr_value(int side, uint64_t nonPawnKey);
int cont_corr_value(int piece, int to);

}  // namespace Search
