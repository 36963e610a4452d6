// Evaluation tests: constant tables, worked term values (hand-computed), the
// phase blend, endgame scale, lazy window, side-to-move symmetry, the trace
// format and the per-thread trace / private pawn entry used off the search thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "eval/eval.h"
#include "tests/test_util.h"

namespace {

using vwtest::from_fen;

const char* const STEP_NAMES[12] = {"pawnhash", "pieces", "bishoppair", "queensyn", "imbalance", "passers",
                                    "threats",  "king",   "kingact",    "space",    "initiative", "scale"};

// Middlegames, endgames, promotions and odd material, both sides to move.
const std::vector<const char*> VARIED = vwtest::perft_positions_then({
    vwtest::QUEEN_RAID,
    vwtest::EXPOSED_KING,
    vwtest::ROOK_UP,
    "8/8/4k3/8/2p5/8/B2K4/8 w - - 0 1",
    "2b1k3/pppp4/8/8/8/8/PPPP4/2B1K3 w - - 0 1",
    "rqqqk3/8/8/8/8/8/8/RQQQK2Q w - - 0 1",
    "4k3/8/8/8/8/8/8/4K3 w - - 0 1",
    vwtest::PAWNS_ONLY,
    vwtest::OPPOSITE_CASTLING,
    vwtest::OPPOSITE_BISHOPS,
    "1k6/1P6/8/8/8/8/6p1/6K1 w - - 0 1",
    "4k3/8/8/3qQ3/8/8/8/4K3 b - - 0 1",
});

struct TraceLine {
    std::string name;
    int mg, eg, dmg, deg;
};
struct Trace {
    std::vector<TraceLine> lines;
    std::string fullWord;
    int full = 0;
    size_t lineCount = 0;
};

Trace parse_trace(const std::string& text) {
    Trace t;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        ++t.lineCount;
        std::istringstream ls(line);
        std::string tag, name;
        ls >> tag >> name;
        EXPECT_EQ(tag, "evaltrace") << line;
        if (name == "full") {
            t.fullWord = name;
            ls >> t.full;
            continue;
        }
        TraceLine tl{name, 0, 0, 0, 0};
        std::string k1, k2, k3, k4;
        ls >> k1 >> tl.mg >> k2 >> tl.eg >> k3 >> tl.dmg >> k4 >> tl.deg;
        EXPECT_TRUE(k1 == "mg" && k2 == "eg" && k3 == "dmg" && k4 == "deg") << line;
        t.lines.push_back(tl);
    }
    return t;
}

Trace trace_of(const std::string& fen) { return parse_trace(evaluate_trace_string(from_fen(fen))); }

const TraceLine& line_named(const Trace& t, const std::string& name) {
    for (const auto& l : t.lines)
        if (l.name == name) return l;
    static const TraceLine none{"", 0, 0, 0, 0};
    ADD_FAILURE() << "no trace line " << name;
    return none;
}

int phase_of(const Position& pos) {
    int ph = 0;
    for (int c = 0; c < 2; ++c)
        for (int t = KNIGHT; t <= QUEEN; ++t) ph += PHASE_VALUE[t] * pos.piece_count[6 * c + t];
    return std::min(ph, 24);
}

template <size_t N>
std::pair<long, long> checksum(const int (&table)[N]) {
    long sum = 0, weighted = 0;
    for (size_t i = 0; i < N; ++i) {
        sum += table[i];
        weighted += static_cast<long>(i) * table[i];
    }
    return {sum, weighted};
}

// ---------------------------------------------------------------------------
// Constant tables
// ---------------------------------------------------------------------------
TEST(EvalTables, Checksums) {
    struct Case {
        const char* name;
        std::pair<long, long> got;
        long sum, weighted;
    };
    const Case cases[] = {
        {"MG pawn", checksum(MG_PST[PAWN]), 670, 30905},       {"MG knight", checksum(MG_PST[KNIGHT]), -810, -25795},
        {"MG bishop", checksum(MG_PST[BISHOP]), -140, -3850},  {"MG rook", checksum(MG_PST[ROOK]), 50, 2335},
        {"MG queen", checksum(MG_PST[QUEEN]), -185, -5685},    {"MG king", checksum(MG_PST[KING]), -1460, -23190},
        {"EG pawn", checksum(EG_PST[PAWN]), 470, 20765},       {"EG knight", checksum(EG_PST[KNIGHT]), -80, -2520},
        {"EG bishop", checksum(EG_PST[BISHOP]), 50, 2095},     {"EG rook", checksum(EG_PST[ROOK]), 90, 4395},
        {"EG queen", checksum(EG_PST[QUEEN]), -65, -1905},     {"EG king", checksum(EG_PST[KING]), -640, -20160},
        {"knight mob mg", checksum(KNIGHT_MOBILITY_MG), 15, 460}, {"knight mob eg", checksum(KNIGHT_MOBILITY_EG), 35, 440},
        {"bishop mob mg", checksum(BISHOP_MOBILITY_MG), 170, 2275}, {"bishop mob eg", checksum(BISHOP_MOBILITY_EG), 240, 2730},
        {"rook mob mg", checksum(ROOK_MOBILITY_MG), 295, 3500},   {"rook mob eg", checksum(ROOK_MOBILITY_EG), 375, 4025},
        {"queen mob mg", checksum(QUEEN_MOBILITY_MG), 635, 12345}, {"queen mob eg", checksum(QUEEN_MOBILITY_EG), 697, 13104},
        {"king ring weight", checksum(KING_RING_ATTACKER_WEIGHT), 48, 130},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got.first, c.sum) << c.name;
        EXPECT_EQ(c.got.second, c.weighted) << c.name;
    }
}

// A few entries by square name: the tables are written rank 8 first but read
// with a1 as index 0. (Black's reading them mirrored shows in the symmetry
// tests below.)
TEST(EvalTables, SpotValues) {
    EXPECT_EQ(MG_PST[KING][vwtest::sq("g1")], -40);
    EXPECT_EQ(MG_PST[ROOK][vwtest::sq("a7")], 5);
    EXPECT_EQ(EG_PST[ROOK][vwtest::sq("a7")], 10);
    EXPECT_EQ(MG_PST[QUEEN][vwtest::sq("a5")], 0);  // the one asymmetric queen row
    EXPECT_EQ(MG_PST[QUEEN][vwtest::sq("h5")], -5);
}

// ---------------------------------------------------------------------------
// Known evaluations of fixed positions, with a fresh pawn table.
// ---------------------------------------------------------------------------
TEST(EvalReference, StartPosition) {
    PawnHash::init(1);
    Position w = from_fen(vwtest::START);
    Position b = from_fen("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(evaluate(w), -41);
    EXPECT_EQ(evaluate(b), 55);
    EXPECT_EQ(evaluate_diagnostic(w), -41);
    EXPECT_EQ(evaluate_diagnostic(b), 55);
}

TEST(EvalReference, KingAndThreePawnsTrace) {
    const Trace t = trace_of("k7/8/8/8/8/8/5PPP/6K1 w - - 0 1");
    const int expected[12][2] = {{334, 391}, {324, 401}, {324, 401}, {324, 401}, {324, 401}, {387, 575},
                                 {387, 575}, {481, 575}, {481, 660}, {481, 660}, {481, 681}, {481, 627}};
    ASSERT_EQ(t.lines.size(), 12u);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(t.lines[i].name, STEP_NAMES[i]);
        EXPECT_EQ(t.lines[i].mg, expected[i][0]) << STEP_NAMES[i];
        EXPECT_EQ(t.lines[i].eg, expected[i][1]) << STEP_NAMES[i];
    }
    EXPECT_EQ(t.full, 634);
}

