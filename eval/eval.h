// Static evaluation of a position in centipawns from the side to move's view:
// tapered middlegame/endgame terms over constant tables, a lazy estimate for the
// search window, and a term-by-term trace for diagnostics; also the packed
// middlegame/endgame word the evaluation sums its terms in.
#pragma once

#include <cstdint>
#include <string>

#include "board/types.h"
#include "eval/pawnhash.h"

class Position;

// Score of evaluate_result: `full` tells the complete evaluation from the lazy estimate.
struct EvalResult {
    int score;
    bool full;
};

// ---------------------------------------------------------------------------
// Entry points.
//
// The search thread calls evaluate / evaluate_result; they use the shared pawn
// table (PawnHash::probe), which has no lock.
//
// Any other thread (the "eval" and "evaltrace" commands while a search may run)
// must use evaluate_diagnostic / evaluate_trace_string: they evaluate through a
// fresh private pawn entry on the caller's stack, never touch the shared table,
// and give the value a freshly filled shared entry would give.
// ---------------------------------------------------------------------------

// Complete evaluation, tempo included. Search thread.
int evaluate(const Position& pos);
// The lazy estimate when it lies more than 599 outside [alpha, beta], else the
// complete evaluation. Search thread.
EvalResult evaluate_result(const Position& pos, int alpha, int beta);
// Same as evaluate_result.
EvalResult evaluate(const Position& pos, int alpha, int beta);
// Complete evaluation through a caller-owned pawn entry (refilled unless it
// already holds this pawn key). Safe on any thread.
int evaluate(const Position& pos, PawnHash::Entry& privateEntry);
// Complete evaluation through a fresh private pawn entry. Safe on any thread,
// also while a search runs: this is what "eval" prints.
int evaluate_diagnostic(const Position& pos);
// The "evaltrace" text: twelve term lines and the "full" line, each ending in a
// newline. Uses a fresh private pawn entry and this thread's trace state only;
// its "full" value equals evaluate_diagnostic. Safe on any thread.
std::string evaluate_trace_string(const Position& pos);

// ---------------------------------------------------------------------------
// Trace state, one instance per thread, so a search never records into a trace.
// ---------------------------------------------------------------------------
struct EvalTracePoint {
    const char* name;  // static text: one of the twelve step names
    int mg;            // WHITE-view sums right after that step
    int eg;
};
constexpr int EVAL_TRACE_CAPACITY = 24;
// constinit: statically initialised, so other files reach them directly and
// not through a lazily-initialising wrapper.
extern thread_local constinit bool g_evalTraceOn;
extern thread_local constinit int g_evalTraceN;
extern thread_local constinit EvalTracePoint g_evalTracePts[EVAL_TRACE_CAPACITY];

// ---------------------------------------------------------------------------
// Packed scores: both phases of a score in one 64-bit word, so that one
// addition (or multiplication by a count) serves both. The word is the
// integer mg + eg * 2^32: the middlegame value sign-extended, the endgame value
// added to the upper half. A negative middlegame value borrows one from the
// upper half; unpack_eg rounds the word to the nearest multiple of 2^32 by
// adding 2^31 first, which carries that one back exactly when the lower half
// is negative. So a packed sum unpacks to the separate sums
// `mg += a; eg += b;` while each stays within 32 bits;
// EvalPacked.SumsEqualSeparateSums checks that over random terms of both
// signs.
// ---------------------------------------------------------------------------
namespace eval_detail {
constexpr uint64_t pack(int mg, int eg) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(eg)) << 32) + static_cast<uint64_t>(static_cast<int64_t>(mg));
}
constexpr int unpack_mg(uint64_t s) { return static_cast<int32_t>(static_cast<uint32_t>(s)); }
constexpr int unpack_eg(uint64_t s) { return static_cast<int32_t>(static_cast<uint32_t>((s + 0x80000000u) >> 32)); }
}  // namespace eval_detail

// ---------------------------------------------------------------------------
// Constant tables. By PieceType: pawn, knight, bishop, rook, queen, king.
// ---------------------------------------------------------------------------
inline constexpr int MG_VALUE[6] = {100, 320, 330, 500, 900, 0};
inline constexpr int EG_VALUE[6] = {120, 300, 320, 520, 900, 0};
inline constexpr int PHASE_VALUE[6] = {0, 1, 1, 2, 4, 0};
inline constexpr int KING_RING_ATTACKER_WEIGHT[6] = {0, 9, 11, 13, 15, 0};

