// Tests of the move picker against a model of its stages and scores written
// here (checks found by playing the move), and of move_gives_check.
#include "search/movepicker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "board/attack.h"
#include "board/movegen.h"
#include "tests/test_util.h"

namespace {

// Written out here rather than taken from the header, so a wrong constant fails.
constexpr int VALUE[6] = {100, 320, 330, 500, 900, 20000};

// The perft roots, whose first plies give varied nodes.
const auto& ROOT_FENS = vwtest::PERFT_POSITIONS;

using vwtest::init_tables;
Position load(const std::string& fen) { return vwtest::from_fen(fen); }

bool is_capture(Move m) { return (m & FLAG_CAPTURE) != 0; }
bool is_castling(Move m) { return (m & FLAG_CASTLING) != 0; }
int mover_color(Move m) { return move_piece(m) > 5 ? BLACK : WHITE; }

// Check oracle: play the move and ask the board. A castling contributes only
// its king's step, so only the king is relocated for it.
bool really_gives_check(Position& pos, Move m) {
    const Color them = Color(mover_color(m) ^ 1);
    if (is_castling(m)) {
        Position copy = pos;
        copy.remove_piece_at_square(move_piece(m), move_from(m));
        copy.set_piece_at_square(move_piece(m), move_to(m));
        return copy.in_check(them);
    }
    Position::Undo u = pos.make_move(m);
    const bool check = pos.in_check(them);
    pos.unmake_move(u);
    return check;
}

Move find_move(Position& pos, const std::string& uci) {
    std::vector<unsigned> moves;
    MoveGen::generate_pseudo_legal(pos, moves);
    for (unsigned m : moves)
        if (move_to_uci(m) == uci) return m;
    ADD_FAILURE() << "no move " << uci;
    return 0;
}

// ---- History tables the picker reads, filled with random values -----------

struct Tables {
    int32_t history[2][64][64];
    int32_t capture[2][6][64][6];
    int32_t cont[3][12][64][12][64];
};

Tables& tables() {
    static Tables* t = [] {
        auto* tb = new Tables;
        std::mt19937 rng(12345);
        std::uniform_int_distribution<int32_t> dist(-32768, 32768);
        for (auto& a : tb->history) for (auto& b : a) for (auto& v : b) v = dist(rng);
        for (auto& a : tb->capture) for (auto& b : a) for (auto& c : b) for (auto& v : c) v = dist(rng);
        for (auto& a : tb->cont) for (auto& b : a) for (auto& c : b) for (auto& d : c) for (auto& v : d) v = dist(rng);
        return tb;
    }();
    return *t;
}

PickerHeuristics with_tables(PickerHeuristics h) {
    Tables& t = tables();
    h.history = &t.history[0][0][0];
    h.captureHist = &t.capture[0][0][0][0];
    h.contHist1 = &t.cont[0][0][0][0][0];
    h.contHist2 = &t.cont[1][0][0][0][0];
    h.contHist4 = &t.cont[2][0][0][0][0];
    return h;
}

// ---- Reference model of the ordering ----------------------------------------

struct Entry {
    Move move;
    uint32_t stage;
    int score;
    int see;
    bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << move_to_uci(e.move) << "/" << e.stage << "/" << e.score << "/" << e.see;
}

int ref_capture_score(const Position& pos, Move m, const PickerHeuristics& h) {
    const int to = move_to(m), mt = move_piece(m) % 6;
    const int vt = (m & FLAG_EN_PASSANT) || pos.board[to] < 0 ? 0 : pos.board[to] % 6;
    int s = 1000000 + 10 * VALUE[vt] - VALUE[mt];
    if (h.captureHist) s += tables().capture[pos.side][mt][to][vt] / 4;
    if (move_promotion(m)) s += 16 * VALUE[move_promotion(m)];
    return s;
}

int ref_quiet_score(Position& pos, Move m, const PickerHeuristics& h) {
    int s = m == h.killer1 ? 320000 : m == h.killer2 ? 220000 : m == h.counter ? 280000 : 0;
    const int pc = move_piece(m), to = move_to(m);
    if (h.history) s += tables().history[pos.side][move_from(m)][to];
    const Move prev[3] = {h.prev1, h.prev2, h.prev4};
    const int32_t* ptr[3] = {h.contHist1, h.contHist2, h.contHist4};
    for (int i = 0; i < 3; ++i)
        if (ptr[i] && prev[i]) s += tables().cont[i][move_piece(prev[i])][move_to(prev[i])][pc][to] / 2;
    if (really_gives_check(pos, m)) s += 240000;
    return s;
}

enum class Mode { MAIN, QSEARCH, QSEARCH_CHECKS, LIST };

// The selection rule written plainly: the first entry with the highest score
// from the cursor on, swapped whole with the entry at the cursor.
template <class E>
std::vector<E> drain_by_rule(std::vector<E> list) {
    std::vector<E> taken;
    for (size_t c = 0; c < list.size(); ++c) {
        size_t best = c;
        for (size_t i = c + 1; i < list.size(); ++i)
            if (list[i].score > list[best].score) best = i;
        std::swap(list[c], list[best]);
        taken.push_back(list[c]);
    }
    return taken;
}

// The expected sequence: forced moves, then each stage's entries (filed in
// candidate order) consumed by "first highest score, swap to the front".
std::vector<Entry> expected_sequence(Position& pos, const std::vector<unsigned>& cands,
                                     const std::vector<Move>& forced, Mode mode, const PickerHeuristics& h) {
    std::vector<Entry> out;
    for (Move f : forced) out.push_back({f, MovePicker::FORCED, 0, 0});
    std::vector<Entry> lists[4];
    for (Move m : cands) {
        if (std::find(forced.begin(), forced.end(), m) != forced.end()) continue;
        if (is_capture(m)) {
            const bool check = really_gives_check(pos, m);
            const int score = ref_capture_score(pos, m, h) + (check ? 275000 : 0);
            const int see = Attack::see_gain(pos, m);
            if (see >= 0 || (check && see >= -80))
                lists[MovePicker::GOOD_CAPTURES].push_back({m, MovePicker::GOOD_CAPTURES, score, see});
            else
                lists[MovePicker::BAD_CAPTURES].push_back({m, MovePicker::BAD_CAPTURES, score - 200000, see});
        } else if (move_promotion(m)) {
            const int base = really_gives_check(pos, m) ? 1275000 : 1000000;
            lists[MovePicker::GOOD_CAPTURES].push_back(
                {m, MovePicker::GOOD_CAPTURES, base + 16 * VALUE[move_promotion(m)], 0});
        } else if (mode == Mode::MAIN || mode == Mode::LIST ||
                   (mode == Mode::QSEARCH_CHECKS && really_gives_check(pos, m) && Attack::see_ge(pos, m, 0))) {
            lists[MovePicker::QUIETS].push_back({m, MovePicker::QUIETS, ref_quiet_score(pos, m, h), 0});
        }
    }
    for (uint32_t st : {MovePicker::GOOD_CAPTURES, MovePicker::QUIETS, MovePicker::BAD_CAPTURES})
        for (const Entry& e : drain_by_rule(lists[st])) out.push_back(e);
    return out;
}

std::vector<Entry> drain(MovePicker& mp) {
    std::vector<Entry> out;
    while (Move m = mp.next()) {
        out.push_back({m, mp.lastStage, mp.lastScore, mp.lastSee});
        if (out.size() > 600) break;  // a runaway picker
    }
    EXPECT_EQ(mp.lastStage, uint32_t(MovePicker::DONE));
    EXPECT_EQ(mp.lastScore, 0);
    EXPECT_EQ(mp.lastSee, 0);
    EXPECT_EQ(mp.next(), 0u);
    EXPECT_EQ(mp.next(), 0u);
    return out;
}

// ---- Test positions: the perft roots and a few plies below them ----------------

struct Node {
    std::string fen;
    Position pos;
    Move prev1 = 0, prev2 = 0;
};

const std::vector<Node>& nodes() {
    static const std::vector<Node> all = [] {
        std::vector<Node> v;
        for (const char* fen : ROOT_FENS) {
            Position root = load(fen);
            v.push_back({fen, root, 0, 0});
            std::vector<unsigned> first;
            MoveGen::generate_legal(root, first);
            for (Move m1 : first) {
                Position child = root;
                child.make_move(m1);
                v.push_back({std::string(fen) + " " + move_to_uci(m1), child, m1, 0});
                std::vector<unsigned> second;
                MoveGen::generate_legal(child, second);
                if (second.empty()) continue;
                const std::string childName = v.back().fen;
                for (size_t i : {size_t(0), second.size() / 2, second.size() - 1}) {
                    Position grand = child;
                    grand.make_move(second[i]);
                    const std::string grandName = childName + " " + move_to_uci(second[i]);
                    v.push_back({grandName, grand, second[i], m1});
                    // One ply more: the last move and every double push, which
                    // brings en passant captures into play.
                    std::vector<unsigned> third;
                    MoveGen::generate_legal(grand, third);
                    for (size_t j = 0; j < third.size(); ++j) {
                        if (j + 1 != third.size() && !(third[j] & FLAG_DOUBLE_PUSH)) continue;
                        Position next = grand;
                        next.make_move(third[j]);
                        v.push_back({grandName + " " + move_to_uci(third[j]), next, third[j], second[i]});
                    }
                }
            }
        }
        return v;
    }();
    return all;
}

// Killers and counter drawn from the node's own quiet moves, sometimes coinciding.
PickerHeuristics heuristics_for(const Node& n, const std::vector<unsigned>& moves, size_t salt) {
    PickerHeuristics h;
    h.prev1 = n.prev1;
    h.prev2 = n.prev2;
    h.prev4 = n.prev1 ^ n.prev2 ? n.prev2 : 0;
    std::vector<Move> quiet;
    for (Move m : moves)
        if (!is_capture(m) && !move_promotion(m)) quiet.push_back(m);
    if (!quiet.empty()) {
        h.killer1 = quiet[(salt * 7) % quiet.size()];
        h.killer2 = quiet[(salt * 3 + 1) % quiet.size()];
        h.counter = salt % 3 == 0 ? h.killer2 : salt % 3 == 1 ? h.killer1 : quiet[(salt * 5 + 2) % quiet.size()];
    }
    return h;
}

// A move word that no generator produces for this list: a generated word with a
// wrong double-push flag.
Move stale_move(const std::vector<unsigned>& moves) { return moves.empty() ? 0x1234u : moves[0] ^ FLAG_DOUBLE_PUSH; }

std::vector<Move> tt_choices(const std::vector<unsigned>& g) {
    std::vector<Move> c = {0, stale_move(g)};
    auto first_where = [&](auto pred) {
        for (Move m : g)
            if (pred(m)) {
                c.push_back(m);
                return;
            }
    };
    first_where([](Move m) { return is_capture(m) && !move_promotion(m); });
    first_where([](Move m) { return !is_capture(m) && !move_promotion(m) && !is_castling(m); });
    first_where([](Move m) { return move_promotion(m) != 0; });
    first_where([](Move m) { return is_castling(m); });
    if (!g.empty()) c.push_back(g.back());
    return c;
}

// ---- Order and completeness of every picker mode over the test positions ----

TEST(MovePickerOrder, MainSearchReturnsEveryMoveOnceInStageAndScoreOrder) {
    size_t salt = 0;
    for (const Node& n : nodes()) {
        Position pos = n.pos;
        std::vector<unsigned> gen;
        MoveGen::generate_pseudo_legal(pos, gen);
        for (Move tt : tt_choices(gen)) {
            for (bool withTables : {true, false}) {
                const PickerHeuristics h =
                    withTables ? with_tables(heuristics_for(n, gen, ++salt)) : heuristics_for(n, gen, ++salt);
                std::vector<Move> forced;
                if (tt && std::find(gen.begin(), gen.end(), tt) != gen.end()) forced.push_back(tt);
                const std::vector<Entry> want = expected_sequence(pos, gen, forced, Mode::MAIN, h);
                MovePicker mp(pos, tt, h);
                ASSERT_EQ(drain(mp), want) << n.fen << " tt " << move_to_uci(tt);
            }
        }
    }
}

TEST(MovePickerOrder, QuiescenceReturnsTacticalMovesAndSafeQuietChecks) {
    size_t salt = 0;
    for (const Node& n : nodes()) {
        Position pos = n.pos;
        std::vector<unsigned> gen;
        MoveGen::generate_pseudo_legal(pos, gen);
        for (bool quietChecks : {false, true}) {
            for (Move tt : tt_choices(gen)) {
                const PickerHeuristics h = with_tables(heuristics_for(n, gen, ++salt));
                std::vector<Move> forced;
                if (tt && std::find(gen.begin(), gen.end(), tt) != gen.end() &&
                    (is_capture(tt) || move_promotion(tt) ||
                     (quietChecks && really_gives_check(pos, tt) && Attack::see_ge(pos, tt, 0))))
                    forced.push_back(tt);
                const Mode mode = quietChecks ? Mode::QSEARCH_CHECKS : Mode::QSEARCH;
                const std::vector<Entry> want = expected_sequence(pos, gen, forced, mode, h);
                MovePicker mp(pos, quietChecks, tt, h);
                ASSERT_EQ(drain(mp), want) << n.fen << " tt " << move_to_uci(tt) << " checks " << quietChecks;
            }
        }
    }
}

TEST(MovePickerOrder, GivenListForcesFirstThenSecond) {
    size_t salt = 0;
    for (const Node& n : nodes()) {
        Position pos = n.pos;
        std::vector<unsigned> legal;
        MoveGen::generate_legal(pos, legal);
        if (legal.size() < 4) continue;
        const Move absent = stale_move(legal);
        const Move last = legal.back();
        const std::pair<Move, Move> choices[] = {{0, 0},           {legal[0], last}, {legal[1], legal[1]},
                                                 {absent, legal[2]}, {legal[3], absent}, {0, last}};
        for (auto [first, second] : choices) {
            const PickerHeuristics h = with_tables(heuristics_for(n, legal, ++salt));
            std::vector<Move> forced;
            auto in_list = [&](Move m) { return std::find(legal.begin(), legal.end(), m) != legal.end(); };
            if (first && in_list(first)) forced.push_back(first);
            if (second && second != first && in_list(second)) forced.push_back(second);
            const Bitboard pinsBefore = pos.pinned[pos.side] ^ 0x8100000000000081ULL;
            pos.pinned[pos.side] = pinsBefore;  // a list picker must not refresh the pin cache
            const std::vector<Entry> want = expected_sequence(pos, legal, forced, Mode::LIST, h);
            MovePicker mp(pos, legal, first, second, h);
            ASSERT_EQ(drain(mp), want) << n.fen;
            EXPECT_EQ(pos.pinned[pos.side], pinsBefore);
        }
    }
}

// A forced move that the given list holds more than once is still returned
// once only, and the list's other moves all follow.
TEST(MovePickerOrder, ForcedMoveListedTwiceComesOnce) {
    Position pos = load(vwtest::START);
    std::vector<unsigned> legal;
    MoveGen::generate_legal(pos, legal);
    std::vector<unsigned> list = legal;
    list.push_back(legal[3]);
    list.insert(list.begin(), legal[3]);
    MovePicker mp(pos, list, legal[3], legal[5], PickerHeuristics{});
    std::vector<unsigned> got;
    while (unsigned m = mp.next()) got.push_back(m);
    ASSERT_EQ(got.size(), legal.size());
    EXPECT_EQ(got[0], legal[3]);
    EXPECT_EQ(got[1], legal[5]);
    std::sort(got.begin(), got.end());
    std::sort(legal.begin(), legal.end());
    EXPECT_EQ(got, legal);
}

TEST(MovePickerOrder, MainPickerRefreshesThePinCache) {
    Position pos = load("4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1");
    pos.pinned[WHITE] = 0;
    MovePicker mp(pos, 0, PickerHeuristics{});
    EXPECT_EQ(pos.pinned[WHITE], square_bb(12));  // the e2 bishop
}

// The quiet moves are listed only when their stage is reached, by which time
// the search has played other moves and deeper nodes have refreshed the pin
// cache for other positions. The picker must leave the cache as those left
// it, and still list the quiet moves by the true pins.
TEST(MovePickerOrder, LateQuietListLeavesThePinCacheAlone) {
    constexpr Bitboard FOREIGN = 0x00ff00000000ff00ull;  // pins of some other position
    size_t salt = 0;
    int quietStages = 0;
    for (const Node& n : nodes()) {
        for (int mode = 0; mode < 2; ++mode) {
            Position pos = n.pos;
            std::vector<unsigned> gen;
            MoveGen::generate_pseudo_legal(pos, gen);
            const Bitboard truePins = pos.pinned[pos.side];
            std::vector<unsigned> legal;
            MoveGen::generate_legal(pos, legal);
            if (legal.empty()) continue;
            const PickerHeuristics h = with_tables(heuristics_for(n, gen, ++salt));
            const Position::Undo before = pos.make_move(legal[0]);  // the cache goes stale
            pos.unmake_move(before);
            pos.pinned[pos.side] = FOREIGN;
            MovePicker mp = mode == 0 ? MovePicker(pos, 0, h) : MovePicker(pos, true, 0, h);
            // Built, it holds the pins of this position, as the full list leaves them.
            ASSERT_EQ(pos.pinned[pos.side], truePins) << n.fen;
            const std::vector<Entry> want =
                expected_sequence(pos, gen, {}, mode == 0 ? Mode::MAIN : Mode::QSEARCH_CHECKS, h);
            std::vector<Entry> got;
            while (Move m = mp.next()) {
                got.push_back({m, mp.lastStage, mp.lastScore, mp.lastSee});
                quietStages += mp.lastStage == MovePicker::QUIETS && got.size() > 1;
                // A deeper search below this move.
                const Position::Undo u = pos.make_move(legal[got.size() % legal.size()]);
                pos.unmake_move(u);
                pos.pinned[pos.side] = FOREIGN;
                if (got.size() > 600) break;
            }
            EXPECT_EQ(pos.pinned[pos.side], got.empty() ? truePins : FOREIGN) << n.fen << " mode " << mode;
            EXPECT_EQ(got, want) << n.fen << " mode " << mode;
        }
    }
    EXPECT_GT(quietStages, 0);
}

// A position whose move count bound passes the list capacity is listed whole
// at once; its order is the same as the staged one's.
TEST(MovePickerOrder, CrowdedPositionIsListedWhole) {
    Position pos = load("k7/q2qq3/1q4q1/q3q3/q1q4q/q3qq2/2q3PP/6NK b - - 0 1");
    EXPECT_FALSE(MoveGen::fits_whole_list(pos, MovePicker::CAPACITY));
    EXPECT_TRUE(MoveGen::fits_whole_list(pos, 400));
    Position start = load(ROOT_FENS[0]);
    EXPECT_TRUE(MoveGen::fits_whole_list(start, MovePicker::CAPACITY));
    std::vector<unsigned> gen;
    MoveGen::generate_pseudo_legal(pos, gen);
    ASSERT_GT(gen.size(), 150u);
    const Node n{"", pos};
    for (Move tt : tt_choices(gen)) {
        const PickerHeuristics h = with_tables(heuristics_for(n, gen, tt));
        std::vector<Move> forced;
        if (tt && std::find(gen.begin(), gen.end(), tt) != gen.end()) forced.push_back(tt);
        MovePicker mp(pos, tt, h);
        EXPECT_TRUE(mp.quietsListed);
        ASSERT_EQ(drain(mp), expected_sequence(pos, gen, forced, Mode::MAIN, h)) << move_to_uci(tt);
        if (!forced.empty() && !is_capture(tt) && !move_promotion(tt) &&
            !(really_gives_check(pos, tt) && Attack::see_ge(pos, tt, 0)))
            forced.clear();
        MovePicker qp(pos, true, tt, h);
        ASSERT_EQ(drain(qp), expected_sequence(pos, gen, forced, Mode::QSEARCH_CHECKS, h)) << move_to_uci(tt);
    }
}

// ---- Forced-move rules --------------------------------------------------------

TEST(MovePickerForced, QuiescenceTakesAQuietHashMoveOnlyWhenItIsASafeCheck) {
    // Qd1-d5 checks safely along the diagonal; Qd1-d8 checks but the rook takes it.
    const Position base = load("r5k1/6pp/8/4n3/8/5N2/8/3QK3 w - - 0 1");
    struct Case {
        const char* move;
        bool quietChecks;
        bool forced;
    };
    const Case cases[] = {
        {"d1d5", true, true},   {"d1d5", false, false},  // safe check, only with quiet checks
        {"d1d8", true, false},                           // check that loses the queen
        {"d1d4", true, false},  {"f3g5", true, false},   // quiet, no check
        {"f3e5", true, true},   {"f3e5", false, true},   // a capture is always taken
    };
    for (const Case& c : cases) {
        Position pos = base;
        const Move m = find_move(pos, c.move);
        MovePicker mp(pos, c.quietChecks, m, PickerHeuristics{});
        const Move first = mp.next();
        EXPECT_EQ(first == m && mp.lastStage == MovePicker::FORCED, c.forced) << c.move;
        // Not forced, a quiet hash move is not handed out at all.
        bool later = false;
        for (Move x = mp.next(); x; x = mp.next()) later |= x == m;
        EXPECT_FALSE(later) << c.move;
    }
}

// ---- Capacity, empty lists, selection -------------------------------------------

// The legal moves of pos repeated until the list holds at least n words.
std::vector<unsigned> legal_moves_repeated(Position& pos, size_t n) {
    std::vector<unsigned> legal;
    MoveGen::generate_legal(pos, legal);
    std::vector<unsigned> many;
    while (many.size() < n) many.insert(many.end(), legal.begin(), legal.end());
    return many;
}

TEST(MovePickerLists, GivenListIsCutAt256AndEmptyListEndsAtOnce) {
    Position pos = load(ROOT_FENS[0]);
    const std::vector<unsigned> many = legal_moves_repeated(pos, 300);
    MovePicker big(pos, many, 0, 0, PickerHeuristics{});
    EXPECT_EQ(big.moveCount, 256u);
    size_t n = 0;
    while (big.next()) ++n;
    EXPECT_EQ(n, 256u);

    MovePicker none(pos, std::vector<unsigned>{}, 0, 0, PickerHeuristics{});
    EXPECT_EQ(none.next(), 0u);
    EXPECT_EQ(none.lastStage, uint32_t(MovePicker::DONE));
    EXPECT_EQ(none.next(), 0u);

    Position empty;  // no king: the generator yields nothing
    MovePicker nothing(empty, 0, PickerHeuristics{});
    EXPECT_EQ(nothing.next(), 0u);
    EXPECT_EQ(nothing.lastStage, uint32_t(MovePicker::DONE));
}

using SM = MovePicker::ScoredMove;

// An entry no list holds, scored above everything: left in the list arrays past
// the count, it must never be taken.
constexpr SM GARBAGE = {0xDEAD, INT32_MAX, 0x7777};

constexpr uint32_t LIST_STAGES[] = {MovePicker::GOOD_CAPTURES, MovePicker::QUIETS, MovePicker::BAD_CAPTURES};

// The array and count of the picker's list for a stage.
SM* list_of(MovePicker& mp, uint32_t stage) {
    return stage == MovePicker::GOOD_CAPTURES ? mp.goodCaptures
           : stage == MovePicker::QUIETS      ? mp.quiets
                                              : mp.badCaptures;
}
uint64_t& count_of(MovePicker& mp, uint32_t stage) {
    return stage == MovePicker::GOOD_CAPTURES ? mp.goodCount
           : stage == MovePicker::QUIETS      ? mp.quietCount
                                              : mp.badCount;
}

// A picker over no moves whose list of the given stage holds entries, followed
// by GARBAGE up to the end of its array; the other lists are empty. Its
// next() then selects from that list as it does in the search.
std::unique_ptr<MovePicker> picker_over(Position& pos, const std::vector<SM>& entries, uint32_t stage) {
    auto mp = std::make_unique<MovePicker>(pos, std::vector<unsigned>{}, 0, 0, PickerHeuristics{});
    mp->capturesPrepared = mp->quietsPrepared = true;
    SM* list = list_of(*mp, stage);
    std::fill_n(list, MovePicker::CAPACITY, GARBAGE);
    std::copy(entries.begin(), entries.end(), list);
    count_of(*mp, stage) = entries.size();
    return mp;
}

// Everything next() returns, with the picker's score and exchange value; every
// move must come from the expected stage.
std::vector<SM> drain_stage(MovePicker& mp, uint32_t stage) {
    std::vector<SM> got;
    while (unsigned m = mp.next()) {
        EXPECT_EQ(mp.lastStage, stage);
        got.push_back({m, mp.lastScore, mp.lastSee});
        if (got.size() > MovePicker::CAPACITY) break;  // a runaway picker
    }
    return got;
}

std::vector<unsigned> moves_of(const SM* list, size_t n) {
    std::vector<unsigned> out;
    for (size_t i = 0; i < n; ++i) out.push_back(list[i].move);
    return out;
}

// The selection on each of the picker's lists, and pick_next on a bare list.
TEST(MovePickerLists, SelectionTakesFirstHighestAndSwapsItForward) {
    struct Case {
        std::vector<SM> list;
        std::vector<unsigned> order;
        std::vector<unsigned> afterFirst;  // list order after the first pick
    };
    const Case cases[] = {
        {{{1, 5, 0}, {2, 5, 0}}, {1, 2}, {1, 2}},
        {{{1, 5, 0}, {2, 5, 0}, {3, 9, 0}}, {3, 2, 1}, {3, 2, 1}},
        {{{1, -4, 0}, {2, 7, 0}, {3, 7, 0}, {4, 0, 0}}, {2, 3, 4, 1}, {2, 1, 3, 4}},
        {{{1, 1, 0}}, {1}, {1}},
    };
    Position pos = load(ROOT_FENS[0]);
    for (const Case& c : cases) {
        for (uint32_t stage : LIST_STAGES) {
            auto mp = picker_over(pos, c.list, stage);
            std::vector<unsigned> got = {mp->next()};
            EXPECT_EQ(moves_of(list_of(*mp, stage), c.list.size()), c.afterFirst);
            while (unsigned m = mp->next()) got.push_back(m);
            EXPECT_EQ(got, c.order) << "stage " << stage;
        }

        std::vector<SM> list = c.list;
        uint64_t cursor = 0;
        std::vector<unsigned> got;
        int score = 0, see = 0;
        while (unsigned m = MovePicker::pick_next(list.data(), cursor, list.size(), score, see)) {
            got.push_back(m);
            if (got.size() == 1) {
                EXPECT_EQ(moves_of(list.data(), list.size()), c.afterFirst);
            }
        }
        EXPECT_EQ(got, c.order);
        EXPECT_EQ(cursor, list.size());
    }
}

bool same_entries(const std::vector<SM>& a, const std::vector<SM>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].move != b[i].move || a[i].score != b[i].score || a[i].see != b[i].see) return false;
    return true;
}

