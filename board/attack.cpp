// Leaper attack tables, the ray-walking slider functions (used to fill the
// PEXT tables) and static exchange evaluation.
#include "board/attack.h"

#include <algorithm>
#include <array>

#include "board/bitboard.h"
#include "board/move.h"
#include "board/pext.h"
#include "board/position.h"

namespace Attack {

Bitboard knightAttacks[64];
Bitboard kingAttacks[64];
Bitboard pawnAttacksWhite[64];
Bitboard pawnAttacksBlack[64];

namespace {

Bitboard leaper_set(int sq, const int (*offsets)[2], int n) {
    const int r = sq >> 3, f = sq & 7;
    Bitboard b = 0;
    for (int i = 0; i < n; ++i) {
        const int rr = r + offsets[i][0], ff = f + offsets[i][1];
        if (rr >= 0 && rr < 8 && ff >= 0 && ff < 8) b |= square_bb(rr * 8 + ff);
    }
    return b;
}

// Walks from sq in direction (dr, df) until the edge, stopping after the first
// square whose bit is set in occ.
Bitboard ray(int sq, int dr, int df, Bitboard occ) {
    Bitboard b = 0;
    int r = (sq >> 3) + dr, f = (sq & 7) + df;
    while (r >= 0 && r < 8 && f >= 0 && f < 8) {
        const Bitboard s = square_bb(r * 8 + f);
        b |= s;
        if (occ & s) break;
        r += dr;
        f += df;
    }
    return b;
}

}  // namespace

void init_attacks() {
    static const int KNIGHT[8][2] = {{2, 1}, {1, 2}, {-1, 2}, {-2, 1}, {-2, -1}, {-1, -2}, {1, -2}, {2, -1}};
    static const int KING[8][2] = {{1, -1}, {1, 0}, {1, 1}, {0, -1}, {0, 1}, {-1, -1}, {-1, 0}, {-1, 1}};
    static const int PAWN_W[2][2] = {{1, -1}, {1, 1}};
    static const int PAWN_B[2][2] = {{-1, -1}, {-1, 1}};
    for (int sq = 0; sq < 64; ++sq) {
        knightAttacks[sq] = leaper_set(sq, KNIGHT, 8);
        kingAttacks[sq] = leaper_set(sq, KING, 8);
        pawnAttacksWhite[sq] = leaper_set(sq, PAWN_W, 2);
        pawnAttacksBlack[sq] = leaper_set(sq, PAWN_B, 2);
    }
}

void init_tables() {
    init_attacks();
    PEXT::init();
}

Bitboard sliding_attacks_rook(int sq, Bitboard occ) {
    return ray(sq, 1, 0, occ) | ray(sq, -1, 0, occ) | ray(sq, 0, 1, occ) | ray(sq, 0, -1, occ);
}

Bitboard sliding_attacks_bishop(int sq, Bitboard occ) {
    return ray(sq, 1, 1, occ) | ray(sq, 1, -1, occ) | ray(sq, -1, 1, occ) | ray(sq, -1, -1, occ);
}

Bitboard sliding_attacks_queen(int sq, Bitboard occ) {
    return sliding_attacks_rook(sq, occ) | sliding_attacks_bishop(sq, occ);
}

// ---------------------------------------------------------------------------
// Static exchange evaluation

namespace {

// Exchange value by piece code, one load where the type table would add a
// second; the four codes past the real twelve read as their types do.
constexpr auto VALUE_OF_CODE = [] {
    std::array<int, 16> v{};
    for (int c = 0; c < 16; ++c) v[c] = LOCAL_PIECE_VALUE[type_of_piece(c)];
    return v;
}();

}  // namespace

int see_gain(const Position& pos, unsigned move) {
    if (move == 0 || (move & FLAG_CASTLING)) return 0;

    const int from = move_from(move);
    const int to = move_to(move);
    const int piece = move_piece(move);
    const int promo = move_promotion(move);
    const bool ep = (move & FLAG_EN_PASSANT) != 0;
    const int mover = piece > 5 ? BLACK : WHITE;
    int s = mover ^ 1;

    int victim_sq = to;
    if (ep) victim_sq = en_passant_victim(mover, to);

    // A square is reached by at most 35 pieces; one entry per capture.
    int gain[40];
    const int victim = pos.board[victim_sq];
    gain[0] = victim >= 0 ? VALUE_OF_CODE[victim] : 0;

    Bitboard occ = pos.occupied & ~square_bb(from);
    if (ep) occ &= ~square_bb(victim_sq);

    int on_square;
    if (promo != 0) {
        on_square = LOCAL_PIECE_VALUE[promo];
        gain[0] += on_square - LOCAL_PIECE_VALUE[PAWN];
    } else {
        on_square = VALUE_OF_CODE[piece];
    }

    const Bitboard* P = pos.pieces;
    const Bitboard bishops_queens = P[2] | P[8] | P[4] | P[10];
    const Bitboard rooks_queens = P[3] | P[9] | P[4] | P[10];
    Bitboard attackers = (pawnAttacksWhite[to] & P[6]) | (pawnAttacksBlack[to] & P[0]) |
                         (knightAttacks[to] & (P[1] | P[7])) | (kingAttacks[to] & (P[5] | P[11])) |
                         (PEXT::bishop_attacks_pext(to, occ) & bishops_queens) |
                         (PEXT::rook_attacks_pext(to, occ) & rooks_queens);
    attackers &= occ;

    if (!(attackers & pos.occupancy[s])) return gain[0];

    const bool promo_square = (to >> 3) == 0 || (to >> 3) == 7;
    int last = 0;
    for (int d = 1;; ++d) {
        const Bitboard A = attackers & pos.occupancy[s];
        const int base = 6 * s;
        int kind = -1;
        Bitboard b = 0;
        for (int t = PAWN; t <= QUEEN; ++t) {
            b = A & P[base + t];
            if (b) {
                kind = t;
                break;
            }
        }
        if (kind < 0) {
            // Only the king is left to capture: it may not when the other
            // side still has an attacker.
            if (attackers & pos.occupancy[s ^ 1]) {
                last = d - 1;
            } else {
                gain[d] = on_square - gain[d - 1];
                last = d;
            }
            break;
        }
        occ &= ~square_bb(lsb(b));
        gain[d] = on_square - gain[d - 1];
        on_square = LOCAL_PIECE_VALUE[kind];
        if (kind == PAWN && promo_square) {
            gain[d] += 800;
            on_square = LOCAL_PIECE_VALUE[QUEEN];
        }
        if (kind == PAWN || kind == BISHOP || kind == QUEEN)
            attackers |= PEXT::bishop_attacks_pext(to, occ) & bishops_queens;
        if (kind == ROOK || kind == QUEEN) attackers |= PEXT::rook_attacks_pext(to, occ) & rooks_queens;

        s ^= 1;
        attackers &= occ;
        if (!(attackers & pos.occupancy[s])) {
            last = d;
            break;
        }
    }
    for (int k = last - 1; k >= 0; --k) gain[k] = std::min(gain[k], -gain[k + 1]);
    return gain[0];
}

bool see_ge(const Position& pos, unsigned move, int threshold) {
    return see_gain(pos, move) >= threshold;  // 0 for move 0 and castling
}

}  // namespace Attack
