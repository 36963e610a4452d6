// Position and make/unmake: queries, pins, material,
// repetitions, en passant legality, and make/unmake restoring every field
// with incremental keys equal to the from-scratch keys.
//
// The move lists used here come from a small naive generator in this file
// (ray walks, legality by Position::is_move_legal), so these tests do not
// depend on MoveGen.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "board/attack.h"
#include "board/move.h"
#include "board/pext.h"
#include "board/position.h"
#include "board/zobrist.h"
#include "tests/test_util.h"

using vwtest::bb;
using vwtest::from_fen;
using vwtest::mv;
using vwtest::sq;

namespace {

class PositionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { vwtest::init_tables(); }
};

constexpr Bitboard ALL = ~Bitboard(0);

// ---- naive reference move generator --------------------------------------

void add_pawn_moves(std::vector<Move>& out, int from, int to, int piece, uint32_t flags) {
    const int r = to >> 3;
    if (r == 0 || r == 7) {
        for (int promo : {4, 3, 2, 1}) out.push_back(make_move_word(from, to, piece, promo, flags));
    } else {
        out.push_back(make_move_word(from, to, piece, 0, flags));
    }
}

std::vector<Move> naive_pseudo_moves(const Position& pos) {
    std::vector<Move> out;
    const int us = pos.side, them = us ^ 1;
    const Bitboard own = pos.occupancy[us], enemy = pos.occupancy[them];
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p == NO_PIECE || (p > 5) != (us == BLACK)) continue;
        Bitboard targets = 0;
        switch (p % 6) {
            case PAWN: {
                const int step = us == WHITE ? 8 : -8;
                const int t = s + step;
                if (t >= 0 && t < 64 && pos.board[t] == NO_PIECE) {
                    add_pawn_moves(out, s, t, p, 0);
                    const int start_rank = us == WHITE ? 1 : 6;
                    if ((s >> 3) == start_rank && pos.board[t + step] == NO_PIECE)
                        out.push_back(make_move_word(s, t + step, p, 0, FLAG_DOUBLE_PUSH));
                }
                const Bitboard att = us == WHITE ? Attack::pawnAttacksWhite[s] : Attack::pawnAttacksBlack[s];
                Bitboard caps = att & enemy;
                while (caps) add_pawn_moves(out, s, pop_lsb(caps), p, FLAG_CAPTURE);
                if (pos.ep_square != NO_SQUARE && (att & square_bb(pos.ep_square)))
                    out.push_back(make_move_word(s, pos.ep_square, p, 0, FLAG_CAPTURE | FLAG_EN_PASSANT));
                continue;
            }
            case KNIGHT: targets = Attack::knightAttacks[s]; break;
            case BISHOP: targets = Attack::sliding_attacks_bishop(s, pos.occupied); break;
            case ROOK: targets = Attack::sliding_attacks_rook(s, pos.occupied); break;
            case QUEEN: targets = Attack::sliding_attacks_queen(s, pos.occupied); break;
            case KING: targets = Attack::kingAttacks[s]; break;
        }
        targets &= ~own;
        while (targets) {
            const int t = pop_lsb(targets);
            out.push_back(make_move_word(s, t, p, 0, (enemy & square_bb(t)) ? FLAG_CAPTURE : 0));
        }
    }
    const Color them_c = Color(them);
    auto empty = [&](std::initializer_list<const char*> sqs) { return (pos.occupied & bb(sqs)) == 0; };
    auto safe = [&](std::initializer_list<const char*> sqs) {
        for (const char* n : sqs)
            if (pos.is_square_attacked(sq(n), them_c)) return false;
        return true;
    };
    const uint32_t cr = pos.castling_rights;
    if (us == WHITE && pos.board[sq("e1")] == 5) {
        if ((cr & CASTLE_WHITE_KING) && pos.board[sq("h1")] == 3 && empty({"f1", "g1"}) && safe({"e1", "f1", "g1"}))
            out.push_back(MOVE_WHITE_OO);
        if ((cr & CASTLE_WHITE_QUEEN) && pos.board[sq("a1")] == 3 && empty({"b1", "c1", "d1"}) &&
            safe({"e1", "d1", "c1"}))
            out.push_back(MOVE_WHITE_OOO);
    }
    if (us == BLACK && pos.board[sq("e8")] == 11) {
        if ((cr & CASTLE_BLACK_KING) && pos.board[sq("h8")] == 9 && empty({"f8", "g8"}) && safe({"e8", "f8", "g8"}))
            out.push_back(MOVE_BLACK_OO);
        if ((cr & CASTLE_BLACK_QUEEN) && pos.board[sq("a8")] == 9 && empty({"b8", "c8", "d8"}) &&
            safe({"e8", "d8", "c8"}))
            out.push_back(MOVE_BLACK_OOO);
    }
    return out;
}

std::vector<Move> naive_legal_moves(const Position& pos) {
    std::vector<Move> out;
    for (Move m : naive_pseudo_moves(pos))
        if (pos.is_move_legal(m)) out.push_back(m);
    return out;
}

// Field-by-field equality without the pin cache; quiet (no gtest output).
bool same_state(const Position& a, const Position& b) {
    return std::memcmp(a.pieces, b.pieces, sizeof a.pieces) == 0 && std::memcmp(a.board, b.board, sizeof a.board) == 0 &&
           std::memcmp(a.piece_count, b.piece_count, sizeof a.piece_count) == 0 &&
           a.king_square[0] == b.king_square[0] && a.king_square[1] == b.king_square[1] &&
           a.occupancy[0] == b.occupancy[0] && a.occupancy[1] == b.occupancy[1] && a.occupied == b.occupied &&
           a.side == b.side && a.castling_rights == b.castling_rights && a.ep_square == b.ep_square &&
           a.halfmove_clock == b.halfmove_clock && a.fullmove_number == b.fullmove_number &&
           a.plies_since_null == b.plies_since_null && a.key == b.key && a.pawn_key == b.pawn_key &&
           a.non_pawn_key == b.non_pawn_key && a.key_history == b.key_history;
}

bool keys_from_scratch(const Position& pos) {
    return pos.key == Zobrist::compute_key(pos) && pos.pawn_key == Zobrist::compute_pawn_key(pos) &&
           pos.non_pawn_key == Zobrist::compute_non_pawn_key(pos) && !pos.key_history.empty() &&
           pos.key_history.back() == pos.key;
}

