// The evaluation: piece terms, pawn structure from the pawn table, passed
// pawns, threats, king safety, space, initiative and the endgame scale, blended
// by game phase, with a lazy early exit and a per-term trace.
#include "eval/eval.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/pext.h"
#include "board/position.h"

thread_local constinit bool g_evalTraceOn = false;
thread_local constinit int g_evalTraceN = 0;
thread_local constinit EvalTracePoint g_evalTracePts[EVAL_TRACE_CAPACITY] = {};

namespace {

constexpr int TEMPO = 7;
constexpr int LAZY_MARGIN = 599;
constexpr int MAX_PHASE = 24;

constexpr Bitboard FILES_C_TO_F = (FILE_A << 2) | (FILE_A << 3) | (FILE_A << 4) | (FILE_A << 5);
constexpr Bitboard FILES_A_TO_D = FILE_A * 0x0F;
constexpr Bitboard FILES_E_TO_H = FILE_A * 0xF0;
constexpr Bitboard CENTER4 = square_bb(SQ_D4) | square_bb(SQ_E4) | square_bb(SQ_D5) | square_bb(SQ_E5);
constexpr Bitboard CENTER16 = 0x00003C3C3C3C0000ULL;  // c3-f6
constexpr Bitboard COLOR0_SQUARES = 0xAA55AA55AA55AA55ULL;  // (file + rank) even: a1, c1, ..., b2
// A king on its back rank on file d or e, by colour.
constexpr Bitboard UNCASTLED_SQUARES[2] = {square_bb(SQ_D1) | square_bb(SQ_E1), square_bb(SQ_D8) | square_bb(SQ_E8)};
// Space squares: WHITE c2-f4, BLACK c4-f6 (both sides share c4-f4).
constexpr Bitboard SPACE_SQUARES[2] = {0x3CULL << 8 | 0x3CULL << 16 | 0x3CULL << 24,
                                       0x3CULL << 24 | 0x3CULL << 32 | 0x3CULL << 40};

inline int relative_rank(Color c, int s) { return c == WHITE ? s >> 3 : 7 - (s >> 3); }

constexpr int abs_diff(int a, int b) { return a > b ? a - b : b - a; }

// King-move (Chebyshev) distance between two squares, looked up: the king
// terms ask for it in loops over pawns and pieces.
constexpr auto SQUARE_DISTANCE = [] {
    std::array<std::array<uint8_t, 64>, 64> d{};
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b)
            d[a][b] = static_cast<uint8_t>(std::max(abs_diff(file_of(a), file_of(b)), abs_diff(rank_of(a), rank_of(b))));
    return d;
}();
// DISTANCE_WITHIN[s][d]: the squares at king-move distance 1 to d from s, so
// how near the nearest piece of a set stands is counted without a search.
constexpr auto DISTANCE_WITHIN = [] {
    std::array<std::array<Bitboard, 8>, 64> w{};
    for (int a = 0; a < 64; ++a)
        for (int b = 0; b < 64; ++b)
            for (int d = std::max<int>(SQUARE_DISTANCE[a][b], 1); d < 8; ++d) w[a][d] |= square_bb(b);
    return w;
}();
// Manhattan distance to the nearest of the four centre squares.
constexpr auto CENTRE_DISTANCE = [] {
    std::array<uint8_t, 64> d{};
    for (int s = 0; s < 64; ++s) {
        const int r = rank_of(s), f = file_of(s);
        d[s] = static_cast<uint8_t>(std::min(abs_diff(r, 3), abs_diff(r, 4)) + std::min(abs_diff(f, 3), abs_diff(f, 4)));
    }
    return d;
}();
inline int chebyshev(int a, int b) { return SQUARE_DISTANCE[a][b]; }
inline int centre_distance(int s) { return CENTRE_DISTANCE[s]; }
inline Bitboard pieces_of(const Position& pos, Color c, int type) { return pos.pieces[6 * c + type]; }
inline int minor_count(const Position& pos, Color c) {
    return pos.piece_count[6 * c + KNIGHT] + pos.piece_count[6 * c + BISHOP];
}
inline int major_count(const Position& pos, Color c) {
    return pos.piece_count[6 * c + ROOK] + pos.piece_count[6 * c + QUEEN];
}
// Sums are kept from WHITE's view: a side's gain is added for WHITE, subtracted for BLACK.
inline void gain(Color c, int& mg, int& eg, int a, int b) {
    if (c == WHITE) { mg += a; eg += b; }
    else { mg -= a; eg -= b; }
}

using eval_detail::pack;
using eval_detail::unpack_eg;
using eval_detail::unpack_mg;

// Material plus piece-square value of a piece, both phases packed in one word,
// signed from WHITE's view: BLACK's entries are negated and read through the
// mirrored square. Summing whole words sums both halves at once. Halves of 32
// bits hold any board (16 bits would not: a position set up with forty queens
// passes 32767).
constexpr auto PIECE_SQUARE = [] {
    std::array<std::array<uint64_t, 64>, 12> t{};
    for (int type = KNIGHT; type <= KING; ++type)
        for (int s = 0; s < 64; ++s) {
            t[type][s] = pack(MG_VALUE[type] + MG_PST[type][s], EG_VALUE[type] + EG_PST[type][s]);
            t[6 + type][s] = pack(-(MG_VALUE[type] + MG_PST[type][s ^ 56]), -(EG_VALUE[type] + EG_PST[type][s ^ 56]));
        }
    return t;
}();