// ---------------------------------------------------------------------------
// Worked term values: the change one step makes, computed by hand.
// ---------------------------------------------------------------------------
struct StepCase {
    const char* what;
    const char* fen;
    const char* step;
    int dmg, deg;
};

void check_steps(const std::vector<StepCase>& cases) {
    for (const auto& c : cases) {
        const Trace t = trace_of(c.fen);
        const TraceLine& l = line_named(t, c.step);
        EXPECT_EQ(l.dmg, c.dmg) << c.what << " (" << c.fen << ")";
        EXPECT_EQ(l.deg, c.deg) << c.what << " (" << c.fen << ")";
    }
}

TEST(EvalPieceTerms, WorkedPositions) {
    check_steps({
        // Knight d5 on an outpost (25, 11) with full mobility; kings' tables cancel.
        {"knight outpost d5", "7k/8/8/3N4/4P3/8/8/K7 w - - 0 1", "pieces", 390, 361},
        {"knight outpost b5 (cd 2)", "7k/8/8/1N6/2P5/8/8/K7 w - - 0 1", "pieces", 357, 341},
        {"knight a5: no outpost on file a", "7k/8/8/N7/1P6/8/8/K7 w - - 0 1", "pieces", 295, 295},
        // Bishop c1: five own pawns on its colour (-4, -4), mobility 0, pawn in front (5, 11).
        {"bishop with five pawns on its colour", "7k/8/8/8/8/P3PPPP/1PPP4/2B4K w - - 0 1", "pieces", 296, 302},
        // Rook a1, king g1, mobility 2: trapped (-21, -8); passer ahead on its file (8, 16).
        {"trapped rook", "7k/8/8/8/8/8/P7/R2N2K1 w - - 0 1", "pieces", 767, 834},
        {"rook with mobility 3 is not trapped", "7k/8/8/8/8/8/P7/R3N1K1 w - - 0 1", "pieces", 793, 848},
        // Rook a1 with mobility 0 (king b1) or 1 (king c1): one file from the king it is free, two
        // files away trapped. Against b1: trapped (-21, -8), mobility (10, 5), king table (0, 10),
        // knight d1 one square nearer its king (0, 1).
        {"rook beside its king is not trapped", "7k/8/8/8/8/8/P7/RK1N4 w - - 0 1", "pieces", 773, 833},
        {"rook two files from its king is trapped", "7k/8/8/8/8/8/P7/R1KN4 w - - 0 1", "pieces", 762, 841},
        // Bishop b2 blocked by its own knight still sees d4 and e5 through pawns-only lines: (15, 9).
        {"bishop centre control ignores pieces", "7k/8/8/8/8/2N5/1B6/7K w - - 0 1", "pieces", 695, 669},
        // Rook e1, only an enemy pawn on its file (13, 7), that pawn passed and ahead (8, 16).
        {"rook on a half-open file", "k7/8/4p3/8/8/8/8/4R2K w - - 0 1", "pieces", 571, 598},
        {"two queens and a knight", "4k3/8/8/8/8/8/8/QQN1K3 w - - 0 1", "queensyn", 14, 4},
        {"black queen and two bishops", "2b1kb2/8/8/3q4/8/8/8/4K3 w - - 0 1", "queensyn", -6, -4},
        {"exchange for bishop and pawn (black pays)", "r1b1k3/pppp4/8/8/8/8/PPP5/R3K2R w - - 0 1", "imbalance", 68, 44},
        {"knight for one pawn (white pays)", "4k3/pppn4/8/8/8/8/PPPP4/4K3 w - - 0 1", "imbalance", -42, -26},
        {"bishop pair, open board", "4k3/8/8/8/8/8/8/2B1KB2 w - - 0 1", "bishoppair", 39, 44},
        {"three bishops count once", "4k3/8/8/8/8/8/8/1BB1KB2 w - - 0 1", "bishoppair", 39, 44},
        {"bishop pair against more minors", "1nn1k1n1/8/8/8/8/8/8/2B1KB2 w - - 0 1", "bishoppair", 20, 29},
        {"start position space", vwtest::START, "space", -48, 0},
        // Two minors: w 2; 13 squares counted, d3 and d4 twice for the d2 pawn behind them.
        {"space with a pawn behind", "1n2k3/8/8/8/8/8/3P4/1NB1K3 w - - 0 1", "space", 78, 0},
        // Blocked 6 (d4/d5 rammed), openness 2, centre breaks 4: (18, 30).
        {"bishop pair in a closed centre", "4k3/8/8/3p4/3PP3/8/2P5/2B1KB2 w - - 0 1", "bishoppair", 18, 30},
        // Black breaks: d6 and e5 with free stops (2 + 2), e5 can take d4 (1); openness 4: (38, 41).
        {"black bishop pair with central breaks", "2b1kb2/8/3p4/4p3/3P4/8/8/4K3 b - - 0 1", "bishoppair", -38, -41},
        // e6 is too far advanced and b4 off the centre files to be breaks; openness 6: (34, 40).
        {"no breaks from e6 or b4", "4k3/8/2p1P3/8/1P6/8/8/2B1KB2 w - - 0 1", "bishoppair", 34, 40},
        // Four pawns on each of files a, b, g and h, all blocked: 16 points held at 12; openness 8:
        // mgB 16 -> 17, egB 32 (an uncapped count would give 28).
        {"blocked count capped at 12", "4k3/pp4pp/pp4pp/PP4PP/PP4PP/8/8/2B1KB2 w - - 0 1", "bishoppair", 17, 32},
    });
}

