// Precomputed leaper attack tables, the ray-walking slider functions that fill
// the bit-extract tables, and static exchange evaluation.
#pragma once

#include "board/types.h"

class Position;

namespace Attack {

// Read directly by the board, the evaluation and the move picker.
extern Bitboard knightAttacks[64];
extern Bitboard kingAttacks[64];
extern Bitboard pawnAttacksWhite[64];
extern Bitboard pawnAttacksBlack[64];

void init_attacks();

// The board's start-up: the leaper tables above, then the slider tables
// (PEXT::init). Runs once, before the first position is set and before any
// search thread exists; the tables are read-only after it.
void init_tables();

Bitboard sliding_attacks_rook(int sq, Bitboard occ);
Bitboard sliding_attacks_bishop(int sq, Bitboard occ);
Bitboard sliding_attacks_queen(int sq, Bitboard occ);

// Exchange values by piece type, independent of the evaluation's values.
inline constexpr int LOCAL_PIECE_VALUE[6] = {100, 320, 330, 500, 900, 20000};

// Material balance of the capture sequence a move starts, from the mover's view.
int see_gain(const Position& pos, unsigned move);
bool see_ge(const Position& pos, unsigned move, int threshold);

}  // namespace Attack