// Mobility values by piece type and number of reachable squares, packed like
// PIECE_SQUARE. Each row covers every count the type can reach (a knight
// attacks at most 8 squares, a bishop 13, a rook 14, a queen 27).
constexpr auto MOBILITY = [] {
    std::array<std::array<uint64_t, 28>, 5> t{};
    for (int n = 0; n < 28; ++n) {
        if (n <= 8) t[KNIGHT][n] = pack(KNIGHT_MOBILITY_MG[n], KNIGHT_MOBILITY_EG[n]);
        if (n <= 13) t[BISHOP][n] = pack(BISHOP_MOBILITY_MG[n], BISHOP_MOBILITY_EG[n]);
        if (n <= 14) t[ROOK][n] = pack(ROOK_MOBILITY_MG[n], ROOK_MOBILITY_EG[n]);
        t[QUEEN][n] = pack(QUEEN_MOBILITY_MG[n], QUEEN_MOBILITY_EG[n]);
    }
    return t;
}();

// A minor piece near its own king, by king-move distance, packed like
// PIECE_SQUARE: a knight gains (0, 4 - d), a bishop (4 * (4 - d), 0), up to
// distance 3. A read in place of `if (d <= 3)`; the pieces step, mobility
// included, is compared with its terms written with tests by
// EvalBranchFree.PiecesMatchThePlainRulesOverRandomBoards.
constexpr auto KING_PROXIMITY = [] {
    std::array<std::array<uint64_t, 8>, 3> t{};
    for (int d = 0; d <= 3; ++d) {
        t[KNIGHT][d] = pack(0, 4 - d);
        t[BISHOP][d] = pack(4 * (4 - d), 0);
    }
    return t;
}();

// ROOK_TRAP_SQUARES[c][f]: where a rook of colour c can be shut in by its own
// king on file f: its first two ranks, two files or more from the king.
constexpr auto ROOK_TRAP_SQUARES = [] {
    std::array<std::array<Bitboard, 8>, 2> t{};
    for (int c = WHITE; c <= BLACK; ++c)
        for (int kf = 0; kf < 8; ++kf)
            for (int s = 0; s < 64; ++s) {
                const int rr = c == WHITE ? rank_of(s) : 7 - rank_of(s);
                if (rr <= 1 && abs_diff(file_of(s), kf) >= 2) t[c][kf] |= square_bb(s);
            }
    return t;
}();

// Threat values (v, v / 2) by the victim's type, packed like PIECE_SQUARE:
// row 0 for minor-piece attackers, row 1 for rooks.
constexpr auto THREAT = [] {
    std::array<std::array<uint64_t, 6>, 2> t{};
    for (int type = 0; type < 6; ++type) {
        t[0][type] = pack(MINOR_THREAT_MG[type], MINOR_THREAT_MG[type] / 2);
        t[1][type] = pack(MAJOR_THREAT_MG[type], MAJOR_THREAT_MG[type] / 2);
    }
    return t;
}();
static_assert(THREAT[0][PAWN] == 0 && THREAT[1][PAWN] == 0, "threats on pawns are worth nothing");

// The knights to kings of both sides: material and piece-square sums (WHITE's
// view) and the game phase. The lazy estimate is built on it, and the complete
// evaluation takes it over rather than summing the same pieces again.
struct PieceSum {
    int mg;
    int eg;
    int phase;  // capped
};

// Always inlined (a short loop): the search runs it once per evaluation, and
// the call, its stack alignment and the returned record cost a tenth of it.
[[gnu::always_inline]] inline PieceSum piece_sum(const Position& pos) {
    uint64_t sum = 0;
    for (Bitboard b = pos.occupied & ~(pos.pieces[PAWN] | pos.pieces[6 + PAWN]); b;) {
        const int s = pop_lsb(b);
        sum += PIECE_SQUARE[pos.board[s]][s];
    }
    const Bitboard minors = pos.pieces[KNIGHT] | pos.pieces[BISHOP] | pos.pieces[6 + KNIGHT] | pos.pieces[6 + BISHOP];
    const int phase = PHASE_VALUE[KNIGHT] * popcount(minors) +
                      PHASE_VALUE[ROOK] * popcount(pos.pieces[ROOK] | pos.pieces[6 + ROOK]) +
                      PHASE_VALUE[QUEEN] * popcount(pos.pieces[QUEEN] | pos.pieces[6 + QUEEN]);
    return {unpack_mg(sum), unpack_eg(sum), std::min(phase, MAX_PHASE)};
}
static_assert(PHASE_VALUE[KNIGHT] == PHASE_VALUE[BISHOP], "minors are counted together");

struct EvalData {
    Bitboard attacks[2][6];
    Bitboard attackedBy[2];
    Bitboard attackedBy2[2];
    Bitboard mobilityArea[2];
    Bitboard kingZone[2];
    Bitboard passed[2];
    int kingAttackersCount[2];
    int kingAttackersWeight[2];
    int kingAttacksCount[2];
    int advancedConnectedPassers[2];
};

// Blend of the two sums by game phase, truncating towards zero, turned to the
// side to move's view with the tempo bonus.
inline int blend(const Position& pos, int mg, int eg, int phase) {
    const int v = ((MAX_PHASE - phase) * eg + phase * mg) / MAX_PHASE;
    // Negated for BLACK by arithmetic: the side to move is as good as random
    // to a branch predictor. The same as `side == WHITE ? v : -v`;
    // EvalBlend.FullValueIsTheTruncatedPhaseBlend checks both sides to move.
    const int flip = -static_cast<int>(pos.side);  // 0 or -1
    return (v ^ flip) - flip + TEMPO;
}

// The per-side terms are templates on the colour: with the colour a constant,
// the rank mirroring, the shift directions and the sign of each gain fold away.

// ---------------------------------------------------------------------------
// Step 1 helpers.
// ---------------------------------------------------------------------------
// KING_ZONE[c][k]: the king on k, its neighbours and the neighbours of the
// square ahead (none when the king stands on its last rank), widened by a file
// towards the board on the edge files. That is a box three files wide (the
// king's file and its neighbours, or the three files at the edge) and four
// ranks deep (one behind the king to two ahead), cut at the board's edge.
// Looked up: it costs a load instead of a score of shifts and tests.
// EvalBranchFree.KingStepMatchesThePlainRulesOverRandomBoards builds the box
// square by square.
constexpr auto KING_ZONE = [] {
    std::array<std::array<Bitboard, 64>, 2> zone{};
    for (int c = WHITE; c <= BLACK; ++c)
        for (int k = 0; k < 64; ++k) {
            const int firstFile = std::clamp(file_of(k) - 1, 0, 5);
            const int firstRank = c == WHITE ? rank_of(k) - 1 : rank_of(k) - 2;
            for (int r = std::max(firstRank, 0); r <= std::min(firstRank + 3, 7); ++r)
                for (int f = firstFile; f <= firstFile + 2; ++f) zone[c][k] |= square_bb(8 * r + f);
        }
    return zone;
}();