TEST(EvalPasserThreatKingTerms, WorkedPositions) {
    check_steps({
        // e6: 110 / 230 as worked; d5 (rr 4, connected, free path): 65 / 134.
        {"passer e6 with d5", "8/8/4P3/3P4/8/8/8/K6k w - - 0 1", "passers", 175, 364},
        {"passer e6 with e7 attacked by own rook", "8/R7/4P3/3P4/8/8/8/K6k w - - 0 1", "passers", 179, 372},
        {"stop square occupied", "4k3/8/8/8/8/4n3/4P3/K7 w - - 0 1", "passers", -6, -6},
        {"enemy king next to the stop square", "8/3kP3/8/8/8/8/8/K7 w - - 0 1", "passers", 88, 179},
        // e7 attacked by both rooks: the path stays free (+25, +40), e7 own-controlled (+4, +8).
        {"contested path counts as free", "8/R6r/4P3/8/8/8/8/K6k w - - 0 1", "passers", 85, 184},
        // Undefended knight on d5 under the rook: rook threat (2, 1) and hanging (19, 11).
        {"rook hits a hanging knight", "7k/8/8/3n4/8/8/8/K2R4 w - - 0 1", "threats", 21, 12},
        // White: minor threat (14, 7), hanging (19, 11) queen (95, 60), 3 contested; black: hanging bishop, 3 contested.
        {"bishop hits a hanging queen", "7k/5q2/8/8/8/1B6/8/K7 w - - 0 1", "threats", 109, 67},
        // Safe d4 pawn hits e5 (29, 18), its push to d5 would hit c6 (11, 7), e5 hangs (19, 11).
        {"pawn and push threats", "7k/8/2b5/4n3/3P4/8/8/K7 w - - 0 1", "threats", 59, 36},
        // Black queens on h5 and b8: only h5 (lower square) is the target; b8 would add (9, 5).
        {"lowest-numbered queen", "1q5k/8/8/7q/3N4/8/8/K7 w - - 0 1", "threats", -2, -1},
        // f7 attacked by knight and queen before an uncastled king: 112, plus pressure and safety.
        {"f7 attack on king e8", "4k3/5p2/8/6NQ/8/8/8/7K w - - 0 1", "king", 157, 0},
        // No enemy queen, raw danger 45 -> 30 -> penalty 0: shelter 51 stands.
        {"king danger 30", "k7/8/8/8/5r2/5p2/5PPP/6K1 b - - 0 1", "king", 86, 0},
        // Enemy queen, danger 31 -> penalty 1: shelter 58 becomes 57.
        {"king danger 31", "k7/8/8/8/8/4p3/5PPP/q1n3K1 b - - 0 1", "king", 88, 0},
        // The h-file king's zone reaches f2, which the knight hits: danger 48 -> 32 -> 1.
        {"king zone widened on the h-file", "k7/8/8/8/8/3n4/6PP/7K w - - 0 1", "king", 78, 0},
        // The same board mirrored file by file: on the a-file the zone reaches c2.
        {"king zone widened on the a-file", "7k/8/8/8/8/4n3/PP6/K7 w - - 0 1", "king", 78, 0},
        {"lone king e4 (30) against king a1 (0)", "8/8/8/8/4K3/8/8/k7 w - - 0 1", "kingact", 0, 30},
        // Passer a2 seven squares from its king: no proximity bonus, but the king race
        // (enemy king 6 away, own 7) still counts: 2 * (6 - 7).
        {"king race of a distant passer", "k7/8/8/8/8/8/P7/7K w - - 0 1", "kingact", 0, -2},
        {"initiative of three passers on one flank", "k7/8/8/8/8/8/5PPP/6K1 w - - 0 1", "initiative", 0, 21},
        // King e4: the nearest enemy pawn is f6 (2 away), not a2 (4 away, lower square): 5 * (12 - 2) = 50;
        // black's passers a2 and f6, both out of its king's reach, each lose 2 * 3 in the race: 50 + 12.
        {"nearest enemy pawn, not the first", "8/8/5p2/8/4K3/8/p7/7k w - - 0 1", "kingact", 0, 62},
        // King a1 (cd 6) and pawn f6 five moves away: 5 * (12 - 5 - 6) = 5; black's passer f6 next to
        // its king h8: 12 + 2 * 3.
        {"enemy pawn five king moves away", "7k/8/5p2/8/8/8/8/K7 w - - 0 1", "kingact", 0, 5 - 18},
        // Pawn g7 six moves from a1: out of range, white keeps 0; black: 16 + 2 * 5.
        {"enemy pawn six king moves away", "7k/6p1/8/8/8/8/8/K7 w - - 0 1", "kingact", 0, -26},
        // King e4 next to the pawn d5: 5 * (12 - 1) = 55; black's passer d5, four moves from its
        // king a1 and one from white's: 4 + 2 * (1 - 4) = -2.
        {"enemy pawn next to the king", "8/8/8/3p4/4K3/8/8/k7 w - - 0 1", "kingact", 0, 57},
    });
}

// ---------------------------------------------------------------------------
// Blend, phase clamp and endgame scale.
// ---------------------------------------------------------------------------
TEST(EvalBlend, FullValueIsTheTruncatedPhaseBlend) {
    for (const auto& fen : VARIED) {
        Position pos = from_fen(fen);
        for (int side = 0; side < 2; ++side) {
            pos.side = side;
            const Trace t = parse_trace(evaluate_trace_string(pos));
            ASSERT_EQ(t.lines.size(), 12u);
            const TraceLine& s = t.lines[11];
            const int ph = phase_of(pos);
            const int v = ((24 - ph) * s.eg + ph * s.mg) / 24;  // C++ division truncates towards zero
            EXPECT_EQ(t.full, (side == WHITE ? v : -v) + 7) << fen;
        }
    }
}

TEST(EvalBlend, PhaseIsClampedAt24) {
    // Seven queens and two rooks: phase sum 32, held at 24, so only mg counts.
    const Trace t = trace_of("rqqqk3/8/8/8/8/8/8/RQQQK2Q w - - 0 1");
    ASSERT_NE(t.lines[11].mg, t.lines[11].eg);
    EXPECT_EQ(t.full, t.lines[11].mg + 7);
    const Trace p = trace_of("k7/8/8/8/8/8/5PPP/6K1 b - - 0 1");  // phase 0: only the scaled eg counts
    EXPECT_EQ(p.full, -p.lines[11].eg + 7);
}

// At the full phase the endgame-only steps change eg but not the score: the
// traced evaluation, which runs every step, and the search's, which skips
// them there, agree, also with the shared pawn table.
TEST(EvalBlend, FullPhaseScoreIgnoresTheEndgameSteps) {
    int endgameStepsMoved = 0;
    for (const char* fen : {vwtest::START, vwtest::KIWIPETE, vwtest::QUEEN_RAID, vwtest::MIDDLEGAME,
                            "r1bq1rk1/pppp1ppp/2n2n2/2b1p3/2B1P3/2N2N2/PPPP1PPP/R1BQK2R w KQ - 6 6",
                            "rqqqk3/8/8/8/8/8/8/RQQQK2Q w - - 0 1"}) {
        const Position pos = from_fen(fen);
        ASSERT_EQ(phase_of(pos), 24) << fen;
        const Trace t = trace_of(fen);
        for (const char* step : {"kingact", "initiative", "scale"}) endgameStepsMoved += line_named(t, step).deg != 0;
        EXPECT_EQ(t.full, evaluate_diagnostic(pos)) << fen;
        PawnHash::clear();
        EXPECT_EQ(t.full, evaluate(pos)) << fen;
        EXPECT_EQ(t.full, evaluate_result(pos, t.full - 1, t.full + 1).score) << fen;
    }
    EXPECT_GE(endgameStepsMoved, 3);  // the skipped steps do move eg in these positions
    for (const char* fen : VARIED) {  // below the full phase every step counts
        const Position pos = from_fen(fen);
        PawnHash::clear();
        EXPECT_EQ(trace_of(fen).full, evaluate(pos)) << fen;
    }
}

TEST(EvalBlend, EndgameScale) {
    struct Case {
        const char* what;
        const char* fen;
        int scale;
    };
    const Case cases[] = {
        {"opposite bishops, four pawns each", "2b1k3/pppp4/8/8/8/8/PPPP4/2B1K3 w - - 0 1", 80},
        {"bishops on one colour", "4kb2/pppp4/8/8/8/8/PPPP4/2B1K3 w - - 0 1", 128},
        {"one pawn against none: 98 clamped to 72", "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1", 72},
        {"two pawns against none: 108 kept", "4k3/8/8/8/8/8/3PP3/4K3 w - - 0 1", 108},
        {"three pawns against two", "4k3/pp6/8/8/8/8/PPP5/4K3 w - - 0 1", 118},
        {"opposite bishops, one pawn against none: 50", "2b1k3/8/8/8/8/8/4P3/2B1K3 w - - 0 1", 50},
        {"black strong with one pawn: 72", "4k3/4p3/8/8/8/8/8/4K3 w - - 0 1", 72},
        {"black strong, opposite bishops, one pawn", "2b1k3/4p3/8/8/8/8/8/2B1K3 w - - 0 1", 50},
    };
    bool sawNegativeTruncation = false;
    for (const auto& c : cases) {
        const Trace t = trace_of(c.fen);
        const int e = t.lines[10].eg, s = t.lines[11].eg;
        EXPECT_EQ(s, e * c.scale / 128) << c.what;
        EXPECT_EQ(t.lines[11].mg, t.lines[10].mg) << c.what;
        if (e < 0 && (e * c.scale) % 128 != 0) {
            sawNegativeTruncation = true;
            EXPECT_EQ(s, -((-e * c.scale) / 128)) << c.what << ": truncation towards zero";
        }
    }
    EXPECT_TRUE(sawNegativeTruncation);
}