uint64_t naive_perft(Position& pos, int depth, int& failures) {
    if (depth == 0) return 1;
    uint64_t n = 0;
    for (Move m : naive_legal_moves(pos)) {
        const Position before = pos;
        const Position::Undo u = pos.make_move(m);
        if (!keys_from_scratch(pos) && failures++ < 5)
            ADD_FAILURE() << "keys after " << move_to_uci(m) << " in " << before.to_fen();
        n += naive_perft(pos, depth - 1, failures);
        pos.unmake_move(u);
        if (!same_state(pos, before) && failures++ < 5)
            ADD_FAILURE() << "unmake of " << move_to_uci(m) << " in " << before.to_fen();
    }
    return n;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, clear, placement

TEST_F(PositionTest, ClearedBoard) {
    Position pos;
    for (int p = 0; p < 12; ++p) {
        EXPECT_EQ(pos.pieces[p], 0u);
        EXPECT_EQ(pos.piece_count[p], 0);
    }
    for (int s = 0; s < 64; ++s) EXPECT_EQ(pos.board[s], NO_PIECE);
    EXPECT_EQ(pos.king_square[0], NO_SQUARE);
    EXPECT_EQ(pos.king_square[1], NO_SQUARE);
    EXPECT_EQ(pos.occupied, 0u);
    EXPECT_EQ(pos.side, WHITE);
    EXPECT_EQ(pos.castling_rights, 0u);
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    EXPECT_EQ(pos.halfmove_clock, 0);
    EXPECT_EQ(pos.fullmove_number, 1);
    EXPECT_EQ(pos.plies_since_null, 0);
    EXPECT_FALSE(pos.in_check(WHITE));
    EXPECT_FALSE(pos.in_check(BLACK));
    EXPECT_EQ(pos.checker_mask(WHITE), 0u);
    EXPECT_EQ(pos.checker_mask(BLACK), 0u);
    EXPECT_EQ(pos.check_block_mask(WHITE), ALL);
    EXPECT_EQ(pos.check_block_mask(BLACK), ALL);
    pos.compute_pins(WHITE);
    pos.compute_pins(BLACK);
    EXPECT_EQ(pos.pinned[0], 0u);
    EXPECT_EQ(pos.pinned[1], 0u);
    EXPECT_TRUE(pos.has_insufficient_material());
    EXPECT_FALSE(pos.has_non_pawn_material(WHITE));
    EXPECT_FALSE(pos.has_non_pawn_material(BLACK));
    ASSERT_EQ(pos.key_history.size(), 1u);
    EXPECT_EQ(pos.key_history[0], pos.key);
    EXPECT_GE(pos.key_history.capacity(), 256u);
}

TEST_F(PositionTest, ClearResetsEverything) {
    Position pos = from_fen(vwtest::KIWIPETE);
    pos.make_move(mv(pos, "e1g1"));
    pos.compute_pins(BLACK);
    pos.clear();
    vwtest::expect_same_state(pos, Position());
    for (int s = 0; s < 64; ++s) EXPECT_EQ(pos.pin_ray[s], 0u);
    EXPECT_EQ(pos.pinned[0] | pos.pinned[1], 0u);
}

TEST_F(PositionTest, PlacementKeepsInvariants) {
    Position pos;
    pos.set_piece_at_square(5, sq("e1"));
    pos.set_piece_at_square(11, sq("e8"));
    pos.set_piece_at_square(0, sq("d4"));
    pos.set_piece_at_square(4, sq("d1"));
    pos.key_history.back() = pos.key;  // placement leaves the history alone
    vwtest::expect_consistent(pos);
    EXPECT_EQ(pos.king_square[WHITE], sq("e1"));
    EXPECT_EQ(pos.piece_count[0], 1);
    // Replacing a piece removes the old one first.
    pos.set_piece_at_square(7, sq("d4"));
    EXPECT_EQ(pos.piece_count[0], 0);
    EXPECT_EQ(pos.piece_count[7], 1);
    EXPECT_EQ(pos.board[sq("d4")], 7);
    EXPECT_EQ(pos.pawn_key, 0u);
    pos.key_history.back() = pos.key;
    vwtest::expect_consistent(pos);
    // Removing the king clears its square; out-of-range squares do nothing.
    const Position before = pos;
    pos.set_piece_at_square(3, -1);
    pos.set_piece_at_square(3, 64);
    pos.remove_piece_at_square(0, 64);
    pos.remove_piece_at_square(0, -5);
    pos.remove_piece_at_square(0, sq("a5"));  // empty square
    vwtest::expect_same_state(pos, before);
    pos.remove_piece_at_square(0, sq("e1"));
    EXPECT_EQ(pos.king_square[WHITE], NO_SQUARE);
    pos.key_history.back() = pos.key;
    vwtest::expect_consistent(pos);
}

TEST_F(PositionTest, RecomputeOccupancies) {
    const Position ref = from_fen(vwtest::KIWIPETE);
    Position pos = ref;
    for (int s = 0; s < 64; ++s) pos.board[s] = 3;
    for (int p = 0; p < 12; ++p) pos.piece_count[p] = 99;
    pos.king_square[0] = pos.king_square[1] = 17;
    pos.occupancy[0] = pos.occupancy[1] = pos.occupied = 0;
    pos.key = pos.pawn_key = pos.non_pawn_key = 1;
    pos.recompute_occupancies();
    vwtest::expect_same_state(pos, ref);
}

TEST_F(PositionTest, PieceIndexFromChar) {
    const char* letters = "PNBRQKpnbrqk";
    for (int i = 0; i < 12; ++i) EXPECT_EQ(Position::piece_index_from_char(letters[i]), i);
    for (char c : {'x', '1', ' ', '/', '-', 'A', '\0', char(0xE9)}) EXPECT_EQ(Position::piece_index_from_char(c), -1);
}

TEST_F(PositionTest, CopyIsIndependent) {
    Position a = from_fen(vwtest::START);
    a.compute_pins(WHITE);
    Position b = a;
    vwtest::expect_same_state(a, b);
    b.make_move(mv(b, "e2e4"));
    EXPECT_EQ(a.key_history.size(), 1u);
    EXPECT_EQ(b.key_history.size(), 2u);
    EXPECT_EQ(a.board[sq("e2")], 0);
}

// ---------------------------------------------------------------------------
// Attack, check and pin queries

TEST_F(PositionTest, PawnChecksOnEdgeFilesDoNotWrap) {
    // White king a4, black pawn b5 attacks it.
    Position p1 = from_fen("4k3/8/8/1p6/K7/8/8/8 w - - 0 1");
    EXPECT_TRUE(p1.in_check(WHITE));
    EXPECT_EQ(p1.checker_mask(WHITE), bb({"b5"}));
    EXPECT_EQ(p1.check_block_mask(WHITE), bb({"b5"}));
    // Black pawn on h5 must not attack a4 (wrap).
    Position p2 = from_fen("4k3/8/8/7p/K7/8/8/8 w - - 0 1");
    EXPECT_FALSE(p2.in_check(WHITE));
    // White king h4, black pawn g5: check; black pawn a5 does not attack h4.
    EXPECT_TRUE(from_fen("4k3/8/8/6p1/7K/8/8/8 w - - 0 1").in_check(WHITE));
    EXPECT_FALSE(from_fen("4k3/8/8/p7/7K/8/8/8 w - - 0 1").in_check(WHITE));
    // Black king h5 attacked by white pawn g4; white pawn a4 does not attack h5.
    EXPECT_TRUE(from_fen("4K3/8/8/7k/6P1/8/8/8 b - - 0 1").in_check(BLACK));
    EXPECT_FALSE(from_fen("4K3/8/8/7k/P7/8/8/8 b - - 0 1").in_check(BLACK));
    EXPECT_TRUE(from_fen("4K3/8/8/k7/1P6/8/8/8 b - - 0 1").in_check(BLACK));
    EXPECT_FALSE(from_fen("4K3/8/8/k7/7P/8/8/8 b - - 0 1").in_check(BLACK));
}

TEST_F(PositionTest, IsSquareAttacked) {
    const Position pos = from_fen("4k3/8/8/3q4/8/2N5/8/4K3 w - - 0 1");
    EXPECT_TRUE(pos.is_square_attacked(sq("d1"), BLACK));   // queen down the file
    EXPECT_TRUE(pos.is_square_attacked(sq("a8"), BLACK));   // queen diagonal
    EXPECT_TRUE(pos.is_square_attacked(sq("d5"), WHITE));   // knight c3
    EXPECT_TRUE(pos.is_square_attacked(sq("f2"), WHITE));   // king e1
    EXPECT_TRUE(pos.is_square_attacked(sq("h1"), BLACK));   // long diagonal
    EXPECT_FALSE(pos.is_square_attacked(sq("h2"), BLACK));
    EXPECT_FALSE(pos.is_square_attacked(sq("c3"), BLACK));  // not on any line of the queen
    EXPECT_TRUE(pos.is_square_attacked(sq("d2"), BLACK));   // down the d-file
    EXPECT_FALSE(pos.is_square_attacked(sq("d5"), BLACK));  // a piece does not attack its own square
}

TEST_F(PositionTest, BlockMasks) {
    // Knight check: the knight's square alone.
    const Position n = from_fen("4k3/8/8/8/8/3n4/8/4K3 w - - 0 1");
    EXPECT_EQ(n.checker_mask(WHITE), bb({"d3"}));
    EXPECT_EQ(n.check_block_mask(WHITE), bb({"d3"}));
    // Rook check from a distance: rook square plus the squares between.
    const Position r = from_fen("4r1k1/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(r.checker_mask(WHITE), bb({"e8"}));
    EXPECT_EQ(r.check_block_mask(WHITE), bb({"e2", "e3", "e4", "e5", "e6", "e7", "e8"}));
    // Bishop check along a diagonal.
    const Position b = from_fen("4k3/8/8/b7/8/8/8/4K3 w - - 0 1");
    EXPECT_EQ(b.check_block_mask(WHITE), bb({"a5", "b4", "c3", "d2"}));
    // Queen check along a rank, adjacent: no between squares.
    const Position q = from_fen("4k3/8/8/8/8/8/8/3qK3 w - - 0 1");
    EXPECT_EQ(q.check_block_mask(WHITE), bb({"d1"}));
    // Rook and knight together: double check gives 0.
    const Position d = from_fen("4r1k1/8/8/8/8/3n4/8/4K3 w - - 0 1");
    EXPECT_EQ(popcount(d.checker_mask(WHITE)), 2);
    EXPECT_EQ(d.check_block_mask(WHITE), 0u);
    // Not in check: all squares. The enemy king is never a checker.
    const Position s = from_fen(vwtest::START);
    EXPECT_EQ(s.check_block_mask(WHITE), ALL);
    EXPECT_EQ(s.checker_mask(BLACK), 0u);
    // Pawn check by a black pawn.
    const Position p = from_fen("4k3/8/8/8/8/8/3p4/4K3 w - - 0 1");
    EXPECT_EQ(p.check_block_mask(WHITE), bb({"d2"}));
}

TEST_F(PositionTest, Pins) {
    Position pos = from_fen("4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1");
    pos.compute_pins(WHITE);
    EXPECT_EQ(pos.pinned[WHITE], bb({"e2"}));
    EXPECT_EQ(pos.pin_ray[sq("e2")], bb({"e1", "e2", "e3", "e4", "e5", "e6", "e7", "e8"}));
    // A second own piece between: nothing pinned.
    Position two = from_fen("4r1k1/8/8/8/4B3/8/4N3/4K3 w - - 0 1");
    two.compute_pins(WHITE);
    EXPECT_EQ(two.pinned[WHITE], 0u);
    // An enemy knight between instead: the rook is not seen through it.
    Position en = from_fen("4r1k1/8/8/8/4n3/8/4N3/4K3 w - - 0 1");
    en.compute_pins(WHITE);
    EXPECT_EQ(en.pinned[WHITE], 0u);
    // Diagonal pin by a queen and a straight pin by a rook at once (black).
    Position bl = from_fen("k7/1p6/8/n7/8/8/8/R3K2Q b - - 0 1");
    bl.compute_pins(BLACK);
    EXPECT_EQ(bl.pinned[BLACK], bb({"b7", "a5"}));
    EXPECT_EQ(bl.pin_ray[sq("a5")], bb({"a1", "a2", "a3", "a4", "a5", "a6", "a7", "a8"}));
    EXPECT_EQ(bl.pin_ray[sq("b7")], bb({"a8", "b7", "c6", "d5", "e4", "f3", "g2", "h1"}));
    Position multi = from_fen("3rkr2/8/8/8/8/8/3BKN2/q7 w - - 0 1");
    multi.compute_pins(WHITE);
    EXPECT_EQ(multi.pinned[WHITE], 0u);  // d2/f2 are not between e2's lines and d8/f8
    Position m2 = from_fen("4k3/4r3/8/8/b7/8/2B1N3/4K3 w - - 0 1");
    m2.compute_pins(WHITE);
    EXPECT_EQ(m2.pinned[WHITE], bb({"e2"}));
    // A straight and a diagonal pin at once.
    Position m3 = from_fen("4k3/4r3/8/b7/8/2N5/4N3/4K3 w - - 0 1");
    m3.compute_pins(WHITE);
    EXPECT_EQ(m3.pinned[WHITE], bb({"c3", "e2"}));
    // The pin ray includes the pinner (capturing it keeps the king covered).
    EXPECT_EQ(m3.pin_ray[sq("c3")], bb({"a5", "b4", "c3", "d2", "e1"}));
    EXPECT_EQ(m3.pin_ray[sq("e2")], bb({"e1", "e2", "e3", "e4", "e5", "e6", "e7"}));
    // Two own pieces on the diagonal: neither is pinned there.
    Position m4 = from_fen("4k3/4r3/8/b7/1N6/2N5/4N3/4K3 w - - 0 1");
    m4.compute_pins(WHITE);
    EXPECT_EQ(m4.pinned[WHITE], bb({"e2"}));
    // Pins are recomputed from scratch: a stale entry disappears.
    m3.set_piece_at_square(7, sq("b4"));  // black knight now shields the bishop
    m3.compute_pins(WHITE);
    EXPECT_EQ(m3.pinned[WHITE], bb({"e2"}));
}

// The generators' copy of the pins and checkers is reused only while the
// placement it was computed on stands: every make, unmake and placement
// change makes the next request compute them afresh.
TEST_F(PositionTest, PinsAndCheckersFollowThePlacement) {
    Position pos = from_fen("k7/4r3/8/8/8/8/4N3/4K3 b - - 0 1");
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    EXPECT_EQ(pos.pinned[WHITE], bb({"e2"}));
    // The rook leaves the file: the pin is gone after the move and back after the unmake.
    const Position::Undo away = pos.make_move(mv(pos, "e7a7"));
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    EXPECT_EQ(pos.pinned[WHITE], 0u);
    pos.unmake_move(away);
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    EXPECT_EQ(pos.pinned[WHITE], bb({"e2"}));
    // Taking the pinned knight gives check.
    const Position::Undo take = pos.make_move(mv(pos, "e7e2"));
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), bb({"e2"}));
    EXPECT_EQ(pos.pinned[WHITE], 0u);
    pos.unmake_move(take);
    // A null move leaves the placement, and so the answer, as it was.
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    const Position::Undo pass = pos.make_null_move();
    EXPECT_EQ(pos.pinned[WHITE], bb({"e2"}));
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    pos.unmake_null_move(pass);
    // Placement changes: a piece put between, a piece taken away, a rebuild.
    pos.set_piece_at_square(2, sq("e4"));
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    EXPECT_EQ(pos.pinned[WHITE], 0u);
    pos.remove_piece_at_square(2, sq("e4"));
    EXPECT_EQ(pos.pinned[WHITE], 0u);
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), 0u);
    EXPECT_EQ(pos.pinned[WHITE], bb({"e2"}));
    pos.pieces[1] = 0;  // the knight, removed by hand
    pos.recompute_occupancies();
    EXPECT_EQ(pos.refresh_pins_and_checkers(WHITE), bb({"e7"}));
    EXPECT_EQ(pos.pinned[WHITE], 0u);
}

