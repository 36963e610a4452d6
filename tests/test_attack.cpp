// Attack tables, slider lookups (against a plain ray walk), the shared bitboard
// masks and shifts, and static exchange evaluation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "board/attack.h"
#include "board/bitboard.h"
#include "board/move.h"
#include "board/movegen.h"
#include "board/pext.h"
#include "board/position.h"
#include "tests/test_util.h"

using vwtest::bb;
using vwtest::sq;

namespace {

class AttackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { vwtest::init_tables(); }
};

// Independent reference: walk each ray square by square with plain rank and
// file arithmetic, the first blocker included.
Bitboard reference_slider(int s, Bitboard occ, const int (*dirs)[2]) {
    Bitboard out = 0;
    for (int d = 0; d < 4; ++d) {
        int r = s / 8 + dirs[d][0], f = s % 8 + dirs[d][1];
        while (r >= 0 && r < 8 && f >= 0 && f < 8) {
            const Bitboard here = Bitboard(1) << (8 * r + f);
            out |= here;
            if (occ & here) break;
            r += dirs[d][0];
            f += dirs[d][1];
        }
    }
    return out;
}
const int ROOK_DIRS[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
const int BISHOP_DIRS[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

}  // namespace

TEST_F(AttackTest, KnightTable) {
    EXPECT_EQ(Attack::knightAttacks[sq("a1")], bb({"b3", "c2"}));
    EXPECT_EQ(popcount(Attack::knightAttacks[sq("d4")]), 8);
    EXPECT_EQ(Attack::knightAttacks[sq("d4")], bb({"c2", "e2", "b3", "f3", "b5", "f5", "c6", "e6"}));
    EXPECT_EQ(Attack::knightAttacks[sq("h8")], bb({"g6", "f7"}));
    for (int s = 0; s < 64; ++s) {
        const int n = popcount(Attack::knightAttacks[s]);
        EXPECT_GE(n, 2);
        EXPECT_LE(n, 8);
        Bitboard b = Attack::knightAttacks[s];
        while (b) {
            const int t = pop_lsb(b);
            const int dr = std::abs(rank_of(t) - rank_of(s)), df = std::abs(file_of(t) - file_of(s));
            EXPECT_TRUE((dr == 1 && df == 2) || (dr == 2 && df == 1)) << s << "->" << t;
        }
    }
}

TEST_F(AttackTest, KingTable) {
    EXPECT_EQ(Attack::kingAttacks[sq("a1")], bb({"a2", "b1", "b2"}));
    EXPECT_EQ(popcount(Attack::kingAttacks[sq("e4")]), 8);
    EXPECT_EQ(Attack::kingAttacks[sq("h5")], bb({"h4", "h6", "g4", "g5", "g6"}));
    for (int s = 0; s < 64; ++s) {
        const int n = popcount(Attack::kingAttacks[s]);
        EXPECT_GE(n, 3);
        EXPECT_LE(n, 8);
        Bitboard b = Attack::kingAttacks[s];
        while (b) {
            const int t = pop_lsb(b);
            EXPECT_LE(std::abs(rank_of(t) - rank_of(s)), 1);
            EXPECT_LE(std::abs(file_of(t) - file_of(s)), 1);
        }
    }
}

TEST_F(AttackTest, PawnTables) {
    EXPECT_EQ(Attack::pawnAttacksWhite[sq("a2")], bb({"b3"}));
    EXPECT_EQ(Attack::pawnAttacksWhite[sq("h2")], bb({"g3"}));
    EXPECT_EQ(Attack::pawnAttacksWhite[sq("e4")], bb({"d5", "f5"}));
    EXPECT_EQ(Attack::pawnAttacksBlack[sq("e4")], bb({"d3", "f3"}));
    EXPECT_EQ(Attack::pawnAttacksBlack[sq("a7")], bb({"b6"}));
    EXPECT_EQ(Attack::pawnAttacksBlack[sq("h7")], bb({"g6"}));
    for (int f = 0; f < 8; ++f) {
        EXPECT_EQ(Attack::pawnAttacksWhite[56 + f], 0u);
        EXPECT_EQ(Attack::pawnAttacksBlack[f], 0u);
    }
    for (int s = 0; s < 64; ++s) {
        for (Bitboard b : {Attack::pawnAttacksWhite[s], Attack::pawnAttacksBlack[s]}) {
            while (b) {
                const int t = pop_lsb(b);
                EXPECT_EQ(std::abs(file_of(t) - file_of(s)), 1) << "wrap " << s << "->" << t;
            }
        }
    }
}

TEST_F(AttackTest, MaskSizes) {
    long rook_entries = 0, bishop_entries = 0;
    const Bitboard center = bb({"d4", "e4", "d5", "e5"});
    const Bitboard ring = 0x00003C24243C0000ULL;  // c3..f6 ring around the centre
    for (int s = 0; s < 64; ++s) {
        const int r = rank_of(s), f = file_of(s);
        const bool edge_r = r == 0 || r == 7, edge_f = f == 0 || f == 7;
        const int rb = popcount(PEXT::rook_masks[s]);
        const int bbits = popcount(PEXT::bishop_masks[s]);
        EXPECT_EQ(rb, edge_r && edge_f ? 12 : (edge_r || edge_f) ? 11 : 10) << s;
        int want_b = 5;
        if (edge_r && edge_f) want_b = 6;
        else if (center & square_bb(s)) want_b = 9;
        else if (ring & square_bb(s)) want_b = 7;
        EXPECT_EQ(bbits, want_b) << s;
        EXPECT_FALSE(PEXT::rook_masks[s] & square_bb(s));
        EXPECT_FALSE(PEXT::bishop_masks[s] & square_bb(s));
        EXPECT_EQ(PEXT::bishop_masks[s] & 0xFF818181818181FFULL, 0u) << "outer ring in bishop mask " << s;
        rook_entries += 1L << rb;
        bishop_entries += 1L << bbits;
    }
    EXPECT_EQ(rook_entries, 102400);
    EXPECT_EQ(bishop_entries, 5248);
    EXPECT_EQ(PEXT::rook_masks[sq("a1")], 0x000101010101017EULL);  // a2..a7, b1..g1
    EXPECT_EQ(PEXT::bishop_masks[sq("a1")], bb({"b2", "c3", "d4", "e5", "f6", "g7"}));
}

TEST_F(AttackTest, SliderEdgeCases) {
    const int a1 = sq("a1");
    const Bitboard a_file = 0x0101010101010101ULL, rank1 = 0xFF;
    EXPECT_EQ(PEXT::rook_attacks_pext(a1, 0), (a_file | rank1) & ~square_bb(a1));
    EXPECT_EQ(popcount(PEXT::rook_attacks_pext(a1, 0)), 14);
    EXPECT_EQ(PEXT::rook_attacks_pext(a1, bb({"a4"})), bb({"a2", "a3", "a4"}) | (rank1 & ~square_bb(a1)));
    EXPECT_EQ(PEXT::bishop_attacks_pext(a1, 0), bb({"b2", "c3", "d4", "e5", "f6", "g7", "h8"}));
    EXPECT_EQ(popcount(PEXT::bishop_attacks_pext(sq("d4"), 0)), 13);
    EXPECT_EQ(PEXT::rook_attacks_pext(a1, bb({"a8", "h1", "a1"})), PEXT::rook_attacks_pext(a1, 0));
}

// Every square and every subset of its mask, alone, with some squares outside
// the mask and with all of them (the slider's own square and the edges that
// end each ray among them): the table lookups and the ray walks that fill the
// tables equal the reference walk.
TEST_F(AttackTest, SlidersEqualTheReferenceForEveryOccupancy) {
    std::mt19937_64 rng(7);
    for (int s = 0; s < 64; ++s) {
        for (const bool rook : {true, false}) {
            const Bitboard mask = rook ? PEXT::rook_masks[s] : PEXT::bishop_masks[s];
            const uint64_t n = uint64_t(1) << popcount(mask);
            for (uint64_t i = 0; i < n; ++i) {
                const Bitboard occ = _pdep_u64(i, mask);
                for (const Bitboard o : {occ, occ | (rng() & ~mask), occ | ~mask}) {
                    const Bitboard want = reference_slider(s, o, rook ? ROOK_DIRS : BISHOP_DIRS);
                    const Bitboard lookup = rook ? PEXT::rook_attacks_pext(s, o) : PEXT::bishop_attacks_pext(s, o);
                    const Bitboard walk =
                        rook ? Attack::sliding_attacks_rook(s, o) : Attack::sliding_attacks_bishop(s, o);
                    ASSERT_EQ(lookup, want) << (rook ? "rook " : "bishop ") << s << " occupancy " << o;
                    ASSERT_EQ(walk, want) << (rook ? "rook " : "bishop ") << s << " occupancy " << o;
                }
            }
        }
    }
    for (int i = 0; i < 20000; ++i) {
        const int s = int(rng() & 63);
        const Bitboard occ = rng() & rng();
        ASSERT_EQ(Attack::sliding_attacks_queen(s, occ),
                  reference_slider(s, occ, ROOK_DIRS) | reference_slider(s, occ, BISHOP_DIRS))
            << s << " occupancy " << occ;
    }
}

// A second set-up writes every table entry as the first did.
TEST_F(AttackTest, InitIsRepeatable) {
    const auto snapshot = [] {
        std::vector<Bitboard> all;
        const auto add = [&](const Bitboard* t, size_t n) { all.insert(all.end(), t, t + n); };
        add(Attack::knightAttacks, 64);
        add(Attack::kingAttacks, 64);
        add(Attack::pawnAttacksWhite, 64);
        add(Attack::pawnAttacksBlack, 64);
        add(PEXT::rook_masks, 64);
        add(PEXT::bishop_masks, 64);
        add(&PEXT::rook_attacks[0][0], 64 * 4096);
        add(&PEXT::bishop_attacks[0][0], 64 * 512);
        return all;
    };
    const std::vector<Bitboard> first = snapshot();
    Attack::init_attacks();
    PEXT::init();
    EXPECT_TRUE(first == snapshot());
}

// ---------------------------------------------------------------------------
// Bitboard masks and shifts, against definitions square by square.

TEST(BitboardHelpers, MasksMatchTheirDefinitions) {
    for (int i = 0; i < 8; ++i) {
        Bitboard file = 0, rank = 0, adjacent = 0, band = 0, aheadWhite = 0, aheadBlack = 0;
        for (int s = 0; s < 64; ++s) {
            const int f = s % 8, r = s / 8;
            if (f == i) file |= square_bb(s);
            if (r == i) rank |= square_bb(s);
            if (std::abs(f - i) == 1) adjacent |= square_bb(s);
            if (std::abs(r - i) <= 1) band |= square_bb(s);
            if (r > i) aheadWhite |= square_bb(s);
            if (r < i) aheadBlack |= square_bb(s);
        }
        EXPECT_EQ(file_bb(i), file) << i;
        EXPECT_EQ(rank_bb(i), rank) << i;
        EXPECT_EQ(adjacent_files(i), adjacent) << i;
        EXPECT_EQ(rank_band(i), band) << i;
        EXPECT_EQ(ranks_ahead(WHITE, i), aheadWhite) << i;
        EXPECT_EQ(ranks_ahead(BLACK, i), aheadBlack) << i;
    }
    EXPECT_EQ(FILE_H, file_bb(7));
    EXPECT_EQ(RANK_3 | RANK_6, rank_bb(2) | rank_bb(5));
    EXPECT_EQ(int(SQ_E4), sq("e4"));
    EXPECT_EQ(int(SQ_F7), sq("f7"));
    EXPECT_EQ(int(SQ_H8), 63);
}

TEST_F(AttackTest, PawnAttackShiftsMatchTheTables) {
    std::mt19937_64 rng(7);
    for (int s = 0; s < 64; ++s) {
        EXPECT_EQ(pawn_attacks_bb<WHITE>(square_bb(s)), Attack::pawnAttacksWhite[s]) << s;
        EXPECT_EQ(pawn_attacks_bb(BLACK, square_bb(s)), Attack::pawnAttacksBlack[s]) << s;
    }
    for (int i = 0; i < 200; ++i) {
        Bitboard pawns = rng() & rng(), white = 0, black = 0;
        for (Bitboard b = pawns; b;) {
            const int s = pop_lsb(b);
            white |= Attack::pawnAttacksWhite[s];
            black |= Attack::pawnAttacksBlack[s];
        }
        EXPECT_EQ(pawn_attacks_bb(WHITE, pawns), white);
        EXPECT_EQ(pawn_attacks_bb<BLACK>(pawns), black);
    }
}

// ---------------------------------------------------------------------------
// Static exchange evaluation: the worked cases, one table.

struct SeeCase {
    const char* name;
    const char* fen;
    const char* move;  // UCI text, flags derived from the board
    int gain;
};

const SeeCase SEE_CASES[] = {
    {"pawn takes pawn defended by pawn", "4k3/8/3p4/4p3/3P4/8/8/4K3 w - - 0 1", "d4e5", 0},
    {"knight takes pawn defended by pawn", "4k3/8/3p4/4p3/8/5N2/8/4K3 w - - 0 1", "f3e5", -220},
    {"rook takes undefended queen", "4k3/8/8/3q4/8/8/8/3RK3 w - - 0 1", "d1d5", 900},
    {"knight quiet to pawn-attacked square", "4k3/8/8/4p3/8/5N2/8/4K3 w - - 0 1", "f3d4", -320},
    {"knight quiet to unattacked square", "4k3/8/8/4p3/8/5N2/8/4K3 w - - 0 1", "f3h4", 0},
    {"promotion to queen unattacked", "4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8q", 800},
    {"promotion to queen, rook covers", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8q", -100},
    {"promotion to knight, rook covers", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "b7b8n", -100},
    {"capture-promotion to queen, undefended", "1r2k3/P7/8/8/8/8/8/4K3 w - - 0 1", "a7b8q", 1300},
    {"en passant, no recapture", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", 100},
    {"en passant, pawn recaptures", "4k3/2p5/8/3pP3/8/8/8/4K3 w - d6 0 1", "e5d6", 0},
    {"black rook takes knight, pawn recaptures promoting", "1N2k3/P7/8/8/8/8/1r6/4K3 b - - 0 1", "b2b8", -980},
    {"black pawn recaptures promoting on rank 1", "4k3/8/8/8/8/8/p3K3/1n4R1 w - - 0 1", "g1b1", -980},
    {"king takes pawn defended by pawn", "4k3/8/8/8/8/3p4/4p3/4K3 w - - 0 1", "e1e2", -19900},
    {"king takes undefended pawn", "4k3/8/8/8/8/8/4p3/4K3 w - - 0 1", "e1e2", 100},
    {"queen takes king-defended pawn, rook behind (king may not recapture)", "8/8/3k4/3p4/8/8/3Q4/3RK3 w - - 0 1",
     "d2d5", 100},
    {"queen takes king-defended pawn, nothing behind", "8/8/3k4/3p4/8/8/3Q4/4K3 w - - 0 1", "d2d5", -800},
    {"rook takes rook-defended pawn, queen x-rays through from-square", "3rk3/8/8/3p4/8/8/3R4/3QK3 w - - 0 1",
     "d2d5", 100},
    {"rook takes pawn, enemy rook x-rays through from-square", "4k3/8/8/3p4/8/8/3R4/3rK3 w - - 0 1", "d2d5", -400},
    {"pawn takes knight, bishop x-ray behind pawn", "4k3/8/2b5/3n4/4P3/5B2/8/4K3 w - - 0 1", "e4d5", 320},
    {"bishop takes defended knight, queen behind bishop", "4k3/8/2p5/3n4/4B3/5Q2/8/4K3 w - - 0 1", "e4d5", 90},
};

class SeeTest : public ::testing::TestWithParam<SeeCase> {
protected:
    static void SetUpTestSuite() { vwtest::init_tables(); }
};

TEST_P(SeeTest, WorkedCase) {
    const SeeCase& c = GetParam();
    const Position pos = vwtest::from_fen(c.fen);
    const Move m = vwtest::mv(pos, c.move);
    EXPECT_EQ(Attack::see_gain(pos, m), c.gain) << c.name;
    EXPECT_TRUE(Attack::see_ge(pos, m, c.gain)) << c.name;
    EXPECT_TRUE(Attack::see_ge(pos, m, c.gain - 1)) << c.name;
    EXPECT_FALSE(Attack::see_ge(pos, m, c.gain + 1)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(StaticExchange, SeeTest, ::testing::ValuesIn(SEE_CASES),
                         [](const ::testing::TestParamInfo<SeeCase>& info) {
                             return "case" + std::to_string(info.index);
                         });

TEST_F(AttackTest, SeeMoveZeroAndCastling) {
    const Position pos = vwtest::from_fen("r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    for (Move m : {Move(0), MOVE_WHITE_OO, MOVE_WHITE_OOO, MOVE_BLACK_OO, MOVE_BLACK_OOO}) {
        EXPECT_EQ(Attack::see_gain(pos, m), 0);
        EXPECT_TRUE(Attack::see_ge(pos, m, 0));
        EXPECT_TRUE(Attack::see_ge(pos, m, -500));
        EXPECT_FALSE(Attack::see_ge(pos, m, 1));
    }
}

TEST_F(AttackTest, SeeDoesNotChangePosition) {
    const Position pos = vwtest::from_fen(vwtest::KIWIPETE);
    const Position before = pos;
    (void)Attack::see_gain(pos, vwtest::mv(pos, "e5f7"));
    (void)Attack::see_gain(pos, vwtest::mv(pos, "f3f6"));
    vwtest::expect_same_state(pos, before);
}

namespace {

// The exchange value by its textbook form, written out plainly: list the
// gain of every capture while each side takes with its least valuable
// attacker, then fold the list back from the last capture, each side free
// to stop. Slow, but independent of the evaluator under test.
int reference_see(const Position& pos, Move m) {
    if (m == 0 || (m & FLAG_CASTLING)) return 0;
    const int from = move_from(m), to = move_to(m), piece = move_piece(m), promo = move_promotion(m);
    const int mover = piece > 5 ? BLACK : WHITE;
    const int victimSq = (m & FLAG_EN_PASSANT) ? (mover == WHITE ? to - 8 : to + 8) : to;
    Bitboard occ = pos.occupied & ~square_bb(from);
    if (m & FLAG_EN_PASSANT) occ &= ~square_bb(victimSq);
    const auto attackers_of = [&](Bitboard o) {
        Bitboard a = 0;
        for (int code = 0; code < 12; ++code) {
            const int type = code % 6, c = code / 6;
            for (Bitboard b = pos.pieces[code] & o; b;) {
                const int s = pop_lsb(b);
                Bitboard att = type == PAWN     ? (c == WHITE ? Attack::pawnAttacksWhite[s] : Attack::pawnAttacksBlack[s])
                               : type == KNIGHT ? Attack::knightAttacks[s]
                               : type == KING   ? Attack::kingAttacks[s]
                               : type == BISHOP ? Attack::sliding_attacks_bishop(s, o)
                               : type == ROOK   ? Attack::sliding_attacks_rook(s, o)
                                                : Attack::sliding_attacks_queen(s, o);
                if (att & square_bb(to)) a |= square_bb(s);
            }
        }
        return a;
    };
    std::vector<int> gain;
    const int victim = pos.board[victimSq];
    gain.push_back(victim >= 0 ? Attack::LOCAL_PIECE_VALUE[victim % 6] : 0);
    int onSquare = Attack::LOCAL_PIECE_VALUE[promo ? promo : piece % 6];
    if (promo) gain[0] += onSquare - 100;
    for (int s = mover ^ 1;; s ^= 1) {
        const Bitboard mine = attackers_of(occ) & pos.occupancy[s];
        if (!mine) break;
        int kind = KING, sq = -1;
        for (int t = PAWN; t <= KING && sq < 0; ++t)
            if (Bitboard b = mine & pos.pieces[6 * s + t]) kind = t, sq = lsb(b);
        if (kind == KING && (attackers_of(occ) & pos.occupancy[s ^ 1])) break;
        const bool promotes = kind == PAWN && (to < 8 || to >= 56);
        gain.push_back(onSquare - gain.back() + (promotes ? 800 : 0));
        onSquare = promotes ? 900 : Attack::LOCAL_PIECE_VALUE[kind];
        occ &= ~square_bb(sq);
        if (kind == KING) break;
    }
    for (size_t k = gain.size() - 1; k-- > 0;) gain[k] = std::min(gain[k], -gain[k + 1]);
    return gain[0];
}

}  // namespace

// Over random games from the reference positions, every capture and
// promotion and some quiet moves, including exchanges that end with a
// side stopping early or a king that may not recapture.
TEST_F(AttackTest, SeeMatchesTheGainListFoldOnPlayouts) {
    std::mt19937_64 rng(20261207);
    int compared = 0, losing = 0;
    for (const char* fen : vwtest::PERFT_POSITIONS) {
        for (int game = 0; game < 40; ++game) {
            Position pos = vwtest::from_fen(fen);
            for (int ply = 0; ply < 60; ++ply) {
                std::vector<unsigned> legal;
                MoveGen::generate_legal(pos, legal);
                if (legal.empty()) break;
                for (Move m : legal) {
                    if (!(m & FLAG_CAPTURE) && move_promotion(m) == 0 && (rng() & 7)) continue;
                    const int expected = reference_see(pos, m);
                    ASSERT_EQ(Attack::see_gain(pos, m), expected) << move_to_uci(m);
                    ++compared;
                    losing += expected < 0;
                }
                pos.make_move(legal[rng() % legal.size()]);
            }
        }
    }
    EXPECT_GT(compared, 20000);
    EXPECT_GT(losing, 1000);
}
