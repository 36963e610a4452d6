// Rook and bishop attack tables indexed by the parallel bit extract of the
// occupancy under each square's relevant-occupancy mask.
#pragma once

#include <immintrin.h>

#include "board/types.h"

namespace PEXT {

extern Bitboard rook_masks[64];
extern Bitboard bishop_masks[64];
extern Bitboard rook_attacks[64][4096];
extern Bitboard bishop_attacks[64][512];

void init();

inline Bitboard rook_attacks_pext(int sq, Bitboard occ) {
    return rook_attacks[sq][_pext_u64(occ, rook_masks[sq])];
}

inline Bitboard bishop_attacks_pext(int sq, Bitboard occ) {
    return bishop_attacks[sq][_pext_u64(occ, bishop_masks[sq])];
}

}  // namespace PEXT