// The check answer is kept per placement too: asked before and after makes,
// unmakes and null moves it always agrees with the attack test of the king's
// square, the enemy king counting as an attacker (an illegal king step).
TEST_F(PositionTest, InCheckFollowsThePlacement) {
    auto attacked = [](const Position& p, Color c) { return p.is_square_attacked(p.king_square[c], ~c); };
    Position pos = from_fen("8/8/8/3k4/8/4K3/8/7R b - - 0 1");
    EXPECT_FALSE(pos.in_check(BLACK));
    EXPECT_FALSE(pos.in_check(WHITE));
    const Position::Undo beside = pos.make_move(mv(pos, "d5d4"));  // next to the white king
    EXPECT_TRUE(pos.in_check(BLACK));
    EXPECT_TRUE(pos.in_check(WHITE));
    EXPECT_EQ(pos.refresh_pins_and_checkers(BLACK), 0u);  // the king is no checker
    pos.unmake_move(beside);
    EXPECT_FALSE(pos.in_check(BLACK));
    const Position::Undo pass = pos.make_null_move();
    const Position::Undo rook = pos.make_move(mv(pos, "h1h5"));
    EXPECT_TRUE(pos.in_check(BLACK));
    EXPECT_EQ(pos.refresh_pins_and_checkers(BLACK), bb({"h5"}));
    pos.unmake_move(rook);
    EXPECT_FALSE(pos.in_check(BLACK));
    pos.unmake_null_move(pass);

    std::mt19937_64 rng(31);
    for (int game = 0; game < 20; ++game) {
        Position g = from_fen(vwtest::KIWIPETE);
        for (int ply = 0; ply < 60; ++ply) {
            const auto moves = naive_legal_moves(g);
            if (moves.empty()) break;
            // A pseudo-legal move, made and taken back, first: the answers
            // for the position after it must not outlive the unmake.
            const auto pseudo = naive_pseudo_moves(g);
            const Position::Undo probe = g.make_move(pseudo[rng() % pseudo.size()]);
            ASSERT_EQ(g.in_check(WHITE), attacked(g, WHITE)) << g.to_fen();
            ASSERT_EQ(g.in_check(BLACK), attacked(g, BLACK)) << g.to_fen();
            g.unmake_move(probe);
            ASSERT_EQ(g.in_check(WHITE), attacked(g, WHITE)) << g.to_fen();
            ASSERT_EQ(g.in_check(BLACK), attacked(g, BLACK)) << g.to_fen();
            g.make_move(moves[rng() % moves.size()]);
        }
    }
}

