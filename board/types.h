// Basic types and constants shared by every module: colours, squares, pieces,
// the packed move word's flags, castling bits and the score scale.
#pragma once

#include <cstdint>

using Bitboard = uint64_t;

enum Color : int { WHITE = 0, BLACK = 1 };

constexpr int NO_SQUARE = -1;
constexpr int NO_PIECE = -1;

// Piece codes: 0..5 white pawn..king, 6..11 black; the type is code % 6.
enum PieceType : int { PAWN = 0, KNIGHT = 1, BISHOP = 2, ROOK = 3, QUEEN = 4, KING = 5 };

// The type of a piece code by table lookup, cheaper than the division on hot
// paths; the codes 12..15 that a move's four-bit piece field can hold map as
// % 6 maps them.
inline constexpr int8_t PIECE_TYPE_OF[16] = {0, 1, 2, 3, 4, 5, 0, 1, 2, 3, 4, 5, 0, 1, 2, 3};
constexpr int type_of_piece(int code) { return PIECE_TYPE_OF[code]; }

// Move word flags (bits 20..23).
constexpr uint32_t FLAG_CAPTURE = 0x100000;
constexpr uint32_t FLAG_DOUBLE_PUSH = 0x200000;
constexpr uint32_t FLAG_EN_PASSANT = 0x400000;
constexpr uint32_t FLAG_CASTLING = 0x800000;

// Castling-rights bits.
constexpr uint32_t CASTLE_WHITE_KING = 1;
constexpr uint32_t CASTLE_WHITE_QUEEN = 2;
constexpr uint32_t CASTLE_BLACK_KING = 4;
constexpr uint32_t CASTLE_BLACK_QUEEN = 8;

// Scores, in centipawns from the side to move's view.
constexpr int SCORE_MATE = 9900000;
constexpr int MATE_THRESHOLD = 9899000;
constexpr int SCORE_INFINITE = 10000000;
constexpr int SCORE_NONE = 32767;

constexpr int MAX_PLY = 128;

constexpr Color operator~(Color c) { return Color(c ^ 1); }

// Bit helpers used throughout.
inline int popcount(Bitboard b) { return __builtin_popcountll(b); }
inline int lsb(Bitboard b) { return __builtin_ctzll(b); }
inline int msb(Bitboard b) { return 63 - __builtin_clzll(b); }
inline int pop_lsb(Bitboard& b) {
    int s = __builtin_ctzll(b);
    b &= b - 1;
    return s;
}
constexpr Bitboard square_bb(int sq) { return Bitboard(1) << sq; }
