// The board model: placement in three redundant forms, occupancy, side to move,
// castling rights, en passant square, clocks, incremental Zobrist keys with the
// key history, and the pin cache; with make/unmake, FEN and the board queries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/move.h"
#include "board/pext.h"
#include "board/types.h"

// A position is not safe to share between threads, not even for const use:
// in_check and note_checkers, though const, fill the mutable cache fields
// below. Give each thread its own copy.
class Position {
public:
    Bitboard pieces[12];
    int board[64];
    int piece_count[12];
    int king_square[2];
    Bitboard occupancy[2];
    Bitboard occupied;
    int side;
    Bitboard pinned[2];
    Bitboard pin_ray[64];
    // The per-placement cache is pinned, pin_ray, placement_facts and
    // king_checkers: what is known of the current placement, kept so that the
    // same position does not compute it twice. Every change of the placement
    // clears placement_facts, so code that changes the placement must go
    // through the Position functions that do so: set_piece_at_square,
    // remove_piece_at_square, recompute_occupancies (after writing pieces),
    // make/unmake, set_from_fen and clear.
    // PINS_KNOWN << c: pinned[c] with its pin_ray entries is current;
    // CHECKERS_KNOWN << c: king_checkers[c], and KING_ATTACKED << c says
    // whether c's king is attacked (by a checker or the enemy king).
    mutable uint32_t placement_facts;
    mutable Bitboard king_checkers[2];
    static constexpr uint32_t PINS_KNOWN = 1, CHECKERS_KNOWN = 4, KING_ATTACKED = 16;
    uint32_t castling_rights;
    int ep_square;
    int halfmove_clock;
    int fullmove_number;
    int plies_since_null;
    uint64_t key;
    uint64_t pawn_key;
    uint64_t non_pawn_key;
    std::vector<uint64_t> key_history;

    // The state before one move, handed back to the matching unmake: what the
    // move destroys (the captured piece, rights, en passant square, clocks and
    // keys). Squares and pieces come from the move word when asked; a null
    // move's record has word 0 and answers -1 for them.
    struct Undo {
        uint32_t castling_rights;
        int ep_square;
        int halfmove_clock;
        int fullmove_number;
        int plies_since_null;
        uint32_t move;
        // The keys before the move, restored whole by unmake.
        uint64_t key;
        uint64_t pawn_key;
        uint64_t non_pawn_key;
        int captured_piece;
        int side;

        bool is_null() const { return move == 0; }
        int from() const { return is_null() ? NO_SQUARE : move_from(move); }
        int to() const { return is_null() ? NO_SQUARE : move_to(move); }
        int moved_piece() const { return is_null() ? NO_PIECE : move_piece(move); }
        int promotion() const { return move_promotion(move) ? move_promotion(move) : -1; }
        // The destination, or the square behind it for an en passant capture.
        int captured_square() const {
            if (is_null()) return NO_SQUARE;
            if ((move & FLAG_EN_PASSANT) && !move_promotion(move) && captured_piece != NO_PIECE)
                return en_passant_victim(moved_piece() > 5, to());
            return to();
        }
    };

    Position();
    void clear();

    // Placement
    void set_piece_at_square(int piece, int sq);
    void remove_piece_at_square(int piece, int sq);
    void recompute_occupancies();
    static int piece_index_from_char(char c);

    // Queries
    bool is_square_attacked(int sq, Color by) const;
    // The same with the given occupancy in place of `occupied` (the slider lines).
    bool is_square_attacked(int sq, Color by, Bitboard occ) const;
    inline bool in_check(Color c) const;
    inline Bitboard checker_mask(Color c) const;
    Bitboard check_block_mask(Color c) const;
    void compute_pins(Color c);
    // compute_pins(c) and checker_mask(c), each skipped when still current
    // for this placement; returns the checkers.
    inline Bitboard refresh_pins_and_checkers(Color c);
    inline void note_checkers(Color c) const;
    // Returns list() (a move generation, which refreshes c's pins for this
    // placement). If c's pins were stale before the call, pinned[c] and its
    // known-flag are put back as they stood: pinned[side] as the search last
    // saw it decides which moves it tests by playing them, so a list made
    // for this position later on must not change it. (pin_ray
    // entries written meanwhile stay; they are read only under a current
    // flag, and the refresh that sets it rewrites them.)
    template <class List>
    auto with_pins_left_as_found(Color c, List&& list);
    // check_block_mask(c) for a king whose checkers are already known.
    Bitboard check_block_mask(Color c, Bitboard checkers) const;
    bool has_non_pawn_material(Color c) const;
    // Asked at every node: the usual answer (a pawn, rook or queen is left)
    // inline, the minor-piece cases out of line.
    inline bool has_insufficient_material() const;
    int repetition_count() const;
    bool is_threefold_repetition() const;