// Pawns on files c-f and relative ranks 2-5: one point for a free stop square
// (two on files d and e) and one for each enemy pawn they could capture. The
// files keep the diagonal shifts from wrapping around the board.
template <Color C>
int center_break_potential(const Position& pos) {
    constexpr Bitboard FILES_D_E = (FILE_A << 3) | (FILE_A << 4);
    constexpr Bitboard ranks = C == WHITE ? RANK_2 | RANK_3 | (RANK_1 << 24) | (RANK_1 << 32)
                                          : RANK_7 | RANK_6 | (RANK_1 << 32) | (RANK_1 << 24);
    const Bitboard enemyPawns = pieces_of(pos, ~C, PAWN);
    const Bitboard pawns = pieces_of(pos, C, PAWN) & FILES_C_TO_F & ranks;
    const Bitboard free = pawns & ~pawn_push_bb<~C>(pos.occupied);
    const Bitboard left = C == WHITE ? pawns << 7 : pawns >> 9, right = C == WHITE ? pawns << 9 : pawns >> 7;
    const int total = popcount(free) + popcount(free & FILES_D_E) + popcount(left & enemyPawns) +
                      popcount(right & enemyPawns);
    return std::min(total, 6);
}

// Pawns that stand in front of a blocker: one point each, two on files c-f,
// three there when rammed by an enemy pawn. Counted as: every blocked pawn,
// again on files c-f, and again when rammed there (a rammed pawn is blocked);
// the two colours' sets never share a square, so they are counted together.
int blocked_count(const Position& pos) {
    const Bitboard wp = pos.pieces[PAWN], bp = pos.pieces[6 + PAWN], occ = pos.occupied;
    const Bitboard blocked = (wp & (occ >> 8)) | (bp & (occ << 8));
    const Bitboard rammed = (wp & (bp >> 8)) | (bp & (wp << 8));
    const int n = popcount(blocked) + popcount(blocked & FILES_C_TO_F) + popcount(rammed & FILES_C_TO_F);
    return std::min(n, 12);
}

// The centre squares and the files c-f free of pawns.
int openness(const Position& pos) {
    const Bitboard pawns = pos.pieces[PAWN] | pos.pieces[6 + PAWN];
    const Bitboard pawnFiles = fill_down(pawns) & RANK_1;  // one bit per file holding a pawn
    return popcount(CENTER4 & ~pawns) + popcount(FILES_C_TO_F & RANK_1 & ~pawnFiles);
}

// ---------------------------------------------------------------------------
// Step 2: one piece type of one side (mobility, type terms, attack
// bookkeeping).
// ---------------------------------------------------------------------------
// What the four piece types of one side share: the inputs, read once, and the
// running sums and attack bookkeeping, carried from type to type in locals
// rather than through EvalData.
struct PieceScan {
    Bitboard occupied, ownPawns, enemyPawns, ownPawnAtt, enemyPawnAtt;
    Bitboard mobilityArea;  // without own pieces
    Bitboard enemyZone, outposts, passed, enemyQueens;
    int ksq;
    Bitboard by1, by2;  // attackedBy, attackedBy2 so far
    int attackers, weight, zoneAttacks;
    uint64_t pair;  // (mg, eg) gains packed as in PIECE_SQUARE: one add for both halves
    int mg, eg;     // gains of one half only
};

