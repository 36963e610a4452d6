// Zobrist key tables, drawn once from a fixed-seed 64-bit Mersenne Twister so
// every run gives the same keys, and the from-scratch key functions.
#pragma once

#include <cstdint>

#include "board/types.h"

class Position;

namespace Zobrist {

void init_zobrist();
uint64_t piece_key(int piece, int sq);
uint64_t pawn_piece_key(Color c, int sq);
uint64_t castling_key(int rights);
uint64_t ep_file_key(int file);
uint64_t side_key();
uint64_t compute_key(const Position& pos);
uint64_t compute_pawn_key(const Position& pos);
uint64_t compute_non_pawn_key(const Position& pos);
uint64_t compute_rep_key(const Position& pos);

}  // namespace Zobrist
