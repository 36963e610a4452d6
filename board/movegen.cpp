// Move generation for either side: pseudo-legal, tactical (captures and
// promotions), legal and labelled lists, and the test for any legal move.
#include "board/movegen.h"

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/move.h"
#include "board/pext.h"

namespace {

// Appending to a full array is dropped silently; generation goes on so the
// array keeps the first `capacity` moves in generation order.
inline void emit(ArrayMoveSink& sink, Move m) {
    if (sink.count < sink.capacity) sink.data[sink.count++] = m;
}

inline void emit(std::vector<unsigned>& sink, Move m) { sink.push_back(m); }

// An array known to have room for every move of the position: no bound test
// per move.
struct RoomyArraySink {
    uint32_t* end;
};

inline void emit(RoomyArraySink& sink, Move m) { *sink.end++ = m; }

// Promotions come out queen, rook, bishop, knight.
template <class Sink>
inline void emit_promotions(Sink& sink, int from, int to, int piece, uint32_t flags) {
    emit(sink, make_move_word(from, to, piece, QUEEN, flags));
    emit(sink, make_move_word(from, to, piece, ROOK, flags));
    emit(sink, make_move_word(from, to, piece, BISHOP, flags));
    emit(sink, make_move_word(from, to, piece, KNIGHT, flags));
}

// Which moves a generation pass emits: all, only the captures and
// promotions, or only the rest (in the same order: the tactical and the
// quiet list are complementary subsequences of the full one).
enum class GenKind { ALL, TACTICAL, QUIET };

// The squares a quiet move of a piece of type `type` on s may reach under
// the filter (all of them without one).
[[gnu::always_inline]] inline Bitboard kept_targets(const QuietTargets* filter, int type, int s) {
    if (!filter) return ALL_SQUARES;
    return filter->byType[type] | ((filter->discoverers & square_bb(s)) ? ~filter->line[s] : 0);
}

// The empty squares that pawns of colour Us reach by a double step, given
// the empty squares `single` they reach by a single step.
template <Color Us>
constexpr Bitboard double_pushes(Bitboard single, Bitboard empty) {
    constexpr Bitboard thirdRank = Us == WHITE ? RANK_3 : RANK_6;
    return pawn_push_bb<Us>(single & thirdRank) & empty;
}

// Per pawn, in ascending square order: push (or push promotions), double push,
// captures, en passant. The block mask does not restrict en passant: taking a
// pawn that just gave check by its double step resolves the check without
// landing on the checker's square; the legal filter tests every such capture.
template <Color Us, GenKind Kind, class Sink>
[[gnu::always_inline]] inline void generate_pawn_moves(const Position& pos, Sink& sink, Bitboard pawns,
                                                       Bitboard enemy, Bitboard occ, Bitboard block,
                                                       const QuietTargets* filter) {
    constexpr int step = Us == WHITE ? 8 : -8;
    constexpr Bitboard startRank = Us == WHITE ? RANK_2 : RANK_7;
    constexpr Bitboard lastRank = Us == WHITE ? RANK_8 : RANK_1;
    constexpr Bitboard promotingRank = Us == WHITE ? RANK_7 : RANK_2;
    constexpr int piece = Us * 6 + PAWN;
    const Bitboard* attacks = Us == WHITE ? Attack::pawnAttacksWhite : Attack::pawnAttacksBlack;
    const Bitboard pinned = pos.pinned[Us];
    const int ep = pos.ep_square;
    const Bitboard epBB = ep >= 0 && ep < 64 ? square_bb(ep) : 0;
    // A pawn attacks t exactly when an enemy pawn on t would attack the pawn.
    const Bitboard epCapturers = pawn_attacks_bb<~Us>(epBB);

    if constexpr (Kind == GenKind::TACTICAL) {
        // Only pawns about to promote or touching a capture target add moves.
        pawns &= promotingRank | pawn_attacks_bb<~Us>(enemy) | epCapturers;
    }
    // Pawns that take the full rules below: pinned ones, those about to
    // promote (or, set up by hand, on the last rank) and those beside the en
    // passant square. The others push onto these destination sets and
    // capture inside the block mask.
    const Bitboard special = pinned | promotingRank | lastRank | epCapturers;
    const Bitboard pushed = pawn_push_bb<Us>(pawns) & ~occ;
    const Bitboard pushTargets = pushed & block;
    const Bitboard doubleTargets = double_pushes<Us>(pushed, ~occ) & block;

    while (pawns) {
        const int s = pop_lsb(pawns);
        const Bitboard kept = kept_targets(filter, PAWN, s);
        if (!(special & square_bb(s))) [[likely]] {
            const int t = s + step;
            if constexpr (Kind != GenKind::TACTICAL) {
                if (pushTargets & kept & square_bb(t)) emit(sink, make_move_word(s, t, piece));
                if (doubleTargets & kept & square_bb(t + step))
                    emit(sink, make_move_word(s, t + step, piece, 0, FLAG_DOUBLE_PUSH));
            }
            if constexpr (Kind != GenKind::QUIET)
                for (Bitboard captures = attacks[s] & enemy & block; captures;)
                    emit(sink, make_move_word(s, pop_lsb(captures), piece, 0, FLAG_CAPTURE));
            continue;
        }

        const Bitboard allowed = (pinned & square_bb(s)) ? pos.pin_ray[s] : ALL_SQUARES;
        const Bitboard legalTargets = block & allowed & kept;

        const int t = s + step;
        if (t >= 0 && t < 64 && !(occ & square_bb(t))) {
            if (legalTargets & square_bb(t)) {
                if (lastRank & square_bb(t)) {
                    if constexpr (Kind != GenKind::QUIET) emit_promotions(sink, s, t, piece, 0);
                } else if constexpr (Kind != GenKind::TACTICAL) {
                    emit(sink, make_move_word(s, t, piece));
                }
            }
            // A double push may block a check that the single step does not.
            if (Kind != GenKind::TACTICAL && (startRank & square_bb(s))) {
                const int u = t + step;
                if (!(occ & square_bb(u)) && (legalTargets & square_bb(u)))
                    emit(sink, make_move_word(s, u, piece, 0, FLAG_DOUBLE_PUSH));
            }
        }

        if constexpr (Kind == GenKind::QUIET) continue;
        Bitboard captures = attacks[s] & enemy & legalTargets;
        while (captures) {
            const int to = pop_lsb(captures);
            if (lastRank & square_bb(to))
                emit_promotions(sink, s, to, piece, FLAG_CAPTURE);
            else
                emit(sink, make_move_word(s, to, piece, 0, FLAG_CAPTURE));
        }

        if (attacks[s] & allowed & epBB)
            emit(sink, make_move_word(s, ep, piece, 0, FLAG_CAPTURE | FLAG_EN_PASSANT));
    }
}

template <int Type>
inline Bitboard piece_attacks(int sq, Bitboard occ) {
    if constexpr (Type == KNIGHT) return Attack::knightAttacks[sq];
    if constexpr (Type == BISHOP) return PEXT::bishop_attacks_pext(sq, occ);
    if constexpr (Type == ROOK) return PEXT::rook_attacks_pext(sq, occ);
    if constexpr (Type == QUEEN) return PEXT::bishop_attacks_pext(sq, occ) | PEXT::rook_attacks_pext(sq, occ);
    return 0;
}

// The moves of one piece from `from` onto each target square in ascending
// order, flagged as captures where an enemy piece stands: the flag is the
// square's enemy bit shifted into place, the same as
// `if (enemy & square_bb(to)) m |= FLAG_CAPTURE`. MoveGen.WalkConsistency
// checks every word's fields against the board.
template <class Sink>
[[gnu::always_inline]] inline void emit_targets(Sink& sink, int from, int piece, Bitboard targets,
                                                Bitboard enemy) {
    static_assert(FLAG_CAPTURE == Move(1) << 20);
    const Move base = make_move_word(from, 0, piece);
    while (targets) {
        const int to = pop_lsb(targets);
        emit(sink, base | Move(to) << 6 | Move((enemy >> to) & 1) << 20);
    }
}

// Knight, bishop, rook and queen moves of the pieces in from_set. A pinned
// piece keeps to its pin line (a pinned knight has no move at all).
template <int Type, class Sink>
[[gnu::always_inline]] inline void generate_piece_moves(const Position& pos, Sink& sink, Color us, int piece,
                                                        Bitboard from_set, Bitboard own, Bitboard enemy,
                                                        Bitboard occupied, Bitboard target_mask,
                                                        const QuietTargets* filter = nullptr) {
    const Bitboard pinned = pos.pinned[us];
    while (from_set) {
        const int from = pop_lsb(from_set);
        Bitboard targets = piece_attacks<Type>(from, occupied) & ~own & target_mask & kept_targets(filter, Type, from);
        if (pinned & square_bb(from)) targets &= pos.pin_ray[from];
        emit_targets(sink, from, piece, targets, enemy);
    }
}

// King steps are not tested against attacks here: the legal filter does that.
template <class Sink>
[[gnu::always_inline]] inline void generate_king_moves(Sink& sink, int k, int piece, Bitboard own, Bitboard enemy) {
    emit_targets(sink, k, piece, Attack::kingAttacks[k] & ~own, enemy);
}

// Castling, king side first; only called when not in check.
template <Color Us, class Sink>
void generate_castling(const Position& pos, Sink& sink, int k, Bitboard kept) {
    constexpr Color them = Us == WHITE ? BLACK : WHITE;
    constexpr int rook = Us * 6 + ROOK;
    constexpr int e = Us == WHITE ? SQ_E1 : SQ_E8;
    constexpr int f = Us == WHITE ? SQ_F1 : SQ_F8;
    constexpr int g = Us == WHITE ? SQ_G1 : SQ_G8;
    constexpr int d = Us == WHITE ? SQ_D1 : SQ_D8;
    constexpr int c = Us == WHITE ? SQ_C1 : SQ_C8;
    constexpr int b = Us == WHITE ? SQ_B1 : SQ_B8;
    constexpr int a = Us == WHITE ? SQ_A1 : SQ_A8;
    constexpr int h = Us == WHITE ? SQ_H1 : SQ_H8;
    constexpr uint32_t kingRight = Us == WHITE ? CASTLE_WHITE_KING : CASTLE_BLACK_KING;
    constexpr uint32_t queenRight = Us == WHITE ? CASTLE_WHITE_QUEEN : CASTLE_BLACK_QUEEN;
    constexpr Move kingSide = Us == WHITE ? MOVE_WHITE_OO : MOVE_BLACK_OO;
    constexpr Move queenSide = Us == WHITE ? MOVE_WHITE_OOO : MOVE_BLACK_OOO;

    if (k != e) return;
    const Bitboard occ = pos.occupied;
    if ((kept & square_bb(g)) && (pos.castling_rights & kingRight) && pos.board[h] == rook &&
        !(occ & (square_bb(f) | square_bb(g))) && !pos.is_square_attacked(e, them) &&
        !pos.is_square_attacked(f, them) && !pos.is_square_attacked(g, them))
        emit(sink, kingSide);
    // b1/b8 must be empty but may be attacked: the king never crosses it.
    if ((kept & square_bb(c)) && (pos.castling_rights & queenRight) && pos.board[a] == rook &&
        !(occ & (square_bb(b) | square_bb(c) | square_bb(d))) && !pos.is_square_attacked(e, them) &&
        !pos.is_square_attacked(d, them) && !pos.is_square_attacked(c, them))
        emit(sink, queenSide);
}

// Inlined into each entry point, so that an array sink's write position
// stays in a register. Only the pieces standing on movers move (all of them
// for a full list), and only onto the squares the filter keeps, if any.
template <Color Us, GenKind Kind, class Sink>
[[gnu::always_inline]] inline void generate_for(Position& pos, Sink& sink, Bitboard movers = ALL_SQUARES,
                                                const QuietTargets* filter = nullptr) {
    constexpr Color them = Us == WHITE ? BLACK : WHITE;
    const int k = pos.king_square[Us];
    if (k == NO_SQUARE) return;

    const Bitboard checkers = pos.refresh_pins_and_checkers(Us);
    const Bitboard own = pos.occupancy[Us];
    const Bitboard enemy = pos.occupancy[them];
    const Bitboard occ = pos.occupied;
    constexpr int kingPiece = Us * 6 + KING;

    // Tactical lists take only the pieces' captures, quiet lists only their
    // steps onto empty squares (pawns pick their own).
    const Bitboard notOwn = Kind == GenKind::ALL ? ~Bitboard(0) : Kind == GenKind::TACTICAL ? enemy : ~enemy;
    const bool kingMoves = (movers & square_bb(k)) != 0;

    const Bitboard kingKept = kept_targets(filter, KING, k);

    // Double check: only the king can move.
    if (checkers & (checkers - 1)) {
        if (kingMoves) generate_king_moves(sink, k, kingPiece, own | ~notOwn | ~kingKept, enemy);
        return;
    }

    const Bitboard block = checkers ? pos.check_block_mask(Us, checkers) : ALL_SQUARES;
    const Bitboard pieceTargets = block & notOwn;

    constexpr int base = Us * 6;
    generate_pawn_moves<Us, Kind>(pos, sink, pos.pieces[base + PAWN] & movers, enemy, occ, block, filter);
    generate_piece_moves<KNIGHT>(pos, sink, Us, base + KNIGHT, pos.pieces[base + KNIGHT] & movers, own, enemy, occ,
                                 pieceTargets, filter);
    generate_piece_moves<BISHOP>(pos, sink, Us, base + BISHOP, pos.pieces[base + BISHOP] & movers, own, enemy, occ,
                                 pieceTargets, filter);
    generate_piece_moves<ROOK>(pos, sink, Us, base + ROOK, pos.pieces[base + ROOK] & movers, own, enemy, occ,
                               pieceTargets, filter);
    generate_piece_moves<QUEEN>(pos, sink, Us, base + QUEEN, pos.pieces[base + QUEEN] & movers, own, enemy, occ,
                                pieceTargets, filter);
    if (!kingMoves) return;
    generate_king_moves(sink, k, kingPiece, own | ~notOwn | ~kingKept, enemy);
    if (Kind != GenKind::TACTICAL && !checkers) generate_castling<Us>(pos, sink, k, kingKept);
}

// More moves than the side to move can have in any position: per piece its
// largest number of targets, plus the castlings. A pawn on its last step
// before promoting has up to three targets with four words each; any other
// pawn at most four moves (push, double push or en passant, two captures).
template <Color Us>
inline uint64_t move_count_bound(const Position& pos) {
    constexpr int base = Us * 6;
    constexpr Bitboard promotingRank = Us == WHITE ? RANK_7 : RANK_2;
    const Bitboard pawns = pos.pieces[base + PAWN];
    return 8 * uint64_t(popcount(pos.pieces[base + KNIGHT])) + 13 * uint64_t(popcount(pos.pieces[base + BISHOP])) +
           14 * uint64_t(popcount(pos.pieces[base + ROOK])) + 27 * uint64_t(popcount(pos.pieces[base + QUEEN])) +
           12 * uint64_t(popcount(pawns & promotingRank)) + 4 * uint64_t(popcount(pawns & ~promotingRank)) + 8 + 2;
}

// The one generator behind every list: pawns, knights, bishops, rooks, queens,
// king, king-side castling, queen-side castling.
template <GenKind Kind = GenKind::ALL, class Sink>
void generate_pseudo_legal_impl(Position& pos, Sink& sink) {
    if (pos.side == WHITE)
        generate_for<WHITE, Kind>(pos, sink);
    else
        generate_for<BLACK, Kind>(pos, sink);
}

// The full list into a caller's array: without bound tests when the array
// holds every move the position can have (the usual case), else through the
// dropping sink. (Tactical lists are too short to repay the count.)
template <Color Us>
uint64_t generate_into_array(Position& pos, unsigned* out, uint64_t capacity) {
    if (move_count_bound<Us>(pos) <= capacity) {
        RoomyArraySink sink{out};
        generate_for<Us, GenKind::ALL>(pos, sink);
        return uint64_t(sink.end - out);
    }
    ArrayMoveSink sink{out, capacity, 0};
    generate_for<Us, GenKind::ALL>(pos, sink);
    return sink.count;
}

// The same for the quiet moves of the pieces on movers; kept out of line,
// as the compiler inlining one colour into generate_quiet ran more
// instructions.
template <Color Us>
[[gnu::noinline]] uint64_t generate_quiet_into_array(Position& pos, unsigned* out, uint64_t capacity,
                                                     Bitboard movers, const QuietTargets* filter) {
    if (move_count_bound<Us>(pos) <= capacity) {
        RoomyArraySink sink{out};
        // Two copies of the generator: the unfiltered one drops every filter test.
        if (filter)
            generate_for<Us, GenKind::QUIET>(pos, sink, movers, filter);
        else
            generate_for<Us, GenKind::QUIET>(pos, sink, movers);
        return uint64_t(sink.end - out);
    }
    ArrayMoveSink sink{out, capacity, 0};
    generate_for<Us, GenKind::QUIET>(pos, sink, movers, filter);
    return sink.count;
}

// Castling, en passant and moves of pinned pieces, played out: whether the
// mover's king is unattacked afterwards.
[[gnu::flatten, gnu::noinline]] bool played_move_keeps_king_safe(Position& pos, Move m, Color us) {
    const Position::Undo u = pos.make_move(m);
    const bool exposed = pos.in_check(us);
    pos.unmake_move(u);
    return !exposed;
}

// Whether a generated move that may expose its own king (a king move, en
// passant, a move of a pinned piece) leaves that king (on k) unattacked. A
// plain king step only moves the king off k: a piece it captures never
// attacked its own square, so testing the destination with k vacated is the
// same as playing the move, and is done here in line. The other moves are
// played out.
inline bool keeps_king_safe(Position& pos, Move m, Color us, int k) {
    if (move_from(m) == k && !(m & FLAG_CASTLING))
        return !pos.is_square_attacked(move_to(m), ~us, pos.occupied & ~square_bb(k));
    return played_move_keeps_king_safe(pos, m, us);
}

// Large enough for any reachable position; unusual set-ups with more moves
// fall back to a vector.
constexpr uint64_t LOCAL_LIST_CAPACITY = 256;

}  // namespace