// ---------------------------------------------------------------------------
// Lazy estimate and side-to-move symmetry.
// ---------------------------------------------------------------------------
TEST(EvalLazy, WorkedValue) {
    // Pawn entry (334, 391), kings g1 (-40, -40) and a8 (-30, -50): (324, 401) at phase 0.
    const EvalResult r = evaluate_result(from_fen("k7/8/8/8/8/8/5PPP/6K1 w - - 0 1"), -SCORE_INFINITE, -SCORE_INFINITE);
    EXPECT_FALSE(r.full);
    EXPECT_EQ(r.score, 408);
}

// The lazy estimate against the pawn entry plus every other piece's value and
// square-table entry, summed here one by one, blended by the clamped phase.
TEST(EvalLazy, MatchesTheTableSumsOverVariedPositions) {
    std::vector<const char*> fens = VARIED;
    fens.push_back("rqqqk3/qqqqqqqq/8/8/8/8/8/4K3 w - - 0 1");  // far behind: large negative sums
    fens.push_back("4k3/8/8/8/8/8/8/QQQQK2Q w - - 0 1");
    // Forty queens: sums beyond 16 bits.
    fens.push_back("QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/QQQQQQQQ/8/8/k6K b - - 0 1");
    fens.push_back("K6k/8/8/qqqqqqqq/qqqqqqqq/qqqqqqqq/qqqqqqqq/qqqqqqqq w - - 0 1");
    for (const auto& fen : fens) {
        const Position pos = from_fen(fen);
        PawnHash::Entry entry{};
        PawnHash::probe(pos, entry);
        int mg = entry.mg, eg = entry.eg;
        for (int c = WHITE; c <= BLACK; ++c)
            for (int t = KNIGHT; t <= KING; ++t)
                for (Bitboard b = pos.pieces[6 * c + t]; b;) {
                    const int s = pop_lsb(b), idx = c == WHITE ? s : s ^ 56, sign = c == WHITE ? 1 : -1;
                    mg += sign * (MG_VALUE[t] + MG_PST[t][idx]);
                    eg += sign * (EG_VALUE[t] + EG_PST[t][idx]);
                }
        const int phase = phase_of(pos);
        const int v = ((24 - phase) * eg + phase * mg) / 24;
        const int expected = (pos.side == WHITE ? v : -v) + 7;
        const EvalResult r = evaluate_result(pos, SCORE_INFINITE, SCORE_INFINITE);
        EXPECT_FALSE(r.full) << fen;
        EXPECT_EQ(r.score, expected) << fen;
    }
}

TEST(EvalLazy, UsedExactlyBeyond599) {
    for (const auto& fen : VARIED) {
        const Position pos = from_fen(fen);
        const int full = evaluate(pos);
        const EvalResult far = evaluate_result(pos, -SCORE_INFINITE, -SCORE_INFINITE);
        ASSERT_FALSE(far.full) << fen;
        const int lazy = far.score;
        struct Window {
            int alpha, beta;
            bool full;
        };
        const Window windows[] = {
            {lazy - 1000, lazy - 599, true},  {lazy - 1000, lazy - 600, false},
            {lazy + 599, lazy + 1000, true},  {lazy + 600, lazy + 1000, false},
            {-SCORE_INFINITE, SCORE_INFINITE, true}, {lazy, lazy, true},
        };
        for (const auto& w : windows) {
            const EvalResult r = evaluate_result(pos, w.alpha, w.beta);
            EXPECT_EQ(r.full, w.full) << fen << " window " << w.alpha << " " << w.beta;
            EXPECT_EQ(r.score, w.full ? full : lazy) << fen;
            const EvalResult same = evaluate(pos, w.alpha, w.beta);
            EXPECT_EQ(same.score, r.score);
            EXPECT_EQ(same.full, r.full);
        }
    }
}

TEST(EvalSymmetry, SideToMoveOnlyFlipsSignAroundTempo) {
    for (const auto& fen : VARIED) {
        Position w = from_fen(fen);
        w.side = WHITE;
        Position b = w;
        b.side = BLACK;
        EXPECT_EQ(evaluate(w) + evaluate(b), 14) << fen;
        const int lw = evaluate_result(w, -SCORE_INFINITE, -SCORE_INFINITE).score;
        const int lb = evaluate_result(b, SCORE_INFINITE, SCORE_INFINITE).score;
        EXPECT_EQ(lw + lb, 14) << fen;
    }
}

// The position with the board turned over and the colours swapped: ranks in
// reverse order, piece letters in the other case, the other side to move.
std::string mirrored_fen(const std::string& fen) {
    std::istringstream in(fen);
    std::string board, side, castling, ep, rest;
    in >> board >> side >> castling >> ep;
    std::getline(in, rest);
    auto swap_case = [](std::string s) {
        for (char& ch : s) ch = std::isupper(static_cast<unsigned char>(ch)) ? std::tolower(ch) : std::toupper(ch);
        return s;
    };
    std::vector<std::string> ranks;
    std::istringstream rs(board);
    for (std::string r; std::getline(rs, r, '/');) ranks.insert(ranks.begin(), swap_case(r));
    std::string out;
    for (const auto& r : ranks) out += (out.empty() ? "" : "/") + r;
    if (ep != "-") ep[1] = ep[1] == '3' ? '6' : '3';
    return out + (side == "w" ? " b " : " w ") + (castling == "-" ? castling : swap_case(castling)) + " " + ep + rest;
}

// Every step but space treats the colours alike (the space squares are not
// mirror images): turning the board over negates each step's change.
TEST(EvalSymmetry, MirroredColoursNegateEveryStepButSpace) {
    std::vector<const char*> fens = VARIED;
    for (const char* f : {"7k/8/8/3N4/4P3/8/8/K7 w - - 0 1", "k7/8/2N5/3P4/8/8/8/7K w - - 0 1",
                          "7k/8/8/8/8/P3PPPP/1PPP4/2B4K w - - 0 1",
                          "7k/8/8/8/8/8/P7/R2N2K1 w - - 0 1", "7k/8/8/8/8/8/P7/R1KN4 w - - 0 1",
                          "k7/8/4p3/8/8/8/8/4R2K w - - 0 1",
                          "4k3/8/8/3p4/3PP3/8/2P5/2B1KB2 w - - 0 1", "8/R6r/4P3/8/8/8/8/K6k w - - 0 1",
                          "7k/8/2b5/4n3/3P4/8/8/K7 w - - 0 1", "4k3/5p2/8/6NQ/8/8/8/7K w - - 0 1",
                          "k7/8/8/8/8/3n4/6PP/7K w - - 0 1", vwtest::KING_ATTACK, vwtest::KNIGHT_ENDGAME})
        fens.push_back(f);
    for (const char* fen : fens) {
        const std::string flipped = mirrored_fen(fen);
        const Trace a = trace_of(fen), b = trace_of(flipped);
        ASSERT_EQ(a.lines.size(), 12u);
        ASSERT_EQ(b.lines.size(), 12u);
        for (int i = 0; i < 12; ++i) {
            if (a.lines[i].name == "space") continue;
            EXPECT_EQ(b.lines[i].dmg, -a.lines[i].dmg) << a.lines[i].name << ": " << fen << " / " << flipped;
            EXPECT_EQ(b.lines[i].deg, -a.lines[i].deg) << a.lines[i].name << ": " << fen << " / " << flipped;
        }
    }
}

TEST(EvalEntryPoints, FreshSharedTableAgreesWithPrivateEntry) {
    for (const auto& fen : VARIED) {
        const Position pos = from_fen(fen);
        PawnHash::clear();
        const int shared = evaluate(pos);
        EXPECT_EQ(evaluate_diagnostic(pos), shared) << fen;
        PawnHash::Entry mine{};
        EXPECT_EQ(evaluate(pos, mine), shared) << fen;
        EXPECT_EQ(evaluate(pos, mine), shared) << fen;  // reused entry: same value
    }
}

