// Small helpers for the tests: table set-up, positions from FEN, square
// names, move words from UCI text (built from the board, independent of the
// move generator), and a field-by-field position comparison.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>

#include "board/attack.h"
#include "board/move.h"
#include "board/position.h"
#include "board/types.h"
#include "board/zobrist.h"
#include "tests/test_positions.h"

namespace vwtest {

// Fills the attack and slider tables once per test program, as the engine's
// start-up does.
inline void init_tables() {
    static const bool done = (Attack::init_tables(), true);
    (void)done;
}

// A position from FEN text; the test fails (non-fatally) when it is rejected.
inline Position from_fen(const std::string& fen) {
    init_tables();
    Position p;
    std::string err;
    EXPECT_TRUE(p.set_from_fen(fen, err)) << fen << " -> " << err;
    return p;
}

// "e4" -> 28.
inline int sq(const char* name) { return (name[0] - 'a') + 8 * (name[1] - '1'); }

inline Bitboard bb(std::initializer_list<const char*> names) {
    Bitboard b = 0;
    for (const char* n : names) b |= square_bb(sq(n));
    return b;
}

// The move word for UCI text in pos, with the flags the generators would set:
// capture when the target holds a piece, en passant for a pawn's diagonal step
// onto the empty en passant target (or any empty diagonal target), castling for
// a king's two-file step, double push for a pawn's two-rank step.
inline Move mv(const Position& pos, const std::string& uci) {
    const int from = sq(uci.c_str());
    const int to = sq(uci.c_str() + 2);
    const int piece = pos.board[from];
    int promo = 0;
    if (uci.size() > 4) {
        switch (uci[4]) {
            case 'n': promo = 1; break;
            case 'b': promo = 2; break;
            case 'r': promo = 3; break;
            default: promo = 4; break;
        }
    }
    uint32_t flags = 0;
    if (pos.board[to] != NO_PIECE) flags |= FLAG_CAPTURE;
    if (piece % 6 == PAWN) {
        if ((from & 7) != (to & 7) && pos.board[to] == NO_PIECE) flags |= FLAG_CAPTURE | FLAG_EN_PASSANT;
        if (from - to == 16 || to - from == 16) flags |= FLAG_DOUBLE_PUSH;
    }
    if (piece % 6 == KING && (from - to == 2 || to - from == 2)) flags |= FLAG_CASTLING;
    return make_move_word(from, to, piece, promo, flags);
}

// Every field but the pin cache (which moves leave stale by design).
inline void expect_same_state(const Position& a, const Position& b, const std::string& what = "") {
    for (int p = 0; p < 12; ++p) EXPECT_EQ(a.pieces[p], b.pieces[p]) << what << " pieces " << p;
    EXPECT_EQ(0, std::memcmp(a.board, b.board, sizeof a.board)) << what << " board";
    EXPECT_EQ(0, std::memcmp(a.piece_count, b.piece_count, sizeof a.piece_count)) << what << " piece_count";
    EXPECT_EQ(a.king_square[0], b.king_square[0]) << what;
    EXPECT_EQ(a.king_square[1], b.king_square[1]) << what;
    EXPECT_EQ(a.occupancy[0], b.occupancy[0]) << what;
    EXPECT_EQ(a.occupancy[1], b.occupancy[1]) << what;
    EXPECT_EQ(a.occupied, b.occupied) << what;
    EXPECT_EQ(a.side, b.side) << what;
    EXPECT_EQ(a.castling_rights, b.castling_rights) << what;
    EXPECT_EQ(a.ep_square, b.ep_square) << what;
    EXPECT_EQ(a.halfmove_clock, b.halfmove_clock) << what;
    EXPECT_EQ(a.fullmove_number, b.fullmove_number) << what;
    EXPECT_EQ(a.plies_since_null, b.plies_since_null) << what;
    EXPECT_EQ(a.key, b.key) << what;
    EXPECT_EQ(a.pawn_key, b.pawn_key) << what;
    EXPECT_EQ(a.non_pawn_key, b.non_pawn_key) << what;
    EXPECT_EQ(a.key_history, b.key_history) << what;
}

// The board invariants (placement, counts, occupancy, keys, history), checked from scratch.
inline void expect_consistent(const Position& pos, const std::string& what = "") {
    Bitboard occ[2] = {0, 0};
    for (int p = 0; p < 12; ++p) {
        EXPECT_EQ(pos.piece_count[p], popcount(pos.pieces[p])) << what << " count " << p;
        occ[p > 5] |= pos.pieces[p];
        for (int q = p + 1; q < 12; ++q) EXPECT_EQ(0u, pos.pieces[p] & pos.pieces[q]) << what;
    }
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p == NO_PIECE) {
            for (int q = 0; q < 12; ++q) EXPECT_FALSE(pos.pieces[q] & square_bb(s)) << what << " sq " << s;
        } else {
            EXPECT_TRUE(pos.pieces[p] & square_bb(s)) << what << " sq " << s;
        }
    }
    for (int c = 0; c < 2; ++c) {
        const Bitboard k = pos.pieces[6 * c + 5];
        EXPECT_EQ(pos.king_square[c], k ? lsb(k) : -1) << what;
    }
    EXPECT_EQ(pos.occupancy[0], occ[0]) << what;
    EXPECT_EQ(pos.occupancy[1], occ[1]) << what;
    EXPECT_EQ(pos.occupied, occ[0] | occ[1]) << what;
    EXPECT_EQ(pos.key, Zobrist::compute_key(pos)) << what;
    EXPECT_EQ(pos.pawn_key, Zobrist::compute_pawn_key(pos)) << what;
    EXPECT_EQ(pos.non_pawn_key, Zobrist::compute_non_pawn_key(pos)) << what;
    ASSERT_FALSE(pos.key_history.empty()) << what;
    EXPECT_EQ(pos.key_history.back(), pos.key) << what;
}

}  // namespace vwtest