    // Moves
    inline Undo make_move(unsigned move);
    inline void unmake_move(const Undo& u);
    Undo make_null_move();
    void unmake_null_move(const Undo& u);
    bool is_move_legal(unsigned move) const;
    bool has_any_legal_move();  // defined with the move generator

    // FEN and picture
    bool set_from_fen(const std::string& fen, std::string& error);
    std::string to_fen() const;
    std::string board_visual() const;

private:
    // has_insufficient_material once no pawn, rook or queen is left: whether
    // the kings, knights and bishops left can never mate.
    bool minor_pieces_cannot_mate() const;
};

// The attack queries run at every node: defined here so that they inline.
inline bool Position::is_square_attacked(int sq, Color by, Bitboard occ) const {
    const int b = 6 * by;
    const Bitboard pawn_from = by == WHITE ? Attack::pawnAttacksBlack[sq] : Attack::pawnAttacksWhite[sq];
    if (pieces[b + PAWN] & pawn_from) return true;
    if (pieces[b + KNIGHT] & Attack::knightAttacks[sq]) return true;
    if (pieces[b + KING] & Attack::kingAttacks[sq]) return true;
    const Bitboard queens = pieces[b + QUEEN];
    if ((pieces[b + BISHOP] | queens) & PEXT::bishop_attacks_pext(sq, occ)) return true;
    if ((pieces[b + ROOK] | queens) & PEXT::rook_attacks_pext(sq, occ)) return true;
    return false;
}

inline bool Position::is_square_attacked(int sq, Color by) const { return is_square_attacked(sq, by, occupied); }

inline Bitboard Position::checker_mask(Color c) const {
    const int k = king_square[c];
    if (k == NO_SQUARE) return 0;
    const int e = 6 * (c ^ 1);
    const Bitboard pawn_from = c == WHITE ? Attack::pawnAttacksWhite[k] : Attack::pawnAttacksBlack[k];
    const Bitboard queens = pieces[e + QUEEN];
    return (pieces[e + PAWN] & pawn_from) | (pieces[e + KNIGHT] & Attack::knightAttacks[k]) |
           ((pieces[e + BISHOP] | queens) & PEXT::bishop_attacks_pext(k, occupied)) |
           ((pieces[e + ROOK] | queens) & PEXT::rook_attacks_pext(k, occupied));
}

// Fills king_checkers[c] and the king-attacked fact of c for this placement.
inline void Position::note_checkers(Color c) const {
    const Bitboard found = checker_mask(c);
    const int k = king_square[c];
    const bool attacked = found || (k != NO_SQUARE && (pieces[6 * (c ^ 1) + KING] & Attack::kingAttacks[k]));
    king_checkers[c] = found;
    placement_facts = (placement_facts & ~(KING_ATTACKED << c)) | (CHECKERS_KNOWN << c) |
                      (attacked ? KING_ATTACKED << c : 0);
}

inline Bitboard Position::refresh_pins_and_checkers(Color c) {
    if (!(placement_facts & (PINS_KNOWN << c))) {
        compute_pins(c);
        placement_facts |= PINS_KNOWN << c;
    }
    if (!(placement_facts & (CHECKERS_KNOWN << c))) note_checkers(c);
    return king_checkers[c];
}

template <class List>
auto Position::with_pins_left_as_found(Color c, List&& list) {
    const uint32_t known = PINS_KNOWN << c;
    const bool stale = !(placement_facts & known);
    const Bitboard seen = pinned[c];
    const auto result = list();
    if (stale) {
        pinned[c] = seen;
        placement_facts &= ~known;
    }
    return result;
}

inline bool Position::has_insufficient_material() const {
    if (pieces[0] | pieces[6] | pieces[3] | pieces[9] | pieces[4] | pieces[10]) return false;
    return minor_pieces_cannot_mate();
}

// The same answer as is_square_attacked on the king square, computed once per
// placement: a node asks it after its move is made and again on entry.
inline bool Position::in_check(Color c) const {
    if (!(placement_facts & (CHECKERS_KNOWN << c))) note_checkers(c);
    return placement_facts & (KING_ATTACKED << c);
}

#include "board/position_make.h"