TEST_F(PositionTest, Material) {
    auto insufficient = [](const char* fen) { return from_fen(fen).has_insufficient_material(); };
    EXPECT_TRUE(insufficient("4k3/8/8/8/8/8/8/4K3 w - - 0 1"));             // K v K
    EXPECT_TRUE(insufficient("4k3/8/8/8/8/8/8/4KN2 w - - 0 1"));            // K+N v K
    EXPECT_TRUE(insufficient("4kb2/8/8/8/8/8/8/4K3 w - - 0 1"));            // K v K+B
    EXPECT_TRUE(insufficient("4k3/8/8/8/8/8/8/4K1B1 w - - 0 1"));           // K+B v K
    EXPECT_TRUE(insufficient("4k3/8/8/8/2b5/8/8/4KB2 w - - 0 1"));         // c4 and f1 both light
    EXPECT_FALSE(insufficient("2b1k3/8/8/8/8/8/8/2B1K3 w - - 0 1"));        // c8 light, c1 dark
    EXPECT_TRUE(insufficient("1b2k3/8/8/8/8/8/8/2B1K3 w - - 0 1"));         // b8 and c1 both dark
    EXPECT_FALSE(insufficient("4k3/8/8/8/8/2b5/8/4KB2 w - - 0 1"));         // opposite colours
    EXPECT_FALSE(insufficient("4k3/8/8/8/8/8/8/4KNN1 w - - 0 1"));          // K+N+N v K
    EXPECT_FALSE(insufficient("4kn2/8/8/8/8/8/8/4KN2 w - - 0 1"));          // K+N v K+N
    EXPECT_FALSE(insufficient("4kn2/8/8/8/8/8/8/4KB2 w - - 0 1"));          // K+B v K+N
    EXPECT_FALSE(insufficient("4k3/8/8/8/8/8/8/3BKB2 w - - 0 1"));          // K+B+B v K
    EXPECT_FALSE(insufficient("4k3/8/8/8/8/8/P7/4K3 w - - 0 1"));           // a pawn
    EXPECT_FALSE(insufficient("4k3/p7/8/8/8/8/8/4K3 w - - 0 1"));
    EXPECT_FALSE(insufficient("4k3/8/8/8/8/8/8/4K2R w - - 0 1"));
    EXPECT_FALSE(insufficient("4k3/8/8/8/8/8/8/3QK3 w - - 0 1"));

    const Position pos = from_fen("4k3/pppp4/8/8/8/8/8/4KN2 w - - 0 1");
    EXPECT_TRUE(pos.has_non_pawn_material(WHITE));
    EXPECT_FALSE(pos.has_non_pawn_material(BLACK));
    EXPECT_TRUE(from_fen("4kq2/8/8/8/8/8/8/4K3 w - - 0 1").has_non_pawn_material(BLACK));
    EXPECT_TRUE(from_fen("4kr2/8/8/8/8/8/8/4K3 w - - 0 1").has_non_pawn_material(BLACK));
    EXPECT_TRUE(from_fen("4kb2/8/8/8/8/8/8/4K3 w - - 0 1").has_non_pawn_material(BLACK));
}

