// The search: driver, main search, quiescence search, learning tables and the
// shared node-entry rules.
#include "search/search.h"
#include "search/search_testing.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <optional>

#include "board/attack.h"
#include "board/movegen.h"
#include "board/zobrist.h"
#include "eval/eval.h"
#include "eval/pawnhash.h"
#include "search/movepicker.h"
#include "search/tt.h"

namespace Search {

std::atomic<int32_t> g_seeCaptureMargin{32};
std::atomic<int32_t> g_seeCaptureDepth{6};
std::atomic<int32_t> g_seeQuietMargin{40};
std::atomic<int32_t> g_seeQuietDepth{10};
std::atomic<int32_t> g_seeEndgameGuard{0};
std::atomic<int32_t> g_seeCaptHistDiv{512};
std::atomic<int32_t> g_seeQuietHistDiv{512};
std::atomic<int32_t> g_corrPawnWeight{2};
std::atomic<int32_t> g_corrNonPawnWeight{1};
std::atomic<int32_t> g_corrContWeight{1};
std::atomic<int32_t> g_corrWeightScale{2};

}  // namespace Search

namespace {

using namespace Search;

// ---- Module state ---------------------------------------------------------

// Stop flag: written by both threads (atomic exchanges), polled by the search.
std::atomic<bool> stopSearch{false};

bool searchStateReady = false;

int32_t lmrTable[64][64];

constexpr int HISTORY_MAX = 32768;
constexpr int CORR_MAX = 16384;
constexpr int CORR_SIZE = 16384;

int32_t historyHeuristic[2][64][64];
int32_t captureHistory[2][6][64][6];
int32_t continuationHistory[12][64][12][64];
int32_t continuationHistory2[12][64][12][64];
int32_t continuationHistory4[12][64][12][64];
Move counterMove[2][64][64];
Move killerMoves[MAX_PLY][2];
int32_t pawnCorrHist[2][CORR_SIZE];
int32_t nonPawnCorrHist[2][CORR_SIZE];
int32_t contCorrHist[12][64];

// Widest score that is not a mate score; static evaluations are kept inside it.
constexpr int NON_MATE_BOUND = MATE_THRESHOLD - 1;

constexpr double STABILITY_SCALE[9] = {1.0, 0.94, 0.88, 0.83, 0.79, 0.76, 0.74, 0.72, 0.70};

constexpr const char* PARAM_NAMES[11] = {
    "SeeCaptureMargin", "SeeCaptureDepth", "SeeQuietMargin",    "SeeQuietDepth",
    "SeeEndgameGuard",  "SeeCaptHistDiv",  "SeeQuietHistDiv",   "CorrPawnWeight",
    "CorrNonPawnWeight", "CorrContWeight", "CorrWeightScale"};

std::atomic<int32_t>* const PARAMS[11] = {
    &g_seeCaptureMargin, &g_seeCaptureDepth, &g_seeQuietMargin,    &g_seeQuietDepth,
    &g_seeEndgameGuard,  &g_seeCaptHistDiv,  &g_seeQuietHistDiv,   &g_corrPawnWeight,
    &g_corrNonPawnWeight, &g_corrContWeight, &g_corrWeightScale};

inline int32_t param(const std::atomic<int32_t>& p) { return p.load(std::memory_order_relaxed); }

// ---- Small helpers ------------------------------------------------------------

inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline int32_t elapsed_ms(const SearchContext& ctx) {
    return int32_t((now_ns() - ctx.start_time) / 1000000);
}

inline bool stop_flag() { return stopSearch.load(); }

// A stop request takes effect only once an iteration has completed, so that
// there is always a move to play; the search then unwinds with ctx.stopped set.
inline bool stop_now(SearchContext& ctx) {
    if (__builtin_expect(stop_flag() && ctx.completed_depth > 0, 0)) {
        ctx.stopped = true;
        return true;
    }
    return false;
}

inline bool in_non_mate_range(int s) { return s >= -NON_MATE_BOUND && s <= NON_MATE_BOUND; }

inline bool is_quiet(Move m) {
    return !(m & FLAG_CAPTURE) && move_promotion(m) == 0 && !(m & FLAG_CASTLING);
}

// a / d for d > 0, truncated toward zero as the operator does. The divisors
// are tunable parameters read per node or per move, powers of two by default:
// those take a shift instead of a 64-bit division.
inline int64_t divide(int64_t a, int64_t d) {
    if ((d & (d - 1)) == 0) return (a + ((a >> 63) & (d - 1))) >> __builtin_ctzll(uint64_t(d));
    return a / d;
}

// The piece type captured by m on pos (before the move): a pawn for en passant
// and for an empty destination.
inline int victim_type(const Position& pos, Move m) {
    if (m & FLAG_EN_PASSANT) return PAWN;
    int victim = pos.board[move_to(m)];
    return victim < 0 ? PAWN : type_of_piece(victim);
}

inline Move prev_move(const SearchContext& ctx, int ply, int back) {
    return ply >= back ? ctx.stack[ply - back].move : 0;
}

// Moves whose legality is not guaranteed by the generator pay the make/check
// test; the pin cache is read as it stands when the move is examined.
inline bool needs_legality_test(const Position& pos, Move m) {
    return (m & FLAG_EN_PASSANT) || type_of_piece(move_piece(m)) == KING ||
           (pos.pinned[pos.side] & square_bb(move_from(m)));
}

inline void clear_child_pv(SearchContext& ctx, int ply) {
    if (ply + 1 < MAX_PLY) {
        ctx.pv_length[ply + 1] = ply + 1;
        ctx.pv[ply + 1][ply + 1] = 0;
    }
}

// Row ply takes m followed by the child's row.
inline void update_pv(SearchContext& ctx, int ply, Move m) {
    ctx.pv[ply][ply] = m;
    int c = ply + 1;
    if (ply + 1 < MAX_PLY) {
        const int lim = std::min(ctx.pv_length[ply + 1], MAX_PLY);
        while (c < lim && ctx.pv[ply + 1][c] != 0) {
            ctx.pv[ply][c] = ctx.pv[ply + 1][c];
            ++c;
        }
    }
    ctx.pv_length[ply] = c;
    if (c < MAX_PLY) ctx.pv[ply][c] = 0;
}

void zero_learning_tables() {
    std::memset(killerMoves, 0, sizeof(killerMoves));
    std::memset(pawnCorrHist, 0, sizeof(pawnCorrHist));
    std::memset(nonPawnCorrHist, 0, sizeof(nonPawnCorrHist));
    std::memset(contCorrHist, 0, sizeof(contCorrHist));
    std::memset(historyHeuristic, 0, sizeof(historyHeuristic));
    std::memset(counterMove, 0, sizeof(counterMove));
    std::memset(captureHistory, 0, sizeof(captureHistory));
    std::memset(continuationHistory, 0, sizeof(continuationHistory));
    std::memset(continuationHistory2, 0, sizeof(continuationHistory2));
    std::memset(continuationHistory4, 0, sizeof(continuationHistory4));
}

void ensure_ready() {
    if (!searchStateReady) init_search();
}

PickerHeuristics make_heuristics(const Position& pos, const SearchContext& ctx, int ply) {
    PickerHeuristics h;
    h.history = &historyHeuristic[0][0][0];
    h.captureHist = &captureHistory[0][0][0][0];
    h.contHist1 = &continuationHistory[0][0][0][0];
    h.contHist2 = &continuationHistory2[0][0][0][0];
    h.contHist4 = &continuationHistory4[0][0][0][0];
    h.killer1 = killerMoves[ply][0];
    h.killer2 = killerMoves[ply][1];
    h.prev1 = prev_move(ctx, ply, 1);
    h.prev2 = prev_move(ctx, ply, 2);
    h.prev4 = prev_move(ctx, ply, 4);
    h.counter = h.prev1 ? counterMove[pos.side][move_from(h.prev1)][move_to(h.prev1)] : 0;
    return h;
}

// Butterfly plus continuation history of a quiet move at this node.
inline int quiet_history(const Position& pos, const PickerHeuristics& h, Move m) {
    const int pc = move_piece(m), to = move_to(m);
    int v = historyHeuristic[pos.side][move_from(m)][to];
    if (h.prev1) v += continuationHistory[move_piece(h.prev1)][move_to(h.prev1)][pc][to];
    if (h.prev2) v += continuationHistory2[move_piece(h.prev2)][move_to(h.prev2)][pc][to];
    if (h.prev4) v += continuationHistory4[move_piece(h.prev4)][move_to(h.prev4)][pc][to];
    return v;
}

// A single evasion list reused by every node: the list is only needed until
// it is counted or copied into a picker.
std::vector<unsigned>& scratch_moves() {
    thread_local std::vector<unsigned> list;
    return list;
}

// As soon as a move is chosen, before the pruning tests and the make: start
// fetching the child's table bucket, the first thing the child reads, under
// the key the move will give. The guess leaves out castling-right changes and
// a new en passant square; a wrong guess costs one useless fetch and the
// probe's wait, nothing else.
inline void prefetch_child_bucket(const Position& pos, Move m) {
    const int from = move_from(m), to = move_to(m), p = move_piece(m);
    const int promo = move_promotion(m);
    const int placed = promo ? promo + (p > 5 ? 6 : 0) : p;
    // A position exists, so the key tables are drawn: no flag test per read.
    uint64_t k = pos.key ^ Zobrist::drawn_side_key() ^ Zobrist::drawn_piece_key(p, from) ^
                 Zobrist::drawn_piece_key(placed, to);
    const int victim = pos.board[to];
    if (victim != NO_PIECE) k ^= Zobrist::drawn_piece_key(victim, to);
    if (pos.ep_square != NO_SQUARE) k ^= Zobrist::drawn_ep_file_key(pos.ep_square & 7);
    TT::prefetch(k);
}

// Right after a move is made: start fetching the child's correction entries.
inline void prefetch_child(const Position& pos) {
    __builtin_prefetch(&pawnCorrHist[pos.side][pos.pawn_key & (CORR_SIZE - 1)]);
    __builtin_prefetch(&nonPawnCorrHist[pos.side][pos.non_pawn_key & (CORR_SIZE - 1)]);
}

// ---- Node entry ---------------------------------------------------------

enum class EntryKind { Main, Quiescence };

// Entry steps shared by main-search and quiescence nodes: stop poll, seldepth,
// ply bound, node counting with the limit check, pv row, mate-distance pruning
// and draw detection. Returns true when the node ends with `value`; alpha and
// beta come back narrowed otherwise.
bool node_entry(Position& pos, SearchContext& ctx, int& alpha, int& beta, int ply, EntryKind kind,
                bool pvNode, int& value) {
    if (stop_now(ctx)) {
        value = 0;
        return true;
    }
    if (ply > ctx.seldepth) ctx.seldepth = ply;

    if (ply >= MAX_PLY - 1) {
        if (kind == EntryKind::Quiescence && pos.in_check(Color(pos.side)))
            value = 0;
        else
            value = evaluate(pos);
        return true;
    }

    ++ctx.nodes;
    if (kind == EntryKind::Quiescence) ++ctx.stats.qsearch_nodes;
    const bool nodeLimitHit = ctx.limits.nodes != 0 && ctx.nodes >= ctx.limits.nodes;
    if (((ctx.nodes & 1023) == 0 || nodeLimitHit) && !stop_flag()) {
        const bool limitHit = nodeLimitHit || (ctx.limits.cap_at_maximum &&
                                               elapsed_ms(ctx) >= ctx.limits.maximum_ms);
        if (limitHit && ctx.completed_depth > 0) stopSearch.exchange(true);
    }
    if (stop_now(ctx)) {
        value = 0;
        return true;
    }

    ctx.pv_length[ply] = ply;
    if (kind == EntryKind::Main) {
        ++ctx.stats.nodes;
        if (pvNode)
            ++ctx.stats.pv_nodes;
        else
            ++ctx.stats.non_pv_nodes;
    }

    // Mate-distance pruning.
    alpha = std::max(alpha, ply - SCORE_MATE);
    beta = std::min(beta, SCORE_MATE - ply);
    if (alpha >= beta) {
        value = alpha;
        return true;
    }

    // Draws. A side in check without a legal move at the fifty-move limit is
    // mated, not drawn, so the node goes on and scores the mate.
    if (ply > 0) {
        if (pos.halfmove_clock > 99) {
            if (!pos.in_check(Color(pos.side)) || pos.has_any_legal_move()) {
                value = 0;
                return true;
            }
        } else {
            const int n = int(pos.key_history.size());
            if (n > 3) {
                const int lim = std::min({pos.halfmove_clock, pos.plies_since_null, n - 1});
                if (lim > 0) {
                    const int rootIndex = n - 1 - ply;
                    bool seenOnce = false;
                    for (int back = 2; back <= lim + 1 && n - 1 - back >= 0; back += 2) {
                        const int idx = n - 1 - back;
                        if (pos.key_history[idx] != pos.key) continue;
                        // One repetition inside the tree is enough; before the
                        // root it takes a second one.
                        if (idx > rootIndex || seenOnce) {
                            value = 0;
                            return true;
                        }
                        seenOnce = true;
                    }
                }
            }
        }
        if (pos.has_insufficient_material()) {
            value = 0;
            return true;
        }
    }
    return false;
}

// Resets the node's own stack entry; returns whether the side to move is in check.
inline bool reset_stack_entry(Position& pos, SearchContext& ctx, int ply) {
    SearchStackEntry& ss = ctx.stack[ply];
    ss.move = 0;
    ss.tt_move = 0;
    ss.move_count = 0;
    ss.in_check = pos.in_check(Color(pos.side));
    ss.static_eval = SCORE_NONE;
    ss.move_score = 0;
    ss.reduction = 0;
    ss.extension = 0;
    if (ss.in_check) ++ctx.stats.in_check_nodes;
    return ss.in_check;
}

// Weighted correction of the node (64-bit: the weights are unchecked options).
int64_t correction(const Position& pos, const SearchContext& ctx, int ply) {
    const int side = pos.side;
    int64_t s = int64_t(pawnCorrHist[side][pos.pawn_key & (CORR_SIZE - 1)]) * param(g_corrPawnWeight) +
                int64_t(nonPawnCorrHist[side][pos.non_pawn_key & (CORR_SIZE - 1)]) *
                    param(g_corrNonPawnWeight);
    const Move prev1 = prev_move(ctx, ply, 1);
    if (prev1)
        s += int64_t(contCorrHist[move_piece(prev1)][move_to(prev1)]) * param(g_corrContWeight);
    const int64_t divisor = int64_t(std::max(param(g_corrWeightScale), 1)) * 256;
    // Bounded so that raw + correction stays far inside 64 bits.
    return std::clamp<int64_t>(divide(s, divisor), -SCORE_INFINITE, SCORE_INFINITE);
}

inline int history_gravity(int h, int b, bool raise) {
    const int64_t delta = int64_t(h) * b / HISTORY_MAX;
    const int64_t v = raise ? int64_t(h) + b - delta : int64_t(h) - b - delta;
    return int(std::clamp<int64_t>(v, -HISTORY_MAX, HISTORY_MAX));
}

inline void raise_entry(int32_t& e, int b) { e = history_gravity(e, b, true); }
inline void lower_entry(int32_t& e, int b) { e = history_gravity(e, b, false); }

// Counts a beta cutoff by move m, the moveNumber-th move searched.
inline void count_cutoff(SearchContext& ctx, Move m, bool quiet, int moveNumber) {
    ++ctx.stats.cutoffs;
    ctx.stats.cutoff_move_count_sum += uint64_t(moveNumber);
    if (quiet)
        ++ctx.stats.quiet_cutoffs;
    else if (m & FLAG_CAPTURE)
        ++ctx.stats.capture_cutoffs;
}

// The node's evaluation before correction: the table's when it holds one (it
// stores complete evaluations only), else a fresh one, which may stop early
// (full false) when the position is clearly outside the window.
inline int raw_static_eval(const Position& pos, int ttEval, int alpha, int beta, bool& full) {
    if (ttEval != SCORE_NONE) {
        full = true;
        return ttEval;
    }
    const EvalResult er = evaluate_result(pos, alpha, beta);
    full = er.full;
    return er.score;
}

// The child searches of a made move at ply after the first (which takes the
// full window): a null window at depth less reduction, again unreduced when it
// beats alpha, and with the full window when its score lands inside it.
inline int search_later_child(Position& pos, SearchContext& ctx, int depth, int reduction, int alpha, int beta,
                              int ply) {
    clear_child_pv(ctx, ply);
    int score = -negamax(pos, ctx, std::max(depth - reduction, 0), -alpha - 1, -alpha, ply + 1);
    if (!ctx.stopped && score > alpha && reduction > 0) {
        clear_child_pv(ctx, ply);
        score = -negamax(pos, ctx, depth, -alpha - 1, -alpha, ply + 1);
    }
    if (!ctx.stopped && score > alpha && score < beta) {
        clear_child_pv(ctx, ply);
        score = -negamax(pos, ctx, depth, -beta, -alpha, ply + 1);
    }
    return score;
}

}  // namespace

