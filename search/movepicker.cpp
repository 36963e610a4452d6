// The staged move picker: scoring of captures, promotions and quiet moves,
// the check tests that order them, and the stage-by-stage selection.
#include "search/movepicker.h"

#include <immintrin.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/movegen.h"
#include "board/pext.h"

namespace {

constexpr int64_t CAPTURE_BASE = 1000000;
constexpr int64_t CHECKING_CAPTURE_BONUS = 275000;
constexpr int64_t BAD_CAPTURE_OFFSET = -200000;
constexpr int CHECK_ALLOWANCE = -80;  // a checking capture losing at most this much stays good
constexpr int64_t QUIET_PROMOTION_BASE = 1000000;
constexpr int64_t CHECKING_QUIET_PROMOTION_BASE = 1275000;
constexpr int64_t FIRST_KILLER_BONUS = 320000;
constexpr int64_t COUNTER_MOVE_BONUS = 280000;
constexpr int64_t SECOND_KILLER_BONUS = 220000;
constexpr int64_t QUIET_CHECK_BONUS = 240000;

// History terms of a quiet score: the butterfly entry and three halved
// continuation entries, each within +-32768.
constexpr int64_t MAX_QUIET_HISTORY = 32768 + 3 * (32768 / 2);
static_assert(MAX_QUIET_HISTORY < MovePicker::QUIET_BONUS_THRESHOLD &&
                  MovePicker::QUIET_BONUS_THRESHOLD <
                      std::min({FIRST_KILLER_BONUS, SECOND_KILLER_BONUS, COUNTER_MOVE_BONUS, QUIET_CHECK_BONUS}),
              "history alone must stay below the threshold, every bonus above it");

// Promotion piece type of a move word; anything that is not a real promotion
// piece counts as none, so a malformed word cannot index past the type tables.
inline int promotion_type(unsigned move) {
    int p = move_promotion(move);
    return p >= KNIGHT && p <= QUEEN ? p : 0;
}

inline bool is_capture(unsigned move) { return (move & FLAG_CAPTURE) != 0; }

// Whether a candidate (0 for a cleared forced move) goes to the capture
// lists; one test of the bits passes over most quiet moves.
inline bool tactical_candidate(unsigned m) {
    return (m & (FLAG_CAPTURE | MOVE_PROMOTION_BITS)) && (is_capture(m) || promotion_type(m) != 0);
}

// History entries stay within +-32768, so the sums fit 32 bits; tables filled
// with anything else must still not overflow a score.
inline int clamp_score(int64_t score) {
    return int(std::clamp<int64_t>(score, INT32_MIN, INT32_MAX));
}

inline void append(MovePicker::ScoredMove* list, uint64_t& count, unsigned move, int score, int see) {
    if (count < MovePicker::CAPACITY) list[count++] = {move, score, see};
}

// Index into a continuation table: [piece][to] of the earlier move, then
// [piece][to] of the quiet move.
inline size_t cont_index(unsigned prev, unsigned move) {
    return ((size_t(move_piece(prev)) * 64 + size_t(move_to(prev))) * 12 + size_t(move_piece(move))) * 64 +
           size_t(move_to(move));
}

inline int promotion_value(unsigned move) {
    const int p = promotion_type(move);
    return p ? 16 * ORDER_VALUE[p] : 0;
}

// Victim and attacker values, capture history and promotion of a capture.
inline int scored_capture(const Position& p, int side, unsigned move, const PickerHeuristics& h) {
    const int to = move_to(move);
    const int mt = type_of_piece(move_piece(move));
    const int onTarget = p.board[to];
    const int vt = (move & FLAG_EN_PASSANT) || onTarget < 0 ? PAWN : type_of_piece(onTarget);
    int64_t score = CAPTURE_BASE + 10 * ORDER_VALUE[vt] - ORDER_VALUE[mt];
    if (h.captureHist) score += h.captureHist[((size_t(side) * 6 + mt) * 64 + to) * 6 + vt] / 4;
    score += promotion_value(move);
    return clamp_score(score);
}

// The check tests of the picker, inlined into its scoring loops.
inline bool direct_check(const MovePicker& mp, unsigned move) {
    const int p = promotion_type(move);
    const int type = p ? p : type_of_piece(move_piece(move));
    return (mp.checkSquares[type] & square_bb(move_to(move))) != 0;
}

// Without a piece already attacking the king, only the moved piece can check
// directly (a slider moving along its own line would have been checking
// before), and another piece only through the vacated square. Promotions
// (a new slider behind the vacated square) and en passant (a second vacated
// square) do not fit that: -1 for them.
// The shortcut holds for the pieces of the side to move (codes above 5 are
// black) and for none when the check squares do not decide: shortcut_codes
// gives that set as bits by piece code, found once per walk and kept in a
// register. Its bit for a piece code is the same as
// `mp.checkShortcut && (code > 5) == (side == BLACK)` (the codes 12 to 15 of
// the four-bit field count as black, as in move_gives_check);
// MovePickerScores.MoveOfTheOtherSideIsTestedInFull tests the codes on either
// side of the boundary.
constexpr uint32_t WHITE_CODES = (1u << 6) - 1;           // 0 to 5
constexpr uint32_t BLACK_CODES = 0xffffu & ~WHITE_CODES;  // 6 to 15
inline uint32_t shortcut_codes(const MovePicker& mp, int side) {
    return !mp.checkShortcut ? 0u : side == BLACK ? BLACK_CODES : WHITE_CODES;
}
// Plain: the caller has seen that the word has no en passant or promotion bits.
template <bool Plain = false>
inline int check_by_shortcut(const MovePicker& mp, uint32_t codes, unsigned move) {
    if (!((codes >> move_piece(move)) & 1) || (!Plain && (move & (FLAG_EN_PASSANT | MOVE_PROMOTION_BITS))))
        return -1;
    if (direct_check(mp, move)) return 1;
    const int from = move_from(move);
    return (mp.discoverers & square_bb(from)) && !(mp.discoverLine[from] & square_bb(move_to(move)));
}

// move_gives_check, through the check squares and discoverers for the moves
// the shortcut decides.
template <bool Plain = false>
inline bool check_for_ordering(const MovePicker& mp, const Position& p, uint32_t codes, unsigned move) {
    const int known = check_by_shortcut<Plain>(mp, codes, move);
    if (known >= 0) return known;
    return direct_check(mp, move) || move_gives_check(p, move);
}

// A quiet move the quiescence search takes: a check that loses no material.
template <bool Plain>
inline bool safe_quiet_check(const MovePicker& mp, const Position& p, uint32_t codes, unsigned move) {
    const int known = check_by_shortcut<Plain>(mp, codes, move);
    return (known >= 0 ? known != 0 : move_gives_check(p, move)) && Attack::see_ge(p, move, 0);
}

// Stands in for a history row whose term is off: adding its zeros costs less
// than testing for the term on every move (`if (table && prev) score += ...`).
// MovePickerScores.QuietBonusesAndHistoryTerms switches the terms off one by
// one.
constexpr int32_t ZERO_ROW[64 * 64] = {};

// What the quiet scores of one node read, gathered once per node into values
// the scoring loop keeps in registers (the list it writes could otherwise
// alias them): the killers and the counter move, the pieces the check
// shortcut holds for, the butterfly row of the side to move and each
// continuation row of an earlier move (ZERO_ROW where the term is off).
struct QuietRows {
    const int32_t* history = ZERO_ROW;
    const int32_t* cont[3] = {ZERO_ROW, ZERO_ROW, ZERO_ROW};
    uint32_t killer1, killer2, counter;
    uint32_t shortcutCodes;