TEST(EvalEntryPoints, PositionsWithoutKings) {
    Position pos;
    vwtest::init_tables();
    pos.set_piece_at_square(0, vwtest::sq("e4"));
    pos.set_piece_at_square(6 + QUEEN, vwtest::sq("d8"));
    const Trace t = parse_trace(evaluate_trace_string(pos));
    EXPECT_EQ(t.lines.size(), 12u);
    EXPECT_EQ(t.full, evaluate_diagnostic(pos));
}

// ---------------------------------------------------------------------------
// Trace format and per-thread state.
// ---------------------------------------------------------------------------
TEST(EvalTrace, FormatOverVariedPositions) {
    for (const auto& fen : VARIED) {
        const Position pos = from_fen(fen);
        const std::string text = evaluate_trace_string(pos);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
        EXPECT_EQ(text.find("  "), std::string::npos);
        EXPECT_EQ(text.find('+'), std::string::npos);
        const Trace t = parse_trace(text);
        EXPECT_EQ(t.lineCount, 13u) << fen;
        ASSERT_EQ(t.lines.size(), 12u) << fen;
        EXPECT_EQ(t.fullWord, "full");
        int sumM = 0, sumE = 0;
        for (int i = 0; i < 12; ++i) {
            const TraceLine& l = t.lines[i];
            EXPECT_EQ(l.name, STEP_NAMES[i]) << fen;
            const int pm = i ? t.lines[i - 1].mg : 0, pe = i ? t.lines[i - 1].eg : 0;
            EXPECT_EQ(l.dmg, l.mg - pm) << fen << " " << l.name;
            EXPECT_EQ(l.deg, l.eg - pe) << fen << " " << l.name;
            sumM += l.dmg;
            sumE += l.deg;
        }
        EXPECT_EQ(sumM, t.lines[11].mg) << fen;
        EXPECT_EQ(sumE, t.lines[11].eg) << fen;
        EXPECT_EQ(line_named(t, "king").deg, 0) << fen;
        EXPECT_EQ(line_named(t, "space").deg, 0) << fen;
        EXPECT_EQ(line_named(t, "kingact").dmg, 0) << fen;
        EXPECT_EQ(line_named(t, "initiative").dmg, 0) << fen;
        EXPECT_EQ(t.full, evaluate_diagnostic(pos)) << fen;
        EXPECT_FALSE(g_evalTraceOn);
        EXPECT_EQ(g_evalTraceN, 12);
    }
}