TEST_F(PositionTest, Repetitions) {
    Position pos = from_fen(vwtest::START);
    EXPECT_EQ(pos.repetition_count(), 1);
    for (int i = 0; i < 2; ++i)
        for (const char* m : {"g1f3", "g8f6", "f3g1", "f6g8"}) pos.make_move(mv(pos, m));
    EXPECT_EQ(pos.repetition_count(), 3);
    EXPECT_TRUE(pos.is_threefold_repetition());
    pos.make_move(mv(pos, "g1f3"));
    EXPECT_EQ(pos.repetition_count(), 3);  // f3 position: after ply 1, 5, 9
    pos.key_history.clear();
    EXPECT_EQ(pos.repetition_count(), 0);
    EXPECT_FALSE(pos.is_threefold_repetition());
}

// ---------------------------------------------------------------------------
// En passant legality (through make_move and the FEN reader)

TEST_F(PositionTest, EnPassantRankPinThroughBothPawns) {
    // Black plays d7d5 beside the white pawn e5; white king a5, black rook h5.
    Position pos = from_fen("4k3/3p4/8/K3P2r/8/8/8/8 b - - 0 1");
    pos.make_move(mv(pos, "d7d5"));
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    EXPECT_TRUE(vwtest::from_fen("4k3/8/8/K2pP2r/8/8/8/8 w - d6 0 1").ep_square == NO_SQUARE);
    // Rook on h4 instead: the capture is legal.
    Position ok = from_fen("4k3/3p4/8/K3P3/7r/8/8/8 b - - 0 1");
    ok.make_move(mv(ok, "d7d5"));
    EXPECT_EQ(ok.ep_square, sq("d6"));
    EXPECT_EQ(ok.key, Zobrist::compute_key(ok));
    EXPECT_EQ(from_fen("4k3/8/8/K2pP3/7r/8/8/8 w - d6 0 1").ep_square, sq("d6"));
}

TEST_F(PositionTest, EnPassantCapturingTheChecker) {
    // The black pawn arrives on d5 giving check to the white king on e4.
    Position pos = from_fen("4k3/3p4/8/2P5/4K3/8/8/8 b - - 0 1");
    pos.make_move(mv(pos, "d7d5"));
    EXPECT_TRUE(pos.in_check(WHITE));
    EXPECT_EQ(pos.ep_square, sq("d6"));
    // Another attacker of the king (knight f2) makes it fail.
    EXPECT_EQ(from_fen("4k3/8/8/2Pp4/4K3/8/5n2/8 w - d6 0 1").ep_square, NO_SQUARE);
    EXPECT_EQ(from_fen("4k3/8/8/2Pp4/4K3/8/8/8 w - d6 0 1").ep_square, sq("d6"));
    // A slider check the capture does not block: fails.
    EXPECT_EQ(from_fen("4k3/8/8/2Pp4/4K2r/8/8/8 w - d6 0 1").ep_square, NO_SQUARE);
    // A slider check (b8-f4) that the capture blocks by landing on d6: succeeds.
    EXPECT_EQ(from_fen("1b2k3/8/8/2Pp4/5K2/8/8/8 w - d6 0 1").ep_square, sq("d6"));
    // Removing the victim opens the c6-f3 diagonal onto the king: fails.
    EXPECT_EQ(from_fen("4k3/8/2b5/2Pp4/8/5K2/8/8 w - d6 0 1").ep_square, NO_SQUARE);
    EXPECT_EQ(from_fen("4k3/1b6/8/2Pp4/8/8/8/7K w - d6 0 1").ep_square, NO_SQUARE);
    // The capturing pawn c5 is pinned by the bishop b6 against the king f2: fails.
    EXPECT_EQ(from_fen("8/8/1b6/2Pp4/8/8/5K2/k7 w - d6 0 1").ep_square, NO_SQUARE);
}

TEST_F(PositionTest, EnPassantDiagonalPinAndNoCapturer) {
    // The capturing pawn e5 is pinned on the a1-h8 diagonal by the bishop h8.
    EXPECT_EQ(from_fen("4k2b/8/8/3pP3/8/8/8/K7 w - d6 0 1").ep_square, NO_SQUARE);
    // Without the bishop it is legal.
    EXPECT_EQ(from_fen("4k3/8/8/3pP3/8/8/8/K7 w - d6 0 1").ep_square, sq("d6"));
    // No capturer pawn beside the victim.
    EXPECT_EQ(from_fen("4k3/8/8/3p4/8/8/8/4K3 w - d6 0 1").ep_square, NO_SQUARE);
    EXPECT_EQ(from_fen("4k3/8/8/3p3P/8/8/8/4K3 w - d6 0 1").ep_square, NO_SQUARE);
    // Start position e2e4: no black pawn can take on e3.
    Position s = from_fen(vwtest::START);
    s.make_move(mv(s, "e2e4"));
    EXPECT_EQ(s.ep_square, NO_SQUARE);
    // Black capturer: white double step beside a black pawn.
    Position b = from_fen("4k3/8/8/8/5p2/8/4P3/4K3 w - - 0 1");
    b.make_move(mv(b, "e2e4"));
    EXPECT_EQ(b.ep_square, sq("e3"));
    EXPECT_EQ(b.key, Zobrist::compute_key(b));
    // Both neighbours can capture.
    Position two = from_fen("4k3/3p4/8/2P1P3/8/8/8/4K3 b - - 0 1");
    two.make_move(mv(two, "d7d5"));
    EXPECT_EQ(two.ep_square, sq("d6"));
}

// ---------------------------------------------------------------------------
// Make and unmake