// count entries with many equal scores, including the extreme values.
std::vector<SM> random_entries(std::mt19937& rng, size_t count, int spread) {
    std::vector<SM> list(count);
    for (size_t i = 0; i < count; ++i) {
        int v = int(rng() % unsigned(2 * spread + 1)) - spread;
        if (rng() % 17 == 0) v = rng() % 2 ? INT32_MAX : INT32_MIN;
        list[i] = {unsigned(i + 1), v, int(rng() % 100)};
    }
    return list;
}

// Long lists with many equal scores, including the extreme values, drained
// through next(): more than eight entries from the cursor take the wide scan
// (its last group masked where the rest is no multiple of eight), eight or
// fewer a single masked group, so each list meets both as its cursor
// advances. (The plain scan serves the last entries of a full array, which
// the test of entries past the count reaches.)
TEST(MovePickerLists, SelectionOfLongListsFollowsTheRule) {
    std::mt19937 rng(20261207);
    Position pos = load(ROOT_FENS[0]);
    for (int spread : {1, 3, 1000000}) {
        for (size_t len = 1; len <= 90; ++len) {
            const std::vector<SM> list = random_entries(rng, len, spread);
            const uint32_t stage = LIST_STAGES[len % 3];
            auto mp = picker_over(pos, list, stage);
            ASSERT_TRUE(same_entries(drain_stage(*mp, stage), drain_by_rule(list)))
                << "length " << len << " spread " << spread;
        }
    }
}