// Material, piece-square values and phase are in the PieceSum. Returns the
// union of the type's attack sets.
template <Color C, PieceType T>
inline Bitboard score_pieces(const Position& pos, PieceScan& sc) {
    const Bitboard pieces = pieces_of(pos, C, T);
    if (!pieces) return 0;

    if constexpr (T == KNIGHT || T == BISHOP) {
        // Pieces right behind an own pawn.
        const int n = popcount(pieces & pawn_push_bb<~C>(sc.ownPawns));
        sc.pair += n * pack(5, 11);
    }
    if constexpr (T == BISHOP) {
        // Own pawns on each bishop's square colour beyond three.
        // The other colour's counts are the rest of the side's pawns and bishops.
        const int pawns0 = popcount(sc.ownPawns & COLOR0_SQUARES), bishops0 = popcount(pieces & COLOR0_SQUARES);
        const int k0 = std::max(pawns0 - 3, 0);
        const int k1 = std::max(pos.piece_count[6 * C + PAWN] - pawns0 - 3, 0);
        const int k = k0 * bishops0 + k1 * (pos.piece_count[6 * C + BISHOP] - bishops0);
        sc.pair -= k * pack(2, 2);
        const int n = popcount(pieces & sc.outposts);
        sc.pair += n * pack(9, 4);
    }

    // A rook here with a mobility of 2 or less is trapped.
    [[maybe_unused]] Bitboard rookTrapSquares = 0;
    if constexpr (T == ROOK) rookTrapSquares = sc.ksq == NO_SQUARE ? 0 : ROOK_TRAP_SQUARES[C][file_of(sc.ksq)];

    Bitboard all = 0;
    int attackers = 0;
    for (Bitboard b = pieces; b;) {
        const int s = pop_lsb(b);

        Bitboard a;
        if constexpr (T == KNIGHT) a = Attack::knightAttacks[s];
        else if constexpr (T == BISHOP) a = PEXT::bishop_attacks_pext(s, sc.occupied);
        else if constexpr (T == ROOK) a = PEXT::rook_attacks_pext(s, sc.occupied);
        else a = PEXT::bishop_attacks_pext(s, sc.occupied) | PEXT::rook_attacks_pext(s, sc.occupied);

        sc.by2 |= sc.by1 & a;
        all |= a;
        sc.by1 |= a;

        const int mobility = popcount(a & sc.mobilityArea);
        sc.pair += MOBILITY[T][mobility];

        if constexpr (T == KNIGHT) {
            if (sc.outposts & square_bb(s) & ~(FILE_A | FILE_H)) {
                const int cd = centre_distance(s);
                sc.mg += cd <= 1 ? 17 + 4 * (2 - cd) : 17;
                sc.eg += 11;
            } else if (a & sc.ownPawnAtt & ~sc.enemyPawnAtt & CENTER16) {
                sc.pair += pack(9, 3);  // can reach a supported central square
            }
            if (sc.ksq != NO_SQUARE) sc.pair += KING_PROXIMITY[KNIGHT][chebyshev(sc.ksq, s)];
        } else if constexpr (T == BISHOP) {
            if (popcount(PEXT::bishop_attacks_pext(s, sc.ownPawns | sc.enemyPawns) & CENTER4) >= 2) {
                sc.pair += pack(15, 9);
            }
            if (sc.ksq != NO_SQUARE) sc.pair += KING_PROXIMITY[BISHOP][chebyshev(sc.ksq, s)];
        } else if constexpr (T == ROOK) {
            const int f = file_of(s), rr = relative_rank(C, s);
            if (!(sc.ownPawns & file_bb(f))) {
                sc.pair += !(sc.enemyPawns & file_bb(f)) ? pack(21, 11) : pack(13, 7);
            }
            if (rr == 6) sc.pair += pack(9, 21);
            if (sc.enemyQueens & file_bb(f)) sc.pair += pack(4, 3);
            if (sc.passed & file_bb(f) & ranks_ahead(C, rank_of(s))) sc.pair += pack(8, 16);
            // Trapped: added without a branch, which would often guess wrong;
            // the same as `if (rr <= 1 && sc.ksq != NO_SQUARE && mobility <= 2 &&
            // abs_diff(file_of(sc.ksq), f) >= 2) sc.pair -= pack(21, 8)`, as
            // EvalBranchFree.PiecesMatchThePlainRulesOverRandomBoards writes it.
            sc.pair -= ((rookTrapSquares >> s) & (mobility <= 2)) * pack(21, 8);
        }

        if (const Bitboard z = a & sc.enemyZone) {
            attackers += 1;
            sc.zoneAttacks += popcount(z);
        }
    }
    sc.attackers += attackers;
    sc.weight += KING_RING_ATTACKER_WEIGHT[T] * attackers;
    return all;
}

// ---------------------------------------------------------------------------
// Step 6: passed pawns with the actual pieces and kings.
// ---------------------------------------------------------------------------
template <Color C>
inline void score_passers(const Position& pos, const EvalData& ed, int& mg, int& eg) {
    constexpr Color o = ~C;
    const Bitboard ownPawns = pieces_of(pos, C, PAWN);
    const int ownKing = pos.king_square[C], enemyKing = pos.king_square[o];
    for (Bitboard b = ed.passed[C]; b;) {
        const int s = pop_lsb(b);
        const int rr = relative_rank(C, s);
        const int f = file_of(s), r = rank_of(s);
        const Bitboard stop = pawn_push_bb<C>(square_bb(s));
        int pm = PASSED_MG[rr], pe = PASSED_EG[rr];

        // The terms are added as 0/1 factors, not under tests: each depends
        // on the pawn and is hard to guess. The same as
        // `if (defended) { pm += 14; pe += 24; }` for each term, the path and
        // stop-square terms under `if (stopFree)`, the penalty in its else;
        // EvalBranchFree.PassersMatchThePlainRulesOverRandomBoards compares the
        // step with those tests.
        const int defended = (ed.attacks[C][PAWN] >> s) & 1;
        const int connected = (ownPawns & adjacent_files(f) & rank_band(r)) != 0;
        // With the stop square occupied the pawn pays a penalty instead of
        // the path and stop-square bonuses.
        const int stopFree = !(pos.occupied & stop);
        const Bitboard path = file_bb(f) & ranks_ahead(C, r);
        const int safePath = stopFree & !(path & ed.attackedBy[o] & ~ed.attackedBy[C]);
        const int stopDefended = stopFree & ((stop & ed.attackedBy[C]) != 0);
        pm += 14 * defended + connected * (5 + 2 * rr) + safePath * 5 * rr + stopDefended * 4 - (1 - stopFree) * 11;
        pe += 24 * defended + connected * (10 + 4 * rr) + safePath * 8 * rr + stopDefended * 8 - (1 - stopFree) * 22;

        const int t = lsb(stop);  // a pawn never stands on its last rank
        // Kings within four moves of the stop square: `std::max(5 - d, 0)` is
        // `if (d <= 4) ... (5 - d)`.
        if (ownKing != NO_SQUARE) pe += 6 * std::max(5 - chebyshev(ownKing, t), 0);
        if (enemyKing != NO_SQUARE) pe -= std::max(5 - chebyshev(enemyKing, t), 0) * (rr + 3);
        gain(C, mg, eg, pm, pe);
    }
}