// Piece-square tables, written as boards (rank 8 first, files a..h) and read
// through MG_PST / EG_PST indexed a1 = 0: a WHITE piece on square s reads [s],
// a BLACK piece reads [s ^ 56].
namespace eval_detail {
struct Pst {
    int v[6][64];
};
constexpr Pst from_boards(const int (&boards)[6][64]) {
    Pst p{};
    for (int t = 0; t < 6; ++t)
        for (int i = 0; i < 64; ++i) p.v[t][i] = boards[t][i ^ 56];
    return p;
}
// clang-format off
inline constexpr int MG_PST_BOARDS[6][64] = {
    {   // pawn
         0,   0,   0,   0,   0,   0,   0,   0,
        50,  50,  50,  50,  50,  50,  50,  50,
        10,  10,  20,  30,  30,  20,  10,  10,
         5,   5,  10,  25,  25,  10,   5,   5,
         0,   0,   0,  20,  20,   0,   0,   0,
         5,  -5,  -5,   0,   0,  -5,  -5,   5,
         5,  10,  10, -20, -20,  10,  10,   5,
         0,   0,   0,   0,   0,   0,   0,   0,
    },
    {   // knight
       -50, -40, -30, -30, -30, -30, -40, -50,
       -40, -20,   0,   0,   0,   0, -20, -40,
       -30,   0,  10,  15,  15,  10,   0, -30,
       -30,   5,  15,  20,  20,  15,   5, -30,
       -30,   0,  15,  20,  20,  15,   0, -30,
       -30,   5,  10,  15,  15,  10,   5, -30,
       -40, -20,   0,   5,   5,   0, -20, -40,
       -50, -40, -30, -30, -30, -30, -40, -50,
    },
    {   // bishop
       -20, -10, -10, -10, -10, -10, -10, -20,
       -10,   5,   0,   0,   0,   0,   5, -10,
       -10,  10,  10,  10,  10,  10,  10, -10,
       -10,   0,  10,  10,  10,  10,   0, -10,
       -10,   5,   5,  10,  10,   5,   5, -10,
       -10,   0,   5,  10,  10,   5,   0, -10,
       -10,   0,   0,   0,   0,   0,   0, -10,
       -20, -10, -10, -10, -10, -10, -10, -20,
    },
    {   // rook
         0,   0,   0,   0,   0,   0,   0,   0,
         5,  10,  10,  10,  10,  10,  10,   5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
         0,   0,   5,  10,  10,   5,   0,   0,
    },
    {   // queen
       -20, -10, -10,  -5,  -5, -10, -10, -20,
       -10,   0,   5,   0,   0,   0,   0, -10,
       -10,   5,   5,   5,   5,   5,   0, -10,
         0,   0,   5,   5,   5,   5,   0,  -5,
        -5,   0,   5,   5,   5,   5,   0,  -5,
       -10,   0,   5,   5,   5,   5,   0, -10,
       -10,   0,   0,   0,   0,   0,   0, -10,
       -20, -10, -10,  -5,  -5, -10, -10, -20,
    },
    {   // king
        20,  30,  10,   0,   0,  10,  30,  20,
        20,  20,   0,   0,   0,   0,  20,  20,
       -10, -20, -20, -20, -20, -20, -20, -10,
       -20, -30, -30, -40, -40, -30, -30, -20,
       -30, -40, -40, -50, -50, -40, -40, -30,
       -30, -40, -40, -50, -50, -40, -40, -30,
       -30, -40, -40, -50, -50, -40, -40, -30,
       -30, -40, -40, -50, -50, -40, -40, -30,
    },
};
inline constexpr int EG_PST_BOARDS[6][64] = {
    {   // pawn
         0,   0,   0,   0,   0,   0,   0,   0,
        30,  30,  30,  30,  30,  30,  30,  30,
        10,  10,  20,  20,  20,  20,  10,  10,
         5,   5,  10,  15,  15,  10,   5,   5,
         0,   0,   0,  10,  10,   0,   0,   0,
         5,  -5,  -5,   0,   0,  -5,  -5,   5,
         5,  10,  10, -10, -10,  10,  10,   5,
         0,   0,   0,   0,   0,   0,   0,   0,
    },
    {   // knight
       -40, -30, -20, -10, -10, -20, -30, -40,
       -30, -10,  10,  15,  15,  10, -10, -30,
       -20,  10,  20,  25,  25,  20,  10, -20,
       -10,  15,  25,  30,  30,  25,  15, -10,
       -10,  15,  25,  30,  30,  25,  15, -10,
       -20,  10,  20,  25,  25,  20,  10, -20,
       -30, -10,  10,  15,  15,  10, -10, -30,
       -40, -30, -20, -10, -10, -20, -30, -40,
    },
    {   // bishop
       -10,  -5,  -5,  -5,  -5,  -5,  -5, -10,
        -5,   5,   0,   0,   0,   0,   5,  -5,
        -5,  10,  10,  10,  10,  10,  10,  -5,
        -5,   0,  10,  15,  15,  10,   0,  -5,
        -5,   5,  10,  15,  15,  10,   5,  -5,
        -5,   0,   5,  10,  10,   5,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
       -10,  -5,  -5,  -5,  -5,  -5,  -5, -10,
    },
    {   // rook
         0,   0,   0,   0,   0,   0,   0,   0,
        10,  15,  15,  15,  15,  15,  15,  10,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
         0,   0,   5,  10,  10,   5,   0,   0,
    },
    {   // queen
       -10,  -5,  -5,  -5,  -5,  -5,  -5, -10,
        -5,   0,   5,   0,   0,   0,   0,  -5,
        -5,   5,   5,   5,   5,   5,   0,  -5,
         0,   0,   5,   5,   5,   5,   0,  -5,
        -5,   0,   5,   5,   5,   5,   0,  -5,
        -5,   0,   5,   5,   5,   5,   0,  -5,
        -5,   0,   0,   0,   0,   0,   0,  -5,
       -10,  -5,  -5,  -5,  -5,  -5,  -5, -10,
    },
    {   // king
       -50, -30, -30, -30, -30, -30, -30, -50,
       -30, -30,   0,   0,   0,   0, -30, -30,
       -30, -10,  20,  30,  30,  20, -10, -30,
       -30, -10,  30,  40,  40,  30, -10, -30,
       -30, -10,  30,  40,  40,  30, -10, -30,
       -30, -10,  20,  30,  30,  20, -10, -30,
       -30, -20, -10,   0,   0, -10, -20, -30,
       -50, -40, -30, -20, -20, -30, -40, -50,
    },
};
// clang-format on
inline constexpr Pst MG_PST_INDEXED = from_boards(MG_PST_BOARDS);
inline constexpr Pst EG_PST_INDEXED = from_boards(EG_PST_BOARDS);
}  // namespace eval_detail