// A diagnostic trace beside a thread that evaluates without pause, as the
// search does: every trace comes out exactly as when taken alone, and every
// evaluation of the other thread as it would alone.
TEST(EvalTrace, TracesBesideAnEvaluatingThreadAreUndisturbed) {
    PawnHash::init(1);
    std::vector<Position> positions;
    std::vector<std::string> traces;
    std::vector<int> scores;
    for (const auto& fen : VARIED) positions.push_back(from_fen(fen));
    for (const auto& p : positions) evaluate(p);  // fill the shared pawn table first
    for (const auto& p : positions) {
        traces.push_back(evaluate_trace_string(p));
        scores.push_back(evaluate(p));
    }
    std::atomic<bool> stop{false};
    std::atomic<long> evaluations{0}, wrongScores{0};
    std::thread worker([&] {
        while (!stop.load()) {
            for (size_t i = 0; i < positions.size(); ++i) {
                wrongScores += evaluate(positions[i]) != scores[i];
                evaluate_result(positions[i], -50, 50);
                evaluations.fetch_add(1);
            }
        }
    });
    while (evaluations.load() == 0) std::this_thread::yield();
    int wrongTraces = 0;
    for (int round = 0; round < 20; ++round)
        for (size_t i = 0; i < positions.size(); ++i) wrongTraces += evaluate_trace_string(positions[i]) != traces[i];
    stop = true;
    worker.join();
    EXPECT_EQ(wrongTraces, 0);
    EXPECT_EQ(wrongScores.load(), 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Branch-free and packed forms against the plainly written rules.
// ---------------------------------------------------------------------------
namespace {

// Reproducible random numbers for the model tests (splitmix64).
struct Random {
    uint64_t state;
    uint64_t operator()() {
        uint64_t z = state += 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
};

// Random terms of both signs, added, subtracted and multiplied by counts as
// the evaluation does, in packed words and in separate sums: the halves always
// unpack to the separate sums. Each packed term also unpacks to itself,
// down to the extreme values of 32 bits.
TEST(EvalPacked, SumsEqualSeparateSums) {
    using eval_detail::pack;
    using eval_detail::unpack_eg;
    using eval_detail::unpack_mg;
    Random rng{0x5EED};
    int negativeMg = 0;
    for (int round = 0; round < 2000; ++round) {
        uint64_t packed = 0;
        int64_t mg = 0, eg = 0;
        const int spread = round % 2 ? 1000 : 1000000;
        for (int i = 0; i < 40; ++i) {
            const int a = int(rng() % (2 * spread + 1)) - spread, b = int(rng() % (2 * spread + 1)) - spread;
            const int n = int(rng() % 9);
            switch (rng() % 3) {
                case 0: packed += pack(a, b); mg += a; eg += b; break;
                case 1: packed -= pack(a, b); mg -= a; eg -= b; break;
                default: packed += n * pack(a, b); mg += int64_t(n) * a; eg += int64_t(n) * b; break;
            }
            ASSERT_EQ(unpack_mg(packed), mg) << "round " << round << " term " << i;
            ASSERT_EQ(unpack_eg(packed), eg) << "round " << round << " term " << i;
            negativeMg += mg < 0;
        }
    }
    EXPECT_GT(negativeMg, 10000);  // the borrow from the upper half is exercised
    for (int a : {0, 1, -1, INT32_MAX, INT32_MIN})
        for (int b : {0, 1, -1, INT32_MAX, INT32_MIN}) {
            EXPECT_EQ(unpack_mg(pack(a, b)), a) << a << " " << b;
            EXPECT_EQ(unpack_eg(pack(a, b)), b) << a << " " << b;
        }
}

// A random board: sparse pawns on ranks 2 to 7, so that many are passed,
// about one piece of each type and colour (four if crowded), and each king
// present fifteen times in sixteen (on its back rank half the time if asked).
// Legality does not matter to the terms.
Position random_board(Random& rng, bool kingsOftenHome = false, bool crowded = false) {
    vwtest::init_tables();
    constexpr Bitboard middle = 0x00FFFFFFFFFFFF00ULL;
    Position pos;
    Bitboard used = 0;
    auto place = [&](int piece, Bitboard squares) {
        for (Bitboard b = squares & ~used; b;) {
            const int s = pop_lsb(b);
            pos.set_piece_at_square(piece, s);
            used |= square_bb(s);
        }
    };
    place(PAWN, rng() & rng() & rng() & middle);
    place(6 + PAWN, rng() & rng() & rng() & middle);
    for (int c = WHITE; c <= BLACK; ++c) {
        if (rng() % 16 == 0) continue;
        for (;;) {
            const int home = c == WHITE ? 0 : 56;
            const int k = kingsOftenHome && rng() % 2 ? home + int(rng() % 8) : int(rng() % 64);
            if (used & square_bb(k)) continue;
            place(6 * c + KING, square_bb(k));
            break;
        }
    }
    for (int type = KNIGHT; type <= QUEEN; ++type)
        for (int c = WHITE; c <= BLACK; ++c)
            place(6 * c + type, rng() & rng() & rng() & rng() & (crowded ? ~Bitboard(0) : rng() & rng()));
    pos.side = int(rng() % 2);
    return pos;
}

// Every square a colour attacks: pawns, pieces through the occupancy, king.
Bitboard attacked_by(const Position& pos, Color c) {
    Bitboard a = pawn_attacks_bb(c, pos.pieces[6 * c + PAWN]);
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p == NO_PIECE || (p > 5) != (c == BLACK)) continue;
        const int t = p % 6;
        if (t == KNIGHT) a |= Attack::knightAttacks[s];
        if (t == BISHOP || t == QUEEN) a |= PEXT::bishop_attacks_pext(s, pos.occupied);
        if (t == ROOK || t == QUEEN) a |= PEXT::rook_attacks_pext(s, pos.occupied);
        if (t == KING) a |= Attack::kingAttacks[s];
    }
    return a;
}

int distance(int a, int b) { return std::max(std::abs(a % 8 - b % 8), std::abs(a / 8 - b / 8)); }

// Files plus ranks to the nearest of d4, e4, d5 and e5.
int centre_distance_model(int s) {
    const int r = s / 8, f = s % 8;
    return std::min(std::abs(r - 3), std::abs(r - 4)) + std::min(std::abs(f - 3), std::abs(f - 4));
}

bool has_pawn(const Position& pos, Color c, int file, int rank) {
    return file >= 0 && file < 8 && rank >= 0 && rank < 8 && pos.board[8 * rank + file] == 6 * c + PAWN;
}

// No enemy pawn ahead on the pawn's file or the files beside it.
bool is_passed(const Position& pos, Color c, int s) {
    const int dir = c == WHITE ? 1 : -1;
    for (int r = s / 8 + dir; r >= 0 && r < 8; r += dir)
        for (int f = s % 8 - 1; f <= s % 8 + 1; ++f)
            if (has_pawn(pos, ~c, f, r)) return false;
    return true;
}

// How often each condition of the passer rules held and failed.
struct PasserTally {
    int defended[2] = {}, connected[2] = {}, stopFree[2] = {}, safePath[2] = {}, stopDefended[2] = {};
    int ownKingNear[2] = {}, enemyKingNear[2] = {};
};

// The passers step for one colour, pawn by pawn under plain tests: (mg, eg)
// of its passed pawns.
std::pair<int, int> passers_model(const Position& pos, Color c, PasserTally& tally) {
    const Bitboard ours = attacked_by(pos, c), theirs = attacked_by(pos, ~c);
    const int dir = c == WHITE ? 1 : -1;
    int mg = 0, eg = 0;
    for (int s = 0; s < 64; ++s) {
        if (pos.board[s] != 6 * c + PAWN || !is_passed(pos, c, s)) continue;
        const int f = s % 8, r = s / 8, rr = c == WHITE ? r : 7 - r, stop = s + 8 * dir;
        int pm = PASSED_MG[rr], pe = PASSED_EG[rr];
        const bool defended = has_pawn(pos, c, f - 1, r - dir) || has_pawn(pos, c, f + 1, r - dir);
        tally.defended[defended]++;
        if (defended) pm += 14, pe += 24;
        bool connected = false;
        for (int dr = -1; dr <= 1; ++dr) connected |= has_pawn(pos, c, f - 1, r + dr) || has_pawn(pos, c, f + 1, r + dr);
        tally.connected[connected]++;
        if (connected) pm += 5 + 2 * rr, pe += 10 + 4 * rr;
        const bool stopFree = pos.board[stop] == NO_PIECE;
        tally.stopFree[stopFree]++;
        if (stopFree) {
            bool safe = true;
            for (int q = stop; q >= 0 && q < 64; q += 8 * dir)
                if ((theirs & square_bb(q)) && !(ours & square_bb(q))) safe = false;
            tally.safePath[safe]++;
            if (safe) pm += 5 * rr, pe += 8 * rr;
            const bool stopDefended = ours & square_bb(stop);
            tally.stopDefended[stopDefended]++;
            if (stopDefended) pm += 4, pe += 8;
        } else {
            pm -= 11, pe -= 22;
        }
        if (const int k = pos.king_square[c]; k != NO_SQUARE) {
            tally.ownKingNear[distance(k, stop) <= 4]++;
            if (distance(k, stop) <= 4) pe += 6 * (5 - distance(k, stop));
        }
        if (const int k = pos.king_square[~c]; k != NO_SQUARE) {
            tally.enemyKingNear[distance(k, stop) <= 4]++;
            if (distance(k, stop) <= 4) pe -= (5 - distance(k, stop)) * (rr + 3);
        }
        mg += pm;
        eg += pe;
    }
    return {mg, eg};
}

// The passed-pawn bonuses are added as 0/1 factors; over random boards the
// step equals the rules written with tests, and every condition both holds
// and fails many times.
TEST(EvalBranchFree, PassersMatchThePlainRulesOverRandomBoards) {
    Random rng{20261208};
    PasserTally tally;
    for (int round = 0; round < 4000; ++round) {
        const Position pos = random_board(rng);
        const auto [wm, we] = passers_model(pos, WHITE, tally);
        const auto [bm, be] = passers_model(pos, BLACK, tally);
        const TraceLine l = line_named(parse_trace(evaluate_trace_string(pos)), "passers");
        ASSERT_EQ(l.dmg, wm - bm) << pos.to_fen();
        ASSERT_EQ(l.deg, we - be) << pos.to_fen();
    }
    for (const int* counts : {tally.defended, tally.connected, tally.stopFree, tally.safePath, tally.stopDefended,
                              tally.ownKingNear, tally.enemyKingNear}) {
        EXPECT_GT(counts[0], 100);
        EXPECT_GT(counts[1], 100);
    }
}

// Endgame king activity for one colour under plain tests: the nearest enemy
// pawn searched ring by ring up to five king moves, then each own passed
// pawn's distance and king race.
int king_activity_model(const Position& pos, Color c, int tally[7]) {
    const int k = pos.king_square[c];
    if (k == NO_SQUARE) return 0;
    const int cd = centre_distance_model(k);
    int s = 5 * (6 - cd);
    for (int md = 1; md <= 5; ++md) {
        bool found = false;
        for (int p = 0; p < 64; ++p) found |= pos.board[p] == 6 * ~c + PAWN && distance(k, p) == md;
        if (found) {
            s = 5 * (12 - md - cd);
            tally[md]++;
            break;
        }
        if (md == 5) tally[6]++;
    }
    for (int p = 0; p < 64; ++p) {
        if (pos.board[p] != 6 * c + PAWN || !is_passed(pos, c, p)) continue;
        const int d = distance(k, p);
        if (d <= 4) s += 4 * (5 - d);
        if (pos.king_square[~c] != NO_SQUARE) s += 2 * std::clamp(distance(pos.king_square[~c], p) - d, -10, 10);
    }
    return s;
}

// The nearest enemy pawn's distance is counted from nested distance masks
// without an early exit; over random boards the step equals the ring-by-ring
// search, with every distance from 1 to 5 and none near met.
TEST(EvalBranchFree, KingActivityMatchesTheRingSearchOverRandomBoards) {
    Random rng{77};
    int tally[7] = {};
    for (int round = 0; round < 4000; ++round) {
        const Position pos = random_board(rng);
        const int want = king_activity_model(pos, WHITE, tally) - king_activity_model(pos, BLACK, tally);
        const TraceLine l = line_named(parse_trace(evaluate_trace_string(pos)), "kingact");
        ASSERT_EQ(l.dmg, 0) << pos.to_fen();
        ASSERT_EQ(l.deg, want) << pos.to_fen();
    }
    for (int md = 1; md <= 6; ++md) EXPECT_GT(tally[md], 50) << "nearest enemy pawn " << md;
}

// The king step under plain tests. Attack counts per square: the pawn set
// counts once, the king and every knight, bishop, rook and queen once each;
// a square attacked twice or more is in attackedBy2.
struct KingModelSide {
    Bitboard by1 = 0, by2 = 0, byType[6] = {};
    int attackers = 0, weight = 0, zoneAttacks = 0;
};

// The king's zone: three files (the king's and its neighbours, or the three
// at the edge) by four ranks (one behind the king to two ahead), on the board.
Bitboard king_zone_model(Color c, int k) {
    Bitboard z = 0;
    const int f0 = std::clamp(k % 8 - 1, 0, 5), dir = c == WHITE ? 1 : -1;
    for (int dr = -1; dr <= 2; ++dr)
        for (int f = f0; f <= f0 + 2; ++f) {
            const int r = k / 8 + dir * dr;
            if (r >= 0 && r < 8) z |= square_bb(8 * r + f);
        }
    return z;
}

KingModelSide king_model_side(const Position& pos, Color c) {
    KingModelSide m;
    const int ek = pos.king_square[~c];
    const Bitboard enemyZone = ek == NO_SQUARE ? 0 : king_zone_model(~c, ek);
    int count[64] = {};
    auto add = [&](Bitboard a) {
        for (Bitboard b = a; b;) count[pop_lsb(b)]++;
        m.by1 |= a;
    };
    m.byType[PAWN] = pawn_attacks_bb(c, pos.pieces[6 * c + PAWN]);
    add(m.byType[PAWN]);
    if (pos.king_square[c] != NO_SQUARE) add(m.byType[KING] = Attack::kingAttacks[pos.king_square[c]]);
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p == NO_PIECE || (p > 5) != (c == BLACK) || p % 6 == PAWN || p % 6 == KING) continue;
        const int t = p % 6;
        Bitboard a = 0;
        if (t == KNIGHT) a = Attack::knightAttacks[s];
        if (t == BISHOP || t == QUEEN) a |= PEXT::bishop_attacks_pext(s, pos.occupied);
        if (t == ROOK || t == QUEEN) a |= PEXT::rook_attacks_pext(s, pos.occupied);
        add(a);
        m.byType[t] |= a;
        if (a & enemyZone) {
            m.attackers++;
            m.weight += KING_RING_ATTACKER_WEIGHT[t];
            m.zoneAttacks += popcount(a & enemyZone);
        }
    }
    for (int s = 0; s < 64; ++s)
        if (count[s] >= 2) m.by2 |= square_bb(s);
    return m;
}

