// Tests of the search: fixed iterations and node signatures, mates and draws,
// the learning tables and fixed rules, the driver's limits and the stop protocol.
#include "search/search.h"
#include "search/search_testing.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/movegen.h"
#include "eval/eval.h"
#include "search/tt.h"
#include "test_util.h"

namespace {

using vwtest::from_fen;
using vwtest::mv;

const char* const START = vwtest::START;

struct ParamDefault {
    const char* name;
    std::atomic<int32_t>* param;
    int32_t value;
};

const ParamDefault PARAMS[] = {
    {"SeeCaptureMargin", &Search::g_seeCaptureMargin, 32},
    {"SeeCaptureDepth", &Search::g_seeCaptureDepth, 6},
    {"SeeQuietMargin", &Search::g_seeQuietMargin, 40},
    {"SeeQuietDepth", &Search::g_seeQuietDepth, 10},
    {"SeeEndgameGuard", &Search::g_seeEndgameGuard, 0},
    {"SeeCaptHistDiv", &Search::g_seeCaptHistDiv, 512},
    {"SeeQuietHistDiv", &Search::g_seeQuietHistDiv, 512},
    {"CorrPawnWeight", &Search::g_corrPawnWeight, 2},
    {"CorrNonPawnWeight", &Search::g_corrNonPawnWeight, 1},
    {"CorrContWeight", &Search::g_corrContWeight, 1},
    {"CorrWeightScale", &Search::g_corrWeightScale, 2},
};

// Every test starts from the state the engine has after start-up.
class SearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        vwtest::init_tables();
        Search::init_search();
        ASSERT_TRUE(Search::set_hash_size_mb(64));
        Search::new_game();
        Search::clear_stop();
        for (const ParamDefault& p : PARAMS) Search::set_see_param(p.name, p.value);
        ctx = std::make_unique<Search::SearchContext>();
    }
    void TearDown() override {
        for (const ParamDefault& p : PARAMS) Search::set_see_param(p.name, p.value);
        Search::clear_stop();
    }

    static Search::SearchResult run(const Position& pos, int depth,
                                    std::vector<Search::SearchInfo>* infos = nullptr, uint64_t nodes = 0) {
        Search::clear_stop();
        Search::SearchLimits limits;
        limits.depth = depth;
        limits.nodes = nodes;
        return Search::search_position(pos, limits, [infos](const Search::SearchInfo& info) {
            if (infos) infos->push_back(info);
        });
    }

    std::unique_ptr<Search::SearchContext> ctx;
};

std::string pv_text(const std::vector<Move>& pv) {
    std::string s;
    for (Move m : pv) {
        if (!s.empty()) s.push_back(' ');
        s.append(move_to_uci(m));
    }
    return s;
}

// Plays UCI moves on pos, checking that each is legal.
void play(Position& pos, const std::vector<std::string>& moves) {
    for (const std::string& text : moves) {
        std::vector<unsigned> legal;
        MoveGen::generate_legal(pos, legal);
        const Move m = mv(pos, text);
        ASSERT_NE(std::find(legal.begin(), legal.end(), m), legal.end()) << text;
        pos.make_move(m);
    }
}

// ---- Iterations of the start position, field by field ---------------------

TEST_F(SearchTest, StartPositionMatchesReferenceIterations) {
    struct Line {
        int depth, seldepth, score;
        uint64_t nodes;
        const char* pv;
    };
    const Line expected[] = {
        {1, 1, 40, 50, "e2e4"},
        {2, 8, -41, 503, "d2d4 d7d5"},
        {3, 7, 7, 922, "d2d4 d7d5 e2e3"},
        {4, 10, -41, 2319, "d2d4 d7d5 g1f3 g8f6"},
        {5, 13, 19, 3838, "d2d4 d7d5 g1f3 g8f6 f3e5"},
    };
    std::vector<Search::SearchInfo> infos;
    const Search::SearchResult r = run(from_fen(START), 5, &infos);
    ASSERT_EQ(infos.size(), std::size(expected));
    for (size_t i = 0; i < infos.size(); ++i) {
        SCOPED_TRACE("depth " + std::to_string(expected[i].depth));
        EXPECT_EQ(infos[i].depth, expected[i].depth);
        EXPECT_EQ(infos[i].seldepth, expected[i].seldepth);
        EXPECT_EQ(infos[i].score, expected[i].score);
        EXPECT_EQ(infos[i].nodes, expected[i].nodes);
        EXPECT_EQ(pv_text(infos[i].pv), expected[i].pv);
        // Every counted node is either a main-search or a quiescence node.
        EXPECT_EQ(infos[i].stats.nodes + infos[i].stats.qsearch_nodes, infos[i].nodes);
    }
    EXPECT_EQ(r.depth, 5);
    EXPECT_EQ(move_to_uci(r.best_move), "d2d4");
    EXPECT_FALSE(r.stopped);
}