    QuietRows(const MovePicker& mp, const Position& p, const PickerHeuristics& h)
        : killer1(h.killer1), killer2(h.killer2), counter(h.counter), shortcutCodes(shortcut_codes(mp, p.side)) {
        if (h.history) history = h.history + size_t(p.side) * 64 * 64;
        const int32_t* const tables[3] = {h.contHist1, h.contHist2, h.contHist4};
        const uint32_t prev[3] = {h.prev1, h.prev2, h.prev4};
        for (int i = 0; i < 3; ++i)
            if (tables[i] && prev[i]) cont[i] = tables[i] + cont_index(prev[i], 0);
    }
};

// Killer, counter-move, history and check terms of a quiet move.
template <bool Plain>
inline int scored_quiet(const MovePicker& mp, const QuietRows& rows, const Position& p, unsigned move) {
    int64_t score = 0;
    if (move == rows.killer1)
        score = FIRST_KILLER_BONUS;
    else if (move == rows.killer2)
        score = SECOND_KILLER_BONUS;
    else if (move == rows.counter)
        score = COUNTER_MOVE_BONUS;
    const size_t to = move_to(move);
    score += rows.history[size_t(move_from(move)) * 64 + to];
    // Each continuation term is halved on its own, as the tables are summed.
    const size_t pieceTo = size_t(move_piece(move)) * 64 + to;
    for (const int32_t* row : rows.cont) score += row[pieceTo] / 2;
    if (check_for_ordering<Plain>(mp, p, rows.shortcutCodes, move)) score += QUIET_CHECK_BONUS;
    return clamp_score(score);
}

// The vector selection reads eight consecutive entries as three 32-byte
// words, in which entry k's score is dword 3k + 1 of the 24: lane (3k + 1) % 8
// of word (3k + 1) / 8. ENTRY_OF_LANE turns that round (the entry whose score
// lane l holds; 3 being odd, each lane holds one); the blend masks of
// scores_of_eight and the first-entry table of first_best_of_eight are
// computed from it.
static_assert(sizeof(MovePicker::ScoredMove) == 12 && offsetof(MovePicker::ScoredMove, score) == 4,
              "the score gathering assumes the entry layout");
constexpr int32_t ENTRY_OF_LANE[8] = {5, 0, 3, 6, 1, 4, 7, 2};
static_assert(
    [] {
        for (int lane = 0; lane < 8; ++lane)
            if ((3 * ENTRY_OF_LANE[lane] + 1) % 8 != lane) return false;
        return true;
    }(),
    "ENTRY_OF_LANE must match the entry layout");
inline __m256i entry_of_lane() { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ENTRY_OF_LANE)); }