namespace MoveGen {

uint64_t generate_pseudo_legal(Position& pos, unsigned* out, uint64_t capacity) {
    return pos.side == WHITE ? generate_into_array<WHITE>(pos, out, capacity)
                             : generate_into_array<BLACK>(pos, out, capacity);
}

uint64_t generate_tactical(Position& pos, unsigned* out, uint64_t capacity) {
    ArrayMoveSink sink{out, capacity, 0};
    generate_pseudo_legal_impl<GenKind::TACTICAL>(pos, sink);
    return sink.count;
}

uint64_t generate_quiet(Position& pos, unsigned* out, uint64_t capacity, Bitboard movers,
                        const QuietTargets* filter) {
    const Color us = Color(pos.side);
    return pos.with_pins_left_as_found(us, [&] {
        return us == WHITE ? generate_quiet_into_array<WHITE>(pos, out, capacity, movers, filter)
                           : generate_quiet_into_array<BLACK>(pos, out, capacity, movers, filter);
    });
}

bool fits_whole_list(const Position& pos, uint64_t capacity) {
    return (pos.side == WHITE ? move_count_bound<WHITE>(pos) : move_count_bound<BLACK>(pos)) <= capacity;
}

void generate_pseudo_legal(Position& pos, std::vector<unsigned>& out) {
    out.clear();
    if (out.capacity() < 128) out.reserve(128);
    generate_pseudo_legal_impl(pos, out);
}

void generate_legal(Position& pos, std::vector<unsigned>& out) {
    unsigned local[LOCAL_LIST_CAPACITY];
    std::vector<unsigned> spill;
    const unsigned* list = local;
    uint64_t n = generate_pseudo_legal(pos, local, LOCAL_LIST_CAPACITY);
    if (n == LOCAL_LIST_CAPACITY) {  // may have been cut off: take the whole list
        generate_pseudo_legal(pos, spill);
        list = spill.data();
        n = spill.size();
    }

    const Color us = Color(pos.side);
    const int k = pos.king_square[us];
    if (k == NO_SQUARE) {
        out.clear();
        return;
    }

    // Copy the list whole, then drop the moves that fail the test in place.
    // Only king moves, en passant and moves of pinned pieces can expose the king.
    out.assign(list, list + n);
    unsigned* const moves = out.data();
    const Bitboard risky = pos.pinned[us] | square_bb(k);
    uint64_t kept = 0;
    // With nothing pinned and no en passant square only the king's moves
    // need the test, and they close the list (king steps, then castling):
    // the moves before them stay where they are.
    if (!pos.pinned[us] && pos.ep_square == NO_SQUARE) {
        kept = n;
        while (kept > 0 && move_from(moves[kept - 1]) == k) --kept;
    }
    for (uint64_t i = kept; i < n; ++i) {
        const Move m = moves[i];
        if ((!(risky & square_bb(move_from(m))) && !(m & FLAG_EN_PASSANT)) || keeps_king_safe(pos, m, us, k))
            moves[kept++] = m;
    }
    out.resize(kept);
}

void generate_semantic_pseudo_legal(Position& pos, std::vector<SemanticMove>& out) {
    std::vector<unsigned> list;
    generate_pseudo_legal(pos, list);
    out.clear();
    out.reserve(list.size());
    for (const Move m : list) {
        uint8_t kind = 0;
        if (m & FLAG_CASTLING)
            kind = 5;
        else if (move_promotion(m) != 0)
            kind = (m & FLAG_CAPTURE) ? 3 : 2;
        else if (m & FLAG_EN_PASSANT)
            kind = 4;
        else if (m & FLAG_CAPTURE)
            kind = 1;
        out.push_back(SemanticMove{m, kind});
    }
}

}  // namespace MoveGen

