// Slider attack tables indexed by parallel bit extract.
#include "board/pext.h"

#include "board/attack.h"

namespace PEXT {

Bitboard rook_masks[64];
Bitboard bishop_masks[64];
Bitboard rook_attacks[64][4096];
Bitboard bishop_attacks[64][512];

namespace {

// The squares of one ray from sq, without the last (edge) square of the ray.
Bitboard mask_ray(int sq, int dr, int df) {
    Bitboard b = 0;
    int r = (sq >> 3) + dr, f = (sq & 7) + df;
    while (r + dr >= 0 && r + dr < 8 && f + df >= 0 && f + df < 8) {
        b |= square_bb(r * 8 + f);
        r += dr;
        f += df;
    }
    return b;
}

}  // namespace

void init() {
    for (int sq = 0; sq < 64; ++sq) {
        const Bitboard rm = mask_ray(sq, 1, 0) | mask_ray(sq, -1, 0) | mask_ray(sq, 0, 1) | mask_ray(sq, 0, -1);
        const Bitboard bm = mask_ray(sq, 1, 1) | mask_ray(sq, 1, -1) | mask_ray(sq, -1, 1) | mask_ray(sq, -1, -1);
        rook_masks[sq] = rm;
        bishop_masks[sq] = bm;
        const uint64_t rn = uint64_t(1) << popcount(rm);
        for (uint64_t i = 0; i < rn; ++i)
            rook_attacks[sq][i] = Attack::sliding_attacks_rook(sq, _pdep_u64(i, rm));
        const uint64_t bn = uint64_t(1) << popcount(bm);
        for (uint64_t i = 0; i < bn; ++i)
            bishop_attacks[sq][i] = Attack::sliding_attacks_bishop(sq, _pdep_u64(i, bm));
    }
}

}  // namespace PEXT