// The lanes whose score comes from word w, as a blend mask.
constexpr int lanes_of_word(int w) {
    int mask = 0;
    for (int lane = 0; lane < 8; ++lane)
        if ((3 * ENTRY_OF_LANE[lane] + 1) / 8 == w) mask |= 1 << lane;
    return mask;
}

// The scores of the eight entries from e, lane l holding entry
// ENTRY_OF_LANE[l]'s: two blends instead of eight scalar reads, the same as
// `lane[l] = e[ENTRY_OF_LANE[l]].score`. The selection tests named at
// first_best_of_eight check it.
inline __m256i scores_of_eight(const MovePicker::ScoredMove* e) {
    const auto* words = reinterpret_cast<const __m256i*>(e);
    const __m256i a = _mm256_loadu_si256(words);
    const __m256i b = _mm256_loadu_si256(words + 1);
    const __m256i c = _mm256_loadu_si256(words + 2);
    constexpr int FROM_B = lanes_of_word(1), FROM_C = lanes_of_word(2);
    return _mm256_blend_epi32(_mm256_blend_epi32(a, b, FROM_B), c, FROM_C);
}

// The scores of the first n (1 to 8) of eight entries, the lanes of the others
// set to the lowest score: the same as scores_of_eight followed by
// `if (ENTRY_OF_LANE[l] >= n) lane[l] = INT32_MIN`. The entries past a list's
// count are stale; MovePickerLists.EntriesPastTheCountAreNeverTaken gives them
// the highest score, which only this mask keeps out.
inline __m256i scores_of_first(const MovePicker::ScoredMove* e, uint64_t n) {
    const __m256i valid = _mm256_cmpgt_epi32(_mm256_set1_epi32(int(n)), entry_of_lane());
    return _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MIN), scores_of_eight(e), valid);
}

// The highest of eight scores, in every lane.
inline __m256i top_of(__m256i scores) {
    __m128i m = _mm_max_epi32(_mm256_castsi256_si128(scores), _mm256_extracti128_si256(scores, 1));
    m = _mm_max_epi32(m, _mm_shuffle_epi32(m, 0x4e));
    m = _mm_max_epi32(m, _mm_shuffle_epi32(m, 0xb1));
    return _mm256_broadcastd_epi32(m);
}

