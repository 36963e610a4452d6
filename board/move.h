// The packed 32-bit move word: field accessors and its UCI coordinate text.
#pragma once

#include <cstdint>
#include <string>

#include "board/types.h"

using Move = uint32_t;

constexpr int move_from(Move m) { return int(m & 63); }
constexpr int move_to(Move m) { return int((m >> 6) & 63); }
constexpr int move_piece(Move m) { return int((m >> 12) & 15); }
constexpr int move_promotion(Move m) { return int((m >> 16) & 15); }
// The promotion field in place: a word with any of these bits set promotes.
constexpr Move MOVE_PROMOTION_BITS = Move(15) << 16;

constexpr Move make_move_word(int from, int to, int piece, int promotion = 0, uint32_t flags = 0) {
    return Move(from) | (Move(to) << 6) | (Move(piece) << 12) | (Move(promotion) << 16) | flags;
}

// The four castling words, encoded as the king's move.
constexpr Move MOVE_WHITE_OO = 0x805184;   // e1g1
constexpr Move MOVE_WHITE_OOO = 0x805084;  // e1c1
constexpr Move MOVE_BLACK_OO = 0x80BFBC;   // e8g8
constexpr Move MOVE_BLACK_OOO = 0x80BEBC;  // e8c8

// UCI coordinate text ("e2e4", "e7e8q"); "0000" for move 0.
std::string move_to_uci(unsigned move);