// A deterministic node total over several positions at fixed depth, from a
// fresh state each time: any change in the search's behaviour moves it.
TEST_F(SearchTest, NodeSignatureOfFixedDepthSearches) {
    const char* const fens[] = {
        START,
        vwtest::KIWIPETE,
        vwtest::ENDGAME,
        vwtest::QUIET_ITALIAN,
        vwtest::KNIGHT_ENDGAME,
        vwtest::KING_ATTACK,
    };
    uint64_t total = 0;
    for (const char* fen : fens) {
        Search::new_game();
        total += run(from_fen(fen), 7).nodes;
    }
    EXPECT_EQ(total, 113825u);
}

// ---- Mates and roots without moves ----------------------------------------------

TEST_F(SearchTest, FindsMates) {
    struct Case {
        const char* fen;
        int depth;
        const char* best;
        int score;
    };
    const Case cases[] = {
        {"r1bqkbnr/pppp1ppp/2n5/4p3/2B1P3/5Q2/PPPP1PPP/RNB1K1NR w KQkq - 4 4", 3, "f3f7", SCORE_MATE - 1},
        {"7k/8/8/8/8/8/R7/1R5K w - - 0 1", 2, nullptr, SCORE_MATE - 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fen);
        Search::new_game();
        const Search::SearchResult r = run(from_fen(c.fen), c.depth);
        EXPECT_EQ(r.score, c.score);
        if (c.best) {
            EXPECT_EQ(move_to_uci(r.best_move), c.best);
        }
        EXPECT_NE(r.best_move, 0u);
    }
}

TEST_F(SearchTest, RootWithoutLegalMovesReturnsNoMove) {
    struct Case {
        const char* fen;
        int score;
    };
    const Case cases[] = {
        {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", -SCORE_MATE},  // mated
        {"7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", 0},                                           // stalemate
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fen);
        std::vector<Search::SearchInfo> infos;
        const Search::SearchResult r = run(from_fen(c.fen), 6, &infos);
        EXPECT_EQ(r.best_move, 0u);
        EXPECT_EQ(r.score, c.score);
        EXPECT_TRUE(r.pv.empty());
        EXPECT_EQ(r.nodes, 0u);
        EXPECT_EQ(r.depth, 0);
        EXPECT_FALSE(r.stopped);
        EXPECT_TRUE(infos.empty());
    }
}

// ---- Draws ------------------------------------------------------------------------

TEST_F(SearchTest, FiftyMoveRuleAndInsufficientMaterial) {
    struct Case {
        const char* fen;
        int depth;
        int expected;
    };
    const Case cases[] = {
        {"4k3/8/8/8/8/8/8/QQQ1K3 w - - 100 80", 3, 0},   // far ahead, but fifty moves
        {"4k3/8/8/8/8/8/4q3/4K3 w - - 100 80", 3, 0},    // in check with a legal move
        {"6k1/8/8/8/8/8/5PPP/r5K1 w - - 100 80", 3, 1 - SCORE_MATE},  // mated: no draw
        {"6k1/8/8/8/8/8/5PPP/r5K1 w - - 100 80", 0, 1 - SCORE_MATE},  // same via quiescence
        {"6k1/8/8/8/8/8/5PPP/r5K1 w - - 99 80", 3, 1 - SCORE_MATE},
        {"8/8/4k3/8/8/3NK3/8/8 w - - 0 1", 3, 0},        // knight alone cannot mate
        {"8/8/4k3/8/8/3BK3/8/8 b - - 0 1", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fen) + " depth " + std::to_string(c.depth));
        Position pos = from_fen(c.fen);
        ctx->reset();
        EXPECT_EQ(Search::negamax(pos, *ctx, c.depth, -SCORE_INFINITE, SCORE_INFINITE, 1), c.expected);
    }
    // The root itself is never a draw: it still returns a move, scored 0.
    const Search::SearchResult r = run(from_fen("8/8/4k3/8/8/3NK3/8/8 w - - 0 1"), 4);
    EXPECT_NE(r.best_move, 0u);
    EXPECT_EQ(r.score, 0);
}