// Index of the first entry with the highest score among first .. first + n - 1,
// for n from 1 to 8, with eight entries inside the list array: one group of
// eight, no loop. (Should every score be the lowest possible, the masked
// lanes match too, but the entries in use come first.) The same as the plain
// scan `best = 0; for (k = 1; k < n; ++k) if (e[k].score > e[best].score) best = k;`,
// which keeps the first of equal scores. MovePickerLists.SelectionOfLongListsFollowsTheRule
// and MovePickerLists.EntriesPastTheCountAreNeverTaken compare the picker's
// choices with that scan over random lists with many ties.
inline uint64_t first_best_of_eight(const MovePicker::ScoredMove* list, uint64_t first, uint64_t n) {
    // The lowest entry whose lane is set in a mask of lanes, read from a
    // table in place of reordering the lanes.
    static constexpr auto FIRST_ENTRY = [] {
        std::array<uint8_t, 256> t{};
        for (unsigned mask = 1; mask < 256; ++mask) {
            int entry = 8;
            for (int lane = 0; lane < 8; ++lane)
                if (mask >> lane & 1) entry = std::min(entry, ENTRY_OF_LANE[lane]);
            t[mask] = uint8_t(entry);
        }
        return t;
    }();
    const __m256i scores = scores_of_first(list + first, n);
    const __m256i hit = _mm256_cmpeq_epi32(scores, top_of(scores));
    return first + FIRST_ENTRY[unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(hit)))];
}

// Index of the first entry with the highest score among first .. first + n - 1,
// for n > 8 and whole groups of eight inside the list array (the last group
// may reach past the entries in use: its extra lanes are masked). One pass:
// each lane keeps its highest score and the first group that held it (a
// strictly greater score moves it on), and of the lanes that hold the highest
// of all the one with the lowest entry wins. The same as the plain scan of
// first_best_of_eight over all n entries, and tested against it by the same
// two tests.
inline uint64_t first_best_wide(const MovePicker::ScoredMove* list, uint64_t first, uint64_t n) {
    const MovePicker::ScoredMove* const base = list + first;
    const __m256i EIGHT = _mm256_set1_epi32(8);
    __m256i best = scores_of_eight(base);
    __m256i bestGroup = _mm256_setzero_si256();  // offset of the group, by lane
    __m256i group = _mm256_setzero_si256();
    const auto take = [&](__m256i scores) {
        group = _mm256_add_epi32(group, EIGHT);
        bestGroup = _mm256_blendv_epi8(bestGroup, group, _mm256_cmpgt_epi32(scores, best));
        best = _mm256_max_epi32(best, scores);
    };
    uint64_t i = 8;
    for (; i + 8 <= n; i += 8) take(scores_of_eight(base + i));
    if (i < n) take(scores_of_first(base + i, n - i));
    const __m256i atTop = _mm256_cmpeq_epi32(best, top_of(best));
    const __m256i entry = _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX),
                                             _mm256_add_epi32(bestGroup, entry_of_lane()), atTop);
    __m128i m = _mm_min_epi32(_mm256_castsi256_si128(entry), _mm256_extracti128_si256(entry, 1));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0x4e));
    m = _mm_min_epi32(m, _mm_shuffle_epi32(m, 0xb1));
    return first + unsigned(_mm_cvtsi128_si32(m));
}

// One selection step: the first entry with the highest score from the cursor
// on is swapped to the cursor and taken. The array holds room entries, which
// bounds the reads of the vector scans; the short rests of a list take one
// group of eight, whose fixed shape leaves no loop exit to mispredict.
// Inlined into next() through select_best, where the score and exchange
// value land straight in the picker's fields.
inline unsigned select_from(MovePicker::ScoredMove* list, uint64_t& cursor, uint64_t count, uint64_t room,
                            int& score, int& see) {
    if (cursor >= count) return 0;
    MovePicker::ScoredMove* best = list + cursor;
    const uint64_t n = count - cursor;
    if (n <= 8 && cursor + 8 <= room) {
        best = list + first_best_of_eight(list, cursor, n);
    } else if (n > 8 && cursor + ((n + 7) & ~uint64_t(7)) <= room) {
        best = list + first_best_wide(list, cursor, n);
    } else {
        // The best score is kept in a register and the scan has no branch on
        // the scores (their order is unpredictable): conditional moves only,
        // two entries per round to halve the loop's own work. The same as
        // `if (s > bestScore) { best = entry; bestScore = s; }`, checked where
        // it runs: at the end of a full array by
        // MovePickerLists.EntriesPastTheCountAreNeverTaken, and for pick_next
        // by MovePickerLists.SelectionTakesFirstHighestAndSwapsItForward.
        int32_t bestScore = best->score;
        const MovePicker::ScoredMove* const end = list + count;
        MovePicker::ScoredMove* e = best + 1;
        const auto consider = [&](MovePicker::ScoredMove* entry) {
            const int32_t s = entry->score;
            const bool better = s > bestScore;
            best = better ? entry : best;
            bestScore = better ? s : bestScore;
        };
        for (; e + 1 < end; e += 2) {
            consider(e);
            consider(e + 1);
        }
        if (e < end) consider(e);
    }
    std::swap(list[cursor], *best);
    const MovePicker::ScoredMove& chosen = list[cursor++];
    score = chosen.score;
    see = chosen.see;
    return chosen.move;
}