// Entries past the count are read by the vector scans but never taken: lists
// of every length up to the capacity, in each stage, with GARBAGE behind them,
// come out exactly in the order of the selection rule. The last entries of a
// full array take the plain scan.
TEST(MovePickerLists, EntriesPastTheCountAreNeverTaken) {
    std::mt19937 rng(31);
    Position pos = load(ROOT_FENS[0]);
    for (size_t len = 1; len <= MovePicker::CAPACITY; ++len) {
        const std::vector<SM> list = random_entries(rng, len, 50);
        const std::vector<SM> want = drain_by_rule(list);
        for (uint32_t stage : LIST_STAGES) {
            auto mp = picker_over(pos, list, stage);
            const std::vector<SM> got = drain_stage(*mp, stage);
            for (const SM& e : got) ASSERT_NE(e.move, GARBAGE.move) << "length " << len << " stage " << stage;
            ASSERT_TRUE(same_entries(got, want)) << "length " << len << " stage " << stage;
        }
    }
}

// The picker's own lists up to their capacity: a given list of 256 quiet moves
// of the start position (no checks, no killers), scored by a history table of
// few values, comes out in the order of the selection rule.
TEST(MovePickerLists, FullQuietListComesOutInRuleOrder) {
    Position pos = load(ROOT_FENS[0]);
    std::vector<unsigned> many = legal_moves_repeated(pos, 256);
    many.resize(256);
    std::vector<int32_t> history(2 * 64 * 64, 0);
    std::mt19937 rng(7);
    for (int32_t& v : history) v = int32_t(rng() % 5) - 2;
    PickerHeuristics h;
    h.history = history.data();
    std::vector<MovePicker::ScoredMove> list;
    for (unsigned m : many) list.push_back({m, history[size_t(WHITE) * 4096 + move_from(m) * 64 + move_to(m)], 0});
    const std::vector<MovePicker::ScoredMove> want = drain_by_rule(list);

    MovePicker mp(pos, many, 0, 0, h);
    std::vector<MovePicker::ScoredMove> got;
    while (unsigned m = mp.next()) {
        EXPECT_EQ(mp.lastStage, uint32_t(MovePicker::QUIETS));
        got.push_back({m, mp.lastScore, mp.lastSee});
    }
    EXPECT_TRUE(same_entries(got, want));
}