TEST_F(PositionTest, MakeE2E4FromStart) {
    Position pos = from_fen(vwtest::START);
    const Position before = pos;
    const Move m = mv(pos, "e2e4");
    const Position::Undo u = pos.make_move(m);
    EXPECT_EQ(u.move, m);
    EXPECT_EQ(u.from(), sq("e2"));
    EXPECT_EQ(u.to(), sq("e4"));
    EXPECT_EQ(u.moved_piece(), 0);
    EXPECT_EQ(u.promotion(), -1);
    EXPECT_EQ(u.captured_piece, -1);
    EXPECT_EQ(u.captured_square(), sq("e4"));
    EXPECT_EQ(u.castling_rights, 15u);
    EXPECT_EQ(u.ep_square, -1);
    EXPECT_EQ(u.side, WHITE);
    EXPECT_FALSE(u.is_null());
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    EXPECT_EQ(pos.halfmove_clock, 0);
    EXPECT_EQ(pos.fullmove_number, 1);
    EXPECT_EQ(pos.side, BLACK);
    EXPECT_EQ(pos.plies_since_null, 1);
    EXPECT_EQ(pos.key_history.size(), 2u);
    vwtest::expect_consistent(pos);
    pos.unmake_move(u);
    vwtest::expect_same_state(pos, before);
    EXPECT_EQ(pos.key_history.size(), 1u);
}

TEST_F(PositionTest, DoubleStepBesideEnemyPawnSetsEpKey) {
    Position pos = from_fen("4k3/3p4/8/4P3/8/8/8/4K3 b - - 0 1");
    const Position before = pos;
    const auto u = pos.make_move(mv(pos, "d7d5"));
    EXPECT_EQ(pos.ep_square, sq("d6"));
    vwtest::expect_consistent(pos);
    // The next move clears it again, with its key.
    const auto u2 = pos.make_move(mv(pos, "e1e2"));
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    vwtest::expect_consistent(pos);
    pos.unmake_move(u2);
    EXPECT_EQ(pos.ep_square, sq("d6"));
    vwtest::expect_consistent(pos);
    pos.unmake_move(u);
    vwtest::expect_same_state(pos, before);

    // The double step is recognised from the squares, not from the
    // generator's flag: the same word without it makes the same position.
    const Move flagged = mv(pos, "d7d5");
    ASSERT_TRUE(flagged & FLAG_DOUBLE_PUSH);
    Position withFlag = pos, withoutFlag = pos;
    withFlag.make_move(flagged);
    withoutFlag.make_move(flagged & ~FLAG_DOUBLE_PUSH);
    EXPECT_EQ(withoutFlag.ep_square, sq("d6"));
    vwtest::expect_same_state(withoutFlag, withFlag);
}

TEST_F(PositionTest, CastlingAndRights) {
    Position pos = from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 5 10");
    const Position before = pos;
    auto u = pos.make_move(MOVE_WHITE_OO);
    EXPECT_EQ(pos.castling_rights, 12u);
    EXPECT_EQ(pos.board[sq("f1")], 3);
    EXPECT_EQ(pos.board[sq("g1")], 5);
    EXPECT_EQ(pos.board[sq("h1")], NO_PIECE);
    EXPECT_EQ(pos.king_square[WHITE], sq("g1"));
    EXPECT_EQ(pos.halfmove_clock, 6);
    vwtest::expect_consistent(pos);
    pos.unmake_move(u);
    EXPECT_EQ(pos.board[sq("h1")], 3);
    EXPECT_EQ(pos.castling_rights, 15u);
    vwtest::expect_same_state(pos, before);

    for (Move m : {MOVE_WHITE_OOO}) {
        u = pos.make_move(m);
        EXPECT_EQ(pos.board[sq("d1")], 3);
        EXPECT_EQ(pos.board[sq("c1")], 5);
        EXPECT_EQ(pos.castling_rights, 12u);
        vwtest::expect_consistent(pos);
        pos.unmake_move(u);
        vwtest::expect_same_state(pos, before);
    }
    Position b = from_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
    const Position bb4 = b;
    u = b.make_move(MOVE_BLACK_OO);
    EXPECT_EQ(b.board[sq("f8")], 9);
    EXPECT_EQ(b.castling_rights, 3u);
    EXPECT_EQ(b.fullmove_number, 2);
    vwtest::expect_consistent(b);
    b.unmake_move(u);
    vwtest::expect_same_state(b, bb4);
    u = b.make_move(MOVE_BLACK_OOO);
    EXPECT_EQ(b.board[sq("d8")], 9);
    EXPECT_EQ(b.board[sq("c8")], 11);
    EXPECT_EQ(b.castling_rights, 3u);
    vwtest::expect_consistent(b);
    b.unmake_move(u);
    vwtest::expect_same_state(b, bb4);
}

TEST_F(PositionTest, RightsFromRookMovesAndCaptures) {
    struct Case {
        const char* fen;
        const char* move;
        uint32_t rights_after;
    };
    const Case cases[] = {
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "a1a8", 15u & ~CASTLE_WHITE_QUEEN & ~CASTLE_BLACK_QUEEN},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "h1h8", 15u & ~CASTLE_WHITE_KING & ~CASTLE_BLACK_KING},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "h1h5", 15u & ~CASTLE_WHITE_KING},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "a1b1", 15u & ~CASTLE_WHITE_QUEEN},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1e2", 12u},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8d8", 3u},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "a8a1", 15u & ~CASTLE_WHITE_QUEEN & ~CASTLE_BLACK_QUEEN},
        {"r3k2r/8/8/8/8/8/8/1R2K2R w Kkq - 0 1", "b1b2", CASTLE_WHITE_KING | CASTLE_BLACK_KING | CASTLE_BLACK_QUEEN},
        {"r3k2r/8/8/8/8/8/8/1R2K2R w Kkq - 0 1", "b1b8", CASTLE_WHITE_KING | CASTLE_BLACK_KING | CASTLE_BLACK_QUEEN},
        {"r3k2r/1P6/8/8/8/8/8/4K3 w kq - 0 1", "b7a8q", CASTLE_BLACK_KING},
        {"r3k2r/6P1/8/8/8/8/8/4K3 w kq - 0 1", "g7h8n", CASTLE_BLACK_QUEEN},
        {"4k3/8/8/8/8/8/1p6/R3K2R b KQ - 0 1", "b2a1r", CASTLE_WHITE_KING},
        {"4k3/8/8/8/8/2n5/8/R3K2R b KQ - 0 1", "c3a2", 3u},
    };
    for (const Case& c : cases) {
        Position pos = from_fen(c.fen);
        const Position before = pos;
        const auto u = pos.make_move(mv(pos, c.move));
        EXPECT_EQ(pos.castling_rights, c.rights_after) << c.fen << " " << c.move;
        vwtest::expect_consistent(pos, std::string(c.fen) + " " + c.move);
        pos.unmake_move(u);
        vwtest::expect_same_state(pos, before, std::string(c.fen) + " " + c.move);
    }
}

