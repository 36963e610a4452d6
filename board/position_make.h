// Making and unmaking moves: the ordinary move's path, defined in a header so
// that perft and the legal-move filter can inline it, and the placement and
// key helpers that the position file shares with it. Included by position.h
// only, after the class.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/move.h"
#include "board/zobrist.h"

namespace PositionMoves {

inline constexpr int W_ROOK = 3, B_ROOK = 9, W_KING = 5, B_KING = 11;

// Key lookups without the tables' flag test: this Position has drawn them.
inline uint64_t zpiece(int p, int s) { return Zobrist::drawn_piece_key(p, s); }
inline uint64_t zside() { return Zobrist::drawn_side_key(); }
inline uint64_t zcastle(uint32_t r) { return Zobrist::drawn_castling_key(int(r & 15)); }
inline uint64_t zep(int sq) { return Zobrist::drawn_ep_file_key(sq & 7); }

inline bool is_pawn(int p) { return p == 0 || p == 6; }
inline bool is_king(int p) { return p == W_KING || p == B_KING; }

// Key z of piece p (one square, or the XOR of two), XOR-ed into key and into
// pawn_key or non_pawn_key through a mask: the same as
// `if (is_pawn(p)) pawn_key ^= z; else non_pawn_key ^= z;`, which the keys
// recomputed from scratch after every move of PositionTest.NaivePerftMakeUnmake
// check. GCC 12 still compiles the mask as a branch; forcing a select cost
// perft about 5% more instructions.
inline void toggle_piece_key(uint64_t& key, uint64_t& pawn_key, uint64_t& non_pawn_key, int p, uint64_t z) {
    const uint64_t pawnMask = is_pawn(p) ? ~uint64_t(0) : 0;
    key ^= z;
    pawn_key ^= z & pawnMask;
    non_pawn_key ^= z & ~pawnMask;
}

inline void xor_piece_key(Position& pos, int p, uint64_t z) {
    toggle_piece_key(pos.key, pos.pawn_key, pos.non_pawn_key, p, z);
}

// Placement without the keys, as unmake needs it: everything but `occupied`
// (callers refresh it).
inline void place_piece(Position& pos, int p, int s) {
    const int c = p > 5;
    const Bitboard b = square_bb(s);
    pos.pieces[p] |= b;
    pos.occupancy[c] |= b;
    pos.board[s] = p;
    pos.piece_count[p]++;
    if (is_king(p)) pos.king_square[c] = s;
}

inline void lift_piece(Position& pos, int p, int s) {
    const int c = p > 5;
    const Bitboard b = square_bb(s);
    pos.pieces[p] &= ~b;
    pos.occupancy[c] &= ~b;
    pos.board[s] = NO_PIECE;
    pos.piece_count[p]--;
    if (is_king(p)) pos.king_square[c] = NO_SQUARE;
}

inline void slide_piece(Position& pos, int p, int from, int to) {
    const int c = p > 5;
    const Bitboard b = square_bb(from) | square_bb(to);
    pos.pieces[p] ^= b;
    pos.occupancy[c] ^= b;
    pos.board[from] = NO_PIECE;
    pos.board[to] = p;
    if (is_king(p)) pos.king_square[c] = to;
}

// The same with the keys.
inline void put_piece(Position& pos, int p, int s) {
    place_piece(pos, p, s);
    xor_piece_key(pos, p, zpiece(p, s));
}

inline void take_piece(Position& pos, int p, int s) {
    lift_piece(pos, p, s);
    xor_piece_key(pos, p, zpiece(p, s));
}

inline void shift_piece(Position& pos, int p, int from, int to) {
    slide_piece(pos, p, from, to);
    xor_piece_key(pos, p, zpiece(p, from) ^ zpiece(p, to));
}

// Clocks loaded from FEN may already stand at the top of their range; they
// stop there instead of overflowing.
inline int saturating_inc(int v) { return v + (v != std::numeric_limits<int>::max()); }

// The undo record of a move, or of a null move (word 0): the state that unmake
// cannot recompute, nothing captured yet.
inline Position::Undo undo_record(const Position& pos, unsigned move) {
    Position::Undo u;
    u.castling_rights = pos.castling_rights;
    u.ep_square = pos.ep_square;
    u.halfmove_clock = pos.halfmove_clock;
    u.fullmove_number = pos.fullmove_number;
    u.plies_since_null = pos.plies_since_null;
    u.move = move;
    u.key = pos.key;
    u.pawn_key = pos.pawn_key;
    u.non_pawn_key = pos.non_pawn_key;
    u.captured_piece = NO_PIECE;
    u.side = pos.side;
    return u;
}

// Puts back what undo_record saved: rights, en passant square, clocks, side
// and the three keys.
inline void restore_state(Position& pos, const Position::Undo& u) {
    pos.castling_rights = u.castling_rights;
    pos.ep_square = u.ep_square;
    pos.halfmove_clock = u.halfmove_clock;
    pos.fullmove_number = u.fullmove_number;
    pos.plies_since_null = u.plies_since_null;
    pos.side = u.side;
    pos.key = u.key;
    pos.pawn_key = u.pawn_key;
    pos.non_pawn_key = u.non_pawn_key;
}

// Castling rights a move keeps, by square, applied to its origin and its
// destination: leaving a king's home square clears both of that colour's rights,
// leaving or landing on a corner clears that corner's right. While a right is
// set, its king and rook stand on their home squares (the FEN reader demands
// it and every move keeps it), so the squares decide exactly as the moving
// king or rook and a rook captured on its corner would.
constexpr std::array<uint8_t, 64> make_rights_kept() {
    std::array<uint8_t, 64> m{};
    for (int s = 0; s < 64; ++s) m[s] = 15;
    m[SQ_E1] = uint8_t(15 & ~(CASTLE_WHITE_KING | CASTLE_WHITE_QUEEN));
    m[SQ_E8] = uint8_t(15 & ~(CASTLE_BLACK_KING | CASTLE_BLACK_QUEEN));
    m[SQ_A1] = uint8_t(15 & ~CASTLE_WHITE_QUEEN);
    m[SQ_H1] = uint8_t(15 & ~CASTLE_WHITE_KING);
    m[SQ_A8] = uint8_t(15 & ~CASTLE_BLACK_QUEEN);
    m[SQ_H8] = uint8_t(15 & ~CASTLE_BLACK_KING);
    return m;
}

inline constexpr std::array<uint8_t, 64> RIGHTS_KEPT = make_rights_kept();

// The squares whose entry in RIGHTS_KEPT clears anything.
inline constexpr Bitboard CASTLING_SQUARES = square_bb(SQ_A1) | square_bb(SQ_E1) | square_bb(SQ_H1) |
                                             square_bb(SQ_A8) | square_bb(SQ_E8) | square_bb(SQ_H8);

// The three keys and the halfmove clock of a move in progress, kept in
// registers until the move is done.
struct MoveKeys {
    uint64_t key, pawn, non_pawn;
    int clock;
    void toggle(int p, uint64_t z) { toggle_piece_key(key, pawn, non_pawn, p, z); }
};

constexpr uint32_t SPECIAL_MOVE_BITS = MOVE_PROMOTION_BITS | FLAG_EN_PASSANT | FLAG_CASTLING;

// A promotion, en passant capture or castling: the rare moves, kept out of
// line so that the ordinary move's path stays short. They work on the
// position's keys and halfmove clock directly.
void make_special_move(Position& pos, unsigned move, Position::Undo& u);
// Puts back the pieces of a promotion, en passant capture or castling.
void unmake_special_move(Position& pos, unsigned m, int x);

// Whether some pawn of `capturer` can take en passant onto ep without leaving
// its own king attacked.
bool has_legal_en_passant_capture(const Position& pos, int ep, Color capturer);

}  // namespace PositionMoves