// ---- Check detection -------------------------------------------------------------

// A check that remains with the moved piece taken off its destination square.
bool discovers_check(Position pos, Move m) {
    const Color them = Color(mover_color(m) ^ 1);
    pos.make_move(m);
    pos.remove_piece_at_square(pos.board[move_to(m)], move_to(m));
    return pos.in_check(them);
}

// The picker's own check test (the check squares and discoverers) is seen in
// the scores without heuristics: a quiet move scores the check bonus or 0, a
// quiet promotion starts at the checking or the plain base.
TEST(MoveGivesCheck, AgreesWithPlayingTheMove) {
    size_t checks = 0, discovered = 0, promotions = 0;
    for (const Node& n : nodes()) {
        Position pos = n.pos;
        std::vector<unsigned> legal;
        MoveGen::generate_legal(pos, legal);
        MovePicker mp(pos, legal, 0, 0, PickerHeuristics{});
        while (const Move m = mp.next()) {
            if (is_castling(m)) continue;
            const bool want = really_gives_check(pos, m);
            ASSERT_EQ(move_gives_check(pos, m), want) << n.fen << " " << move_to_uci(m);
            if (!is_capture(m)) {
                const bool scored = move_promotion(m) ? mp.lastScore >= 1275000 : mp.lastScore == 240000;
                ASSERT_EQ(scored, want) << n.fen << " " << move_to_uci(m) << " " << mp.lastScore;
                if (!move_promotion(m)) {
                    ASSERT_TRUE(mp.lastScore == 0 || want) << n.fen << " " << move_to_uci(m);
                }
            }
            if (!want) continue;
            ++checks;
            discovered += discovers_check(pos, m);
            promotions += move_promotion(m) != 0;
        }
    }
    // The positions must exercise these kinds of check (en passant checks are
    // among the named cases below).
    EXPECT_GT(checks, 100u);
    EXPECT_GT(discovered, 0u);
    EXPECT_GT(promotions, 0u);
}

