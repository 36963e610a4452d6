// Pawn table tests: sizing and indexing, empty-key handling, always-replace and
// stale entries, the private entry, hand-computed pawn structures, and the king
// shelter with its cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "eval/eval.h"
#include "eval/pawnhash.h"
#include "tests/test_util.h"

namespace {

using vwtest::bb;
using vwtest::from_fen;

// The first probe of a process that has created no table makes the default
// one. Checked in a freshly started copy of this test binary (threadsafe
// death-test style re-executes it), whatever ran before in this process.
TEST(PawnHashTable, ProbeBeforeInitCreatesEightMiB) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const bool fresh = PawnHash::entry_count() == 0;
            const Position pos = from_fen(vwtest::START);
            const bool made = PawnHash::probe(pos) != nullptr;
            std::exit(fresh && made && PawnHash::entry_count() == 65536u && PawnHash::size_mb() == 8u ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(PawnHashTable, Sizing) {
    struct Case {
        unsigned long long mb;
        uint64_t entries, reportedMb;
    };
    const Case cases[] = {{0, 8192, 1}, {1, 8192, 1}, {8, 65536, 8}, {64, 524288, 64}, {100, 524288, 100}};
    for (const auto& c : cases) {
        PawnHash::init(c.mb);
        EXPECT_EQ(PawnHash::entry_count(), c.entries) << c.mb;
        EXPECT_EQ(PawnHash::size_mb(), c.reportedMb) << c.mb;
        EXPECT_LE(PawnHash::entry_count() * sizeof(PawnHash::Entry), (c.mb ? c.mb : 1) << 20);
    }
}

TEST(PawnHashTable, SlotIndexNeverShiftsBy64) {
    // Evaluated at compile time, where a 64-bit shift by 64 would not compile.
    static_assert(PawnHash::slot_index(0, 64) == 0);
    static_assert(PawnHash::slot_index(~0ULL, 64) == 0);
    static_assert(PawnHash::slot_index(0x123456789ABCDEFULL, 64) == 0);
}

// For every table size from two slots to 8192 (the smallest table), eight
// keys a slot, taken in a row, land inside the table and leave no slot unused.
TEST(PawnHashTable, SlotIndexReachesEverySlotAndNoMore) {
    for (int shift = 51; shift <= 63; ++shift) {
        const uint64_t slots = uint64_t(1) << (64 - shift);
        std::vector<bool> used(slots, false);
        for (uint64_t k = 0; k < 8 * slots; ++k) {
            const uint64_t i = PawnHash::slot_index(k, shift);
            ASSERT_LT(i, slots) << "shift " << shift << " key " << k;
            used[i] = true;
        }
        EXPECT_EQ(std::count(used.begin(), used.end(), false), 0) << "shift " << shift;
    }
}

TEST(PawnHashTable, PawnlessPositionIsStoredUnderKeyOne) {
    PawnHash::init(1);
    const Position pos = from_fen("4k3/8/8/8/8/8/8/R3K3 w - - 0 1");
    ASSERT_EQ(pos.pawn_key, 0u);
    PawnHash::Entry* e = PawnHash::probe(pos);
    EXPECT_EQ(e->key, 1u);
    EXPECT_EQ(e->mg, 0);
    EXPECT_EQ(e->eg, 0);
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(e->pawnAttacks[c] | e->passed[c] | e->mobExcluded[c], 0u);
        EXPECT_EQ(e->connectedPassers[c] | e->advancedConnectedPassers[c], 0);
    }
    e->mg = 12345;  // a hit must return the slot untouched
    EXPECT_EQ(PawnHash::probe(pos), e);
    EXPECT_EQ(PawnHash::probe(pos)->mg, 12345);
    PawnHash::clear();
    EXPECT_EQ(PawnHash::probe(pos)->mg, 0);
}

TEST(PawnHashTable, StaleOccupancyTermsSurviveAndPrivateEntryIsFresh) {
    // e4 pawn: blocked by a knight on e5 in A (mobility-excluded), free in B.
    const Position a = from_fen("4k3/8/8/4n3/4P3/8/8/4K3 w - - 0 1");
    const Position b = from_fen("4k3/8/8/8/4P3/8/8/4K3 w - - 0 1");
    ASSERT_EQ(a.pawn_key, b.pawn_key);
    PawnHash::init(1);
    EXPECT_EQ(PawnHash::probe(a)->mobExcluded[WHITE], bb({"e4"}));
    EXPECT_EQ(PawnHash::probe(b)->mobExcluded[WHITE], bb({"e4"}));  // A's value, kept
    PawnHash::Entry mine{};
    EXPECT_EQ(PawnHash::probe(b, mine)->mobExcluded[WHITE], 0u);
    EXPECT_EQ(PawnHash::probe(a, mine)->mobExcluded[WHITE], 0u);  // private entry keeps its own
}

TEST(PawnHashTable, DiagnosticEvaluationLeavesSharedTableAlone) {
    const Position a = from_fen("4k3/8/8/4n3/4P3/8/8/4K3 w - - 0 1");
    const Position b = from_fen("4k3/8/8/8/4P3/8/8/4K3 w - - 0 1");
    PawnHash::init(1);
    evaluate_diagnostic(a);
    evaluate_trace_string(a);
    // Had the diagnostic filled the shared slot, B would inherit A's exclusion.
    EXPECT_EQ(PawnHash::probe(b)->mobExcluded[WHITE], 0u);
    const PawnHash::Entry snapshot = *PawnHash::probe(b);
    evaluate_diagnostic(a);
    evaluate_trace_string(a);
    EXPECT_EQ(0, std::memcmp(PawnHash::probe(b), &snapshot, sizeof snapshot));
}

TEST(PawnHashTable, AlwaysReplaceOnCollision) {
    PawnHash::init(1);  // 8192 slots: shift 51
    // One white and one black pawn: find two such structures sharing a slot.
    auto build = [](int white, int black) {
        Position pos = from_fen("4k3/8/8/8/8/8/8/4K3 w - - 0 1");
        pos.set_piece_at_square(0, white);
        pos.set_piece_at_square(6, black);
        return pos;
    };
    std::map<uint64_t, std::pair<int, int>> seen;
    std::pair<int, int> first{-1, -1}, second{-1, -1};
    for (int w = 8; w < 56 && second.first < 0; ++w)
        for (int b = 8; b < 56 && second.first < 0; ++b) {
            if (b == w) continue;
            const uint64_t slot = PawnHash::slot_index(build(w, b).pawn_key, 51);
            auto [it, inserted] = seen.emplace(slot, std::make_pair(w, b));
            if (!inserted) {
                first = it->second;
                second = {w, b};
            }
        }
    ASSERT_GE(second.first, 0);
    const Position p1 = build(first.first, first.second), p2 = build(second.first, second.second);
    PawnHash::Entry* e1 = PawnHash::probe(p1);
    EXPECT_EQ(e1->key, p1.pawn_key);
    EXPECT_EQ(PawnHash::probe(p2), e1);  // same slot, now holding p2
    EXPECT_EQ(e1->key, p2.pawn_key);
    EXPECT_EQ(PawnHash::probe(p1)->key, p1.pawn_key);
}

// ---------------------------------------------------------------------------
// Pawn structure, hand-computed.
// ---------------------------------------------------------------------------
TEST(PawnStructure, WorkedEntries) {
    struct Case {
        const char* what;
        const char* fen;
        int mg, eg;
        Bitboard passedWhite;
        int connectedWhite, advancedWhite;
    };
    const Case cases[] = {
        {"start position mirrors", vwtest::START, 0, 0, 0, 0, 0},
        // e2 (80, 110), e3 (100, 120), both doubled and isolated.
        {"doubled isolated pair", "4k3/8/8/8/8/4P3/4P3/4K3 w - - 0 1", 148, 166, bb({"e2", "e3"}), 0, 0},
        {"a2 with only a c2 neighbour is isolated", "4k3/8/8/8/8/8/P1P5/4K3 w - - 0 1", 197, 225, bb({"a2", "c2"}), 0, 0},
        // d4/e4 level: phalanx (11, 10) each, not overextended, not unsupported.
        {"phalanx", "4k3/8/8/8/3PP3/8/8/4K3 w - - 0 1", 262, 280, bb({"d4", "e4"}), 2, 0},
        // e4 with its neighbour behind and e5 under black pawn fire: overextended and unsupported.
        {"overextended", "4k3/8/5p2/8/4P3/8/3P4/4K3 w - - 0 1", 103, 122, bb({"d2"}), 0, 0},
        // d4 defended by c3 with one enemy pawn in its front span: candidate (7, 18).
        {"defended candidate", "4k3/8/8/4p3/3P4/2P5/8/4K3 w - - 0 1", 120, 159, bb({"c3"}), 1, 0},
        {"advanced connected passers", "4k3/8/8/3PP3/8/8/8/4K3 w - - 0 1", 288, 314, bb({"d5", "e5"}), 2, 2},
        // d4 (defended by e3) with two enemy pawns in its front span is a candidate; with three it is not.
        {"two blockers: candidate", "4k3/8/2pp4/8/3P4/4P3/8/4K3 w - - 0 1", 17, 10, 0, 0, 0},
        {"three blockers: neither passed nor candidate", "4k3/8/2ppp3/8/3P4/4P3/8/4K3 w - - 0 1", -98, -140, 0, 0, 0},
    };
    for (const auto& c : cases) {
        PawnHash::Entry e{};
        PawnHash::probe(from_fen(c.fen), e);
        EXPECT_EQ(e.mg, c.mg) << c.what;
        EXPECT_EQ(e.eg, c.eg) << c.what;
        EXPECT_EQ(e.passed[WHITE], c.passedWhite) << c.what;
        EXPECT_EQ(e.connectedPassers[WHITE], c.connectedWhite) << c.what;
        EXPECT_EQ(e.advancedConnectedPassers[WHITE], c.advancedWhite) << c.what;
    }
}

TEST(PawnStructure, StartPositionFacts) {
    PawnHash::Entry e{};
    PawnHash::probe(from_fen(vwtest::START), e);
    EXPECT_EQ(e.passed[WHITE] | e.passed[BLACK], 0u);
    EXPECT_EQ(e.mobExcluded[WHITE], 0xFF00ULL);
    EXPECT_EQ(e.mobExcluded[BLACK], 0xFF000000000000ULL);
    EXPECT_EQ(e.pawnAttacks[WHITE], 0xFF0000ULL);
    EXPECT_EQ(e.pawnAttacks[BLACK], 0xFF0000000000ULL);
}

// Reproducible random bitboards for the model tests.
struct Xorshift {
    uint64_t state;
    uint64_t operator()() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    // About a quarter of the squares of ranks 2 to 7 for each side, never both.
    std::pair<Bitboard, Bitboard> pawns() {
        constexpr Bitboard middle = 0x00FFFFFFFFFFFF00ULL;
        const Bitboard white = (*this)() & (*this)() & middle;
        return {white, (*this)() & (*this)() & middle & ~white};
    }
};

// The pawn terms walked pawn by pawn and square by square, as the rules are
// worded, for one side; adds to a model entry (WHITE added, BLACK subtracted).
void model_side(const Position& pos, Color c, PawnHash::Entry& m) {
    const Bitboard own = pos.pieces[6 * c], enemy = pos.pieces[6 * ~c];
    const int up = c == WHITE ? 1 : -1, sign = c == WHITE ? 1 : -1;
    auto has = [](Bitboard b, int f, int r) { return f >= 0 && f < 8 && r >= 0 && r < 8 && (b & square_bb(8 * r + f)); };
    auto ahead = [&](int r, int q) { return c == WHITE ? q > r : q < r; };
    for (Bitboard b = own; b;) {
        const int s = pop_lsb(b), f = s % 8, r = s / 8, rr = c == WHITE ? r : 7 - r;
        const bool stopEmpty = !has(pos.occupied, f, r + up);
        bool doubled = false, adjacent = false, adjacentLevelOrAhead = false, phalanx = false, near = false;
        bool enemyAheadOnFile = false;
        int blockers = 0;
        for (int q = 0; q < 8; ++q) {
            doubled |= q != r && has(own, f, q);
            for (int df : {-1, 1}) {
                adjacent |= has(own, f + df, q);
                adjacentLevelOrAhead |= has(own, f + df, q) && (q == r || ahead(r, q));
                phalanx |= q == r && has(own, f + df, q);
                near |= std::abs(q - r) <= 1 && has(own, f + df, q);
            }
            if (ahead(r, q)) {
                enemyAheadOnFile |= has(enemy, f, q);
                for (int df = -1; df <= 1; ++df) blockers += has(enemy, f + df, q);
            }
        }
        const bool defended = pawn_attacks_bb(c, own) & square_bb(s);
        const bool stopUnderFire = has(pawn_attacks_bb(~c, enemy), f, r + up);
        int mg = MG_VALUE[PAWN] + MG_PST[PAWN][c == WHITE ? s : s ^ 56];
        int eg = EG_VALUE[PAWN] + EG_PST[PAWN][c == WHITE ? s : s ^ 56];
        if (doubled) mg -= 7, eg -= 17;
        if (!adjacent) mg -= 9, eg -= 15;
        else if (!adjacentLevelOrAhead && stopEmpty && stopUnderFire) mg -= 7, eg -= 11;
        if (defended) mg += PawnHash::PAWN_DEFENDED_MG[rr], eg += PawnHash::PAWN_DEFENDED_EG[rr];
        if (phalanx) mg += PawnHash::PAWN_PHALANX_MG[rr], eg += PawnHash::PAWN_PHALANX_EG[rr];
        if (!defended && !phalanx && !enemyAheadOnFile && rr > 2) mg -= 4, eg -= 7;
        if ((blockers == 1 || blockers == 2) && stopEmpty && (near || defended))
            mg += PawnHash::CANDIDATE_PASSER_MG[rr], eg += PawnHash::CANDIDATE_PASSER_EG[rr];
        if (blockers == 0) {
            m.passed[c] |= square_bb(s);
            m.connectedPassers[c] += near;
            m.advancedConnectedPassers[c] += near && rr > 3 && stopEmpty;
        }
        if (rr < 2 || !stopEmpty) m.mobExcluded[c] |= square_bb(s);
        m.mg += sign * mg;
        m.eg += sign * eg;
    }
}

// Random pawns among random blocking pieces: the entry agrees
// with the pawn-by-pawn model in every field it fills.
TEST(PawnStructure, MatchesThePawnByPawnModelOverRandomBoards) {
    vwtest::init_tables();
    Xorshift next{0x2545F4914F6CDD1DULL};
    for (int round = 0; round < 3000; ++round) {
        const auto [white, black] = next.pawns();
        const Bitboard knights = next() & next() & next() & ~(white | black);
        Position pos;
        for (Bitboard b = white; b;) pos.set_piece_at_square(PAWN, pop_lsb(b));
        for (Bitboard b = black; b;) pos.set_piece_at_square(6 + PAWN, pop_lsb(b));
        for (Bitboard b = knights; b;) pos.set_piece_at_square(round % 2 ? KNIGHT : 6 + KNIGHT, pop_lsb(b));
        PawnHash::Entry e{}, m{};
        PawnHash::probe(pos, e);
        model_side(pos, WHITE, m);
        model_side(pos, BLACK, m);
        const std::string what = "pawns " + std::to_string(white) + " " + std::to_string(black) + " pieces " +
                                 std::to_string(knights);
        ASSERT_EQ(e.mg, m.mg) << what;
        ASSERT_EQ(e.eg, m.eg) << what;
        for (Color c : {WHITE, BLACK}) {
            ASSERT_EQ(e.passed[c], m.passed[c]) << what;
            ASSERT_EQ(e.mobExcluded[c], m.mobExcluded[c]) << what;
            ASSERT_EQ(e.connectedPassers[c], m.connectedPassers[c]) << what;
            ASSERT_EQ(e.advancedConnectedPassers[c], m.advancedConnectedPassers[c]) << what;
        }
    }
}

// ---------------------------------------------------------------------------
// King shelter and pawn storm.
// ---------------------------------------------------------------------------
TEST(KingShelter, WorkedScores) {
    struct Case {
        const char* what;
        const char* fen;
        Color side;
        int score;
    };
    const Case cases[] = {
        {"g1 behind f2 g2 h2", "6k1/8/8/8/8/8/5PPP/6K1 w - - 0 1", WHITE, 58},
        {"g8 behind f7 g7 h7", "6k1/5ppp/8/8/8/8/8/6K1 b - - 0 1", BLACK, 58},
        {"e1 behind d2 e2 f2", "4k3/8/8/8/8/8/3PPP2/4K3 w - - 0 1", WHITE, 32},
        {"g1 without pawns", "6k1/8/8/8/8/8/8/6K1 w - - 0 1", WHITE, -55},
        {"pawn two ahead, enemy piece in front", "6k1/8/8/8/8/6P1/5PnP/6K1 w - - 0 1", WHITE, 50},
        {"enemy pawn level with the king is free", "k7/8/8/8/8/6Kp/8/8 w - - 0 1", WHITE, -61},
        {"enemy pawn one rank ahead, next file: 11", "k7/8/8/8/7p/6K1/8/8 w - - 0 1", WHITE, -72},
        {"enemy pawn one rank behind counts too", "k7/8/8/8/8/6K1/7p/8 w - - 0 1", WHITE, -72},
        {"king on the far rank has nothing ahead", "6K1/8/8/8/8/8/8/k7 w - - 0 1", WHITE, -68},
        // King g3: open files -45; f5 two ranks away 7, h6 three ranks away 3, g7 four away free.
        {"storm two and three ranks away", "k7/6p1/7p/5p2/8/6K1/8/8 w - - 0 1", WHITE, -55},
        // King a3: open files -42; b4 costs 11, h4 on the far side of the board nothing.
        {"storm window stops at the board edge", "7k/8/8/8/1p5p/K7/8/8 w - - 0 1", WHITE, -53},
    };
    for (const auto& c : cases) {
        const Position pos = from_fen(c.fen);
        PawnHash::Entry e{};
        PawnHash::probe(pos, e);
        EXPECT_EQ(PawnHash::king_shelter_score(pos, e, c.side), c.score) << c.what;
        EXPECT_TRUE(e.shelterValid[c.side]);
        EXPECT_FALSE(e.shelterValid[~c.side]);
    }
}

TEST(KingShelter, CacheKeyedOnKingSquareAndCastling) {
    Position pos = from_fen("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1");
    PawnHash::Entry e{};
    PawnHash::probe(pos, e);
    const int v = PawnHash::king_shelter_score(pos, e, WHITE);
    e.shelterScore[WHITE] = 999;  // a cached value is returned as stored
    EXPECT_EQ(PawnHash::king_shelter_score(pos, e, WHITE), 999);
    pos.castling_rights = CASTLE_BLACK_KING | CASTLE_BLACK_QUEEN;
    EXPECT_EQ(PawnHash::king_shelter_score(pos, e, WHITE), v);  // recomputed
    EXPECT_EQ(e.shelterCastling[WHITE], static_cast<int>(pos.castling_rights));
    // A refill for another pawn structure drops the cache.
    const Position other = from_fen("r3k2r/pppppppp/8/8/4P3/8/PPPP1PPP/R3K2R w KQkq - 0 1");
    PawnHash::probe(other, e);
    EXPECT_FALSE(e.shelterValid[WHITE]);
}

// The shelter rule walked square by square, as the rule is worded: base by
// the king's home-rank file, per window file the nearest own pawn up to three
// ranks ahead and the file's pawns, and enemy pawns one to three ranks away.
int shelter_model(const Position& pos, Color c) {
    const int k = pos.king_square[c];
    const Bitboard own = pos.pieces[6 * c], enemy = pos.pieces[6 * ~c];
    const int kf = k % 8, kr = k / 8, dir = c == WHITE ? 1 : -1;
    int score = 0;
    if (kr == (c == WHITE ? 0 : 7)) score = (kf == 3 || kf == 4) ? -13 : kf == 5 ? 0 : 13;
    for (int f = kf - 1; f <= kf + 1; ++f) {
        if (f < 0 || f > 7) continue;
        const bool kingFile = f == kf;
        int found = 0;
        for (int d = 3; d >= 1; --d) {
            const int r = kr + dir * d;
            if (r >= 0 && r <= 7 && (own & square_bb(8 * r + f))) found = d;
        }
        score += found == 1 ? 15 : found == 2 ? 7 : found == 3 ? 2 : kingFile ? -15 : -9;
        bool ownOnFile = false, enemyOnFile = false;
        for (int r = 0; r < 8; ++r) {
            ownOnFile |= (own & square_bb(8 * r + f)) != 0;
            enemyOnFile |= (enemy & square_bb(8 * r + f)) != 0;
        }
        if (!ownOnFile) score += enemyOnFile ? (kingFile ? -6 : -3) : (kingFile ? -15 : -10);
    }
    for (int s = 0; s < 64; ++s) {
        const int df = std::abs(s % 8 - kf), dr = std::abs(s / 8 - kr);
        if ((enemy & square_bb(s)) && df <= 1 && dr >= 1 && dr <= 3) score -= dr == 1 ? 11 : dr == 2 ? 7 : 3;
    }
    return score;
}

// Random pawns, the white king on every free square and the black king on a
// random one: the table's score equals the model for both colours.
TEST(KingShelter, MatchesTheRuleOverRandomPawnsAndEveryKingSquare) {
    vwtest::init_tables();
    Xorshift next{0x9E3779B97F4A7C15ULL};
    for (int round = 0; round < 40; ++round) {
        const auto [white, black] = next.pawns();
        for (int wk = 0; wk < 64; ++wk) {
            if ((white | black) & square_bb(wk)) continue;
            const int bk = static_cast<int>(next() % 64);
            if (bk == wk || ((white | black) & square_bb(bk))) continue;
            Position pos;
            for (Bitboard b = white; b;) pos.set_piece_at_square(PAWN, pop_lsb(b));
            for (Bitboard b = black; b;) pos.set_piece_at_square(6 + PAWN, pop_lsb(b));
            pos.set_piece_at_square(KING, wk);
            pos.set_piece_at_square(6 + KING, bk);
            PawnHash::Entry e{};
            PawnHash::probe(pos, e);
            for (Color c : {WHITE, BLACK})
                ASSERT_EQ(PawnHash::king_shelter_score(pos, e, c), shelter_model(pos, c))
                    << "colour " << c << " kings " << wk << " " << bk << " pawns " << white << " " << black;
        }
    }
}

TEST(KingShelter, NoKingScoresZero) {
    vwtest::init_tables();
    Position pos;
    pos.set_piece_at_square(6, vwtest::sq("g2"));
    PawnHash::Entry e{};
    PawnHash::probe(pos, e);
    EXPECT_EQ(PawnHash::king_shelter_score(pos, e, WHITE), 0);
    EXPECT_TRUE(e.shelterValid[WHITE]);
    EXPECT_EQ(e.shelterKingSq[WHITE], NO_SQUARE);
}

}  // namespace