// The selection step on one of the picker's own lists: the room is the array's
// own extent, so the vector scans' reads past the count stay inside it.
template <uint64_t N>
inline unsigned select_best(MovePicker::ScoredMove (&list)[N], uint64_t& cursor, uint64_t count, int& score,
                            int& see) {
    return select_from(list, cursor, count, N, score, see);
}

// Scores one capture or promotion and files it as good or bad. Inlined into
// the capture walk, which passes the side to move and the shortcut's pieces
// as values.
inline void file_tactical(MovePicker& mp, const Position& p, int side, uint32_t codes, unsigned move,
                          const PickerHeuristics& h) {
    const bool checks = check_for_ordering(mp, p, codes, move);
    if (!is_capture(move)) {
        const int64_t base = checks ? CHECKING_QUIET_PROMOTION_BASE : QUIET_PROMOTION_BASE;
        append(mp.goodCaptures, mp.goodCount, move, clamp_score(base + promotion_value(move)), 0);
        return;
    }
    const int64_t score = int64_t(scored_capture(p, side, move, h)) + (checks ? CHECKING_CAPTURE_BONUS : 0);
    const int see = Attack::see_gain(p, move);
    if (see >= 0 || (checks && see >= CHECK_ALLOWANCE))
        append(mp.goodCaptures, mp.goodCount, move, clamp_score(score), see);
    else
        append(mp.badCaptures, mp.badCount, move, clamp_score(score + BAD_CAPTURE_OFFSET), see);
}

// Whether move is among the quiet moves of p, found by listing those of its
// origin square alone.
bool is_listed_quiet(Position& p, unsigned move) {
    if (p.board[move_from(move)] != int(move_piece(move))) return false;
    unsigned own[MovePicker::CAPACITY];
    const uint64_t n = MoveGen::generate_quiet(p, own, MovePicker::CAPACITY, square_bb(move_from(move)));
    return MovePicker::contains_move(own, n, move);
}

}  // namespace

bool move_gives_check(const Position& pos, unsigned move) {
    const int pc = move_piece(move);
    const int us = pc > 5 ? BLACK : WHITE;
    const int k = pos.king_square[us ^ 1];
    if (k < 0) return false;

    const int from = move_from(move);
    const int to = move_to(move);
    Bitboard occ = (pos.occupied & ~square_bb(from)) | square_bb(to);
    if (move & FLAG_EN_PASSANT) occ &= ~square_bb(en_passant_victim(us, to));

    Bitboard own[5];
    for (int t = PAWN; t <= QUEEN; ++t) own[t] = pos.pieces[us * 6 + t];
    const int mt = type_of_piece(pc);
    if (const int p = promotion_type(move)) {
        own[PAWN] &= ~square_bb(from);
        own[p] |= square_bb(to);
    } else if (mt != KING) {
        own[mt] = (own[mt] & ~square_bb(from)) | square_bb(to);
    }

    const Bitboard pawnSources = us == WHITE ? Attack::pawnAttacksBlack[k] : Attack::pawnAttacksWhite[k];
    if (own[PAWN] & pawnSources) return true;
    if (own[KNIGHT] & Attack::knightAttacks[k]) return true;
    if ((own[BISHOP] | own[QUEEN]) & PEXT::bishop_attacks_pext(k, occ)) return true;
    if ((own[ROOK] | own[QUEEN]) & PEXT::rook_attacks_pext(k, occ)) return true;
    return false;
}

MovePicker::MovePicker(Position& p, unsigned ttMove, const PickerHeuristics& h) {
    build_main_picker(p, ttMove, h);
}