// ---------------------------------------------------------------------------
// Step 7: threats of side C.
// The term functions of steps 7 to 9 are inline: each runs once per side and
// evaluation, and a call costs more than the few early-out tests of most.
// ---------------------------------------------------------------------------
template <Color C>
inline void evaluate_threats_v2(const Position& pos, const EvalData& ed, int& mg, int& eg) {
    constexpr Color o = ~C;
    uint64_t t = 0;  // (mg, eg) packed like PIECE_SQUARE
    const Bitboard strong = ed.attacks[o][PAWN] | (ed.attackedBy2[o] & ~ed.attackedBy2[C]);
    const Bitboard enemyKingBb = pieces_of(pos, o, KING);
    const Bitboard weak = pos.occupancy[o] & ~enemyKingBb & ed.attackedBy[C] & ~strong;

    // Pawns are worth nothing to these two threats: the loops skip them.
    const Bitboard weakPieces = weak & ~pieces_of(pos, o, PAWN);
    for (Bitboard b = weakPieces & (ed.attacks[C][KNIGHT] | ed.attacks[C][BISHOP]); b;) {
        t += THREAT[0][type_of_piece(pos.board[pop_lsb(b)])];
    }
    for (Bitboard b = weakPieces & ed.attacks[C][ROOK]; b;) {
        t += THREAT[1][type_of_piece(pos.board[pop_lsb(b)])];
    }

    const Bitboard hanging = weak & (~ed.attackedBy[o] | ed.attackedBy2[C]);
    const int nh = popcount(hanging), nq = popcount(hanging & pieces_of(pos, o, QUEEN));
    t += nh * pack(19, 11) + nq * pack(95, 60);

    const int contested = popcount(ed.attackedBy[o] & ed.attackedBy[C] & ~strong);
    t += contested * pack(2, 1);

    const Bitboard ownPawns = pieces_of(pos, C, PAWN);
    const Bitboard targets = pos.occupancy[o] & ~pieces_of(pos, o, PAWN) & ~enemyKingBb;
    const Bitboard safePawns = ownPawns & (~ed.attackedBy[o] | ed.attackedBy[C]);
    const int ns = popcount(pawn_attacks_bb<C>(safePawns) & targets);
    t += ns * pack(29, 18);

    const Bitboard pushes = pawn_push_bb<C>(ownPawns) & ~pos.occupied & ~ed.attacks[o][PAWN];
    const int np = popcount(pawn_attacks_bb<C>(pushes) & targets);
    t += np * pack(11, 7);

    if (const Bitboard queens = pieces_of(pos, o, QUEEN)) {
        const int q = lsb(queens);
        const Bitboard area = ed.mobilityArea[C] & ~strong;
        const int nN = popcount(ed.attacks[C][KNIGHT] & area & Attack::knightAttacks[q]);
        t += nN * pack(9, 5);
        const Bitboard sliders = (PEXT::bishop_attacks_pext(q, pos.occupied) & ed.attacks[C][BISHOP]) |
                                 (PEXT::rook_attacks_pext(q, pos.occupied) & ed.attacks[C][ROOK]);
        const int nS = popcount(sliders & area & ed.attackedBy2[C]);
        t += nS * pack(13, 5);
    }
    gain(C, mg, eg, unpack_mg(t), unpack_eg(t));
}

// ---------------------------------------------------------------------------
// Step 8: king attack and safety (middlegame only).
// ---------------------------------------------------------------------------
template <Color C>
inline int king_pressure_score_mg(const Position& pos, Bitboard pawnAtt, Bitboard minorAtt, Bitboard majorAtt) {
    constexpr Color o = ~C;
    const int k = pos.king_square[o];
    if (k == NO_SQUARE) return 0;
    const Bitboard zone = square_bb(k) | Attack::kingAttacks[k];
    int p = popcount(pawnAtt & zone) + 4 * popcount(minorAtt & zone) + 9 * popcount(majorAtt & zone);
    if (square_bb(k) & UNCASTLED_SQUARES[o]) p = 5 * p / 4;
    // Both tests evaluated, no early exit to guess: the same as
    // `if (queen && knight) p += 4`, checked by
    // EvalBranchFree.KingStepMatchesThePlainRulesOverRandomBoards.
    p += 4 * (int(pieces_of(pos, C, QUEEN) != 0) & int(pieces_of(pos, C, KNIGHT) != 0));
    return std::min(p, 64);
}

template <Color C>
inline int king_base_attack_score_mg(const Position& pos, const EvalData& ed) {
    constexpr Color o = ~C;
    const int k = pos.king_square[o];
    constexpr int target = o == BLACK ? SQ_F7 : SQ_F2;
    if (k == NO_SQUARE || !(square_bb(k) & UNCASTLED_SQUARES[o]) || !(pieces_of(pos, o, PAWN) & square_bb(target)))
        return 0;
    constexpr Bitboard t = square_bb(target);
    const bool N = ed.attacks[C][KNIGHT] & t, B = ed.attacks[C][BISHOP] & t;
    const bool R = ed.attacks[C][ROOK] & t, Q = ed.attacks[C][QUEEN] & t;
    const bool D = ed.attackedBy2[C] & t;
    int score = (Q && (N || B) ? 60 : 0) + (N && B ? 28 : (N || B) ? 14 : 0) + (R ? 6 : 0) + (Q ? 22 : 0) + (D ? 16 : 0);
    return std::min(score, 124);
}

template <Color C>
inline int king_safety_v2(const Position& pos, const EvalData& ed, PawnHash::Entry& entry) {
    constexpr Color o = ~C;
    const int k = pos.king_square[C];
    if (k == NO_SQUARE) return 0;
    const int sh = PawnHash::king_shelter_score(pos, entry, C);
    const int enemyMaterial = pos.piece_count[6 * o + KNIGHT] + pos.piece_count[6 * o + BISHOP] +
                              2 * pos.piece_count[6 * o + ROOK] + 4 * pos.piece_count[6 * o + QUEEN];
    if (enemyMaterial == 0) return sh;

    const Bitboard safe = ~pos.occupancy[o] & (~ed.attackedBy[C] | (ed.attackedBy2[o] & ~ed.attackedBy2[C]));
    const Bitboard rk = PEXT::rook_attacks_pext(k, pos.occupied);
    const Bitboard bk = PEXT::bishop_attacks_pext(k, pos.occupied);

    int danger = ed.kingAttackersCount[o] * ed.kingAttackersWeight[o] +
                 12 * popcount(ed.kingZone[C] & ed.attackedBy[o] & ~ed.attackedBy2[C]) +
                 8 * ed.kingAttacksCount[o] +
                 10 * popcount(ed.attacks[C][KING] & ed.attackedBy[o] & ~ed.attackedBy[C]);
    if (ed.attacks[o][QUEEN] & safe & (rk | bk)) danger += 23;
    if (ed.attacks[o][ROOK] & safe & rk) danger += 27;
    if (ed.attacks[o][BISHOP] & safe & bk) danger += 19;
    if (ed.attacks[o][KNIGHT] & safe & Attack::knightAttacks[k]) danger += 19;

    if (!pieces_of(pos, o, QUEEN)) danger = 2 * danger / 3;
    // Every danger term is a count or a weight, never negative.
    return sh - danger * danger / 960;
}

