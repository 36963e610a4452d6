// Zobrist key tables, drawn once from a fixed-seed 64-bit Mersenne Twister so
// every run gives the same keys, and the from-scratch key functions.
#pragma once

#include <cstdint>

#include "board/types.h"

class Position;

namespace Zobrist {

// The key tables. Module state: declared here only so that the
// single-key lookups below inline into make/unmake; read them through those
// functions, never write them.
namespace detail {
extern uint64_t piece_square[12][64];
extern uint64_t castling[16];
extern uint64_t ep_file[8];
extern uint64_t side_to_move;
extern bool initialized;
}  // namespace detail

void init_zobrist();

// Single-key lookups for code that holds a Position: constructing one draws the
// tables (its constructor runs clear(), which computes the keys), so these skip
// the flag test. make/unmake use them: the test would add about 1.6% to
// make_move's instructions (callgrind, perft 4 from the start position).
inline uint64_t drawn_piece_key(int piece, int sq) { return detail::piece_square[piece][sq]; }
inline uint64_t drawn_castling_key(int rights) { return detail::castling[rights]; }
inline uint64_t drawn_ep_file_key(int file) { return detail::ep_file[file]; }
inline uint64_t drawn_side_key() { return detail::side_to_move; }

// Single-key lookups: a flag test and one table load.
inline uint64_t piece_key(int piece, int sq) {
    if (!detail::initialized) [[unlikely]] init_zobrist();
    return drawn_piece_key(piece, sq);
}
inline uint64_t pawn_piece_key(Color c, int sq) {
    if (!detail::initialized) [[unlikely]] init_zobrist();
    return drawn_piece_key(6 * int(c), sq);
}
inline uint64_t castling_key(int rights) {
    if (!detail::initialized) [[unlikely]] init_zobrist();
    return drawn_castling_key(rights);
}
inline uint64_t ep_file_key(int file) {
    if (!detail::initialized) [[unlikely]] init_zobrist();
    return drawn_ep_file_key(file);
}
inline uint64_t side_key() {
    if (!detail::initialized) [[unlikely]] init_zobrist();
    return drawn_side_key();
}

uint64_t compute_key(const Position& pos);
uint64_t compute_pawn_key(const Position& pos);
uint64_t compute_non_pawn_key(const Position& pos);
uint64_t compute_rep_key(const Position& pos);

}  // namespace Zobrist