MovePicker::MovePicker(Position& p, bool quietChecks, unsigned ttMove, const PickerHeuristics& h) {
    build_qsearch_picker(p, quietChecks, ttMove, h);
}

MovePicker::MovePicker(Position& p, const std::vector<unsigned>& list, unsigned first, unsigned second,
                       const PickerHeuristics& h) {
    build_root_picker(p, list, first, second, h);
}

// The move and list arrays are not cleared, as clearing ~10 KB per node would
// cost more than the node: only their first count entries are ever used. The
// vector selection scans do read the stale entries of a list past its count,
// up to the end of the last group of eight from the cursor, and mask them out.
void MovePicker::initialize(Position& p, const PickerHeuristics& h, bool qsearch, bool quietChecks) {
    pos = &p;
    heur = h;
    std::fill(std::begin(checkSquares), std::end(checkSquares), Bitboard(0));
    discoverers = 0;
    checkShortcut = false;
    qsearchMode = qsearch;
    includeQuietChecks = quietChecks;
    stage = FORCED;
    lastStage = DONE;
    lastScore = 0;
    lastSee = 0;
    moveCount = 0;
    capturesPrepared = false;
    quietsPrepared = false;
    quietsListed = true;
    forcedMoves[0] = forcedMoves[1] = 0;
    forcedCount = forcedCursor = 0;
    goodCount = goodCursor = 0;
    quietCount = quietCursor = 0;
    badCount = badCursor = 0;
}

// The list stages skip the forced moves: their candidate entries are cleared
// once here (the stages skip 0) rather than compared on every walk.
void MovePicker::clear_forced_candidates() {
    if (forcedCount == 0) return;
    // The forced moves are read once: the stores into the candidates could
    // otherwise alias them. A single forced move stands in both places (a 0
    // entry it would match is 0 already).
    const unsigned first = forcedMoves[0];
    const unsigned second = forcedCount > 1 ? forcedMoves[1] : first;
    for (uint64_t i = 0; i < moveCount; ++i)
        if (moves[i] == first || moves[i] == second) moves[i] = 0;
}

// The captures and promotions are listed first (refreshing the pin cache as
// the full list would) and the quiet moves only when their stage is reached.
// A position whose full list might not fit is listed whole, as that list
// would be cut.
void MovePicker::list_tactical_first(Position& p) {
    quietsListed = !MoveGen::fits_whole_list(p, CAPACITY);
    moveCount = quietsListed ? MoveGen::generate_pseudo_legal(p, moves, CAPACITY)
                             : MoveGen::generate_tactical(p, moves, CAPACITY);
}

bool MovePicker::listed(Position& p, unsigned move) const {
    if (contains_move(moves, moveCount, move)) return true;
    return !quietsListed && !tactical_candidate(move) && is_listed_quiet(p, move);
}

void MovePicker::build_main_picker(Position& p, unsigned ttMove, const PickerHeuristics& h) {
    initialize(p, h, false, false);
    list_tactical_first(p);
    if (ttMove != 0 && listed(p, ttMove)) add_forced_move(ttMove);
    clear_forced_candidates();
}

void MovePicker::build_qsearch_picker(Position& p, bool quietChecks, unsigned ttMove, const PickerHeuristics& h) {
    initialize(p, h, true, quietChecks);
    // Without quiet checks only the captures and promotions are ever used.
    if (quietChecks)
        list_tactical_first(p);
    else
        moveCount = MoveGen::generate_tactical(p, moves, CAPACITY);
    if (ttMove == 0 || !listed(p, ttMove)) return;
    if (tactical_candidate(ttMove) || (quietChecks && move_gives_check(p, ttMove) && Attack::see_ge(p, ttMove, 0)))
        add_forced_move(ttMove);
    clear_forced_candidates();
}

void MovePicker::build_root_picker(Position& p, const std::vector<unsigned>& list, unsigned first, unsigned second,
                                   const PickerHeuristics& h) {
    initialize(p, h, false, false);
    moveCount = std::min<uint64_t>(list.size(), CAPACITY);
    std::copy_n(list.begin(), moveCount, moves);
    if (first != 0 && contains_move(moves, moveCount, first)) add_forced_move(first);
    if (second != 0 && second != first && contains_move(moves, moveCount, second)) add_forced_move(second);
    clear_forced_candidates();
}