// ---------------------------------------------------------------------------
// Step 9: endgame king activity.
// ---------------------------------------------------------------------------
template <Color C>
inline int endgame_king_activity_score(const Position& pos, const EvalData& ed) {
    constexpr Color o = ~C;
    const int k = pos.king_square[C];
    if (k == NO_SQUARE) return 0;
    const int cd = centre_distance(k);
    // Nearest enemy pawn within five king moves (the king's own square holds
    // no pawn): one more than the number of distances 1 to 5 with no enemy
    // pawn that near, 6 for none near, which gives the base value
    // 5 * (6 - cd). All five are counted: a search that stops at the first
    // hit guesses its exit wrong too often. The same as searching distances 1
    // to 5 for the first holding an enemy pawn;
    // EvalBranchFree.KingActivityMatchesTheRingSearchOverRandomBoards compares
    // the two.
    const Bitboard enemyPawns = pieces_of(pos, o, PAWN);
    int nearest = 1;
    for (int md = 1; md <= 5; ++md) nearest += !(DISTANCE_WITHIN[k][md] & enemyPawns);
    int s = 5 * (12 - nearest - cd);
    const int enemyKing = pos.king_square[o];
    for (Bitboard b = ed.passed[C]; b;) {
        const int p = pop_lsb(b);
        const int d = chebyshev(k, p);
        if (d <= 4) s += 4 * (5 - d);
        if (enemyKing != NO_SQUARE) s += 2 * std::clamp(chebyshev(enemyKing, p) - d, -10, 10);
    }
    return s;
}

// ---------------------------------------------------------------------------
// Step 10: space (middlegame only).
// ---------------------------------------------------------------------------
template <Color C>
inline int space_score(const Position& pos, const EvalData& ed) {
    constexpr Color o = ~C;
    const int minors = minor_count(pos, C);
    if (minors < 2) return 0;
    const int w = std::min(minors, 4);
    const Bitboard ownPawns = pieces_of(pos, C, PAWN);
    const Bitboard squares = SPACE_SQUARES[C] & ~ed.attacks[o][PAWN] & ~pos.occupancy[C];
    // A square counts twice when an own pawn stands one or two squares behind it.
    const Bitboard behind = C == WHITE ? (ownPawns << 8) | (ownPawns << 16) : (ownPawns >> 8) | (ownPawns >> 16);
    const int count = popcount(squares) + popcount(squares & behind);
    return 3 * w * count;
}

// Step 1's per-side part of EvalData: pawn and king attacks, mobility area,
// king zone and the pawn entry's passer facts; step 2 fills the rest.
template <Color C>
inline void init_side(const Position& pos, const PawnHash::Entry& e, EvalData& ed) {
    constexpr Color o = ~C;
    const int ksq = pos.king_square[C];
    const Bitboard kingAtt = ksq == NO_SQUARE ? 0 : Attack::kingAttacks[ksq];
    ed.attacks[C][PAWN] = e.pawnAttacks[C];
    ed.attacks[C][KING] = kingAtt;
    ed.attackedBy[C] = e.pawnAttacks[C] | kingAtt;
    ed.attackedBy2[C] = e.pawnAttacks[C] & kingAtt;
    ed.mobilityArea[C] = ~(pieces_of(pos, C, QUEEN) | pieces_of(pos, C, KING) | e.pawnAttacks[o] | e.mobExcluded[C]);
    ed.kingZone[C] = ksq == NO_SQUARE ? 0 : KING_ZONE[C][ksq];
    ed.passed[C] = e.passed[C];
    ed.advancedConnectedPassers[C] = e.advancedConnectedPassers[C];
}

// Step 2 for one side: its gain from the four piece types.
template <Color C>
inline void score_side_pieces(const Position& pos, EvalData& ed, int& mg, int& eg) {
    constexpr Color o = ~C;
    // Squares on relative ranks 3 to 5 that an own pawn guards and no enemy pawn attacks.
    constexpr Bitboard OUTPOST_RANKS = C == WHITE ? RANK_1 << 24 | RANK_1 << 32 | RANK_1 << 40
                                                  : RANK_1 << 32 | RANK_1 << 24 | RANK_1 << 16;
    PieceScan sc;
    sc.occupied = pos.occupied;
    sc.ownPawns = pieces_of(pos, C, PAWN);
    sc.enemyPawns = pieces_of(pos, o, PAWN);
    sc.ownPawnAtt = ed.attacks[C][PAWN];
    sc.enemyPawnAtt = ed.attacks[o][PAWN];
    sc.mobilityArea = ed.mobilityArea[C] & ~pos.occupancy[C];
    sc.enemyZone = ed.kingZone[o];
    sc.outposts = OUTPOST_RANKS & sc.ownPawnAtt & ~sc.enemyPawnAtt;
    sc.passed = ed.passed[WHITE] | ed.passed[BLACK];
    sc.enemyQueens = pieces_of(pos, o, QUEEN);
    sc.ksq = pos.king_square[C];
    sc.by1 = ed.attackedBy[C];
    sc.by2 = ed.attackedBy2[C];
    sc.attackers = sc.weight = sc.zoneAttacks = 0;
    sc.pair = 0;
    sc.mg = sc.eg = 0;

    const Bitboard knights = score_pieces<C, KNIGHT>(pos, sc);
    const Bitboard bishops = score_pieces<C, BISHOP>(pos, sc);
    const Bitboard rooks = score_pieces<C, ROOK>(pos, sc);
    const Bitboard queens = score_pieces<C, QUEEN>(pos, sc);

    ed.attacks[C][KNIGHT] = knights;
    ed.attacks[C][BISHOP] = bishops;
    ed.attacks[C][ROOK] = rooks;
    ed.attacks[C][QUEEN] = queens;
    ed.attackedBy[C] = sc.by1;
    ed.attackedBy2[C] = sc.by2;
    ed.kingAttackersCount[C] = sc.attackers;
    ed.kingAttackersWeight[C] = sc.weight;
    ed.kingAttacksCount[C] = sc.zoneAttacks;
    gain(C, mg, eg, sc.mg + unpack_mg(sc.pair), sc.eg + unpack_eg(sc.pair));
}