TEST_F(SearchTest, RepetitionsBeforeAndInsideTheTree) {
    // White is a queen up; the knight and the king shuffle back to the start.
    const char* fen = "4k3/8/8/8/8/8/8/Q3K1N1 w - - 0 1";
    const std::vector<std::string> cycle = {"g1f3", "e8d8", "f3g1", "d8e8"};
    struct Case {
        int cycles;  // times the four-ply cycle is played
        int ply;     // distance of the current position from the search root
        bool draw;
    };
    const Case cases[] = {
        {1, 1, false},  // the earlier occurrence lies before the root
        {1, 4, false},  // ... or is the root itself
        {1, 5, true},   // inside the tree
        {2, 1, true},   // two repetitions anywhere
        {2, 8, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("cycles " + std::to_string(c.cycles) + " ply " + std::to_string(c.ply));
        Position pos = from_fen(fen);
        for (int i = 0; i < c.cycles; ++i) play(pos, cycle);
        ctx->reset();
        const int v = Search::negamax(pos, *ctx, 1, -SCORE_INFINITE, SCORE_INFINITE, c.ply);
        if (c.draw)
            EXPECT_EQ(v, 0);
        else
            EXPECT_GT(v, 500);
    }
    // The halfmove clock bounds the scan: a capture between the occurrences.
    Position pos = from_fen("4k3/8/8/8/8/8/8/Q3K1N1 w - - 0 1");
    play(pos, cycle);
    pos.halfmove_clock = 2;  // as if the cycle had begun with an irreversible move
    ctx->reset();
    EXPECT_GT(Search::negamax(pos, *ctx, 1, -SCORE_INFINITE, SCORE_INFINITE, 5), 500);
}

// ---- Tables and fixed rules ----------------------------------------------------------

TEST_F(SearchTest, ReductionTable) {
    struct Case {
        int depth, moves, expected;
    };
    const Case cases[] = {{2, 3, 1}, {8, 2, 1}, {8, 5, 2}, {8, 15, 3}, {10, 10, 2},
                          {20, 20, 4}, {63, 63, 7}, {1, 40, 0}, {40, 1, 0}, {0, 0, 0}, {500, 500, 7}};
    for (const Case& c : cases)
        EXPECT_EQ(Search::lmr_reduction(c.depth, c.moves), c.expected) << c.depth << "," << c.moves;
    Search::new_game();
    EXPECT_EQ(Search::lmr_reduction(8, 5), 2);
}

TEST_F(SearchTest, HistoryBonusByDepth) {
    struct Case {
        int depth, quiet, capture;
    };
    const Case cases[] = {{1, 160, 80},      {2, 384, 192},     {4, 1024, 512},    {8, 3072, 1536},
                          {15, 9120, 4560},  {16, 10000, 5120}, {21, 10000, 8400}, {22, 10000, 9000},
                          {0, 160, 80},      {-7, 160, 80},     {100000, 10000, 9000},
                          {INT_MAX, 10000, 9000}};
    for (const Case& c : cases) {
        EXPECT_EQ(Search::quiet_history_bonus(c.depth), c.quiet) << c.depth;
        EXPECT_EQ(Search::capture_history_bonus(c.depth), c.capture) << c.depth;
    }
}

// The gravity update keeps an entry within +-32768 and moves it the bonus's
// way, by less the nearer the entry already is to that end: by the whole
// bonus from 0, not at all from the end itself. Raising h and lowering -h
// mirror each other exactly, the division truncating toward zero both ways.
TEST_F(SearchTest, HistoryGravityStaysInRangeAndMirrors) {
    for (const int b : {0, 1, 80, 160, 1000, 4560, 9000, 10000}) {
        int lastStep = INT_MAX;
        for (int h = -32768; h <= 32768; ++h) {
            const int up = Search::history_raise(h, b), down = Search::history_lower(h, b);
            ASSERT_GE(up, h) << h << " " << b;
            ASSERT_LE(up, 32768) << h << " " << b;
            ASSERT_LE(down, h) << h << " " << b;
            ASSERT_GE(down, -32768) << h << " " << b;
            ASSERT_EQ(up, -Search::history_lower(-h, b)) << h << " " << b;
            ASSERT_LE(up - h, lastStep) << h << " " << b;
            lastStep = up - h;
        }
        EXPECT_EQ(Search::history_raise(0, b), b);
        EXPECT_EQ(Search::history_lower(0, b), -b);
        EXPECT_EQ(Search::history_raise(32768, b), 32768);
        EXPECT_EQ(Search::history_lower(-32768, b), -32768);
    }
    // Repeated rewards reach exactly +32768 and stay there.
    Position pos = from_fen(START);
    const Move m = mv(pos, "g1f3");
    for (int i = 0; i < 40; ++i) Search::update_move_heuristics(pos, *ctx, 1, WHITE, m, 20, true, nullptr, 0);
    EXPECT_EQ(Search::history_value(WHITE, vwtest::sq("g1"), vwtest::sq("f3")), 32768);
    const Move n = mv(pos, "b1c3");
    const Move tried[] = {n, m};
    for (int i = 0; i < 40; ++i) Search::update_move_heuristics(pos, *ctx, 1, WHITE, m, 20, true, tried, 2);
    EXPECT_EQ(Search::history_value(WHITE, vwtest::sq("b1"), vwtest::sq("c3")), -32768);
    EXPECT_EQ(Search::history_value(WHITE, vwtest::sq("g1"), vwtest::sq("f3")), 32768);
}

TEST_F(SearchTest, MoveHeuristicUpdates) {
    Position pos = from_fen("r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3");
    const Move quiet = mv(pos, "f1c4");
    const Move other = mv(pos, "b1c3");
    const Move capture = mv(pos, "f3e5");
    const Move prev1 = 0x1234;  // any nonzero word keys the continuation entries
    ctx->reset();
    ctx->stack[0].move = prev1;  // the root move above ply 1
    const int pp = move_piece(prev1), pt = move_to(prev1);

    // A quiet cutoff at ply 1, after another quiet move was tried.
    const Move tried[] = {other, quiet};
    Search::update_move_heuristics(pos, *ctx, 1, WHITE, quiet, 4, true, tried, 2);
    EXPECT_EQ(Search::history_value(WHITE, move_from(quiet), move_to(quiet)), 1024);
    EXPECT_EQ(Search::history_value(WHITE, move_from(other), move_to(other)), -1024);
    EXPECT_EQ(Search::continuation_value(1, pp, pt, move_piece(quiet), move_to(quiet)), 1024);
    EXPECT_EQ(Search::continuation_value(2, pp, pt, move_piece(quiet), move_to(quiet)), 0);
    EXPECT_EQ(Search::killer_move(1, 0), quiet);
    EXPECT_EQ(Search::counter_move(WHITE, move_from(prev1), move_to(prev1)), quiet);

    // A second killer pushes the first one to slot 1; the slot-0 killer again changes nothing.
    Search::update_move_heuristics(pos, *ctx, 1, WHITE, other, 1, true, nullptr, 0);
    Search::update_move_heuristics(pos, *ctx, 1, WHITE, other, 1, true, nullptr, 0);
    EXPECT_EQ(Search::killer_move(1, 0), other);
    EXPECT_EQ(Search::killer_move(1, 1), quiet);

    // A capture cutoff: capture history and counter move, no killer.
    Search::update_move_heuristics(pos, *ctx, 1, WHITE, capture, 2, true, nullptr, 0);
    EXPECT_EQ(Search::capture_history_value(WHITE, KNIGHT, move_to(capture), PAWN), 192);
    EXPECT_EQ(Search::killer_move(1, 0), other);
    EXPECT_EQ(Search::counter_move(WHITE, move_from(prev1), move_to(prev1)), capture);

    // Best without a cutoff: a capture changes nothing; a quiet move gets half.
    Search::update_move_heuristics(pos, *ctx, 1, WHITE, capture, 2, false, nullptr, 0);
    EXPECT_EQ(Search::capture_history_value(WHITE, KNIGHT, move_to(capture), PAWN), 192);
    const Move pawn = mv(pos, "d2d3");
    Search::update_move_heuristics(pos, *ctx, 1, WHITE, pawn, 2, false, nullptr, 0);
    EXPECT_EQ(Search::history_value(WHITE, move_from(pawn), move_to(pawn)), 192);
    EXPECT_EQ(Search::counter_move(WHITE, move_from(prev1), move_to(prev1)), capture);
    EXPECT_EQ(Search::killer_move(1, 0), other);

    // From ply 4 on all three continuation tables learn; ply 0 keys nothing.
    ctx->stack[1].move = prev1;
    ctx->stack[3].move = prev1;
    Search::update_move_heuristics(pos, *ctx, 4, WHITE, pawn, 1, true, nullptr, 0);
    EXPECT_EQ(Search::continuation_value(1, pp, pt, move_piece(pawn), move_to(pawn)), 352);  // 192 raised by 160
    EXPECT_EQ(Search::continuation_value(2, pp, pt, move_piece(pawn), move_to(pawn)), 0);  // ply 2 empty
    EXPECT_EQ(Search::continuation_value(4, pp, pt, move_piece(pawn), move_to(pawn)), 160);

    // new_game forgets everything.
    Search::new_game();
    EXPECT_EQ(Search::history_value(WHITE, move_from(quiet), move_to(quiet)), 0);
    EXPECT_EQ(Search::killer_move(1, 0), 0u);
    EXPECT_EQ(Search::counter_move(WHITE, move_from(prev1), move_to(prev1)), 0u);
}

TEST_F(SearchTest, CorrectionHistoryUpdate) {
    Position pos = from_fen(START);
    ctx->reset();
    auto pawnEntry = [&] { return Search::pawn_corr_value(pos.side, pos.pawn_key); };
    auto nonPawnEntry = [&] { return Search::non_pawn_corr_value(pos.side, pos.non_pawn_key); };

    Search::update_corr_hist(pos, *ctx, 1, SCORE_NONE, 500, 10);  // no evaluation: nothing
    EXPECT_EQ(pawnEntry(), 0);
    Search::update_corr_hist(pos, *ctx, 1, 0, 1000, 1);  // weight 2, difference capped at 64
    EXPECT_EQ(pawnEntry(), 128);
    EXPECT_EQ(nonPawnEntry(), 128);
    Search::update_corr_hist(pos, *ctx, 1, 0, 1000, 40);  // weight capped at 16
    EXPECT_EQ(pawnEntry(), 1144);
    Search::update_corr_hist(pos, *ctx, 1, 50, 50, 15);  // no difference still pulls to 0
    EXPECT_EQ(pawnEntry(), 1072);
    // A miss of 64 or more again and again: the entry settles just below 64 * 256.
    for (int i = 0; i < 200; ++i) Search::update_corr_hist(pos, *ctx, 1, 0, 5000, 20);
    EXPECT_EQ(pawnEntry(), 16369);
    EXPECT_EQ(nonPawnEntry(), 16369);
    for (int i = 0; i < 400; ++i) Search::update_corr_hist(pos, *ctx, 1, 0, -5000, 20);
    EXPECT_EQ(pawnEntry(), -16369);

    // Without a previous move the continuation entry is neither read nor written.
    const Move prev1 = mv(pos, "e2e4");
    EXPECT_EQ(Search::cont_corr_value(move_piece(prev1), move_to(prev1)), 0);
    ctx->stack[0].move = prev1;
    Search::update_corr_hist(pos, *ctx, 1, 0, -1000, 1);
    EXPECT_EQ(Search::cont_corr_value(move_piece(prev1), move_to(prev1)), -128);
}

TEST_F(SearchTest, CorrectedEvaluationIsWeightedAndClamped) {
    Position pos = from_fen(START);
    ctx->reset();
    for (int i = 0; i < 200; ++i) Search::update_corr_hist(pos, *ctx, 1, 0, 5000, 20);
    // Pawn and non-pawn entries at 16369: (2 + 1) * 16369 / 512 = 95.
    struct Case {
        const char* param;
        int value;
        int raw;
        int expected;
    };
    const Case cases[] = {
        {"CorrWeightScale", 2, 100, 195},
        {"CorrWeightScale", 2, SCORE_NONE, SCORE_NONE},
        {"CorrWeightScale", 2, 9898990, 9898999},
        {"CorrWeightScale", 1, 100, 291},
        {"CorrWeightScale", 0, 100, 291},          // 0 or less counts as 1
        {"CorrWeightScale", -5, 100, 291},
        {"CorrWeightScale", 16777216, 100, 100},   // divisor 2^32: no wrap to 0
        {"CorrWeightScale", INT_MAX, 100, 100},
        {"CorrPawnWeight", INT_MAX, 0, 9898999},   // no 32-bit overflow
        {"CorrPawnWeight", INT_MIN, 0, -9898999},
        {"CorrPawnWeight", 0, -9898990, -9898990 + 31},
        {"CorrContWeight", INT_MAX, 100, 195},     // no previous move: unused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.param) + " " + std::to_string(c.value));
        for (const ParamDefault& p : PARAMS) Search::set_see_param(p.name, p.value);
        Search::set_see_param(c.param, c.value);
        EXPECT_EQ(Search::corrected_eval(pos, *ctx, 1, c.raw), c.expected);
    }
    // All weights 0: the raw value, still clamped out of the mate range.
    Search::set_see_param("CorrPawnWeight", 0);
    Search::set_see_param("CorrNonPawnWeight", 0);
    EXPECT_EQ(Search::corrected_eval(pos, *ctx, 1, 9899500), 9898999);
    EXPECT_EQ(Search::corrected_eval(pos, *ctx, 1, -37), -37);
}

TEST_F(SearchTest, MateScoreConversion) {
    struct Case {
        int score, storePly, probePly, stored, probed;
    };
    const Case cases[] = {
        {MATE_THRESHOLD, 3, 5, MATE_THRESHOLD, MATE_THRESHOLD},
        {-MATE_THRESHOLD, 3, 5, -MATE_THRESHOLD, -MATE_THRESHOLD},
        {MATE_THRESHOLD + 1, 3, 5, MATE_THRESHOLD + 4, MATE_THRESHOLD - 1},
        {SCORE_MATE - 7, 7, 2, SCORE_MATE, SCORE_MATE - 2},
        {-SCORE_MATE + 7, 7, 2, -SCORE_MATE, -SCORE_MATE + 2},
        {1234, 9, 1, 1234, 1234},
    };
    for (const Case& c : cases) {
        const int stored = Search::score_to_tt(c.score, c.storePly);
        EXPECT_EQ(stored, c.stored) << c.score;
        // Through the table itself, which keeps what it is given.
        TT::store(0xABCDEF12345ULL, 0, 5, stored, SCORE_NONE, TT::EXACT);
        int depth, score, eval;
        TT::Bound bound;
        TT::probe(0xABCDEF12345ULL, 0, depth, score, eval, bound);
        EXPECT_EQ(Search::score_from_tt(score, c.probePly), c.probed) << c.score;
    }
}

TEST_F(SearchTest, SetSeeParamMatchesNamesExactly) {
    int32_t v = 1000;
    for (const ParamDefault& p : PARAMS) {
        Search::set_see_param(p.name, ++v);
        EXPECT_EQ(p.param->load(), v) << p.name;
    }
    for (const ParamDefault& p : PARAMS) {
        std::string lower = p.name;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const int32_t before = p.param->load();
        const std::string exact = p.name;
        std::string variants[4] = {lower, exact, exact, exact.substr(0, exact.size() - 1)};
        variants[1].push_back(' ');
        variants[2].insert(variants[2].begin(), ' ');
        for (const std::string& name : variants) Search::set_see_param(name, -77);
        EXPECT_EQ(p.param->load(), before) << p.name;
    }
    Search::set_see_param("SeeQuietDepth", 0);
    EXPECT_EQ(Search::g_seeQuietDepth.load(), 0);
    Search::set_see_param("SeeQuietDepth", INT_MIN);
    EXPECT_EQ(Search::g_seeQuietDepth.load(), INT_MIN);
}

// The stop protocol between threads: the command thread changes parameters
// while the search reads them, then requests a stop; the search on its own
// thread ends in the iteration it is in and answers with the last completed
// one, whose best move is legal.
TEST_F(SearchTest, StopFromAnotherThreadEndsTheSearchWithACompletedIteration) {
    const Position root = from_fen(vwtest::KIWIPETE);
    std::atomic<int> reports{0};
    std::vector<Search::SearchInfo> infos;  // written by the search thread only until it is joined
    Search::SearchResult r;
    Search::clear_stop();
    std::thread searcher([&] {
        Search::SearchLimits limits;  // no depth, node or time limit: only a stop ends it
        r = Search::search_position(root, limits, [&](const Search::SearchInfo& info) {
            infos.push_back(info);
            reports.fetch_add(1);
        });
    });
    for (int i = 0; reports.load() < 3; ++i)
        for (const ParamDefault& p : PARAMS) Search::set_see_param(p.name, (i & 1) ? p.value + 1 : p.value);
    for (const ParamDefault& p : PARAMS) Search::set_see_param(p.name, p.value);
    Search::request_stop();
    searcher.join();

    ASSERT_GE(infos.size(), 3u);
    EXPECT_TRUE(r.stopped);
    EXPECT_LT(r.depth, 64);  // it did not run out of iterations
    EXPECT_EQ(r.depth, infos.back().depth);
    EXPECT_EQ(r.pv, infos.back().pv);
    EXPECT_EQ(r.best_move, infos.back().pv.front());
    Position pos = root;
    std::vector<unsigned> legal;
    MoveGen::generate_legal(pos, legal);
    EXPECT_NE(std::find(legal.begin(), legal.end(), r.best_move), legal.end());
    EXPECT_TRUE(Search::stop_requested());  // the search never clears the flag
}

// Any 32-bit parameter value is taken; the search must stay sound.
TEST_F(SearchTest, ExtremeParameterValuesStaySound) {
    const int32_t values[] = {INT_MIN, -1, 0, 1, 16777216, INT_MAX};
    for (int32_t value : values) {
        SCOPED_TRACE(value);
        for (const ParamDefault& p : PARAMS) Search::set_see_param(p.name, value);
        Search::new_game();
        const Search::SearchResult r = run(from_fen(vwtest::KIWIPETE), 5);
        EXPECT_EQ(r.depth, 5);
        EXPECT_NE(r.best_move, 0u);
        EXPECT_LT(std::abs(r.score), SCORE_INFINITE);
    }
}

// ---- Quiescence at its bounds ---------------------------------------------------------

TEST_F(SearchTest, QuiescenceBounds) {
    const char* mated = "6k1/8/8/8/8/8/5PPP/r5K1 w - - 0 80";
    const char* quiet = "4k3/8/8/3p4/4P3/8/8/4K3 w - - 0 1";
    // In check it searches evasions at any q-ply, and scores a mate by ply.
    for (int qply : {0, 23, 24, 60}) {
        Position pos = from_fen(mated);
        ctx->reset();
        EXPECT_EQ(Search::quiescence(pos, *ctx, -SCORE_INFINITE, SCORE_INFINITE, 7, qply), 7 - SCORE_MATE);
    }
    // Out of check, beyond q-ply 23, the plain evaluation, even over an exact entry.
    Position pos = from_fen(quiet);
    TT::store(pos.key, 0, 3, 4321, SCORE_NONE, TT::EXACT);
    ctx->reset();
    EXPECT_EQ(Search::quiescence(pos, *ctx, -SCORE_INFINITE, SCORE_INFINITE, 3, 23), 4321);
    EXPECT_EQ(Search::quiescence(pos, *ctx, -SCORE_INFINITE, SCORE_INFINITE, 3, 24), evaluate(pos));
    // Ply 127: the evaluation (0 in check for the quiescence search), no node counted.
    Position checked = from_fen("4k3/8/8/8/8/8/4q3/4K3 w - - 0 1");
    ctx->reset();
    EXPECT_EQ(Search::quiescence(pos, *ctx, -SCORE_INFINITE, SCORE_INFINITE, 127, 0), evaluate(pos));
    EXPECT_EQ(Search::quiescence(checked, *ctx, -SCORE_INFINITE, SCORE_INFINITE, 127, 0), 0);
    EXPECT_EQ(Search::negamax(pos, *ctx, 5, -SCORE_INFINITE, SCORE_INFINITE, 127), evaluate(pos));
    EXPECT_EQ(Search::negamax(checked, *ctx, 5, -SCORE_INFINITE, SCORE_INFINITE, 127), evaluate(checked));
    EXPECT_EQ(ctx->nodes, 0u);
    EXPECT_EQ(ctx->seldepth, 127);
}

TEST_F(SearchTest, QuiescenceStalemateAndStandPat) {
    const char* stalemate = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1";
    Position pos = from_fen(stalemate);
    ctx->reset();
    EXPECT_EQ(Search::quiescence(pos, *ctx, -SCORE_INFINITE, SCORE_INFINITE, 1, 0), 0);
    int depth, score, eval;
    TT::Bound bound;
    EXPECT_EQ(TT::probe(pos.key, 0, depth, score, eval, bound), 0u);
    EXPECT_EQ(bound, TT::EXACT);
    EXPECT_EQ(score, 0);
    // With the stand pat at or above beta the node returns beta first.
    Search::new_game();
    ctx->reset();
    EXPECT_EQ(Search::quiescence(pos, *ctx, -SCORE_INFINITE, -5000, 1, 0), -5000);
    // Fail-hard: a result never leaves the window.
    Position kiwi = from_fen(vwtest::KIWIPETE);
    for (int a : {-300, -50, 0, 200}) {
        Search::new_game();  // no table score from another window
        ctx->reset();
        const int v = Search::quiescence(kiwi, *ctx, a, a + 40, 1, 0);
        EXPECT_GE(v, a);
        EXPECT_LE(v, a + 40);
    }
}

// Plies near 127: every per-ply access stays in bounds (checked under ASan).
TEST_F(SearchTest, DeepPliesStayInBounds) {
    for (const char* fen : {vwtest::KIWIPETE, vwtest::ENDGAME,
                            "6k1/8/8/8/8/8/4q3/4K3 w - - 0 1"}) {
        for (int ply : {110, 120, 124, 126}) {
            Position pos = from_fen(fen);
            const std::string before = pos.to_fen();
            ctx->reset();
            Search::negamax(pos, *ctx, 8, -SCORE_INFINITE, SCORE_INFINITE, ply);
            EXPECT_EQ(pos.to_fen(), before);
            EXPECT_LE(ctx->seldepth, 127);
            EXPECT_LE(ctx->pv_length[ply], MAX_PLY);
        }
    }
}

// ---- Driver ---------------------------------------------------------------------------

TEST_F(SearchTest, DeterministicWithLegalPrincipalVariations) {
    for (const char* fen : {START, vwtest::KIWIPETE, vwtest::ENDGAME}) {
        SCOPED_TRACE(fen);
        const Position root = from_fen(fen);
        Search::new_game();
        std::vector<Search::SearchInfo> first;
        const Search::SearchResult a = run(root, 8, &first);
        Search::new_game();
        std::vector<Search::SearchInfo> second;
        const Search::SearchResult b = run(root, 8, &second);
        EXPECT_EQ(a.nodes, b.nodes);
        EXPECT_EQ(a.score, b.score);
        EXPECT_EQ(a.pv, b.pv);
        ASSERT_EQ(first.size(), 8u);
        for (const Search::SearchInfo& info : first) {
            Position p = root;
            ASSERT_FALSE(info.pv.empty());
            for (Move m : info.pv) {
                std::vector<unsigned> legal;
                MoveGen::generate_legal(p, legal);
                ASSERT_NE(std::find(legal.begin(), legal.end(), m), legal.end()) << pv_text(info.pv);
                p.make_move(m);
            }
        }
        EXPECT_EQ(a.best_move, first.back().pv.front());
        EXPECT_EQ(a.pv, first.back().pv);
        EXPECT_EQ(a.depth, 8);
    }
}

TEST_F(SearchTest, NodeLimitStopsAfterDepthOne) {
    struct Case {
        uint64_t limit;
        uint64_t nodes;
        int depth;
        const char* pv;
    };
    const Case cases[] = {
        {1, 51, 1, "e2e4"},  // depth 1 always completes; the next node stops
        {1000, 1000, 3, "d2d4 d7d5 e2e3"},
        {2319, 2319, 3, "d2d4 d7d5 e2e3"},  // the limit is hit inside depth 4
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        Search::new_game();
        const Search::SearchResult r = run(from_fen(START), 0, nullptr, c.limit);
        EXPECT_TRUE(r.stopped);
        EXPECT_EQ(r.nodes, c.nodes);
        EXPECT_EQ(r.depth, c.depth);
        EXPECT_EQ(pv_text(r.pv), c.pv);
        EXPECT_TRUE(Search::stop_requested());  // the search never clears the flag
    }
}

TEST_F(SearchTest, StopBeforeStartStillCompletesDepthOne) {
    Search::request_stop();
    Search::SearchLimits limits;
    limits.depth = 20;
    int reports = 0;
    const Search::SearchResult r =
        Search::search_position(from_fen(START), limits, [&](const Search::SearchInfo&) { ++reports; });
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(r.depth, 1);
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(move_to_uci(r.best_move), "e2e4");
}

TEST_F(SearchTest, TimeLimits) {
    // An optimum of 0 ends the search after depth 1.
    Search::SearchLimits limits;
    limits.time_managed = true;
    const Search::SearchResult r = Search::search_position(from_fen(START), limits, nullptr);
    EXPECT_EQ(r.depth, 1);
    EXPECT_FALSE(r.stopped);

    // A soft limit scaled beyond 32 bits is capped, not wrapped to a negative
    // value that would end the search early.
    Search::new_game();
    limits.depth = 7;
    limits.optimum_ms = INT_MAX - 1000;
    limits.maximum_ms = INT_MAX;
    EXPECT_EQ(Search::search_position(from_fen(START), limits, nullptr).depth, 7);
    limits.cap_at_maximum = true;
    Search::new_game();
    EXPECT_EQ(Search::search_position(from_fen(START), limits, nullptr).depth, 7);

    // The largest depth limit: the iteration counter must not overflow.
    limits = Search::SearchLimits{};
    limits.depth = INT_MAX;
    limits.nodes = 3000;
    const Search::SearchResult deep =
        Search::search_position(from_fen("r1bqkbnr/pppp1ppp/2n5/4p3/2B1P3/5Q2/PPPP1PPP/RNB1K1NR w KQkq - 4 4"),
                                limits, nullptr);
    EXPECT_TRUE(deep.stopped);
    EXPECT_GT(deep.depth, 5);
    EXPECT_EQ(deep.score, SCORE_MATE - 1);
}

// Runs fn on a new thread with a stack of the given size. glibc allocates such
// a stack with a guard page below it, so a search that needs more crashes the
// test instead of writing over other memory.
void run_on_stack_of(size_t size, void (*fn)()) {
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, size), 0);
    size_t guard = 0;
    pthread_attr_getguardsize(&attr, &guard);
    EXPECT_GT(guard, 0u);
    pthread_t thread;
    auto body = [](void* f) -> void* {
        reinterpret_cast<void (*)()>(f)();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, body, reinterpret_cast<void*>(fn)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

int g_deepSeldepth = 0;

// Deep lines: from the start position the first moves tried are pawn moves
// and captures, which keep the fifty-move and repetition rules away, so the
// first descent of a very deep search runs down to the ply limit.
void deep_search() {
    Position pos;
    std::string err;
    pos.set_from_fen(START, err);
    auto ctx = std::make_unique<Search::SearchContext>();
    ctx->limits.nodes = 20000;
    ctx->completed_depth = 1;  // lets the node limit stop the search
    Search::negamax(pos, *ctx, 400, -SCORE_INFINITE, SCORE_INFINITE, 1);
    g_deepSeldepth = ctx->seldepth;
    // Then many iterations of a real search in a king and pawn ending.
    Search::clear_stop();
    pos.set_from_fen("8/3k4/8/8/3P4/8/3K4/8 w - - 0 1", err);
    Search::SearchLimits limits;
    limits.depth = 200;
    limits.nodes = 300000;
    const Search::SearchResult r = Search::search_position(pos, limits, nullptr);
    g_deepSeldepth = std::max(g_deepSeldepth, r.seldepth);
}

// The search at its deepest plies uses about 1.6 MB of stack (2.4 MB under
// ThreadSanitizer); it must fit in 4 MiB, which sanitizer builds double for
// their larger frames.
#ifdef VW_SANITIZED
constexpr size_t SEARCH_STACK_LIMIT = size_t(8) << 20;
#else
constexpr size_t SEARCH_STACK_LIMIT = size_t(4) << 20;
#endif

TEST_F(SearchTest, DeepRecursionFitsInAGuardedStack) {
    run_on_stack_of(SEARCH_STACK_LIMIT, deep_search);
    Search::clear_stop();
    EXPECT_GE(g_deepSeldepth, 120);
}

}  // namespace
