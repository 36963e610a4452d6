// Named squares and the bitboard masks and shifts that move generation, the
// position and the evaluation share: files, ranks, neighbouring files, the
// ranks ahead of a pawn, file fills, the board turned over, pawn pushes and
// pawn attacks.
// Square 0 is a1, 7 is h1, 63 is h8.
#pragma once

#include "board/types.h"

// clang-format off
enum Square : int {
    SQ_A1, SQ_B1, SQ_C1, SQ_D1, SQ_E1, SQ_F1, SQ_G1, SQ_H1,
    SQ_A2, SQ_B2, SQ_C2, SQ_D2, SQ_E2, SQ_F2, SQ_G2, SQ_H2,
    SQ_A3, SQ_B3, SQ_C3, SQ_D3, SQ_E3, SQ_F3, SQ_G3, SQ_H3,
    SQ_A4, SQ_B4, SQ_C4, SQ_D4, SQ_E4, SQ_F4, SQ_G4, SQ_H4,
    SQ_A5, SQ_B5, SQ_C5, SQ_D5, SQ_E5, SQ_F5, SQ_G5, SQ_H5,
    SQ_A6, SQ_B6, SQ_C6, SQ_D6, SQ_E6, SQ_F6, SQ_G6, SQ_H6,
    SQ_A7, SQ_B7, SQ_C7, SQ_D7, SQ_E7, SQ_F7, SQ_G7, SQ_H7,
    SQ_A8, SQ_B8, SQ_C8, SQ_D8, SQ_E8, SQ_F8, SQ_G8, SQ_H8,
};
// clang-format on

constexpr Bitboard ALL_SQUARES = ~Bitboard(0);
constexpr Bitboard FILE_A = 0x0101010101010101ULL;
constexpr Bitboard FILE_H = FILE_A << 7;
constexpr Bitboard RANK_1 = 0xFFULL;
constexpr Bitboard RANK_2 = RANK_1 << 8;
constexpr Bitboard RANK_3 = RANK_1 << 16;
constexpr Bitboard RANK_6 = RANK_1 << 40;
constexpr Bitboard RANK_7 = RANK_1 << 48;
constexpr Bitboard RANK_8 = RANK_1 << 56;

constexpr int file_of(int s) { return s & 7; }
constexpr int rank_of(int s) { return s >> 3; }
constexpr Bitboard file_bb(int f) { return FILE_A << f; }
constexpr Bitboard rank_bb(int r) { return RANK_1 << (8 * r); }

// The square of the pawn that an en passant capture by colour c onto `to` takes.
constexpr int en_passant_victim(int c, int to) { return c == WHITE ? to - 8 : to + 8; }

// The files beside file f (one at the edges).
constexpr Bitboard adjacent_files(int f) { return (f > 0 ? file_bb(f - 1) : 0) | (f < 7 ? file_bb(f + 1) : 0); }

// Ranks r-1, r and r+1 (those on the board).
constexpr Bitboard rank_band(int r) {
    return rank_bb(r) | (r > 0 ? rank_bb(r - 1) : 0) | (r < 7 ? rank_bb(r + 1) : 0);
}

// Ranks strictly ahead of rank r (0..7) as seen by colour c.
constexpr Bitboard ranks_ahead(Color c, int r) {
    // Two shifts, each below 64 bits, give the empty set on the last rank
    // without a test: the same as `r == 7 ? 0 : ALL_SQUARES << 8 * (r + 1)`
    // (and `r == 0 ? 0 : ALL_SQUARES >> 8 * (8 - r)` for BLACK), which
    // BitboardHelpers.MasksMatchTheirDefinitions checks rank by rank.
    return c == WHITE ? (ALL_SQUARES << 8) << (8 * r) : (ALL_SQUARES >> 8) >> (8 * (7 - r));
}

// Every square of b's files from each square of b up to rank 8 (fill_up) or
// down to rank 1 (fill_down), the squares of b included.
constexpr Bitboard fill_up(Bitboard b) {
    b |= b << 8;
    b |= b << 16;
    return b | b << 32;
}
constexpr Bitboard fill_down(Bitboard b) {
    b |= b >> 8;
    b |= b >> 16;
    return b | b >> 32;
}

// The squares next to those of b on the same rank.
constexpr Bitboard beside(Bitboard b) { return ((b & ~FILE_H) << 1) | ((b & ~FILE_A) >> 1); }

// The board turned over: rank r becomes rank 7 - r, files stay.
constexpr Bitboard flip(Bitboard b) { return __builtin_bswap64(b); }

// The squares one step ahead of the pawns of colour C on b (pawns on the
// last rank step off the board).
template <Color C>
constexpr Bitboard pawn_push_bb(Bitboard b) {
    if constexpr (C == WHITE)
        return b << 8;
    else
        return b >> 8;
}

// The squares that pawns of colour C on b attack; the file masks stop a
// capture from wrapping round to the other edge.
template <Color C>
constexpr Bitboard pawn_attacks_bb(Bitboard b) {
    if constexpr (C == WHITE)
        return ((b & ~FILE_A) << 7) | ((b & ~FILE_H) << 9);
    else
        return ((b & ~FILE_H) >> 7) | ((b & ~FILE_A) >> 9);
}
constexpr Bitboard pawn_attacks_bb(Color c, Bitboard b) {
    return c == WHITE ? pawn_attacks_bb<WHITE>(b) : pawn_attacks_bb<BLACK>(b);
}
