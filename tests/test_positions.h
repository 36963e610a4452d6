// The positions that tests and benches share, as FEN text: the start position,
// the well-known perft positions and a spread of middlegames and endgames for
// the evaluation. Plain data without the test framework, so benches include it.
#pragma once

#include <initializer_list>
#include <iterator>
#include <vector>

namespace vwtest {

inline constexpr const char* START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
// Castling both ways, en passant, pins and discovered checks close together.
inline constexpr const char* KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
// Rooks and pawns: en passant that would expose the king along a rank.
inline constexpr const char* ENDGAME = "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1";
// Promotions and under-promotions with captures, white in check; then the same
// position with colours and ranks swapped, which must give the same counts.
inline constexpr const char* PROMOTIONS = "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1";
inline constexpr const char* PROMOTIONS_MIRRORED =
    "r2q1rk1/pP1p2pp/Q4n2/bbp1p3/Np6/1B3NBn/pPPP1PPP/R3K2R b KQ - 0 1";
// A pawn on d7 that promotes by capture, the black king off its square.
inline constexpr const char* PAWN_ON_D7 = "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8";
// A symmetrical middlegame with all minor pieces developed.
inline constexpr const char* MIDDLEGAME = "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10";

// The six standard perft positions, in this order (fixed-depth node totals depend on it).
inline constexpr const char* PERFT_POSITIONS[] = {START, KIWIPETE, ENDGAME, PROMOTIONS, PAWN_ON_D7, MIDDLEGAME};

// The perft positions followed by more.
inline std::vector<const char*> perft_positions_then(std::initializer_list<const char*> more) {
    std::vector<const char*> v(std::begin(PERFT_POSITIONS), std::end(PERFT_POSITIONS));
    v.insert(v.end(), more.begin(), more.end());
    return v;
}

// Evaluation positions: an early queen raid, castling on opposite wings, an
// exposed king with queens on, opposite-coloured bishops, a rook up, pawns only.
inline constexpr const char* QUEEN_RAID = "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4";
inline constexpr const char* OPPOSITE_CASTLING = "r2q1rk1/pp2ppbp/2np1np1/8/3NP3/2N1BP2/PPPQ2PP/2KR1B1R b - - 3 10";
inline constexpr const char* EXPOSED_KING = "2r3k1/p4p2/3Rp2p/1p2P1pK/8/1P4P1/P3Q2P/1q6 b - - 0 1";
inline constexpr const char* OPPOSITE_BISHOPS = "8/5pk1/6p1/8/3B4/6P1/5PKP/3b4 b - - 0 40";
inline constexpr const char* ROOK_UP = "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1";
inline constexpr const char* PAWNS_ONLY = "k7/8/8/8/8/8/5PPP/6K1 w - - 0 1";

// A varied set for evaluation tests and the evaluation bench.
inline constexpr const char* EVAL_POSITIONS[] = {START,        KIWIPETE,         MIDDLEGAME, QUEEN_RAID,
                                                 OPPOSITE_CASTLING, EXPOSED_KING, ENDGAME,    OPPOSITE_BISHOPS,
                                                 ROOK_UP,      PAWNS_ONLY};

// Search positions: open games after a few moves, a knight ending, an attack on
// a castled king, king and pawn against king.
inline constexpr const char* ITALIAN = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4";
inline constexpr const char* QUIET_ITALIAN = "r1bq1rk1/ppp2ppp/2np1n2/2b1p3/2B1P3/2PP1N2/PP3PPP/RNBQ1RK1 w - - 0 7";
inline constexpr const char* KNIGHT_ENDGAME = "6k1/6p1/6Pp/ppp5/3pn2P/1P3K2/1PP2P2/3N4 b - - 0 1";
inline constexpr const char* KING_ATTACK = "5rk1/1ppb3p/p1pb4/6q1/3P1p1r/2P1R2P/PP1BQ1P1/5RKN w - - 0 1";
inline constexpr const char* KING_AND_PAWN = "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1";

}  // namespace vwtest