TEST(MoveGivesCheck, NamedCases) {
    struct Case {
        const char* fen;
        const char* move;
        bool check;
    };
    const Case cases[] = {
        {"4k3/8/8/8/8/2N5/1B6/4K3 w - - 0 1", "c3d5", false},           // knight off a diagonal not aimed at e8
        {"7k/8/8/8/8/2N5/1B6/4K3 w - - 0 1", "c3e4", true},             // bishop b2 discovers on h8
        {"4k3/8/4p3/8/8/8/8/R5K1 w - - 0 1", "a1e1", false},            // rook on the king's file behind a pawn
        {"4k3/8/8/8/8/8/8/R5K1 w - - 0 1", "a1a8", true},               // rook onto the back rank
        {"8/8/8/r2Pp2k/8/8/8/1K6 w - e6 0 1", "d5e6", false},            // en passant, no line opens to h5
        {"8/8/8/R2Pp2k/8/8/8/K7 w - e6 0 1", "d5e6", true},             // en passant opens the rank
        {"8/2k5/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", true},             // the capturing pawn checks
        {"8/8/8/8/3k4/8/4P3/K7 w - - 0 1", "e2e3", true},               // pawn push checks
        {"8/4P3/8/8/8/8/K7/4k3 w - - 0 1", "e7e8q", true},              // promoted queen down the vacated file
        {"8/4P3/8/8/8/8/K7/4k3 w - - 0 1", "e7e8n", false},
        {"8/4P3/8/5k2/8/8/K7/8 w - - 0 1", "e7e8n", false},
        {"8/4P3/5k2/8/8/8/K7/8 w - - 0 1", "e7e8n", true},              // knight promotion checks f6
        {"8/8/8/8/8/8/4p3/K2R1k2 b - - 0 1", "e2d1q", true},            // capture promotion checks along rank 1
        {"5k2/8/8/8/8/8/8/4K2R w K - 0 1", "e1g1", false},              // the castled rook's check is not modelled
    };
    for (const Case& c : cases) {
        Position pos = load(c.fen);
        const Move m = find_move(pos, c.move);
        EXPECT_EQ(move_gives_check(pos, m), c.check) << c.fen << " " << c.move;
    }
}