namespace {

// The rights a move keeps, by the moving and the captured piece: a king
// clears both of its colour's rights, a rook leaving its corner and a rook
// taken on its corner clear that corner's right.
uint32_t rights_by_pieces(uint32_t rights, int moved, int from, int captured, int captured_on) {
    if (moved == 5) rights &= ~(CASTLE_WHITE_KING | CASTLE_WHITE_QUEEN);
    if (moved == 11) rights &= ~(CASTLE_BLACK_KING | CASTLE_BLACK_QUEEN);
    const struct {
        int rook, corner;
        uint32_t right;
    } corners[] = {{3, sq("a1"), CASTLE_WHITE_QUEEN},
                   {3, sq("h1"), CASTLE_WHITE_KING},
                   {9, sq("a8"), CASTLE_BLACK_QUEEN},
                   {9, sq("h8"), CASTLE_BLACK_KING}};
    for (const auto& c : corners) {
        if (moved == c.rook && from == c.corner) rights &= ~c.right;
        if (captured == c.rook && captured_on == c.corner) rights &= ~c.right;
    }
    return rights;
}

}  // namespace

// The make decides the rights by the squares a move leaves and lands on; in
// every position a game can reach that agrees with the rule by pieces.
TEST_F(PositionTest, RightsBySquareAgreeWithRightsByPieces) {
    std::mt19937_64 rng(77);
    const char* starts[] = {vwtest::START, vwtest::KIWIPETE, "r3k2r/1P4P1/8/8/8/8/1p4p1/R3K2R w KQkq - 0 1"};
    int changed = 0;
    for (int game = 0; game < 60; ++game) {
        Position pos = from_fen(starts[game % 3]);
        for (int ply = 0; ply < 80; ++ply) {
            const auto moves = naive_legal_moves(pos);
            if (moves.empty()) break;
            const Move m = moves[rng() % moves.size()];
            const uint32_t before = pos.castling_rights;
            const auto u = pos.make_move(m);
            const uint32_t want =
                rights_by_pieces(before, u.moved_piece(), u.from(), u.captured_piece, u.captured_square());
            ASSERT_EQ(pos.castling_rights, want) << move_to_uci(m) << " after " << ply << " plies of game " << game;
            changed += want != before;
        }
    }
    EXPECT_GT(changed, 100);  // the walk really reaches the rule's cases
}

TEST_F(PositionTest, CapturingPromotionRestores) {
    Position pos = from_fen("rn2k3/1P6/8/8/8/8/8/4K3 w q - 3 40");
    const Position before = pos;
    const Move m = mv(pos, "b7a8n");
    EXPECT_TRUE(m & FLAG_CAPTURE);
    const auto u = pos.make_move(m);
    EXPECT_EQ(u.promotion(), KNIGHT);
    EXPECT_EQ(u.captured_piece, 9);
    EXPECT_EQ(u.captured_square(), sq("a8"));
    EXPECT_EQ(pos.board[sq("a8")], 1);
    EXPECT_EQ(pos.board[sq("b7")], NO_PIECE);
    EXPECT_EQ(pos.piece_count[0], 0);
    EXPECT_EQ(pos.piece_count[1], 1);
    EXPECT_EQ(pos.piece_count[9], 0);
    EXPECT_EQ(pos.castling_rights, 0u);
    EXPECT_EQ(pos.halfmove_clock, 0);
    vwtest::expect_consistent(pos);
    pos.unmake_move(u);
    vwtest::expect_same_state(pos, before);
    EXPECT_EQ(pos.board[sq("b7")], 0);
    EXPECT_EQ(pos.board[sq("a8")], 9);
    // Non-capturing promotion, all four types.
    for (const char* t : {"b7b8q", "b7b8r", "b7b8b", "b7b8n"}) {
        const auto u2 = pos.make_move(mv(pos, t));
        vwtest::expect_consistent(pos, t);
        pos.unmake_move(u2);
        vwtest::expect_same_state(pos, before, t);
    }
}

TEST_F(PositionTest, EnPassantMakeUnmake) {
    Position pos = from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1");
    const Position before = pos;
    const Move m = mv(pos, "e5d6");
    EXPECT_EQ(m & (FLAG_CAPTURE | FLAG_EN_PASSANT), FLAG_CAPTURE | FLAG_EN_PASSANT);
    const auto u = pos.make_move(m);
    EXPECT_EQ(u.captured_piece, 6);
    EXPECT_EQ(u.captured_square(), sq("d5"));
    EXPECT_EQ(pos.board[sq("d5")], NO_PIECE);
    EXPECT_EQ(pos.board[sq("d6")], 0);
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    vwtest::expect_consistent(pos);
    pos.unmake_move(u);
    vwtest::expect_same_state(pos, before);
    // Black en passant.
    Position b = from_fen("4k3/8/8/8/3Pp3/8/8/4K3 b - d3 0 1");
    const Position b0 = b;
    const auto ub = b.make_move(mv(b, "e4d3"));
    EXPECT_EQ(ub.captured_square(), sq("d4"));
    vwtest::expect_consistent(b);
    b.unmake_move(ub);
    vwtest::expect_same_state(b, b0);
}

TEST_F(PositionTest, ClocksAndFullmove) {
    Position pos = from_fen("4k3/8/8/8/8/8/4P3/4K1N1 w - - 7 12");
    auto u1 = pos.make_move(mv(pos, "g1f3"));
    EXPECT_EQ(pos.halfmove_clock, 8);
    EXPECT_EQ(pos.fullmove_number, 12);
    auto u2 = pos.make_move(mv(pos, "e8d8"));
    EXPECT_EQ(pos.halfmove_clock, 9);
    EXPECT_EQ(pos.fullmove_number, 13);
    auto u3 = pos.make_move(mv(pos, "e2e3"));
    EXPECT_EQ(pos.halfmove_clock, 0);
    auto n = pos.make_null_move();
    EXPECT_EQ(pos.fullmove_number, 14);  // Black's null move counts
    EXPECT_EQ(pos.halfmove_clock, 0);
    EXPECT_EQ(pos.plies_since_null, 0);
    pos.unmake_null_move(n);
    EXPECT_EQ(pos.plies_since_null, 3);
    pos.unmake_move(u3);
    pos.unmake_move(u2);
    pos.unmake_move(u1);
    EXPECT_EQ(pos.to_fen(), "4k3/8/8/8/8/8/4P3/4K1N1 w - - 7 12");
    // The capture flag decides the halfmove clock, not the board.
    Position c = from_fen("4k3/8/8/8/8/8/8/4K1N1 w - - 7 12");
    c.make_move(make_move_word(sq("g1"), sq("f3"), 1, 0, FLAG_CAPTURE));
    EXPECT_EQ(c.halfmove_clock, 0);
}