struct KingTally {
    int queenNoKnight = 0, knightNoQueen = 0, both = 0, baseAttack = 0, danger = 0;
};

// c's pressure on the other king, c's attack on the f-pawn before an
// uncastled king, and c's own king safety.
int king_step_model(const Position& pos, Color c, const KingModelSide& us, const KingModelSide& them,
                    PawnHash::Entry& entry, KingTally& tally) {
    const Color o = ~c;
    int total = 0;
    const int ek = pos.king_square[o];
    const bool hasQueen = pos.pieces[6 * c + QUEEN] != 0, hasKnight = pos.pieces[6 * c + KNIGHT] != 0;
    if (ek != NO_SQUARE) {
        const Bitboard zone = square_bb(ek) | Attack::kingAttacks[ek];
        int p = popcount(us.byType[PAWN] & zone) + 4 * popcount((us.byType[KNIGHT] | us.byType[BISHOP]) & zone) +
                9 * popcount((us.byType[ROOK] | us.byType[QUEEN]) & zone);
        const bool uncastled = ek / 8 == (o == WHITE ? 0 : 7) && (ek % 8 == 3 || ek % 8 == 4);
        if (uncastled) p = 5 * p / 4;
        if (p < 64) {
            tally.queenNoKnight += hasQueen && !hasKnight;
            tally.knightNoQueen += hasKnight && !hasQueen;
            tally.both += hasQueen && hasKnight;
        }
        if (hasQueen && hasKnight) p += 4;
        total += std::min(p, 64);

        const int f = o == WHITE ? vwtest::sq("f2") : vwtest::sq("f7");
        if (uncastled && pos.board[f] == 6 * o + PAWN) {
            const Bitboard t = square_bb(f);
            const bool N = us.byType[KNIGHT] & t, B = us.byType[BISHOP] & t, R = us.byType[ROOK] & t;
            const bool Q = us.byType[QUEEN] & t, D = us.by2 & t;
            int score = 0;
            if (Q && (N || B)) score += 60;
            if (N && B) score += 28;
            else if (N || B) score += 14;
            if (R) score += 6;
            if (Q) score += 22;
            if (D) score += 16;
            tally.baseAttack += score > 0;
            total += std::min(score, 124);
        }
    }

    const int k = pos.king_square[c];
    if (k == NO_SQUARE) return total;
    const int shelter = PawnHash::king_shelter_score(pos, entry, c);
    const int enemyMaterial = popcount(pos.pieces[6 * o + KNIGHT]) + popcount(pos.pieces[6 * o + BISHOP]) +
                              2 * popcount(pos.pieces[6 * o + ROOK]) + 4 * popcount(pos.pieces[6 * o + QUEEN]);
    if (enemyMaterial == 0) return total + shelter;
    const Bitboard safe = ~pos.occupancy[o] & (~us.by1 | (them.by2 & ~us.by2));
    const Bitboard rk = PEXT::rook_attacks_pext(k, pos.occupied), bk = PEXT::bishop_attacks_pext(k, pos.occupied);
    int danger = them.attackers * them.weight + 12 * popcount(king_zone_model(c, k) & them.by1 & ~us.by2) +
                 8 * them.zoneAttacks + 10 * popcount(Attack::kingAttacks[k] & them.by1 & ~us.by1);
    if (them.byType[QUEEN] & safe & (rk | bk)) danger += 23;
    if (them.byType[ROOK] & safe & rk) danger += 27;
    if (them.byType[BISHOP] & safe & bk) danger += 19;
    if (them.byType[KNIGHT] & safe & Attack::knightAttacks[k]) danger += 19;
    if (!pos.pieces[6 * o + QUEEN]) danger = 2 * danger / 3;
    tally.danger += danger * danger >= 960;
    return total + shelter - danger * danger / 960;
}

// The king step (pressure with its queen-and-knight bonus as a 0/1 factor,
// zones and the uncastled squares from tables, the f-pawn attack, shelter and
// danger) against the rules written with tests, over random boards whose
// kings stand on their back rank half the time.
TEST(EvalBranchFree, KingStepMatchesThePlainRulesOverRandomBoards) {
    Random rng{4242};
    KingTally tally;
    for (int round = 0; round < 4000; ++round) {
        const Position pos = random_board(rng, true);
        PawnHash::Entry entry{};
        PawnHash::probe(pos, entry);
        const KingModelSide white = king_model_side(pos, WHITE), black = king_model_side(pos, BLACK);
        const int want = king_step_model(pos, WHITE, white, black, entry, tally) -
                         king_step_model(pos, BLACK, black, white, entry, tally);
        const TraceLine l = line_named(parse_trace(evaluate_trace_string(pos)), "king");
        ASSERT_EQ(l.dmg, want) << pos.to_fen();
        ASSERT_EQ(l.deg, 0) << pos.to_fen();
    }
    EXPECT_GT(tally.queenNoKnight, 100);
    EXPECT_GT(tally.knightNoQueen, 100);
    EXPECT_GT(tally.both, 100);
    EXPECT_GT(tally.baseAttack, 20);
    EXPECT_GT(tally.danger, 100);
}

struct PieceTally {
    int behindPawn = 0, badBishop = 0, outpostKnight = 0, centralReach = 0, nearKing[3] = {}, centralBishop = 0;
    int openFile = 0, halfOpenFile = 0, seventh = 0, queenFile = 0, behindPasser = 0, trapped = 0, negativeMg = 0;
};