namespace Search {

// ---- Set-up and public operations -------------------------------------------

void SearchContext::reset() {
    limits = SearchLimits{};
    on_info = nullptr;
    start_time = 0;
    nodes = 0;
    stopped = false;
    completed_depth = 0;
    seldepth = 0;
    completed_seldepth = 0;
    stats = SearchStats{};
    completed_best_move = 0;
    completed_score = 0;
    completed_pv.clear();
    std::memset(pv, 0, sizeof(pv));
    std::memset(pv_length, 0, sizeof(pv_length));
    for (SearchStackEntry& e : stack) e = SearchStackEntry{};  // static_eval = SCORE_NONE
}

void init_search() {
    if (searchStateReady) return;
    // A table missing for want of memory stays missing: the transposition
    // table's operations then do nothing, and the pawn table is tried again on
    // first use. set_hash_size_mb reports such a failure to its caller.
    TT::init_tt(64);
    PawnHash::init(8);
    for (int d = 0; d < 64; ++d)
        for (int m = 0; m < 64; ++m)
            lmrTable[d][m] =
                (d <= 1 || m <= 1) ? 0 : int(std::log(double(d)) * std::log(double(m)) / 2.45 + 0.75);
    zero_learning_tables();
    searchStateReady = true;
}

void new_game() {
    ensure_ready();
    zero_learning_tables();
    TT::clear_tt();
    PawnHash::clear();
}

bool set_hash_size_mb(uint64_t mb) {
    ensure_ready();
    return TT::init_tt(mb) && PawnHash::init(std::max<uint64_t>(mb / 8, 1));
}

void set_see_param(std::string const& name, int value) {
    for (int i = 0; i < 11; ++i) {
        if (name == PARAM_NAMES[i]) {
            PARAMS[i]->store(value, std::memory_order_relaxed);
            return;
        }
    }
}

void request_stop() { stopSearch.exchange(true); }
void clear_stop() { stopSearch.exchange(false); }
bool stop_requested() { return stopSearch.load(); }

int lmr_reduction(int depth, int moveCount) {
    ensure_ready();
    return lmrTable[std::clamp(depth, 0, 63)][std::clamp(moveCount, 0, 63)];
}

int quiet_history_bonus(int depth) {
    // Capped before squaring so that no reachable depth overflows.
    const int64_t d = std::clamp(depth, 1, 1000);
    return int(std::min<int64_t>(32 * d * (d + 4), 10000));
}

int capture_history_bonus(int depth) {
    const int64_t d = std::clamp(depth, 1, 1000);
    return int(std::min<int64_t>(16 * d * (d + 4), 9000));
}

int history_raise(int h, int b) { return history_gravity(h, b, true); }
int history_lower(int h, int b) { return history_gravity(h, b, false); }

int history_value(int side, int from, int to) { return historyHeuristic[side][from][to]; }
int capture_history_value(int side, int moverType, int to, int victimType) {
    return captureHistory[side][moverType][to][victimType];
}
int continuation_value(int plies_back, int prevPiece, int prevTo, int piece, int to) {
    switch (plies_back) {
        case 1: return continuationHistory[prevPiece][prevTo][piece][to];
        case 2: return continuationHistory2[prevPiece][prevTo][piece][to];
        case 4: return continuationHistory4[prevPiece][prevTo][piece][to];
        default: return 0;
    }
}
Move killer_move(int ply, int slot) { return killerMoves[ply][slot]; }
Move counter_move(int side, int from, int to) { return counterMove[side][from][to]; }
int pawn_corr_value(int side, uint64_t pawnKey) { return pawnCorrHist[side][pawnKey & (CORR_SIZE - 1)]; }
int non_pawn_corr_value(int side, uint64_t nonPawnKey) {
    return nonPawnCorrHist[side][nonPawnKey & (CORR_SIZE - 1)];
}
int cont_corr_value(int piece, int to) { return contCorrHist[piece][to]; }

// ---- History, killer, counter-move and correction updates -----------------

void update_move_heuristics(Position const& pos, SearchContext const& ctx, int ply, Color side,
                            Move move, int depth, bool is_cutoff, Move const* quiets,
                            int quiet_count) {
    const Move prev1 = prev_move(ctx, ply, 1);
    const Move prev2 = prev_move(ctx, ply, 2);
    const Move prev4 = prev_move(ctx, ply, 4);

    if (move & FLAG_CAPTURE) {
        if (!is_cutoff) return;
        const int b = capture_history_bonus(depth);
        const int mover = pos.board[move_from(move)];
        const int moverType = mover < 0 ? PAWN : type_of_piece(mover);
        raise_entry(captureHistory[side][moverType][move_to(move)][victim_type(pos, move)], b);
    } else if (move_promotion(move) != 0 || (move & FLAG_CASTLING)) {
        if (!is_cutoff) return;
    } else {
        int b = quiet_history_bonus(depth);
        if (is_cutoff) {
            if (move != killerMoves[ply][0]) {
                killerMoves[ply][1] = killerMoves[ply][0];
                killerMoves[ply][0] = move;
            }
        } else {
            b /= 2;
        }
        // The rewarded move first: another tried move may share its
        // continuation entries (same piece and destination).
        auto apply = [&](Move m, bool raise) {
            const int pc = move_piece(m), to = move_to(m);
            auto upd = [&](int32_t& e) { raise ? raise_entry(e, b) : lower_entry(e, b); };
            upd(historyHeuristic[side][move_from(m)][to]);
            if (prev1) upd(continuationHistory[move_piece(prev1)][move_to(prev1)][pc][to]);
            if (prev2) upd(continuationHistory2[move_piece(prev2)][move_to(prev2)][pc][to]);
            if (prev4) upd(continuationHistory4[move_piece(prev4)][move_to(prev4)][pc][to]);
        };
        apply(move, true);
        const int n = std::clamp(quiet_count, 0, MAX_QUIETS_TRIED);
        for (int i = 0; i < n; ++i)
            if (quiets[i] != move) apply(quiets[i], false);
    }

    if (is_cutoff && prev1) counterMove[side][move_from(prev1)][move_to(prev1)] = move;
}

void update_corr_hist(Position const& pos, SearchContext const& ctx, int ply, int static_eval,
                      int best_score, int depth) {
    if (static_eval == SCORE_NONE) return;
    const int64_t w = std::min<int64_t>(int64_t(depth) + 1, 16);
    const int64_t diff = std::clamp<int64_t>(int64_t(best_score) - static_eval, -64, 64);
    auto upd = [&](int32_t& e) {
        e = int32_t(std::clamp<int64_t>((int64_t(e) * (256 - w) + diff * w * 256) / 256, -CORR_MAX, CORR_MAX));
    };
    const int side = pos.side;
    upd(pawnCorrHist[side][pos.pawn_key & (CORR_SIZE - 1)]);
    upd(nonPawnCorrHist[side][pos.non_pawn_key & (CORR_SIZE - 1)]);
    const Move prev1 = prev_move(ctx, ply, 1);
    if (prev1) upd(contCorrHist[move_piece(prev1)][move_to(prev1)]);
}

int corrected_eval(Position const& pos, SearchContext const& ctx, int ply, int raw) {
    if (raw == SCORE_NONE) return raw;
    return int(std::clamp<int64_t>(raw + correction(pos, ctx, ply), -NON_MATE_BOUND, NON_MATE_BOUND));
}

// ---- Quiescence search ------------------------------------------------------

int quiescence(Position& pos, SearchContext& ctx, int alpha, int beta, int ply, int qply) {
    int value;
    if (node_entry(pos, ctx, alpha, beta, ply, EntryKind::Quiescence, false, value)) return value;

    SearchStackEntry& ss = ctx.stack[ply];
    const bool inCheck = reset_stack_entry(pos, ctx, ply);

    // Far enough down the capture sequences: trust the evaluation.
    if (!inCheck && qply > 23) return evaluate(pos);

    // Transposition table; any stored depth qualifies.
    ++ctx.stats.tt_probes;
    int ttDepth, ttScore, ttEval;
    TT::Bound ttBound;
    const Move ttMove = TT::probe(pos.key, 0, ttDepth, ttScore, ttEval, ttBound);
    ss.tt_move = ttMove;
    if (ttBound != TT::NONE) {
        ++ctx.stats.tt_hits;
        ttScore = score_from_tt(ttScore, ply);
        if (ttBound == TT::EXACT || (ttBound == TT::UPPER && ttScore <= alpha) ||
            (ttBound == TT::LOWER && ttScore >= beta)) {
            ++ctx.stats.tt_cutoffs;
            return ttScore;
        }
    }

    int evalToStore = SCORE_NONE;
    int best = alpha;
    Move bestMove = 0;
    // Searches a made move and takes it back; a value is what the node returns.
    auto search_made_move = [&](Move m, const Position::Undo& undo) -> std::optional<int> {
        clear_child_pv(ctx, ply);
        ss.move = m;
        const int score = -quiescence(pos, ctx, -beta, -best, ply + 1, qply + 1);
        pos.unmake_move(undo);
        ss.move = 0;
        if (ctx.stopped) return 0;

        if (score >= beta) {
            ++ctx.stats.qsearch_beta_cutoffs;
            TT::store(pos.key, m, 0, score_to_tt(beta, ply), evalToStore, TT::LOWER);
            return beta;
        }
        if (score > best) {
            best = score;
            bestMove = m;
            update_pv(ctx, ply, m);
        }
        return std::nullopt;
    };

    if (!inCheck) {
        // Stand pat on the corrected evaluation.
        bool full;
        const int raw = raw_static_eval(pos, ttEval, alpha, beta, full);
        ss.static_eval = raw;
        evalToStore = full ? raw : SCORE_NONE;
        const int standPat = corrected_eval(pos, ctx, ply, raw);

        if (standPat >= beta) {
            TT::store(pos.key, ttMove, 0, score_to_tt(beta, ply), evalToStore, TT::LOWER);
            return beta;
        }
        if (!pos.has_any_legal_move()) {  // stalemate: not in check
            TT::store(pos.key, 0, 0, 0, evalToStore, TT::EXACT);
            return 0;
        }
        best = std::max(alpha, standPat);
        if (int64_t(standPat) + 1100 < alpha) {
            ++ctx.stats.qsearch_delta_prunes;
            TT::store(pos.key, ttMove, 0, score_to_tt(best, ply), evalToStore, TT::UPPER);
            return best;
        }

        const PickerHeuristics heur = make_heuristics(pos, ctx, ply);
        MovePicker mp(pos, qply <= 0, ttMove, heur);
        for (Move m = mp.next(); m != 0; m = mp.next()) {
            prefetch_child_bucket(pos, m);
            ++ss.move_count;
            ss.reduction = 0;
            ss.extension = 0;
            ss.move_score = mp.lastScore;

            // Exchange filter, decided before the move is made; promotions pass.
            bool seeFails = false;
            if ((m & FLAG_CAPTURE) && move_promotion(m) == 0) {
                // The picker's exchange value is exact for every capture it
                // scored; only the hash move comes unscored.
                seeFails = mp.lastStage == MovePicker::FORCED ? !Attack::see_ge(pos, m, -90) : mp.lastSee < -90;
            }

            // Only king moves and en passant captures can be illegal here.
            const bool test = (m & FLAG_EN_PASSANT) || type_of_piece(move_piece(m)) == KING;
            const Color mover = Color(pos.side);
            const Position::Undo undo = pos.make_move(m);
            prefetch_child(pos);
            if (test && pos.in_check(mover)) {
                pos.unmake_move(undo);
                continue;
            }
            // A losing capture is still searched when it checks or recaptures.
            if (seeFails && !pos.in_check(Color(pos.side)) &&
                !(heur.prev1 && move_to(m) == move_to(heur.prev1))) {
                pos.unmake_move(undo);
                ++ctx.stats.qsearch_see_prunes;
                continue;
            }

            if (const std::optional<int> r = search_made_move(m, undo)) return *r;
        }
    } else {
        // In check: every legal evasion, the hash move first after none.
        std::vector<unsigned>& list = scratch_moves();
        MoveGen::generate_legal(pos, list);
        MovePicker mp(pos, list, 0, ttMove, make_heuristics(pos, ctx, ply));
        bool searched = false;
        for (Move m = mp.next(); m != 0; m = mp.next()) {
            prefetch_child_bucket(pos, m);
            ++ss.move_count;
            const Position::Undo undo = pos.make_move(m);  // legal by construction
            prefetch_child(pos);
            searched = true;
            if (const std::optional<int> r = search_made_move(m, undo)) return *r;
        }
        if (!searched) return ply - SCORE_MATE;
    }

    TT::store(pos.key, bestMove, 0, score_to_tt(best, ply), evalToStore,
              best <= alpha ? TT::UPPER : TT::EXACT);
    return best;
}

// ---- Main search ----------------------------------------------------------------

int negamax(Position& pos, SearchContext& ctx, int depth, int alpha, int beta, int ply) {
    const bool pvNode = beta - alpha > 1;  // the window as received

    // 1. Entry steps.
    int value;
    if (node_entry(pos, ctx, alpha, beta, ply, EntryKind::Main, pvNode, value)) return value;

    // 2. Own stack entry; a singular-extension search hands its excluded move here.
    SearchStackEntry& ss = ctx.stack[ply];
    const Move excluded = ss.excluded_move;
    ss.excluded_move = 0;
    const bool inCheck = reset_stack_entry(pos, ctx, ply);
    const Color us = Color(pos.side);

    // 3. Out of depth: settle the position in the quiescence search.
    if (depth <= 0) return quiescence(pos, ctx, alpha, beta, ply, 0);

    // 4. Transposition table.
    ++ctx.stats.tt_probes;
    int ttDepth, ttScore, ttEval;
    TT::Bound ttBound;
    const Move ttMove = TT::probe(pos.key, depth, ttDepth, ttScore, ttEval, ttBound);
    ss.tt_move = ttMove;
    if (ttBound != TT::NONE) {
        ++ctx.stats.tt_hits;
        ttScore = score_from_tt(ttScore, ply);
        if (ttDepth >= depth && excluded == 0 &&
            (ttBound == TT::EXACT ||
             (!pvNode && ((ttBound == TT::LOWER && ttScore >= beta) ||
                          (ttBound == TT::UPPER && ttScore <= alpha))))) {
            ++ctx.stats.tt_cutoffs;
            return ttScore;
        }
    }

    // 5. Static evaluation, corrected by the correction histories; none in
    // check. A corrected value that happens to equal SCORE_NONE counts as none.
    int rawEval = SCORE_NONE;
    bool full = false;
    int eval = SCORE_NONE;
    if (!inCheck) {
        rawEval = raw_static_eval(pos, ttEval, alpha, beta, full);
        eval = corrected_eval(pos, ctx, ply, rawEval);
        ss.static_eval = eval;
    }
    const bool evalPresent = eval != SCORE_NONE;

    // 6. Improving: better than the last evaluation of the same side.
    bool improving = false;
    if (evalPresent) {
        for (int p = ply - 2; p >= 0; p -= 2) {
            if (ctx.stack[p].static_eval != SCORE_NONE) {
                improving = eval > ctx.stack[p].static_eval;
                break;
            }
        }
    }

    // 7. Pruning before any move, at non-PV nodes with an evaluation.
    if (!pvNode && evalPresent) {
        // Razoring.
        if (depth == 1 && alpha >= eval + 310) {
            ++ctx.stats.razor_cutoffs;
            return quiescence(pos, ctx, alpha, beta, ply, 0);
        }
        // Reverse futility.
        if (depth <= 8 && in_non_mate_range(beta)) {
            const int margin = 45 * (depth - int(improving)) + 65;
            if (eval - margin >= beta) {
                ++ctx.stats.reverse_futility_cutoffs;
                return eval - margin;
            }
        }
        // Null move, verified at high depth.
        if (!ss.null_move_child && depth >= 3 && eval >= beta && pos.has_non_pawn_material(us) &&
            in_non_mate_range(beta)) {
            int R = 3 + depth / 5 + std::min((eval - beta) / 175, 2);
            R = std::min(R, depth - 1);
            const int nullDepth = depth - 1 - R;
            ++ctx.stats.null_tries;
            const Position::Undo undo = pos.make_null_move();
            ss.move = 0;
            ctx.stack[ply + 1].null_move_child = true;
            const int s = -negamax(pos, ctx, nullDepth, -beta, -beta + 1, ply + 1);
            ctx.stack[ply + 1].null_move_child = false;
            pos.unmake_null_move(undo);
            if (stop_now(ctx)) return 0;
            if (s >= beta) {
                const int result = in_non_mate_range(s) ? s : beta;  // never trust a null-move mate
                if (depth < 7) {
                    ++ctx.stats.null_cutoffs;
                    return result;
                }
                ++ctx.stats.null_verifications;
                ss.null_move_child = true;
                const int v = negamax(pos, ctx, nullDepth, beta - 1, beta, ply);
                ss.null_move_child = false;
                if (ctx.stopped) return 0;
                if (v >= beta) {
                    ++ctx.stats.null_verification_cutoffs;
                    ++ctx.stats.null_cutoffs;
                    return result;
                }
            }
        }
    }

    // 8. Internal iterative reduction without a hash move; singular extension
    // of a hash move that beats every alternative by a margin.
    int singularExt = 0;
    if (ttMove == 0) {
        if (depth >= 4) --depth;
    } else if (excluded == 0 && depth >= 6 && (ttBound == TT::EXACT || ttBound == TT::LOWER) &&
               ttDepth >= depth - 3 && in_non_mate_range(ttScore) && !inCheck) {
        const int sb = int(std::clamp<int64_t>(int64_t(ttScore) - 2 * int64_t(depth), -SCORE_INFINITE + 1,
                                   SCORE_INFINITE));
        const int savedMoveCount = ss.move_count;
        const bool savedNullChild = ss.null_move_child;
        const int savedStaticEval = ss.static_eval;
        const Move savedMove = ss.move;
        const int savedPvLength = ctx.pv_length[ply];
        ss.excluded_move = ttMove;
        const int v = negamax(pos, ctx, (depth - 1) / 2, sb - 1, sb, ply);
        ss.excluded_move = 0;
        ss.move_count = savedMoveCount;
        ss.null_move_child = savedNullChild;
        ss.static_eval = savedStaticEval;
        ss.move = savedMove;
        ctx.pv_length[ply] = savedPvLength;
        ss.in_check = false;
        ctx.pv[ply][ply] = 0;
        if (ctx.stopped) return 0;
        if (v < sb) {
            singularExt = 1;
            if (!pvNode && v < sb - 16 && ss.double_extensions <= 7) singularExt = 2;
        } else if (!pvNode && beta <= sb) {
            return sb;
        }
    }

    // 9. Move loop set-up.
    const PickerHeuristics heur = make_heuristics(pos, ctx, ply);
    MovePicker mp(pos, ttMove, heur);
    int evasionCount = 0;
    if (inCheck && depth <= 6) {
        std::vector<unsigned>& list = scratch_moves();
        MoveGen::generate_legal(pos, list);
        evasionCount = int(std::min<size_t>(list.size(), 3));
    }
    Move quietsTried[MAX_QUIETS_TRIED];
    int quietCount = 0;
    int moveCount = 0;
    int bestScore = -SCORE_INFINITE;
    Move bestMove = 0;
    const int alpha0 = alpha;
    bool anyMoveDone = false;
    bool cutoff = false;
    const SearchStackEntry& parent = ctx.stack[ply - 1];

    // 10. Move loop.
    for (Move m = mp.next(); m != 0; m = mp.next()) {
        // 10.1 Skip the excluded move; start fetching the child's table entry.
        if (m == excluded) continue;
        prefetch_child_bucket(pos, m);

        // 10.2 History values and stack fields.
        const bool quiet = is_quiet(m);
        int hist = 0, quietHist = 0;
        if (quiet) {
            hist = historyHeuristic[us][move_from(m)][move_to(m)];
            quietHist = quiet_history(pos, heur, m);
            ss.move_score = mp.lastScore;
        } else {
            ss.move_score = 0;
        }
        const bool reducible = quiet && depth != 1;
        ss.reduction = 0;
        ss.extension = 0;

        // 10.3 Early exchange pruning, or the legality test.
        const bool needsTest = needs_legality_test(pos, m);
        bool made = false;
        Position::Undo undo;  // filled by the make; read only once the move is made
        if (!pvNode && !inCheck && !needsTest && anyMoveDone) {
            if (!quiet) {
                if (param(g_seeCaptureDepth) >= depth) {
                    const int mover = pos.board[move_from(m)];
                    const int64_t c =
                        captureHistory[us][mover < 0 ? PAWN : type_of_piece(mover)][move_to(m)][victim_type(pos, m)];
                    const int64_t div = param(g_seeCaptHistDiv);
                    const int64_t threshold =
                        -int64_t(param(g_seeCaptureMargin)) * depth - (div > 0 ? divide(c, div) : 0);
                    if (threshold > mp.lastSee) {
                        ++ctx.stats.move_prunes;
                        continue;
                    }
                }
            } else {
                const int guard = param(g_seeEndgameGuard);
                const bool guarded = guard != 0 && guard >= popcount(pos.occupied);
                if (param(g_seeQuietDepth) >= depth && !guarded) {
                    const int reduced =
                        std::max(depth - lmrTable[std::min(depth, 63)][std::min(moveCount + 1, 63)], 1);
                    const int64_t div = param(g_seeQuietHistDiv);
                    const int64_t threshold = -int64_t(param(g_seeQuietMargin)) * reduced -
                                              (div > 0 ? divide(quietHist, div) : 0);
                    // Exchange values stay far inside +-1e9, so the clamp keeps the answer.
                    if (!Attack::see_ge(pos, m, int(std::clamp<int64_t>(threshold, -1000000000, 1000000000)))) {
                        ++ctx.stats.move_prunes;
                        continue;
                    }
                }
            }
            ++moveCount;
            ss.move_count = moveCount;
        } else {
            if (needsTest) {
                undo = pos.make_move(m);
                if (pos.in_check(us)) {
                    pos.unmake_move(undo);
                    continue;
                }
                made = true;
            }
            ++moveCount;
            ss.move_count = moveCount;
        }

        // 10.4 Late-move and futility pruning of quiet moves without an ordering bonus.
        if (quiet && !pvNode && !inCheck && depth <= 8 && ss.move_score < MovePicker::QUIET_BONUS_THRESHOLD) {
            const int base = depth * depth + 4;
            const int limit = improving ? base : (3 * base) / 4;
            if (moveCount > limit && hist < 160 * depth) {
                if (made) pos.unmake_move(undo);
                ++ctx.stats.move_prunes;
                anyMoveDone = true;
                continue;
            }
            if (depth <= 5 && evalPresent && eval + 90 * depth + 120 <= alpha && moveCount > 1 &&
                hist < 1536) {
                if (made) pos.unmake_move(undo);
                ++ctx.stats.futility_prunes;
                anyMoveDone = true;
                continue;
            }
        }

        // 10.5 Make the move.
        if (!made) undo = pos.make_move(m);
        prefetch_child(pos);
        const bool givesCheck = pos.in_check(Color(pos.side));
        ss.move = m;

        // 10.6 Extensions: forced replies in check, then the singular hash move.
        int ext = 0;
        if (inCheck && depth >= 1 && depth <= 6 && evasionCount < 3 &&
            !(!pvNode && (parent.reduction > 0 || parent.extension > 0 ||
                          parent.move_count > depth * depth + 4))) {
            if (m == ttMove || !quiet)
                ext = 1;
            else if (hist > 2560 || m == heur.killer1 || m == heur.killer2 || m == heur.counter ||
                     pvNode || givesCheck || depth <= 4)
                ext = 1;
        } else if (m == ttMove) {
            ext = singularExt;
        }
        ss.extension = ext;
        if (ext > 0) ++ctx.stats.extensions;
        ctx.stack[ply + 1].double_extensions = ss.double_extensions + (ext == 2 ? 1 : 0);

        // 10.7 Child searches: the first move with the full window, the rest
        // with a null window and late-move reductions, re-searched on success.
        const int newDepth = depth - 1 + ext;
        int score;
        if (bestMove == 0) {
            clear_child_pv(ctx, ply);
            score = -negamax(pos, ctx, newDepth, -beta, -alpha, ply + 1);
        } else {
            int r = 0;
            if (reducible && moveCount >= 2) {
                r = lmrTable[std::min(depth, 63)][std::min(moveCount, 63)] - int(pvNode) -
                    int(improving) - int(givesCheck) - std::clamp(quietHist / 8192, -2, 2) -
                    int(m == heur.killer1 || m == heur.killer2 || m == heur.counter);
                r = std::max(r, 0);
                if (r >= depth) r = depth - 1;
            }
            ss.reduction = r;
            score = search_later_child(pos, ctx, newDepth, r, alpha, beta, ply);
        }

        // 10.8 Take the move back.
        pos.unmake_move(undo);
        ss.move = 0;
        if (ctx.stopped) return 0;

        // 10.9 Record the move, keep the best line, cut off.
        if (quiet && quietCount < MAX_QUIETS_TRIED) quietsTried[quietCount++] = m;
        if (score > bestScore) {
            bestScore = score;
            bestMove = m;
            update_pv(ctx, ply, m);
        }
        alpha = std::max(alpha, score);
        if (alpha >= beta) {
            count_cutoff(ctx, m, quiet, moveCount);
            update_move_heuristics(pos, ctx, ply, us, m, depth, true, quietsTried, quietCount);
            cutoff = true;
            break;
        }
        anyMoveDone = true;
    }

    // 11. No move: mate, stalemate, or only the excluded move.
    if (!cutoff && !anyMoveDone) {
        if (excluded != 0) return alpha;
        return inCheck ? ply - SCORE_MATE : 0;
    }

    // 12. Without a cutoff the best quiet move still earns a (halved) bonus.
    if (!cutoff && is_quiet(bestMove))
        update_move_heuristics(pos, ctx, ply, us, bestMove, depth, false, quietsTried, quietCount);

    // 13. Bound.
    const TT::Bound bound = bestScore <= alpha0 ? TT::UPPER : bestScore >= beta ? TT::LOWER : TT::EXACT;

    // 14. A singular-extension search leaves no trace in the tables.
    if (excluded != 0) return bestScore;

    // 15. Correction histories learn from quiet, non-mate, fully evaluated nodes
    // whose bound says something about the raw evaluation.
    if (!inCheck && is_quiet(bestMove) && in_non_mate_range(bestScore) && full &&
        !(bound == TT::LOWER && bestScore <= rawEval) && !(bound == TT::UPPER && bestScore >= rawEval))
        update_corr_hist(pos, ctx, ply, rawEval, bestScore, depth);

    // 16. Store.
    TT::store(pos.key, bestMove, depth, score_to_tt(bestScore, ply), full ? rawEval : SCORE_NONE, bound);
    return bestScore;
}

// ---- Driver -----------------------------------------------------------------

namespace {

// Outcome of one aspiration pass at the root.
struct RootPass {
    bool finished = false;
    int bestScore = -SCORE_INFINITE;
    Move bestMove = 0;
    std::vector<Move> pv;
};

RootPass search_root(Position& pos, SearchContext& ctx, const std::vector<unsigned>& rootMoves, int d,
                     int alpha0, int beta, Move prevBest) {
    RootPass out;
    for (int p = 0; p < MAX_PLY; ++p) {
        ctx.pv_length[p] = p;
        std::fill(&ctx.pv[p][p], &ctx.pv[p][0] + MAX_PLY, Move(0));
    }

    // Root probe: only the move is used.
    ++ctx.stats.tt_probes;
    int ttDepth, ttScore, ttEval;
    TT::Bound ttBound;
    const Move ttMove = TT::probe(pos.key, d, ttDepth, ttScore, ttEval, ttBound);
    if (ttBound != TT::NONE) ++ctx.stats.tt_hits;
    SearchStackEntry& ss = ctx.stack[0];
    const Color us = Color(pos.side);
    ss.move = 0;
    ss.tt_move = ttMove;
    ss.in_check = pos.in_check(us);

    // Root evaluation, uncorrected.
    bool full = false;
    const int rawEval = ss.in_check ? SCORE_NONE : raw_static_eval(pos, ttEval, alpha0, beta, full);
    ss.static_eval = rawEval;
    ss.move_score = 0;
    ss.reduction = 0;
    ss.extension = 0;
    ss.move_count = 0;

    // At the root there is no earlier move, so no counter move either.
    const PickerHeuristics heur = make_heuristics(pos, ctx, 0);
    MovePicker mp(pos, rootMoves, prevBest, ttMove, heur);

    int alpha = alpha0;
    int bestScore = -SCORE_INFINITE;
    Move bestMove = 0;
    int moveNumber = 0;
    for (Move m = mp.next(); m != 0; m = mp.next()) {
        ++moveNumber;
        ss.move_count = moveNumber;
        ss.reduction = 0;
        ss.extension = 0;
        const bool quiet = is_quiet(m);
        int h = 0;
        if (quiet) {
            h = historyHeuristic[us][move_from(m)][move_to(m)];
            ss.move_score = mp.lastScore;
        } else {
            ss.move_score = 0;
        }
        const bool reducible = quiet && d != 1;

        const Position::Undo undo = pos.make_move(m);
        ss.move = m;
        const bool givesCheck = pos.in_check(Color(pos.side));

        int score;
        if (bestMove == 0) {
            clear_child_pv(ctx, 0);
            score = -negamax(pos, ctx, d - 1, -beta, -alpha, 1);
        } else {
            int R = 0;
            if (reducible && moveNumber != 1 && !givesCheck) {
                R = lmrTable[std::min(d, 63)][std::min(moveNumber, 63)] - 1 - std::clamp(h / 8192, -2, 2) -
                    int(m == killerMoves[0][0] || m == killerMoves[0][1]);
                R = std::max(R, 0);
                if (R >= d) R = d - 1;
            }
            ss.reduction = R;
            score = search_later_child(pos, ctx, d - 1, R, alpha, beta, 0);
        }
        pos.unmake_move(undo);
        ss.move = 0;
        if (ctx.stopped) return out;

        if (score > bestScore) {
            bestScore = score;
            bestMove = m;
            update_pv(ctx, 0, m);
        }
        alpha = std::max(alpha, score);
        if (alpha >= beta) {
            count_cutoff(ctx, m, quiet, moveNumber);
            break;
        }
        if (stop_now(ctx)) return out;
    }
    if (bestMove == 0) return out;

    // Keep the principal variation only as far as it is playable.
    Position copy = pos;
    std::vector<unsigned>& legal = scratch_moves();
    for (int i = 0; i < ctx.pv_length[0] && i < MAX_PLY; ++i) {
        const Move m = ctx.pv[0][i];
        if (m == 0) break;
        MoveGen::generate_legal(copy, legal);
        if (std::find(legal.begin(), legal.end(), m) == legal.end()) break;
        out.pv.push_back(m);
        copy.make_move(m);
    }
    if (out.pv.empty()) out.pv.push_back(bestMove);

    const TT::Bound bound = bestScore <= alpha0 ? TT::UPPER : bestScore >= beta ? TT::LOWER : TT::EXACT;
    TT::store(pos.key, bestMove, d, bestScore, full ? rawEval : SCORE_NONE, bound);

    out.finished = true;
    out.bestScore = bestScore;
    out.bestMove = bestMove;
    return out;
}

}  // namespace

SearchResult search_position(Position pos, SearchLimits const& limits, InfoCallback on_info) {
    ensure_ready();

    // The context is large (principal-variation table and stack); one per call.
    SearchContext ctx;
    ctx.limits = limits;
    ctx.on_info = std::move(on_info);
    ctx.start_time = now_ns();
    SearchResult result;

    std::vector<unsigned> rootMoves;
    MoveGen::generate_legal(pos, rootMoves);
    if (rootMoves.empty()) {
        result.score = pos.in_check(Color(pos.side)) ? -SCORE_MATE : 0;
        return result;
    }

    TT::new_search();
    const int maxDepth = limits.depth > 0 ? limits.depth : 64;
    int32_t softLimit = limits.optimum_ms;
    Move prevBest = 0;
    int prevScore = 0;
    int stability = 0;

    for (int d = 1;; ++d) {
        if (stop_now(ctx)) break;
        if (limits.time_managed && d != 1 && elapsed_ms(ctx) >= softLimit) break;

        // Aspiration window around the previous score, widened on failure.
        int alpha0 = -SCORE_INFINITE, beta = SCORE_INFINITE;
        if (d >= 2) {
            alpha0 = prevScore - 16;
            beta = prevScore + 16;
        }
        int delta = 16;
        ctx.seldepth = 0;
        RootPass pass;
        for (;;) {
            pass = search_root(pos, ctx, rootMoves, d, alpha0, beta, prevBest);
            if (!pass.finished) break;
            if (pass.bestScore <= alpha0) {
                alpha0 = std::max(alpha0 - delta, -SCORE_INFINITE);
            } else if (pass.bestScore >= beta) {
                beta = std::min(beta + delta, SCORE_INFINITE);
            } else {
                break;
            }
            delta = std::min(2 * delta, 2000);
            if (beta - alpha0 > 2000) {
                alpha0 = -SCORE_INFINITE;
                beta = SCORE_INFINITE;
            }
        }
        if (!pass.finished) break;

        // The iteration is complete.
        ctx.completed_depth = d;
        ctx.completed_best_move = pass.bestMove;
        ctx.completed_score = pass.bestScore;
        ctx.completed_seldepth = ctx.seldepth;
        ctx.completed_pv = pass.pv;

        if (ctx.on_info) {
            SearchInfo info;
            info.depth = d;
            info.seldepth = ctx.seldepth;
            info.score = pass.bestScore;
            info.nodes = ctx.nodes;
            info.time_ms = elapsed_ms(ctx);
            info.nps = nodes_per_second(info.nodes, info.time_ms);
            info.hashfull = TT::hashfull();
            info.pv = pass.pv;
            info.stats = ctx.stats;
            ctx.on_info(info);
        }

        stability = (d != 1 && pass.bestMove == prevBest) ? std::min(stability + 1, 8) : 0;

        if (limits.time_managed && limits.optimum_ms < limits.maximum_ms) {
            double scale = STABILITY_SCALE[stability];
            if (d >= 6 && stability == 0 && prevBest != 0) scale = 1.3;
            if (d >= 4 && prevScore > pass.bestScore)
                scale *= 1.0 + std::min((double(prevScore) - double(pass.bestScore)) / 250.0, 0.6);
            // Capped in floating point, so the conversion below cannot overflow.
            double soft = double(limits.optimum_ms) * scale;
            if (limits.cap_at_maximum) soft = std::min(soft, double(limits.maximum_ms));
            soft = std::clamp(soft, double(INT32_MIN), double(INT32_MAX));
            softLimit = int32_t(soft);
        }

        const int32_t elapsed = elapsed_ms(ctx);
        if (limits.cap_at_maximum && elapsed >= limits.maximum_ms) break;
        if (limits.time_managed && elapsed >= softLimit) break;

        if (d >= maxDepth) break;  // also keeps d + 1 from overflowing
        prevBest = pass.bestMove;
        prevScore = pass.bestScore;
    }

    // The result is the last completed iteration.
    result.best_move = ctx.completed_best_move;
    result.score = ctx.completed_score;
    result.depth = ctx.completed_depth;
    result.seldepth = ctx.completed_seldepth;
    result.pv = std::move(ctx.completed_pv);
    result.nodes = ctx.nodes;
    result.time_ms = elapsed_ms(ctx);
    result.stopped = ctx.stopped || stop_flag();
    result.stats = ctx.stats;
    return result;
}

}  // namespace Search