bool MovePicker::contains_move(const unsigned* list, uint64_t count, unsigned move) {
    for (uint64_t i = 0; i < count; ++i)
        if (list[i] == move) return true;
    return false;
}

void MovePicker::add_forced_move(unsigned move) {
    if (move == 0) return;
    if (forcedCount == 0) {
        forcedMoves[forcedCount++] = move;
    } else if (forcedCount == 1 && move != forcedMoves[0]) {
        forcedMoves[forcedCount++] = move;
    }
}

// A slot without a forced move holds 0, which no move equals.
bool MovePicker::is_forced(unsigned move) const {
    return move != 0 && (move == forcedMoves[0] || move == forcedMoves[1]);
}

unsigned MovePicker::pick_next(ScoredMove* list, uint64_t& cursor, uint64_t count, int& score,
                               int& see) {
    // Only the entries up to count are known to exist.
    return select_from(list, cursor, count, count, score, see);
}

unsigned MovePicker::next() {
    switch (stage) {
        case FORCED:
            if (forcedCursor < forcedCount) {
                lastStage = FORCED;
                lastScore = 0;
                lastSee = 0;
                return forcedMoves[forcedCursor++];
            }
            stage = GOOD_CAPTURES;
            [[fallthrough]];
        case GOOD_CAPTURES:
            if (!capturesPrepared) prepare_capture_stage();
            if (goodCursor < goodCount) {
                lastStage = GOOD_CAPTURES;
                return select_best(goodCaptures, goodCursor, goodCount, lastScore, lastSee);
            }
            stage = QUIETS;
            [[fallthrough]];
        case QUIETS:
            if (!quietsPrepared) prepare_quiet_stage();
            if (quietCursor < quietCount) {
                lastStage = QUIETS;
                return select_best(quiets, quietCursor, quietCount, lastScore, lastSee);
            }
            stage = BAD_CAPTURES;
            [[fallthrough]];
        case BAD_CAPTURES:
            if (!capturesPrepared) prepare_capture_stage();
            if (badCursor < badCount) {
                lastStage = BAD_CAPTURES;
                return select_best(badCaptures, badCursor, badCount, lastScore, lastSee);
            }
            stage = DONE;
            [[fallthrough]];
        default:
            lastStage = DONE;
            lastScore = 0;
            lastSee = 0;
            return 0;
    }
}

void MovePicker::compute_check_squares(const Position& p) {
    discoverers = 0;
    checkShortcut = true;
    const int k = p.king_square[p.side ^ 1];
    if (k < 0) {  // no king: nothing checks, as move_gives_check says
        std::fill(std::begin(checkSquares), std::end(checkSquares), Bitboard(0));
        return;
    }
    checkSquares[KING] = 0;
    // By the side to move, the table of the squares from which its pawns
    // attack: a load where a test of the side would be a branch that half
    // the nodes mispredict. The same as `p.side == WHITE ?
    // pawnAttacksBlack[k] : pawnAttacksWhite[k]`; MoveGivesCheck.AgreesWithPlayingTheMove
    // compares the checks found with playing the moves, for both sides.
    static constexpr const Bitboard* PAWN_SOURCES[2] = {Attack::pawnAttacksBlack, Attack::pawnAttacksWhite};
    checkSquares[PAWN] = PAWN_SOURCES[p.side][k];
    checkSquares[KNIGHT] = Attack::knightAttacks[k];
    checkSquares[BISHOP] = PEXT::bishop_attacks_pext(k, p.occupied);
    checkSquares[ROOK] = PEXT::rook_attacks_pext(k, p.occupied);
    checkSquares[QUEEN] = checkSquares[BISHOP] | checkSquares[ROOK];

    // With the enemy king already attacked (no legal position) a move can
    // check through pieces it does not touch: leave that to the full test.
    const Bitboard* own = p.pieces + 6 * p.side;
    const Bitboard diagonal = own[BISHOP] | own[QUEEN];
    const Bitboard straight = own[ROOK] | own[QUEEN];
    if ((own[PAWN] & checkSquares[PAWN]) | (own[KNIGHT] & checkSquares[KNIGHT]) |
        (diagonal & checkSquares[BISHOP]) | (straight & checkSquares[ROOK])) {
        checkShortcut = false;
        return;
    }

    // Own sliders seen from the king through own pieces; a line holding a
    // single piece (necessarily own) makes that piece a discoverer.
    const Bitboard theirs = p.occupancy[p.side ^ 1];
    const auto note_line = [&](Bitboard between, int slider) {
        const Bitboard blockers = between & p.occupied;
        if (blockers & (blockers - 1)) return;
        discoverers |= blockers;
        discoverLine[lsb(blockers)] = between | square_bb(slider);
    };
    for (Bitboard b = PEXT::bishop_attacks_pext(k, theirs) & diagonal; b;) {
        const int s = pop_lsb(b);
        note_line(PEXT::bishop_attacks_pext(k, square_bb(s)) & PEXT::bishop_attacks_pext(s, square_bb(k)), s);
    }
    for (Bitboard b = PEXT::rook_attacks_pext(k, theirs) & straight; b;) {
        const int s = pop_lsb(b);
        note_line(PEXT::rook_attacks_pext(k, square_bb(s)) & PEXT::rook_attacks_pext(s, square_bb(k)), s);
    }
}