namespace {

template <Color Us>
bool has_any_legal_move_for(Position& pos) {
    constexpr Color them = Us == WHITE ? BLACK : WHITE;
    const int k = pos.king_square[Us];
    if (k == NO_SQUARE) return false;

    const Bitboard checkers = pos.refresh_pins_and_checkers(Us);
    const Bitboard notPinned = ~pos.pinned[Us];
    const Bitboard own = pos.occupancy[Us];
    const Bitboard enemy = pos.occupancy[them];
    const Bitboard occ = pos.occupied;

    // Fast path: an unpinned piece other than the king that moves onto a
    // target of the block mask is always legal. King moves and en passant are
    // left to the full test below.
    if (!(checkers & (checkers - 1))) {
        const Bitboard targets = (checkers ? pos.check_block_mask(Us, checkers) : ALL_SQUARES) & ~own;
        constexpr int base = Us * 6;

        for (Bitboard b = pos.pieces[base + KNIGHT] & notPinned; b;)
            if (Attack::knightAttacks[pop_lsb(b)] & targets) return true;
        for (Bitboard b = pos.pieces[base + BISHOP] & notPinned; b;)
            if (PEXT::bishop_attacks_pext(pop_lsb(b), occ) & targets) return true;
        for (Bitboard b = pos.pieces[base + ROOK] & notPinned; b;)
            if (PEXT::rook_attacks_pext(pop_lsb(b), occ) & targets) return true;
        for (Bitboard b = pos.pieces[base + QUEEN] & notPinned; b;) {
            const int s = pop_lsb(b);
            if ((PEXT::bishop_attacks_pext(s, occ) | PEXT::rook_attacks_pext(s, occ)) & targets) return true;
        }

        const Bitboard pawns = pos.pieces[base + PAWN] & notPinned;
        const Bitboard single = pawn_push_bb<Us>(pawns) & ~occ;
        if ((single | double_pushes<Us>(single, ~occ)) & targets) return true;
        if (pawn_attacks_bb<Us>(pawns) & enemy & targets) return true;
    }

    // Full test: the king's moves, en passant and pinned pieces.
    unsigned list[LOCAL_LIST_CAPACITY];
    const uint64_t n = MoveGen::generate_pseudo_legal(pos, list, LOCAL_LIST_CAPACITY);
    const Bitboard risky = pos.pinned[Us] | square_bb(k);
    for (uint64_t i = 0; i < n; ++i) {
        const Move m = list[i];
        if (!(risky & square_bb(move_from(m))) && !(m & FLAG_EN_PASSANT)) return true;
        if (keeps_king_safe(pos, m, Us, k)) return true;
    }
    return false;
}

}  // namespace

bool Position::has_any_legal_move() {
    return side == WHITE ? has_any_legal_move_for<WHITE>(*this) : has_any_legal_move_for<BLACK>(*this);
}