// Clocks read from FEN at the top of the 32-bit range stay there instead of
// overflowing, and unmake still restores them.
TEST_F(PositionTest, ClocksSaturateAtTheirLimit) {
    const std::string fen = "4k3/8/8/8/8/8/8/4K1N1 b - - 2147483647 2147483647";
    Position pos = from_fen(fen);
    auto u1 = pos.make_move(mv(pos, "e8d8"));
    EXPECT_EQ(pos.halfmove_clock, 2147483647);
    EXPECT_EQ(pos.fullmove_number, 2147483647);
    auto n = pos.make_null_move();
    EXPECT_EQ(pos.fullmove_number, 2147483647);
    pos.unmake_null_move(n);
    pos.unmake_move(u1);
    EXPECT_EQ(pos.to_fen(), fen);
}

TEST_F(PositionTest, NullMove) {
    Position pos = from_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 4 9");
    const Position before = pos;
    const auto n = pos.make_null_move();
    EXPECT_TRUE(n.is_null());
    EXPECT_EQ(n.move, 0u);
    EXPECT_EQ(n.from(), -1);
    EXPECT_EQ(n.to(), -1);
    EXPECT_EQ(n.moved_piece(), -1);
    EXPECT_EQ(n.promotion(), -1);
    EXPECT_EQ(n.captured_piece, -1);
    EXPECT_EQ(n.captured_square(), -1);
    EXPECT_EQ(n.ep_square, sq("d6"));
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    EXPECT_EQ(pos.halfmove_clock, 4);
    EXPECT_EQ(pos.fullmove_number, 9);
    EXPECT_EQ(pos.side, BLACK);
    EXPECT_EQ(pos.pawn_key, before.pawn_key);
    EXPECT_EQ(pos.non_pawn_key, before.non_pawn_key);
    EXPECT_EQ(pos.key, before.key ^ Zobrist::side_key() ^ Zobrist::ep_file_key(3));
    vwtest::expect_consistent(pos);
    pos.unmake_null_move(n);
    vwtest::expect_same_state(pos, before);
    EXPECT_EQ(pos.key, pos.key_history.back());
    // With an emptied history the key is computed from scratch.
    Position e = before;
    const auto n2 = e.make_null_move();
    e.key_history.clear();
    e.unmake_null_move(n2);
    EXPECT_EQ(e.key, before.key);
    EXPECT_TRUE(e.key_history.empty());
}

TEST_F(PositionTest, IsMoveLegal) {
    const Position pos = from_fen("4r1k1/8/8/8/8/8/4N3/4K3 w - - 0 1");
    const Position before = pos;
    EXPECT_FALSE(pos.is_move_legal(mv(pos, "e2c3")));  // pinned knight
    EXPECT_TRUE(pos.is_move_legal(mv(pos, "e1d1")));
    EXPECT_TRUE(pos.is_move_legal(mv(pos, "e1f2")));
    vwtest::expect_same_state(pos, before);
    const Position open = from_fen("4r1k1/8/8/8/8/8/8/4K3 w - - 0 1");
    EXPECT_FALSE(open.is_move_legal(mv(open, "e1e2")));
    EXPECT_TRUE(open.is_move_legal(mv(open, "e1d2")));
    // Mover without a king: true.
    Position nk;
    nk.set_piece_at_square(1, sq("b1"));
    nk.set_piece_at_square(11, sq("e8"));
    EXPECT_TRUE(nk.is_move_legal(mv(nk, "b1c3")));
}

// ---------------------------------------------------------------------------
// Whole-tree checks: perft of the naive generator against the standard numbers
// (this exercises every move kind through make/unmake, the en passant
// legality rule and castling rights), with keys == from-scratch keys after
// every make and every field restored after every unmake.

struct PerftCase {
    const char* fen;
    int depth;
    uint64_t nodes;
};

TEST_F(PositionTest, NaivePerftMakeUnmake) {
    const PerftCase cases[] = {
        {vwtest::START, 3, 8902},
        {vwtest::KIWIPETE, 2, 2039},
        {vwtest::KIWIPETE, 3, 97862},
        {vwtest::ENDGAME, 4, 43238},
        {vwtest::PROMOTIONS, 3, 9467},
        {vwtest::PAWN_ON_D7, 3, 62379},
        {vwtest::MIDDLEGAME, 2, 2079},
        {"8/8/8/8/k2Pp2Q/8/8/3K4 b - d3 0 1", 1, 6},   // en passant would expose the king: excluded
        {"8/8/8/2k5/2pP4/8/B7/4K3 b - d3 0 3", 1, 8},   // en passant out of a check
    };
    for (const PerftCase& c : cases) {
        Position pos = from_fen(c.fen);
        const Position before = pos;
        int failures = 0;
        EXPECT_EQ(naive_perft(pos, c.depth, failures), c.nodes) << c.fen;
        EXPECT_EQ(failures, 0) << c.fen;
        vwtest::expect_same_state(pos, before, c.fen);
    }
}

TEST_F(PositionTest, RandomPlayoutsWithNullMoves) {
    std::mt19937_64 rng(2024);
    const char* starts[] = {vwtest::START, vwtest::KIWIPETE, vwtest::ENDGAME, vwtest::PROMOTIONS};
    for (int game = 0; game < 40; ++game) {
        Position pos = from_fen(starts[game % 4]);
        struct Step {
            Position before;
            Position::Undo u;
        };
        std::vector<Step> stack;
        for (int ply = 0; ply < 120; ++ply) {
            const bool null = !pos.in_check(Color(pos.side)) && (rng() % 8 == 0);
            if (null) {
                Position snapshot = pos;
                const auto u = pos.make_null_move();
                stack.push_back({snapshot, u});
            } else {
                const auto moves = naive_legal_moves(pos);
                if (moves.empty()) break;
                const Move m = moves[rng() % moves.size()];
                Position snapshot = pos;
                const auto u = pos.make_move(m);
                ASSERT_FALSE(pos.in_check(Color(pos.side ^ 1))) << move_to_uci(m);
                stack.push_back({snapshot, u});
            }
            ASSERT_TRUE(keys_from_scratch(pos)) << pos.to_fen();
            if (ply % 10 == 0) vwtest::expect_consistent(pos);
            // FEN round trip of every reached position keeps placement and keys.
            Position again;
            std::string err;
            ASSERT_TRUE(again.set_from_fen(pos.to_fen(), err)) << pos.to_fen() << " " << err;
            ASSERT_EQ(again.key, pos.key) << pos.to_fen();
        }
        while (!stack.empty()) {
            const Step& s = stack.back();
            if (s.u.is_null())
                pos.unmake_null_move(s.u);
            else
                pos.unmake_move(s.u);
            ASSERT_TRUE(same_state(pos, s.before)) << "game " << game << " depth " << stack.size();
            stack.pop_back();
        }
    }
}