// The pieces step for one colour, piece by piece under plain tests, without
// the material and square values: (mg, eg) of its knights, bishops, rooks and
// queens.
std::pair<int, int> pieces_model(const Position& pos, Color c, PieceTally& tally) {
    const Color o = ~c;
    const int dir = c == WHITE ? 1 : -1, k = pos.king_square[c];
    const Bitboard ownPawnAtt = pawn_attacks_bb(c, pos.pieces[6 * c + PAWN]);
    const Bitboard enemyPawnAtt = pawn_attacks_bb(o, pos.pieces[6 * o + PAWN]);
    const Bitboard pawns = pos.pieces[PAWN] | pos.pieces[6 + PAWN];
    int mg = 0, eg = 0;
    int pawnsOn[2] = {};  // by square colour
    for (int s = 0; s < 64; ++s)
        if (pos.board[s] == 6 * c + PAWN) pawnsOn[(s % 8 + s / 8) % 2]++;
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p == NO_PIECE || (p > 5) != (c == BLACK)) continue;
        const int t = p % 6, f = s % 8, r = s / 8, rr = c == WHITE ? r : 7 - r;
        if (t == PAWN || t == KING) continue;
        Bitboard a = 0;
        if (t == KNIGHT) a = Attack::knightAttacks[s];
        if (t == BISHOP || t == QUEEN) a |= PEXT::bishop_attacks_pext(s, pos.occupied);
        if (t == ROOK || t == QUEEN) a |= PEXT::rook_attacks_pext(s, pos.occupied);
        const int mobility = popcount(a & ~pos.occupancy[c] & ~enemyPawnAtt);
        switch (t) {
            case KNIGHT: mg += KNIGHT_MOBILITY_MG[mobility], eg += KNIGHT_MOBILITY_EG[mobility]; break;
            case BISHOP: mg += BISHOP_MOBILITY_MG[mobility], eg += BISHOP_MOBILITY_EG[mobility]; break;
            case ROOK: mg += ROOK_MOBILITY_MG[mobility], eg += ROOK_MOBILITY_EG[mobility]; break;
            default: mg += QUEEN_MOBILITY_MG[mobility], eg += QUEEN_MOBILITY_EG[mobility]; break;
        }
        const bool outpost = rr >= 3 && rr <= 5 && (ownPawnAtt & square_bb(s)) && !(enemyPawnAtt & square_bb(s));
        if ((t == KNIGHT || t == BISHOP) && rr < 7 && pos.board[s + 8 * dir] == 6 * c + PAWN) {
            mg += 5, eg += 11;
            tally.behindPawn++;
        }
        if (t == KNIGHT) {
            if (outpost && f != 0 && f != 7) {
                const int cd = centre_distance_model(s);
                mg += cd <= 1 ? 17 + 4 * (2 - cd) : 17;
                eg += 11;
                tally.outpostKnight++;
            } else {
                bool reach = false;
                for (Bitboard b = a; b;) {
                    const int q = pop_lsb(b), qf = q % 8, qr = q / 8;
                    reach |= qf >= 2 && qf <= 5 && qr >= 2 && qr <= 5 && (ownPawnAtt & square_bb(q)) &&
                             !(enemyPawnAtt & square_bb(q));
                }
                if (reach) mg += 9, eg += 3, tally.centralReach++;
            }
            if (k != NO_SQUARE && distance(k, s) <= 3) eg += 4 - distance(k, s), tally.nearKing[KNIGHT]++;
        }
        if (t == BISHOP) {
            const int colour = (f + r) % 2;
            if (pawnsOn[colour] > 3) mg -= 2 * (pawnsOn[colour] - 3), eg -= 2 * (pawnsOn[colour] - 3), tally.badBishop++;
            if (outpost) mg += 9, eg += 4;
            int centre = 0;
            for (int q : {vwtest::sq("d4"), vwtest::sq("e4"), vwtest::sq("d5"), vwtest::sq("e5")})
                centre += (PEXT::bishop_attacks_pext(s, pawns) & square_bb(q)) != 0;
            if (centre >= 2) mg += 15, eg += 9, tally.centralBishop++;
            if (k != NO_SQUARE && distance(k, s) <= 3) mg += 4 * (4 - distance(k, s)), tally.nearKing[BISHOP]++;
        }
        if (t == ROOK) {
            bool ownOnFile = false, enemyOnFile = false, queenOnFile = false, passerAhead = false;
            for (int q = f; q < 64; q += 8) {
                ownOnFile |= pos.board[q] == 6 * c + PAWN;
                enemyOnFile |= pos.board[q] == 6 * o + PAWN;
                queenOnFile |= pos.board[q] == 6 * o + QUEEN;
                const bool ahead = c == WHITE ? q / 8 > r : q / 8 < r;
                for (Color pc : {WHITE, BLACK})
                    passerAhead |= ahead && pos.board[q] == 6 * pc + PAWN && is_passed(pos, pc, q);
            }
            if (!ownOnFile && !enemyOnFile) mg += 21, eg += 11, tally.openFile++;
            if (!ownOnFile && enemyOnFile) mg += 13, eg += 7, tally.halfOpenFile++;
            if (rr == 6) mg += 9, eg += 21, tally.seventh++;
            if (queenOnFile) mg += 4, eg += 3, tally.queenFile++;
            if (passerAhead) mg += 8, eg += 16, tally.behindPasser++;
            if (rr <= 1 && k != NO_SQUARE && std::abs(k % 8 - f) >= 2 && mobility <= 2) {
                mg -= 21, eg -= 8;
                tally.trapped++;
            }
        }
    }
    tally.negativeMg += mg < 0;
    return {mg, eg};
}

// Material and square values of the knights to kings, WHITE's view.
std::pair<int, int> piece_values_model(const Position& pos) {
    int mg = 0, eg = 0;
    for (int s = 0; s < 64; ++s) {
        const int p = pos.board[s];
        if (p == NO_PIECE || p % 6 == PAWN) continue;
        const int t = p % 6, sign = p > 5 ? -1 : 1, idx = p > 5 ? s ^ 56 : s;
        mg += sign * (MG_VALUE[t] + MG_PST[t][idx]);
        eg += sign * (EG_VALUE[t] + EG_PST[t][idx]);
    }
    return {mg, eg};
}

// The pieces step sums its terms in packed words, reads mobility, king
// proximity and the trapped-rook squares from tables and adds the trap as a
// 0/1 factor; over random boards, sparse and crowded, it equals the terms
// written piece by piece with tests.
TEST(EvalBranchFree, PiecesMatchThePlainRulesOverRandomBoards) {
    Random rng{9001};
    PieceTally tally;
    for (int round = 0; round < 4000; ++round) {
        const Position pos = random_board(rng, round % 4 == 0, round % 2 == 1);
        const auto [vm, ve] = piece_values_model(pos);
        const auto [wm, we] = pieces_model(pos, WHITE, tally);
        const auto [bm, be] = pieces_model(pos, BLACK, tally);
        const TraceLine l = line_named(parse_trace(evaluate_trace_string(pos)), "pieces");
        ASSERT_EQ(l.dmg, vm + wm - bm) << pos.to_fen();
        ASSERT_EQ(l.deg, ve + we - be) << pos.to_fen();
    }
    for (int n : {tally.behindPawn, tally.badBishop, tally.outpostKnight, tally.centralReach, tally.nearKing[KNIGHT],
                  tally.nearKing[BISHOP], tally.centralBishop, tally.openFile, tally.halfOpenFile, tally.seventh,
                  tally.queenFile, tally.behindPasser, tally.trapped, tally.negativeMg})
        EXPECT_GT(n, 100);
}

}  // namespace