TEST(MoveGivesCheck, MissingEnemyKingNeverChecks) {
    init_tables();
    Position pos;
    pos.set_piece_at_square(5, 4);   // white king e1
    pos.set_piece_at_square(3, 0);   // white rook a1
    pos.set_piece_at_square(6, 52);  // black pawn e7
    pos.side = WHITE;
    MovePicker mp(pos, 0, PickerHeuristics{});
    for (Bitboard b : mp.checkSquares) EXPECT_EQ(b, 0u);
    mp.compute_check_squares(pos);
    for (Bitboard b : mp.checkSquares) EXPECT_EQ(b, 0u);
    size_t n = 0;
    while (Move m = mp.next()) {
        ++n;
        EXPECT_FALSE(move_gives_check(pos, m)) << move_to_uci(m);
    }
    EXPECT_GT(n, 0u);
}

// ---- Worked scores -----------------------------------------------------------------

struct ScoreCase {
    const char* name;
    const char* fen;
    const char* move;
    uint32_t stage;
    int score;
    int see;
};

void expect_picked(const ScoreCase& c, const PickerHeuristics& h) {
    Position pos = load(c.fen);
    const Move target = find_move(pos, c.move);
    MovePicker mp(pos, 0, h);
    for (Move m = mp.next(); m; m = mp.next()) {
        if (m != target) continue;
        EXPECT_EQ(mp.lastStage, c.stage) << c.name;
        EXPECT_EQ(mp.lastScore, c.score) << c.name;
        EXPECT_EQ(mp.lastSee, c.see) << c.name;
        return;
    }
    ADD_FAILURE() << c.name << ": move not returned";
}