// Runs f for WHITE, then BLACK, each time with the colour as a compile-time
// constant (std::integral_constant), so the colour tests inside fold away.
template <class F>
inline void for_both_colours(F&& f) {
    f(std::integral_constant<Color, WHITE>{});
    f(std::integral_constant<Color, BLACK>{});
}

// ---------------------------------------------------------------------------
// The complete evaluation; e is the pawn entry of this position. Trace
// records the running sums after each step for "evaltrace"; the search's
// instance has no recording in it at all.
// ---------------------------------------------------------------------------
template <bool Trace>
int evaluate_full(const Position& pos, PawnHash::Entry& e, const PieceSum& ps) {
    int mg = 0, eg = 0;
    auto record = [&](const char* name) {
        if constexpr (Trace)
            if (g_evalTraceN < EVAL_TRACE_CAPACITY) g_evalTracePts[g_evalTraceN++] = {name, mg, eg};
    };

    // 1. Pawn structure from the pawn entry; per-side attack and zone data.
    // The bishop pair's inputs (blocked count, openness, centre breaks) are
    // computed in step 3, only when a side has the pair.
    mg = e.mg;
    eg = e.eg;
    EvalData ed;
    init_side<WHITE>(pos, e, ed);
    init_side<BLACK>(pos, e, ed);
    record("pawnhash");

    // 2. Pieces: material and placement (with the kings', from the PieceSum),
    // mobility and type terms.
    mg += ps.mg;
    eg += ps.eg;
    const int phase = ps.phase;
    score_side_pieces<WHITE>(pos, ed, mg, eg);
    score_side_pieces<BLACK>(pos, ed, mg, eg);
    record("pieces");

    // 3. Bishop pair, worth more in open positions with central breaks.
    const int bishopCount[2] = {pos.piece_count[BISHOP], pos.piece_count[6 + BISHOP]};
    if (bishopCount[WHITE] >= 2 || bishopCount[BLACK] >= 2) {
        const int blocked = blocked_count(pos);
        const int open = openness(pos);
        for_both_colours([&](auto c) {
            if (bishopCount[c] < 2) return;
            constexpr Color o = ~decltype(c)::value;
            const int cbp = center_break_potential<decltype(c)::value>(pos);
            const int mgB = 3 * open + 16 + 2 * cbp - 2 * blocked;
            const int egB = cbp + 28 + 2 * open - blocked;
            const int dPawns = pos.piece_count[6 * c + PAWN] - pos.piece_count[6 * o + PAWN];
            if (minor_count(pos, c) < minor_count(pos, o) && major_count(pos, c) == major_count(pos, o) &&
                dPawns >= 0 && dPawns <= 2 && ed.advancedConnectedPassers[c] == 0)
                gain(c, mg, eg, std::max(mgB / 2, 17), std::clamp(egB * 2 / 3, 25, 48));
            else
                gain(c, mg, eg, std::clamp(mgB, 17, 39), std::clamp(egB, 25, 48));
        });
    }
    record("bishoppair");

    // 4. Queen and minor-piece synergy.
    for_both_colours([&](auto c) {
        const int q = pos.piece_count[6 * c + QUEEN];
        if (q < 1) return;
        const int n = pos.piece_count[6 * c + KNIGHT], b = pos.piece_count[6 * c + BISHOP];
        gain(c, mg, eg, (7 * n + 3 * b) * q, 2 * (n + b) * q);
    });
    record("queensyn");

    // 5. Material imbalance: minor for pawns, exchange for minor plus pawns.
    for_both_colours([&](auto c) {
        if (ed.advancedConnectedPassers[c] != 0) return;
        constexpr Color o = ~decltype(c)::value;
        const int dMinor = minor_count(pos, c) - minor_count(pos, o);
        const int dMajor = major_count(pos, c) - major_count(pos, o);
        const int dPawn = pos.piece_count[6 * c + PAWN] - pos.piece_count[6 * o + PAWN];
        if (dMinor == -1 && dMajor == 0) {
            if (dPawn == 1) gain(c, mg, eg, -42, -26);
            else if (dPawn == 2) gain(c, mg, eg, -32, -20);
        } else if (dMajor == -1 && dMinor >= 1 && dPawn >= 0 && dPawn <= 2) {
            gain(c, mg, eg, -34 * (3 - dPawn), -22 * (3 - dPawn));
        }
    });
    record("imbalance");

    // 6. Passed pawns.
    score_passers<WHITE>(pos, ed, mg, eg);
    score_passers<BLACK>(pos, ed, mg, eg);
    record("passers");

    // 7. Threats.
    evaluate_threats_v2<WHITE>(pos, ed, mg, eg);
    evaluate_threats_v2<BLACK>(pos, ed, mg, eg);
    record("threats");

    // 8. King attack and safety, middlegame only.
    {
        const int kpW = king_pressure_score_mg<WHITE>(pos, ed.attacks[WHITE][PAWN],
                                                      ed.attacks[WHITE][KNIGHT] | ed.attacks[WHITE][BISHOP],
                                                      ed.attacks[WHITE][ROOK] | ed.attacks[WHITE][QUEEN]);
        const int kpB = king_pressure_score_mg<BLACK>(pos, ed.attacks[BLACK][PAWN],
                                                      ed.attacks[BLACK][KNIGHT] | ed.attacks[BLACK][BISHOP],
                                                      ed.attacks[BLACK][ROOK] | ed.attacks[BLACK][QUEEN]);
        const int kbW = king_base_attack_score_mg<WHITE>(pos, ed);
        const int kbB = king_base_attack_score_mg<BLACK>(pos, ed);
        const int ksW = king_safety_v2<WHITE>(pos, ed, e);
        const int ksB = king_safety_v2<BLACK>(pos, ed, e);
        mg += kpW - kpB + kbW - kbB + ksW - ksB;
    }
    record("king");

    // With the full phase the blend gives the endgame sum no weight: the
    // search's instance skips the endgame-only steps 9, 11 and 12 then.
    const bool endgameCounts = Trace || phase < MAX_PHASE;

    // 9. Endgame king activity.
    if (endgameCounts)
        eg += endgame_king_activity_score<WHITE>(pos, ed) - endgame_king_activity_score<BLACK>(pos, ed);
    record("kingact");

    // 10. Space, middlegame only.
    mg += space_score<WHITE>(pos, ed) - space_score<BLACK>(pos, ed);
    record("space");

    // 11. Initiative: pushes a non-zero endgame score further from zero.
    if (endgameCounts && eg != 0) {
        const Bitboard pawns = pos.pieces[PAWN] | pos.pieces[6 + PAWN];
        int x = (pos.pieces[QUEEN] | pos.pieces[6 + QUEEN]) ? 4 : 0;
        x += ((pawns & FILES_A_TO_D) && (pawns & FILES_E_TO_H)) ? 8 : -6;
        x += popcount(pawns) + 8 * popcount(ed.passed[WHITE] | ed.passed[BLACK]);
        const Color favoured = eg > 0 ? WHITE : BLACK;
        if (!pieces_of(pos, favoured, PAWN)) x -= 18;
        const int bonus = x <= 0 ? 0 : std::min({x, 44, std::abs(eg)});
        eg += eg > 0 ? bonus : -bonus;
    }
    record("initiative");

    // 12. Endgame scale: opposite bishops and few pawns for the stronger side draw more.
    if (endgameCounts) {
        const Color strong = eg >= 0 ? WHITE : BLACK, weak = ~strong;
        int scale = 128;
        const int wb = pos.piece_count[BISHOP], bb = pos.piece_count[6 + BISHOP];
        if (!(pos.pieces[QUEEN] | pos.pieces[6 + QUEEN] | pos.pieces[ROOK] | pos.pieces[6 + ROOK] |
              pos.pieces[KNIGHT] | pos.pieces[6 + KNIGHT]) &&
            wb == 1 && bb == 1) {
            const int ws = lsb(pos.pieces[BISHOP]), bs = lsb(pos.pieces[6 + BISHOP]);
            if (((file_of(ws) + rank_of(ws)) & 1) != ((file_of(bs) + rank_of(bs)) & 1)) scale = 80;
        }
        const int p = pos.piece_count[6 * strong + PAWN];
        if (p <= 3) {
            const int t = scale - 10 * (4 - p);
            if (pos.piece_count[6 * weak + PAWN] == 0 && p <= 1) scale = std::clamp(t, 48, 72);
            else scale = std::max(t, 48);
        }
        eg = eg * scale / 128;
    }
    record("scale");

    // 13. Blend by phase, side to move's view, tempo.
    return blend(pos, mg, eg, phase);
}

