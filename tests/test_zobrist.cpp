// Zobrist keys: draw order, from-scratch keys, transpositions, and the
// lookups the engine does not call against the keys it keeps.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "board/movegen.h"
#include "board/position.h"
#include "board/zobrist.h"
#include "tests/test_util.h"

using vwtest::from_fen;
using vwtest::mv;

namespace {
class ZobristTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { vwtest::init_tables(); }
};
}  // namespace

TEST_F(ZobristTest, DrawOrderFollowsTheMersenneTwister) {
    std::mt19937_64 rng(0x9E3779B97F4A7C15ULL);
    for (int p = 0; p < 12; ++p)
        for (int s = 0; s < 64; ++s) ASSERT_EQ(Zobrist::piece_key(p, s), rng()) << p << " " << s;
    for (int r = 0; r < 16; ++r) ASSERT_EQ(Zobrist::castling_key(r), rng()) << r;
    for (int f = 0; f < 8; ++f) ASSERT_EQ(Zobrist::ep_file_key(f), rng()) << f;
    EXPECT_EQ(Zobrist::side_key(), rng());
}

TEST_F(ZobristTest, ReferenceValues) {
    // Fixed numbers: the same in every run and on every platform.
    EXPECT_EQ(Zobrist::piece_key(0, 0), 0xFC1CAB57D3E7BFF9ULL);     // 1st draw
    EXPECT_EQ(Zobrist::piece_key(11, 63), 0x0661115A0EF0DD5FULL);   // 768th
    EXPECT_EQ(Zobrist::castling_key(0), 0xC04CCCB037E9BF4CULL);     // 769th
    EXPECT_EQ(Zobrist::ep_file_key(0), 0xC5AAA14EE38E8767ULL);      // 785th
    EXPECT_EQ(Zobrist::side_key(), 0xD5120FB09E473306ULL);          // 793rd
}

TEST_F(ZobristTest, EmptyBoardKeys) {
    Position pos;
    EXPECT_EQ(pos.key, Zobrist::castling_key(0));
    EXPECT_EQ(pos.pawn_key, 0u);
    EXPECT_EQ(pos.non_pawn_key, 0u);
    EXPECT_EQ(Zobrist::compute_key(pos), Zobrist::castling_key(0));
}

TEST_F(ZobristTest, StartPositionKeysFromScratch) {
    const Position pos = from_fen(vwtest::START);
    uint64_t k = Zobrist::castling_key(15), pk = 0, npk = 0;
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p < 0) continue;
        k ^= Zobrist::piece_key(p, s);
        (p % 6 == 0 ? pk : npk) ^= Zobrist::piece_key(p, s);
    }
    EXPECT_EQ(pos.key, k);
    EXPECT_EQ(pos.pawn_key, pk);
    EXPECT_EQ(pos.non_pawn_key, npk);
}

TEST_F(ZobristTest, KnightShuffleTransposesToStart) {
    Position pos = from_fen(vwtest::START);
    const uint64_t start = pos.key;
    for (const char* m : {"g1f3", "g8f6", "f3g1", "f6g8"}) {
        pos.make_move(mv(pos, m));
        EXPECT_EQ(pos.key, Zobrist::compute_key(pos)) << m;
    }
    EXPECT_EQ(pos.key, start);
    EXPECT_EQ(pos.key_history.size(), 5u);
    EXPECT_EQ(pos.key_history.front(), start);
    EXPECT_EQ(pos.key_history.back(), start);
    EXPECT_EQ(pos.repetition_count(), 2);
    EXPECT_FALSE(pos.is_threefold_repetition());
}

TEST_F(ZobristTest, SideToMoveDiffersByExactlySideKey) {
    const Position w = from_fen("4k3/8/8/8/8/8/8/R3K3 w Q - 0 1");
    const Position b = from_fen("4k3/8/8/8/8/8/8/R3K3 b Q - 0 1");
    EXPECT_EQ(w.key ^ b.key, Zobrist::side_key());
    EXPECT_EQ(w.pawn_key, b.pawn_key);
    EXPECT_EQ(w.non_pawn_key, b.non_pawn_key);
}

TEST_F(ZobristTest, UnusableEnPassantSquareHasNoKey) {
    const Position a = from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1");
    const Position b = from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(a.ep_square, NO_SQUARE);
    EXPECT_EQ(a.key, b.key);
    // A usable one does carry its file key.
    const Position c = from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
    const Position d = from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(c.ep_square, vwtest::sq("d6"));
    EXPECT_EQ(c.key ^ d.key, Zobrist::ep_file_key(3));
}

// The two lookups nothing in the engine calls, against the keys make and
// unmake keep on positions of random games (null moves, castlings, en
// passant and promotions among them): the pawn keys summed over the pawns
// give the pawn key, and the repetition key is the full key.
TEST_F(ZobristTest, PawnAndRepetitionKeysAgreeWithTheKeysOfPlayedGames) {
    std::mt19937_64 rng(4242);
    int withEnPassant = 0, blackToMove = 0;
    for (const char* fen : vwtest::PERFT_POSITIONS) {
        for (int game = 0; game < 10; ++game) {
            Position pos = from_fen(fen);
            for (int ply = 0; ply < 60; ++ply) {
                uint64_t pawns = 0;
                for (Color c : {WHITE, BLACK})
                    for (Bitboard b = pos.pieces[6 * c + PAWN]; b;) pawns ^= Zobrist::pawn_piece_key(c, pop_lsb(b));
                ASSERT_EQ(pawns, pos.pawn_key) << pos.to_fen();
                ASSERT_EQ(Zobrist::compute_rep_key(pos), pos.key) << pos.to_fen();
                withEnPassant += pos.ep_square != NO_SQUARE;
                blackToMove += pos.side == BLACK;

                std::vector<unsigned> legal;
                MoveGen::generate_legal(pos, legal);
                if (legal.empty()) break;
                if (rng() % 10 == 0 && !pos.in_check(Color(pos.side)))
                    pos.make_null_move();
                else
                    pos.make_move(legal[rng() % legal.size()]);
            }
        }
    }
    EXPECT_GT(withEnPassant, 5);
    EXPECT_GT(blackToMove, 1000);
}

TEST_F(ZobristTest, RecomputeOccupanciesRebuildsKeys) {
    Position pos = from_fen(vwtest::KIWIPETE);
    const Position ref = pos;
    pos.key = pos.pawn_key = pos.non_pawn_key = 0;
    pos.recompute_occupancies();
    EXPECT_EQ(pos.key, ref.key);
    EXPECT_EQ(pos.pawn_key, ref.pawn_key);
    EXPECT_EQ(pos.non_pawn_key, ref.non_pawn_key);
}
