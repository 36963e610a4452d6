// Perft: published node and move-kind counts of the standard positions, the
// divide listing, and trees that end at once.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "board/movegen.h"
#include "board/move.h"
#include "board/perft.h"
#include "board/position.h"
#include "tests/test_util.h"

namespace {

using namespace vwtest;

constexpr int64_t ANY = -1;  // counter not checked

struct PerftCase {
    const char* fen;
    int depth;
    int64_t nodes, captures, enpassant, castles, promotions;
};

void check(const PerftCase& c) {
    SCOPED_TRACE(std::string(c.fen) + " depth " + std::to_string(c.depth));
    Position pos = from_fen(c.fen);
    const Position before = pos;

    const PerftResult r = perft(pos, c.depth);
    EXPECT_EQ(int64_t(r.nodes), c.nodes);
    if (c.captures != ANY) {
        EXPECT_EQ(int64_t(r.captures), c.captures);
    }
    if (c.enpassant != ANY) {
        EXPECT_EQ(int64_t(r.enpassant), c.enpassant);
    }
    if (c.castles != ANY) {
        EXPECT_EQ(int64_t(r.castles), c.castles);
    }
    if (c.promotions != ANY) {
        EXPECT_EQ(int64_t(r.promotions), c.promotions);
    }

    expect_same_state(pos, before);
}

// Small trees: quick enough for the sanitizer build.
const PerftCase SHALLOW[] = {
    {START, 0, 1, 0, 0, 0, 0},
    {START, 1, 20, 0, 0, 0, 0},
    {START, 2, 400, 0, 0, 0, 0},
    {START, 3, 8902, 34, 0, 0, 0},
    {START, 4, 197281, 1576, 0, 0, 0},
    {KIWIPETE, 1, 48, 8, 0, 2, 0},
    {KIWIPETE, 2, 2039, 351, 1, 91, 0},
    {KIWIPETE, 3, 97862, 17102, 45, 3162, 0},
    {ENDGAME, 1, 14, 1, 0, 0, 0},
    {ENDGAME, 2, 191, 14, 0, 0, 0},
    {ENDGAME, 3, 2812, 209, 2, 0, 0},
    {ENDGAME, 4, 43238, 3348, 123, 0, 0},
    {PROMOTIONS, 1, 6, 0, 0, 0, 0},
    {PROMOTIONS, 2, 264, 87, 0, 6, 48},
    {PROMOTIONS, 3, 9467, 1021, 4, 0, 120},
    {PROMOTIONS_MIRRORED, 1, 6, 0, 0, 0, 0},
    {PROMOTIONS_MIRRORED, 2, 264, 87, 0, 6, 48},
    {PROMOTIONS_MIRRORED, 3, 9467, 1021, 4, 0, 120},
    {PAWN_ON_D7, 1, 44, ANY, ANY, ANY, ANY},
    {PAWN_ON_D7, 2, 1486, ANY, ANY, ANY, ANY},
    {PAWN_ON_D7, 3, 62379, ANY, ANY, ANY, ANY},
    {MIDDLEGAME, 1, 46, ANY, ANY, ANY, ANY},
    {MIDDLEGAME, 2, 2079, ANY, ANY, ANY, ANY},
    {MIDDLEGAME, 3, 89890, ANY, ANY, ANY, ANY},
    // One pawn promoting straight and by capture: 8 promotions, 4 captures.
    {"r3k3/1P6/8/8/8/8/8/7K w - - 0 1", 1, 11, 4, 0, 0, 8},
    // An en passant capture at the last ply counts in nodes, captures, en passant.
    {"4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", 1, 7, 1, 1, 0, 0},
    // Checkmate and stalemate count nothing below the root, one node at depth 0.
    {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", 0, 1, 0, 0, 0, 0},
    {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", 1, 0, 0, 0, 0, 0},
    {"rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", 3, 0, 0, 0, 0, 0},
    {"7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", 0, 1, 0, 0, 0, 0},
    {"7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", 2, 0, 0, 0, 0, 0},
    // A depth below 0 counts as 0: the position itself.
    {START, -1, 1, 0, 0, 0, 0},
    {KIWIPETE, -2147483647 - 1, 1, 0, 0, 0, 0},
};

// Larger trees: Release builds only.
const PerftCase DEEP[] = {
    {START, 5, 4865609, 82719, 258, 0, 0},
    {ENDGAME, 5, 674624, 52051, 1165, 0, 0},
    {PROMOTIONS, 4, 422333, 131393, 0, 7795, 60032},
    {PAWN_ON_D7, 4, 2103487, ANY, ANY, ANY, ANY},
    {MIDDLEGAME, 4, 3894594, ANY, ANY, ANY, ANY},
};

TEST(Perft, KnownCountsShallow) {
    for (const PerftCase& c : SHALLOW) check(c);
}

TEST(Perft, KnownCountsDeep) {
#ifdef VW_SANITIZED
    GTEST_SKIP() << "deep perft trees are too slow under the sanitizers";
#endif
    for (const PerftCase& c : DEEP) check(c);
}

TEST(Perft, DivideFollowsLegalOrderAndSumsToPerft) {
    const char* fens[] = {START, KIWIPETE, ENDGAME, PROMOTIONS};
    for (const char* fen : fens) {
        SCOPED_TRACE(fen);
        Position pos = from_fen(fen);
        std::vector<unsigned> legal;
        MoveGen::generate_legal(pos, legal);
        for (int depth = 1; depth <= 3; ++depth) {
            const auto divided = perft_divide(pos, depth);
            ASSERT_EQ(divided.size(), legal.size());
            uint64_t sum = 0;
            for (size_t i = 0; i < legal.size(); ++i) {
                EXPECT_EQ(divided[i].first, move_to_uci(legal[i]));
                if (depth == 1) {
                    EXPECT_EQ(divided[i].second, 1u);
                }
                sum += divided[i].second;
            }
            EXPECT_EQ(sum, perft(pos, depth).nodes);
        }
    }
    Position start = from_fen(START);
    const auto d2 = perft_divide(start, 2);
    ASSERT_EQ(d2.size(), 20u);
    EXPECT_EQ(d2[0].first, "a2a3");
    EXPECT_EQ(d2[0].second, 20u);
}

TEST(Perft, DivideBelowDepthOneIsEmpty) {
    Position pos = from_fen(START);
    EXPECT_TRUE(perft_divide(pos, 0).empty());
    EXPECT_TRUE(perft_divide(pos, -5).empty());
    Position mate = from_fen("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3");
    EXPECT_TRUE(perft_divide(mate, 3).empty());
}

// A tree that dies out answers at once whatever depth is asked: nothing is
// set up for plies the count never reaches.
TEST(Perft, LargestDepthOnATreeThatEndsAnswers) {
    Position stalemate = from_fen("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1");
    EXPECT_EQ(perft(stalemate, std::numeric_limits<int>::max()).nodes, 0u);
    Position mate = from_fen("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3");
    EXPECT_TRUE(perft_divide(mate, std::numeric_limits<int>::max()).empty());
}

TEST(Perft, NoKingCountsNothingBelowTheRoot) {
    Position pos = from_fen(START);
    pos.clear();
    EXPECT_EQ(perft(pos, 0).nodes, 1u);
    EXPECT_EQ(perft(pos, 2).nodes, 0u);
}

}  // namespace