// The instance for the thread's trace state: only "evaltrace" switches it on.
inline int evaluate_full(const Position& pos, PawnHash::Entry& e, const PieceSum& ps) {
    return g_evalTraceOn ? evaluate_full<true>(pos, e, ps) : evaluate_full<false>(pos, e, ps);
}

}  // namespace

int evaluate(const Position& pos) { return evaluate_full(pos, *PawnHash::probe(pos), piece_sum(pos)); }

EvalResult evaluate_result(const Position& pos, int alpha, int beta) {
    PawnHash::Entry& e = *PawnHash::probe(pos);
    const PieceSum ps = piece_sum(pos);
    const int lazy = blend(pos, e.mg + ps.mg, e.eg + ps.eg, ps.phase);
    if (lazy - LAZY_MARGIN > beta || lazy + LAZY_MARGIN < alpha) return {lazy, false};
    // The entry is still this position's: the second probe would be a hit.
    return {evaluate_full(pos, e, ps), true};
}

EvalResult evaluate(const Position& pos, int alpha, int beta) { return evaluate_result(pos, alpha, beta); }

int evaluate(const Position& pos, PawnHash::Entry& privateEntry) {
    return evaluate_full(pos, *PawnHash::probe(pos, privateEntry), piece_sum(pos));
}

int evaluate_diagnostic(const Position& pos) {
    PawnHash::Entry privateEntry{};
    return evaluate(pos, privateEntry);
}

std::string evaluate_trace_string(const Position& pos) {
    g_evalTraceOn = true;
    g_evalTraceN = 0;
    const int score = evaluate_diagnostic(pos);
    g_evalTraceOn = false;

    std::string text;
    text.reserve(1024);
    int prevMg = 0, prevEg = 0;
    for (int i = 0; i < g_evalTraceN; ++i) {
        const EvalTracePoint& p = g_evalTracePts[i];
        text += "evaltrace ";
        text += p.name;
        text += " mg " + std::to_string(p.mg) + " eg " + std::to_string(p.eg) + " dmg " +
                std::to_string(p.mg - prevMg) + " deg " + std::to_string(p.eg - prevEg) + "\n";
        prevMg = p.mg;
        prevEg = p.eg;
    }
    text += "evaltrace full " + std::to_string(score) + "\n";
    return text;
}
