// Zobrist key tables and from-scratch keys.
#include "board/zobrist.h"

#include <random>

#include "board/position.h"

namespace Zobrist {

namespace detail {
uint64_t piece_square[12][64];
uint64_t castling[16];
uint64_t ep_file[8];
uint64_t side_to_move;
bool initialized = false;
}  // namespace detail

using namespace detail;

void init_zobrist() {
    if (initialized) return;
    std::mt19937_64 rng(0x9E3779B97F4A7C15ULL);
    for (int p = 0; p < 12; ++p)
        for (int s = 0; s < 64; ++s) piece_square[p][s] = rng();
    for (int r = 0; r < 16; ++r) castling[r] = rng();
    for (int f = 0; f < 8; ++f) ep_file[f] = rng();
    side_to_move = rng();
    initialized = true;
}

namespace {

uint64_t pieces_key(const Position& pos, int p) {
    uint64_t k = 0;
    Bitboard b = pos.pieces[p];
    while (b) k ^= piece_square[p][pop_lsb(b)];
    return k;
}

}  // namespace

uint64_t compute_key(const Position& pos) {
    init_zobrist();
    uint64_t k = 0;
    for (int p = 0; p < 12; ++p) k ^= pieces_key(pos, p);
    if (pos.side == BLACK) k ^= side_to_move;
    k ^= castling[pos.castling_rights & 15];
    if (pos.ep_square != NO_SQUARE) k ^= ep_file[pos.ep_square & 7];
    return k;
}

uint64_t compute_pawn_key(const Position& pos) {
    init_zobrist();
    return pieces_key(pos, 0) ^ pieces_key(pos, 6);
}

uint64_t compute_non_pawn_key(const Position& pos) {
    init_zobrist();
    uint64_t k = 0;
    for (int p = 0; p < 12; ++p)
        if (p % 6 != 0) k ^= pieces_key(pos, p);
    return k;
}

uint64_t compute_rep_key(const Position& pos) { return compute_key(pos); }

}  // namespace Zobrist