inline Position::Undo Position::make_move(unsigned move) {
    using namespace PositionMoves;
    const int from = move_from(move);
    const int to = move_to(move);
    const int p = move_piece(move);
    const int c = p > 5;

    Undo u = undo_record(*this, move);
    placement_facts = 0;
    MoveKeys k{key ^ zside(), pawn_key, non_pawn_key, 0};
    int new_ep = NO_SQUARE;

    if (!(move & SPECIAL_MOVE_BITS)) [[likely]] {
        const int x = board[to];
        if (x != NO_PIECE) {
            lift_piece(*this, x, to);
            k.toggle(x, zpiece(x, to));
            u.captured_piece = x;
        }
        slide_piece(*this, p, from, to);
        k.toggle(p, zpiece(p, from) ^ zpiece(p, to));
        k.clock = (is_pawn(p) || (move & FLAG_CAPTURE)) ? 0 : saturating_inc(halfmove_clock);

        // En passant square after a double step, only when the opponent can
        // really use it: an enemy pawn beside the destination first.
        if (is_pawn(p) && (from ^ to) == 16) {
            const int e = (from + to) / 2;
            const Bitboard* capturers = c == WHITE ? Attack::pawnAttacksWhite : Attack::pawnAttacksBlack;
            if ((pieces[6 * (c ^ 1)] & capturers[e]) && has_legal_en_passant_capture(*this, e, Color(c ^ 1)))
                new_ep = e;
        }
    } else {
        key = k.key;
        make_special_move(*this, move, u);
        k = MoveKeys{key, pawn_key, non_pawn_key, halfmove_clock};
    }

    occupied = occupancy[0] | occupancy[1];
    // Only a move from or to a king's home square or a corner can change the rights.
    const uint32_t rights = (square_bb(from) | square_bb(to)) & CASTLING_SQUARES
                                ? castling_rights & RIGHTS_KEPT[from] & RIGHTS_KEPT[to]
                                : castling_rights;
    if (rights != castling_rights) k.key ^= zcastle(castling_rights) ^ zcastle(rights);
    if (ep_square != NO_SQUARE) k.key ^= zep(ep_square);
    if (new_ep != NO_SQUARE) k.key ^= zep(new_ep);
    castling_rights = rights;
    ep_square = new_ep;
    halfmove_clock = k.clock;
    if (side == BLACK) fullmove_number = saturating_inc(fullmove_number);
    side ^= 1;
    plies_since_null++;
    key = k.key;
    pawn_key = k.pawn;
    non_pawn_key = k.non_pawn;
    key_history.push_back(k.key);
    return u;
}

inline void Position::unmake_move(const Undo& u) {
    using namespace PositionMoves;
    if (!key_history.empty()) key_history.pop_back();
    placement_facts = 0;
    const unsigned m = u.move;
    const int from = move_from(m);
    const int to = move_to(m);
    const int p = move_piece(m);
    const int x = u.captured_piece;

    if (!(m & SPECIAL_MOVE_BITS)) [[likely]] {
        slide_piece(*this, p, to, from);
        if (x != NO_PIECE) place_piece(*this, x, to);
    } else {
        unmake_special_move(*this, m, x);
    }

    // The keys come back whole; the pieces moved back without touching them.
    restore_state(*this, u);
    occupied = occupancy[0] | occupancy[1];
}