TEST(MovePickerScores, CapturesAndPromotions) {
    const ScoreCase cases[] = {
        {"pawn takes queen", "4k3/8/8/3q4/4P3/8/8/4K3 w - - 0 1", "e4d5", MovePicker::GOOD_CAPTURES, 1008900, 900},
        {"queen takes pawn", "4k3/8/8/3p4/8/8/8/3QK3 w - - 0 1", "d1d5", MovePicker::GOOD_CAPTURES, 1000100, 100},
        {"en passant", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", MovePicker::GOOD_CAPTURES, 1000900, 100},
        {"checking capture -10 is good", "5k2/2p5/3n4/8/8/6B1/8/4K3 w - - 0 1", "g3d6", MovePicker::GOOD_CAPTURES,
         1000000 + 3200 - 330 + 275000, -10},
        {"checking capture -80 is good", "4k3/8/2n5/4r3/3P4/8/4Q3/4K3 w - - 0 1", "e2e5", MovePicker::GOOD_CAPTURES,
         1000000 + 5000 - 900 + 275000, -80},
        {"quiet capture -10 is bad", "6k1/2p5/3n4/8/8/6B1/8/4K3 w - - 0 1", "g3d6", MovePicker::BAD_CAPTURES,
         1000000 + 3200 - 330 - 200000, -10},
        {"checking capture -170 is bad", "4k3/8/3p4/4b3/8/8/8/4RK2 w - - 0 1", "e1e5", MovePicker::BAD_CAPTURES,
         1000000 + 3300 - 500 + 275000 - 200000, -170},
        {"quiet queen promotion", "8/1P6/8/8/8/8/8/k3K3 w - - 0 1", "b7b8q", MovePicker::GOOD_CAPTURES,
         1000000 + 14400, 0},
        {"checking queen promotion", "8/1P6/8/8/8/8/8/1k2K3 w - - 0 1", "b7b8q", MovePicker::GOOD_CAPTURES,
         1275000 + 14400, 0},
        {"quiet knight promotion", "8/1P6/8/8/8/8/8/k3K3 w - - 0 1", "b7b8n", MovePicker::GOOD_CAPTURES,
         1000000 + 5120, 0},
        {"capture promotion", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7a8q", MovePicker::GOOD_CAPTURES,
         1000000 + 5000 - 100 + 14400 + 275000, 1300},
    };
    for (const ScoreCase& c : cases) expect_picked(c, PickerHeuristics{});
}

TEST(MovePickerScores, CaptureHistoryQuarterTruncatesTowardZero) {
    static int32_t capture[2][6][64][6];
    const ScoreCase base[] = {
        {"pawn takes queen", "4k3/8/8/3q4/4P3/8/8/4K3 w - - 0 1", "e4d5", MovePicker::GOOD_CAPTURES, 1008900, 900},
        {"en passant", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", MovePicker::GOOD_CAPTURES, 1000900, 100},
    };
    struct Entry {
        int victim, to, value, delta;
    };
    const Entry entries[] = {{QUEEN, 35, 1003, 250}, {PAWN, 43, -1003, -250}};
    PickerHeuristics h;
    h.captureHist = &capture[0][0][0][0];
    for (int i = 0; i < 2; ++i) {
        capture[WHITE][PAWN][entries[i].to][entries[i].victim] = entries[i].value;
        ScoreCase c = base[i];
        c.score += entries[i].delta;
        expect_picked(c, h);
        capture[WHITE][PAWN][entries[i].to][entries[i].victim] = 0;
    }
}

// A given list may hold moves of the side not to move; their checks are found
// by playing them out, not by the check squares of the side to move: the
// black queen and the black pawn (the lowest black piece code) against the
// white king, and the white king (the highest white code) uncovering its rook
// against the black king. Moves of the side to move in the same list are
// scored as usual.
TEST(MovePickerScores, MoveOfTheOtherSideIsTestedInFull) {
    auto scores = [](const char* fen, const std::vector<unsigned>& list) {
        Position pos = load(fen);
        MovePicker mp(pos, list, 0, 0, PickerHeuristics{});
        std::vector<std::pair<Move, int>> got;
        while (unsigned m = mp.next()) got.push_back({m, mp.lastScore});
        return got;
    };
    const Move blackCheck = make_move_word(59, 35, 10);  // d8d5
    const Move pawnCheck = make_move_word(22, 14, 6);    // g3g2
    const Move whiteCheck = make_move_word(0, 4, 3);     // a1e1
    const Move whiteQuiet = make_move_word(0, 8, 3);     // a1a2
    const std::vector<std::pair<Move, int>> wantWhite = {
        {blackCheck, 240000}, {whiteCheck, 240000}, {pawnCheck, 240000}, {whiteQuiet, 0}};
    EXPECT_EQ(scores("3qk3/8/8/8/8/6p1/8/R6K w - - 0 1", {whiteQuiet, blackCheck, whiteCheck, pawnCheck}), wantWhite);

    const Move kingUncovers = make_move_word(59, 51, 5);  // d8d7, uncovering the a8 rook
    const Move blackQuiet = make_move_word(63, 55, 11);   // h8h7
    const std::vector<std::pair<Move, int>> wantBlack = {{kingUncovers, 240000}, {blackQuiet, 0}};
    EXPECT_EQ(scores("R2K3k/8/8/8/8/8/8/8 b - - 0 1", {blackQuiet, kingUncovers}), wantBlack);
}

// A word whose promotion field names no promotion piece is a quiet move: it is
// listed with the quiet moves and its check found by the full test.
TEST(MovePickerScores, WordWithAnUnusedPromotionFieldIsQuiet) {
    Position pos = load("4k3/8/8/8/8/8/8/R3K3 w - - 0 1");
    const Move odd = make_move_word(0, 56, 3, 7);  // a1a8, promotion field 7
    const Move plain = make_move_word(0, 8, 3);    // a1a2
    MovePicker mp(pos, std::vector<unsigned>{plain, odd}, 0, 0, PickerHeuristics{});
    std::vector<std::pair<Move, int>> got;
    while (unsigned m = mp.next()) {
        EXPECT_EQ(mp.lastStage, uint32_t(MovePicker::QUIETS));
        got.push_back({m, mp.lastScore});
    }
    const std::vector<std::pair<Move, int>> want = {{odd, 240000}, {plain, 0}};
    EXPECT_EQ(got, want);
}

TEST(MovePickerScores, QuietBonusesAndHistoryTerms) {
    static int32_t history[2][64][64];
    static int32_t cont1[12][64][12][64], cont2[12][64][12][64], cont4[12][64][12][64];
    const char* fen = "4k3/8/8/8/8/8/8/R3K3 w - - 0 1";
    Position pos = load(fen);
    const Move a1a4 = find_move(pos, "a1a4"), a1a5 = find_move(pos, "a1a5"), a1b1 = find_move(pos, "a1b1");
    const Move prev = make_move_word(60, 59, 11);  // an earlier Ke8-d8
    history[WHITE][0][24] = 101;
    cont1[11][59][3][24] = 7;    // halved: 3
    cont2[11][59][3][24] = -7;   // halved: -3
    cont4[11][59][3][24] = 1001; // halved: 500
    struct Case {
        const char* name;
        Move killer1, killer2, counter;
        bool tables;
        Move prev1, prev2, prev4;
        int want;
    };
    const Case cases[] = {
        {"plain", 0, 0, 0, false, 0, 0, 0, 0},
        {"first killer", a1a4, a1a5, a1b1, false, 0, 0, 0, 320000},
        {"second killer", a1a5, a1a4, a1b1, false, 0, 0, 0, 220000},
        {"counter", a1a5, a1b1, a1a4, false, 0, 0, 0, 280000},
        {"second killer and counter", a1a5, a1a4, a1a4, true, 0, 0, 0, 220000 + 101},
        {"first killer and counter", a1a4, 0, a1a4, true, 0, 0, 0, 320000 + 101},
        {"continuations", 0, 0, 0, true, prev, prev, prev, 101 + 3 - 3 + 500},
        {"no earlier moves", 0, 0, 0, true, 0, 0, 0, 101},
        {"only two plies back", 0, 0, 0, true, 0, prev, 0, 101 - 3},
    };
    for (const Case& c : cases) {
        PickerHeuristics h;
        h.killer1 = c.killer1;
        h.killer2 = c.killer2;
        h.counter = c.counter;
        h.prev1 = c.prev1;
        h.prev2 = c.prev2;
        h.prev4 = c.prev4;
        if (c.tables) {
            h.history = &history[0][0][0];
            h.contHist1 = &cont1[0][0][0][0];
            h.contHist2 = &cont2[0][0][0][0];
            h.contHist4 = &cont4[0][0][0][0];
        }
        expect_picked({c.name, fen, "a1a4", MovePicker::QUIETS, c.want, 0}, h);
    }
    // a1a8 checks the king: the quiet check bonus.
    expect_picked({"quiet check", fen, "a1a8", MovePicker::QUIETS, 240000, 0}, PickerHeuristics{});
    // A null continuation table adds nothing even with an earlier move.
    PickerHeuristics h;
    h.history = &history[0][0][0];
    h.prev1 = prev;
    expect_picked({"null table", fen, "a1a4", MovePicker::QUIETS, 101, 0}, h);
}

TEST(MovePickerScores, HostileTableValuesSaturateInsteadOfOverflowing) {
    static int32_t history[2][64][64];
    static int32_t cont[12][64][12][64];
    static int32_t capture[2][6][64][6];
    for (int32_t fill : {INT32_MAX, INT32_MIN}) {
        std::fill(&history[0][0][0], &history[0][0][0] + 2 * 64 * 64, fill);
        std::fill(&cont[0][0][0][0], &cont[0][0][0][0] + 12 * 64 * 12 * 64, fill);
        std::fill(&capture[0][0][0][0], &capture[0][0][0][0] + 2 * 6 * 64 * 6, fill);
        Position pos = load(ROOT_FENS[1]);
        std::vector<unsigned> gen;
        MoveGen::generate_pseudo_legal(pos, gen);
        PickerHeuristics h;
        h.history = &history[0][0][0];
        h.captureHist = &capture[0][0][0][0];
        h.contHist1 = h.contHist2 = h.contHist4 = &cont[0][0][0][0];
        h.prev1 = h.prev2 = h.prev4 = find_move(pos, "e2a6");
        h.killer1 = find_move(pos, "a2a3");
        MovePicker mp(pos, 0, h);
        size_t n = 0;
        while (mp.next()) {
            ++n;
            if (mp.lastStage == MovePicker::QUIETS) {
                EXPECT_EQ(mp.lastScore, fill);
            }
        }
        EXPECT_EQ(n, gen.size());
    }
}

// ---- Laziness: what is read when -------------------------------------------------

TEST(MovePickerLazy, HistoriesAreReadWhenEachStageIsBuilt) {
    static int32_t history[2][64][64];
    static int32_t capture[2][6][64][6];
    Position pos = load("4k3/8/8/3q4/4P3/8/8/R3K3 w - - 0 1");
    const Move capture_move = find_move(pos, "e4d5");
    const Move quiet = find_move(pos, "a1a4");
    PickerHeuristics h;
    h.history = &history[0][0][0];
    h.captureHist = &capture[0][0][0][0];
    h.killer1 = quiet;
    MovePicker mp(pos, 0, h);
    // Written after construction but before the first request: seen.
    capture[WHITE][PAWN][35][QUEEN] = 400;
    h.killer1 = 0;  // the picker holds its own copy of the killers
    ASSERT_EQ(mp.next(), capture_move);
    EXPECT_EQ(mp.lastScore, 1008900 + 100);
    // Written after the capture stage was built: not seen; the quiet history
    // written before the quiet stage is reached is.
    capture[WHITE][PAWN][35][QUEEN] = 0;
    history[WHITE][0][24] = 55;
    EXPECT_FALSE(mp.quietsPrepared);
    ASSERT_EQ(mp.next(), quiet);
    EXPECT_EQ(mp.lastScore, 320000 + 55);
    history[WHITE][0][24] = 0;
}

TEST(MovePickerLazy, ForcedCutoffBuildsNoList) {
    Position pos = load(ROOT_FENS[1]);
    const Move tt = find_move(pos, "e2a6");
    MovePicker mp(pos, tt, PickerHeuristics{});
    ASSERT_EQ(mp.next(), tt);
    EXPECT_FALSE(mp.capturesPrepared);
    EXPECT_FALSE(mp.quietsPrepared);
    mp.next();
    EXPECT_TRUE(mp.capturesPrepared);
    EXPECT_FALSE(mp.quietsPrepared);
}

}  // namespace