inline constexpr const int (&MG_PST)[6][64] = eval_detail::MG_PST_INDEXED.v;
inline constexpr const int (&EG_PST)[6][64] = eval_detail::EG_PST_INDEXED.v;

// Mobility by the number of reachable squares.
inline constexpr int KNIGHT_MOBILITY_MG[9] = {-30, -20, -10, 0, 5, 10, 15, 20, 25};
inline constexpr int KNIGHT_MOBILITY_EG[9] = {-20, -10, -5, 0, 5, 10, 15, 20, 20};
inline constexpr int BISHOP_MOBILITY_MG[14] = {-25, -15, -10, -5, 0, 5, 10, 15, 20, 25, 30, 35, 40, 45};
inline constexpr int BISHOP_MOBILITY_EG[14] = {-20, -10, -5, 0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50};
inline constexpr int ROOK_MOBILITY_MG[15] = {-20, -10, -5, 0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55};
inline constexpr int ROOK_MOBILITY_EG[15] = {-10, -5, 0, 5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60};
inline constexpr int QUEEN_MOBILITY_MG[28] = {-10, -5, 0,  2,  4,  6,  8,  10, 12, 14, 16, 18, 20, 22,
                                              24,  26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 46, 48, 50};
inline constexpr int QUEEN_MOBILITY_EG[28] = {-5, 0,  2,  4,  6,  8,  10, 12, 14, 16, 18, 20, 22, 24,
                                              26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 46, 48, 50, 52};

// Passed pawns by relative rank index.
inline constexpr int PASSED_MG[8] = {0, 5, 8, 18, 32, 56, 88, 0};
inline constexpr int PASSED_EG[8] = {0, 10, 18, 38, 76, 136, 215, 0};
// Threat values by the victim's PieceType.
inline constexpr int MINOR_THREAT_MG[6] = {0, 4, 4, 8, 14, 0};
inline constexpr int MAJOR_THREAT_MG[6] = {0, 2, 2, 4, 8, 0};