void MovePicker::add_capture_or_promotion_move(const Position& p, unsigned move, const PickerHeuristics& h) {
    file_tactical(*this, p, p.side, shortcut_codes(*this, p.side), move, h);
}

void MovePicker::prepare_capture_stage() {
    if (capturesPrepared || !pos) return;
    compute_check_squares(*pos);
    const Position& p = *pos;
    const int side = p.side;
    const uint32_t codes = shortcut_codes(*this, side);
    for (uint64_t i = 0; i < moveCount; ++i) {
        const unsigned m = moves[i];
        if (tactical_candidate(m)) file_tactical(*this, p, side, codes, m, heur);
    }
    capturesPrepared = true;
}

void MovePicker::prepare_quiet_stage() {
    if (quietsPrepared || !pos) return;
    // The direct-check shortcut of the quiet scores needs the check squares.
    if (!capturesPrepared) compute_check_squares(*pos);
    if (!qsearchMode || includeQuietChecks) {
        if (!quietsListed) {
            // The captures are filed from the list this replaces.
            if (!capturesPrepared) prepare_capture_stage();
            // The quiescence search takes only checks: where the check
            // squares and discoverers decide them, only the moves that reach
            // a check square or uncover a line are listed.
            const QuietTargets checks{checkSquares, discoverers, discoverLine};
            const bool onlyChecks = qsearchMode && checkShortcut;
            moveCount = MoveGen::generate_quiet(*pos, moves, CAPACITY, ALL_SQUARES, onlyChecks ? &checks : nullptr);
            quietsListed = true;
            clear_forced_candidates();
        }
        const QuietRows rows(*this, *pos, heur);
        const Position& p = *pos;
        // The counts are kept in registers while the list is written; the
        // quiescence walk is a loop of its own so that the main one tests
        // no mode per move.
        uint64_t n = quietCount;
        // The list starts empty and takes at most one entry per candidate, of
        // which there are at most CAPACITY: it cannot fill up, so the walk
        // needs no test per entry (the bound below only makes that certain).
        const uint64_t count = std::min(moveCount, CAPACITY - n);
        // Most quiet words carry none of the capture, en passant and
        // promotion bits; one test finds them, and their check tests skip the
        // format test. The rest are filed by the full rules.
        const auto walk = [&](auto&& take) {
            for (uint64_t i = 0; i < count; ++i) {
                const unsigned m = moves[i];
                if (!(m & (FLAG_CAPTURE | FLAG_EN_PASSANT | MOVE_PROMOTION_BITS))) {
                    if (m != 0) take(m, std::true_type{});
                } else if (!is_capture(m) && promotion_type(m) == 0) {
                    take(m, std::false_type{});
                }
            }
        };
        if (!qsearchMode) {
            walk([&](unsigned m, auto plain) {
                quiets[n++] = {m, scored_quiet<decltype(plain)::value>(*this, rows, p, m), 0};
            });
        } else {
            walk([&](unsigned m, auto plain) {
                constexpr bool Plain = decltype(plain)::value;
                if (safe_quiet_check<Plain>(*this, p, rows.shortcutCodes, m))
                    quiets[n++] = {m, scored_quiet<Plain>(*this, rows, p, m), 0};
            });
        }
        quietCount = n;
    }
    quietsPrepared = true;
}
