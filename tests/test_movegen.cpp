// Tests of the move generator: list order, check and pin handling, castling,
// array capacities and the move-count bound, the tactical and quiet lists,
// the legal-move test, and a walk comparing them with reference rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "board/move.h"
#include "board/movegen.h"
#include "board/position.h"
#include "tests/test_util.h"

namespace {

using namespace vwtest;

std::vector<std::string> texts(const std::vector<unsigned>& moves) {
    std::vector<std::string> out;
    for (unsigned m : moves) out.push_back(move_to_uci(m));
    return out;
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find(' ', i);
        if (j == std::string::npos) j = s.size();
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

std::vector<std::string> legal_texts(Position& pos) {
    std::vector<unsigned> moves;
    MoveGen::generate_legal(pos, moves);
    return texts(moves);
}

std::vector<std::string> pseudo_texts(Position& pos) {
    std::vector<unsigned> moves;
    MoveGen::generate_pseudo_legal(pos, moves);
    return texts(moves);
}

TEST(MoveGen, StartPositionOrder) {
    Position pos = from_fen(START);
    const auto expected = split(
        "a2a3 a2a4 b2b3 b2b4 c2c3 c2c4 d2d3 d2d4 e2e3 e2e4 f2f3 f2f4 g2g3 g2g4 h2h3 h2h4 "
        "b1a3 b1c3 g1f3 g1h3");
    EXPECT_EQ(legal_texts(pos), expected);
    EXPECT_EQ(pseudo_texts(pos), expected);
}

// Exact lists (pseudo-legal and legal) that pin down the generation order and
// the check and pin handling.
struct OrderCase {
    const char* name;
    const char* fen;
    const char* pseudo;
    const char* legal;
};

const OrderCase ORDER_CASES[] = {
    {"promotions QRBN, push before capture", "r3k3/1P6/8/8/8/8/8/4K3 w - - 0 1",
     "b7b8q b7b8r b7b8b b7b8n b7a8q b7a8r b7a8b b7a8n e1d1 e1f1 e1d2 e1e2 e1f2",
     "b7b8q b7b8r b7b8b b7b8n b7a8q b7a8r b7a8b b7a8n e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"black promotions", "4k3/8/8/8/8/8/6p1/4K2R b K - 0 1",
     "g2g1q g2g1r g2g1b g2g1n g2h1q g2h1r g2h1b g2h1n e8d7 e8e7 e8f7 e8d8 e8f8",
     "g2g1q g2g1r g2g1b g2g1n g2h1q g2h1r g2h1b g2h1n e8d7 e8e7 e8f7 e8d8 e8f8"},
    {"both en passant captures, lower square first", "4k3/8/8/3PpP2/8/8/8/4K3 w - e6 0 1",
     "d5d6 d5e6 f5f6 f5e6 e1d1 e1f1 e1d2 e1e2 e1f2", "d5d6 d5e6 f5f6 f5e6 e1d1 e1f1 e1d2 e1e2 e1f2"},
    {"castling after king moves, king side first", "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
     "a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 h1f1 h1g1 h1h2 h1h3 h1h4 h1h5 h1h6 h1h7 h1h8 "
     "e1d1 e1f1 e1d2 e1e2 e1f2 e1g1 e1c1",
     "a1b1 a1c1 a1d1 a1a2 a1a3 a1a4 a1a5 a1a6 a1a7 a1a8 h1f1 h1g1 h1h2 h1h3 h1h4 h1h5 h1h6 h1h7 h1h8 "
     "e1d1 e1f1 e1d2 e1e2 e1f2 e1g1 e1c1"},
    {"double check: king moves only, attacked squares included", "4k3/8/8/8/7Q/5n2/P7/r3K3 w - - 0 1",
     "e1d1 e1f1 e1d2 e1e2 e1f2", "e1e2 e1f2"},
    {"double check with the king boxed in: nothing", "4k3/8/8/8/8/3n1n2/3PPP2/3BKB2 w - - 0 1", "", ""},
    {"slider check: knight and double push block", "4k3/8/8/8/r6K/8/2NP4/8 w - - 0 1",
     "d2d4 c2b4 c2d4 h4g3 h4h3 h4g4 h4g5 h4h5", "d2d4 c2b4 c2d4 h4g3 h4h3 h4g5 h4h5"},
    {"pinned bishop on its line, pinned knight still", "4r1k1/8/8/8/7b/8/4NB2/4K3 w - - 0 1",
     "f2g3 f2h4 e1d1 e1f1 e1d2", "f2g3 f2h4 e1d1 e1f1 e1d2"},
    {"checking double-stepped pawn taken en passant", "7k/8/1p1n4/2pP4/1K6/7r/8/r7 w - c6 0 2",
     "d5c6 b4a3 b4b3 b4c3 b4a4 b4c4 b4a5 b4b5 b4c5", "d5c6"},
};

TEST(MoveGen, OrderAndCheckHandlingTable) {
    for (const OrderCase& c : ORDER_CASES) {
        SCOPED_TRACE(c.name);
        Position pos = from_fen(c.fen);
        EXPECT_EQ(pseudo_texts(pos), split(c.pseudo));
        EXPECT_EQ(legal_texts(pos), split(c.legal));
    }
}

TEST(MoveGen, MoveWordsCarryTheRightFields) {
    Position pos = from_fen("r3k2r/1P6/8/3pP3/8/8/8/R3K2R w KQkq d6 0 1");
    std::vector<unsigned> moves;
    MoveGen::generate_legal(pos, moves);
    auto has = [&](Move m) { return std::find(moves.begin(), moves.end(), m) != moves.end(); };
    EXPECT_TRUE(has(make_move_word(49, 57, 0, QUEEN)));                     // b7b8q
    EXPECT_TRUE(has(make_move_word(49, 56, 0, KNIGHT, FLAG_CAPTURE)));      // b7a8n
    EXPECT_TRUE(has(make_move_word(36, 43, 0, 0, FLAG_CAPTURE | FLAG_EN_PASSANT)));  // e5d6
    EXPECT_TRUE(has(make_move_word(36, 44, 0)));                            // e5e6
    EXPECT_TRUE(has(make_move_word(0, 56, 3, 0, FLAG_CAPTURE)));            // a1a8
    EXPECT_TRUE(has(MOVE_WHITE_OO));
    EXPECT_TRUE(has(MOVE_WHITE_OOO));

    Position start = from_fen(START);
    MoveGen::generate_legal(start, moves);
    EXPECT_EQ(moves[1], make_move_word(8, 24, 0, 0, FLAG_DOUBLE_PUSH));  // a2a4
    EXPECT_EQ(moves[16], make_move_word(1, 16, 1));                      // b1a3

    Position black = from_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1");
    MoveGen::generate_legal(black, moves);
    ASSERT_GE(moves.size(), 2u);
    EXPECT_EQ(moves[moves.size() - 2], MOVE_BLACK_OO);
    EXPECT_EQ(moves.back(), MOVE_BLACK_OOO);
}

struct CastleCase {
    const char* fen;
    bool kingSide;
    bool queenSide;
};

TEST(MoveGen, CastlingConditionsTable) {
    const CastleCase cases[] = {
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", true, true},
        {"r3k2r/4q3/8/8/8/8/8/R3K2R w KQkq - 0 1", false, false},  // in check
        {"r3kr2/8/8/8/8/8/8/R3K2R w KQq - 0 1", false, true},      // f1 attacked
        {"r3k1r1/8/8/8/8/8/8/R3K2R w KQq - 0 1", false, true},     // g1 attacked
        {"r2rk3/8/8/8/8/8/8/R3K2R w KQ - 0 1", true, false},       // d1 attacked
        {"r1r1k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", true, false},      // c1 attacked
        {"rr2k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", true, true},        // b1 attacked only
        {"r3k2r/8/8/8/8/8/8/RN2K1NR w KQkq - 0 1", false, false},  // b1 and g1 occupied
        {"r3k2r/8/8/8/8/8/8/R3K2R w - - 0 1", false, false},       // no rights
        {"r3k2r/8/8/8/8/8/8/R3K2R w Q - 0 1", false, true},
        {"r3k2r/8/8/8/8/8/8/R3K2R b Kk - 0 1", true, false},       // black: own rights only
        {"r3k2r/8/8/8/8/8/8/R3K2R b Qq - 0 1", false, true},
    };
    for (const CastleCase& c : cases) {
        SCOPED_TRACE(c.fen);
        Position pos = from_fen(c.fen);
        std::vector<unsigned> moves;
        MoveGen::generate_legal(pos, moves);
        const bool white = pos.side == WHITE;
        const Move oo = white ? MOVE_WHITE_OO : MOVE_BLACK_OO;
        const Move ooo = white ? MOVE_WHITE_OOO : MOVE_BLACK_OOO;
        EXPECT_EQ(std::count(moves.begin(), moves.end(), oo), c.kingSide ? 1 : 0);
        EXPECT_EQ(std::count(moves.begin(), moves.end(), ooo), c.queenSide ? 1 : 0);
    }
}

TEST(MoveGen, ArraySinkStopsAtCapacity) {
    Position pos = from_fen(START);
    unsigned buf[64];
    std::fill(std::begin(buf), std::end(buf), 0xDEADBEEFu);

    EXPECT_EQ(MoveGen::generate_pseudo_legal(pos, buf, 3), 3u);
    EXPECT_EQ(texts({buf[0], buf[1], buf[2]}), split("a2a3 a2a4 b2b3"));
    EXPECT_EQ(buf[3], 0xDEADBEEFu);

    std::fill(std::begin(buf), std::end(buf), 0xDEADBEEFu);
    EXPECT_EQ(MoveGen::generate_pseudo_legal(pos, buf, 0), 0u);
    EXPECT_EQ(buf[0], 0xDEADBEEFu);
    EXPECT_EQ(MoveGen::generate_pseudo_legal(pos, buf, 20), 20u);
    EXPECT_EQ(MoveGen::generate_pseudo_legal(pos, buf, 64), 20u);
    EXPECT_EQ(buf[20], 0xDEADBEEFu);
}

// The smallest capacity that fits_whole_list accepts: the generator's bound
// on the number of moves of the side to move.
uint64_t move_bound(const Position& pos) {
    uint64_t c = 0;
    while (!MoveGen::fits_whole_list(pos, c)) ++c;
    return c;
}

// How many moves of the full list start on `from`.
uint64_t moves_from(Position& pos, int from) {
    std::vector<unsigned> all;
    MoveGen::generate_pseudo_legal(pos, all);
    return uint64_t(std::count_if(all.begin(), all.end(), [&](unsigned m) { return move_from(m) == from; }));
}

// Positions where pieces reach their largest number of targets: the whole
// list stays within the bound, and every capacity, from none to more than
// the list needs, keeps exactly the first moves and writes nothing beyond
// them.
TEST(MoveGen, ArrayNeverWritesPastItsCapacity) {
    const char* fens[] = {
        "R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1",
        "QQQQQQ1K/Q5QQ/Q6Q/Q6Q/Q6Q/QQQ4Q/bbQQQQQQ/kn6 w - - 0 1",
        // Pawns about to promote with two captures each, and black's mirror.
        "n1n1n1n1/1P1P1P1P/8/3Q4/8/7k/8/K7 w - - 0 1",
        "k7/8/7K/8/3q4/8/1p1p1p1p/N1N1N1N1 b - - 0 1",
        // Double pushes beside captures, en passant, both castlings.
        "r3k2r/8/8/3pP3/8/1p1p1p1p/PPPPPPPP/R3K2R w KQkq d6 0 1",
        // Centred pieces of every kind.
        "8/8/2N4k/5B2/3QR3/8/8/K7 w - - 0 1",
    };
    for (const char* fen : fens) {
        SCOPED_TRACE(fen);
        Position pos = from_fen(fen);
        std::vector<unsigned> all;
        MoveGen::generate_pseudo_legal(pos, all);
        ASSERT_LE(all.size(), 300u);
        EXPECT_LE(all.size(), move_bound(pos));
        for (uint64_t cap = 0; cap <= all.size() + 1; ++cap) {
            unsigned buf[320];
            std::fill(std::begin(buf), std::end(buf), 0xDEADBEEFu);
            const uint64_t n = MoveGen::generate_pseudo_legal(pos, buf, cap);
            ASSERT_EQ(n, std::min<uint64_t>(cap, all.size())) << "capacity " << cap;
            ASSERT_TRUE(std::equal(buf, buf + n, all.begin())) << "capacity " << cap;
            ASSERT_TRUE(std::all_of(buf + n, std::end(buf), [](unsigned w) { return w == 0xDEADBEEFu; }))
                << "capacity " << cap;
        }
    }
}

// The part of the bound that stands for the piece on s: what the piece adds
// to it, or for the king (which every list has) the bound with the mover's
// other pieces taken off.
uint64_t bound_share(const Position& pos, int s) {
    Position rest = pos;
    if (type_of_piece(pos.board[s]) != KING) {
        rest.remove_piece_at_square(pos.board[s], s);
        EXPECT_GE(move_bound(pos), move_bound(rest));
        return move_bound(pos) - move_bound(rest);
    }
    for (Bitboard others = pos.occupancy[pos.side] & ~square_bb(s); others;) {
        const int o = pop_lsb(others);
        rest.remove_piece_at_square(rest.board[o], o);
    }
    return move_bound(rest);
}

struct MostMobilePiece {
    const char* fen;
    const char* square;
    uint64_t moves;  // the most this kind of piece can have
};

// Each kind of piece at its largest number of moves: its share of the bound
// covers them, so an undercounted term of any one kind of piece shows here
// even where the other terms leave room in the total.
TEST(MoveGen, MoveBoundCoversEachPieceAtItsMostMobile) {
    const MostMobilePiece cases[] = {
        {"K7/7k/8/8/3N4/8/8/8 w - - 0 1", "d4", 8},
        {"K7/7k/8/8/3B4/8/8/8 w - - 0 1", "d4", 13},
        {"K7/7k/8/8/3R4/8/8/8 w - - 0 1", "d4", 14},
        {"K7/7k/8/8/3Q4/8/8/8 w - - 0 1", "d4", 27},
        {"8/7k/8/8/3q4/8/K7/8 b - - 0 1", "d4", 27},
        // Push, double push and two captures; and the same beside en passant.
        {"K7/7k/8/8/8/3n1n2/4P3/8 w - - 0 1", "e2", 4},
        {"k7/4p3/3N1N2/8/8/8/8/7K b - - 0 1", "e7", 4},
        {"K7/7k/5n2/3pP3/8/8/8/8 w - d6 0 1", "e5", 3},
        // About to promote with two captures: three targets, four words each.
        {"n1n4k/1P6/8/8/8/8/8/K7 w - - 0 1", "b7", 12},
        {"k7/8/8/8/8/8/1p6/N1N4K b - - 0 1", "b2", 12},
        // The king in the open, and beside both castlings.
        {"8/8/8/3K4/8/8/8/7k w - - 0 1", "d5", 8},
        {"r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "e1", 7},
        {"r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1", "e8", 7},
    };
    for (const MostMobilePiece& c : cases) {
        SCOPED_TRACE(c.fen);
        Position pos = from_fen(c.fen);
        const int s = sq(c.square);
        ASSERT_EQ(moves_from(pos, s), c.moves);
        EXPECT_LE(c.moves, bound_share(pos, s));
        std::vector<unsigned> all;
        MoveGen::generate_pseudo_legal(pos, all);
        EXPECT_LE(all.size(), move_bound(pos));
    }
}

// One step ahead for either colour, off the board from the last rank.
TEST(MoveGen, PawnPushShiftsOneRankAhead) {
    for (int s = 0; s < 64; ++s) {
        EXPECT_EQ(pawn_push_bb<WHITE>(square_bb(s)), s + 8 < 64 ? square_bb(s + 8) : 0) << s;
        EXPECT_EQ(pawn_push_bb<BLACK>(square_bb(s)), s >= 8 ? square_bb(s - 8) : 0) << s;
    }
    EXPECT_EQ(pawn_push_bb<WHITE>(RANK_2 | RANK_8), RANK_3);
    EXPECT_EQ(pawn_push_bb<BLACK>(RANK_1 | RANK_7), RANK_6);
}

TEST(MoveGen, VectorFormsReplaceTheirContents) {
    Position pos = from_fen(START);
    std::vector<unsigned> moves(5, 7u);
    MoveGen::generate_pseudo_legal(pos, moves);
    EXPECT_EQ(moves.size(), 20u);
    moves.assign(300, 7u);
    MoveGen::generate_legal(pos, moves);
    EXPECT_EQ(moves.size(), 20u);
    std::vector<SemanticMove> sem(3);
    MoveGen::generate_semantic_pseudo_legal(pos, sem);
    EXPECT_EQ(sem.size(), 20u);

    pos.clear();  // no king: no moves in any form
    MoveGen::generate_legal(pos, moves);
    EXPECT_TRUE(moves.empty());
    MoveGen::generate_pseudo_legal(pos, moves);
    EXPECT_TRUE(moves.empty());
    unsigned buf[8];
    EXPECT_EQ(MoveGen::generate_pseudo_legal(pos, buf, 8), 0u);
    EXPECT_FALSE(pos.has_any_legal_move());
}

TEST(MoveGen, SemanticKinds) {
    Position pos = from_fen("r3k2r/1P6/8/3pP3/8/8/8/R3K2R w KQkq d6 0 1");
    std::vector<SemanticMove> sem;
    MoveGen::generate_semantic_pseudo_legal(pos, sem);
    std::vector<unsigned> pseudo;
    MoveGen::generate_pseudo_legal(pos, pseudo);
    ASSERT_EQ(sem.size(), pseudo.size());
    int seen[6] = {};
    for (size_t i = 0; i < sem.size(); ++i) {
        EXPECT_EQ(sem[i].move, pseudo[i]);
        const std::string t = move_to_uci(sem[i].move);
        int expected = 0;
        if (t == "e1g1" || t == "e1c1") expected = 5;
        else if (t.rfind("b7b8", 0) == 0) expected = 2;
        else if (t.rfind("b7a8", 0) == 0) expected = 3;
        else if (t == "e5d6") expected = 4;
        else if (t == "a1a8" || t == "h1h8") expected = 1;
        EXPECT_EQ(sem[i].kind, expected) << t;
        ++seen[sem[i].kind];
    }
    EXPECT_EQ(seen[2], 4);
    EXPECT_EQ(seen[3], 4);
    EXPECT_EQ(seen[4], 1);
    EXPECT_EQ(seen[5], 2);
}

struct AnyLegalCase {
    const char* name;
    const char* fen;
    bool expected;
};

TEST(MoveGen, HasAnyLegalMoveTable) {
    const AnyLegalCase cases[] = {
        {"checkmate", "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", false},
        {"stalemate", "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", false},
        {"stalemate, the only other piece pinned", "7k/4N1n1/6K1/8/8/8/8/B7 b - - 0 1", false},
        {"back-rank mate", "3R2k1/5ppp/8/8/8/8/8/6K1 b - - 0 1", false},
        {"only move is en passant", "7k/8/1p1n4/2pP4/1K6/7r/8/r7 w - c6 0 2", true},
        {"king steps out of double check", "4k3/8/8/8/7Q/5n2/P7/r3K3 w - - 0 1", true},
        {"only pinned rook along its pin", "rr5k/8/8/8/R7/2n5/8/K7 w - - 0 1", true},
        {"boxed king in double check", "4k3/8/8/8/8/3n1n2/3PPP2/3BKB2 w - - 0 1", false},
        {"block by double push only", "4k3/8/8/r7/r6K/r7/3P4/8 w - - 0 1", true},
        {"start position", START, true},
    };
    for (const AnyLegalCase& c : cases) {
        SCOPED_TRACE(c.name);
        Position pos = from_fen(c.fen);
        const Position before = pos;
        EXPECT_EQ(pos.has_any_legal_move(), c.expected);
        expect_same_state(pos, before, c.name);
        std::vector<unsigned> legal;
        MoveGen::generate_legal(pos, legal);
        EXPECT_EQ(!legal.empty(), c.expected);
    }
    Position pinned = from_fen("rr5k/8/8/8/R7/2n5/8/K7 w - - 0 1");
    EXPECT_EQ(legal_texts(pinned), split("a4a2 a4a3 a4a5 a4a6 a4a7 a4a8"));
    Position push = from_fen("4k3/8/8/r7/r6K/r7/3P4/8 w - - 0 1");
    EXPECT_EQ(legal_texts(push), split("d2d4"));
}

// Nothing pinned and no en passant: only the king's steps and castlings at
// the end of the list are tested, every other move is kept as it stands.
TEST(MoveGen, LegalListTestsTheKingsMovesAtItsEnd) {
    Position bare = from_fen("4k3/8/8/8/8/8/3r4/4K3 w - - 0 1");
    EXPECT_EQ(legal_texts(bare), split("e1f1 e1d2"));

    Position rooks = from_fen("4k3/8/8/8/8/8/3r4/R3K2R w KQ - 0 1");
    std::vector<std::string> expected;
    const std::vector<std::string> exposed = split("e1d1 e1e2 e1f2");
    for (const std::string& t : pseudo_texts(rooks))
        if (std::find(exposed.begin(), exposed.end(), t) == exposed.end()) expected.push_back(t);
    EXPECT_EQ(legal_texts(rooks), expected);

    // Every king move exposed: the list ends with the other pieces' moves.
    Position boxed = from_fen("4kr2/8/8/8/8/1n6/3r4/N3K3 w - - 0 1");
    EXPECT_EQ(legal_texts(boxed), split("a1c2 a1b3"));
}

TEST(MoveGen, CrowdedBoards) {
    // The well-known record position with 218 legal moves.
    Position record = from_fen("R6R/3Q4/1Q4Q1/4Q3/2Q4Q/Q4Q2/pp1Q4/kBNN1KB1 w - - 0 1");
    std::vector<unsigned> legal;
    MoveGen::generate_legal(record, legal);
    EXPECT_EQ(legal.size(), 218u);

    // Nearly fills a 256-word list; array and vector forms must agree.
    Position queens = from_fen("QQQQQQ1K/Q5QQ/Q6Q/Q6Q/Q6Q/QQQ4Q/bbQQQQQQ/kn6 w - - 0 1");
    std::vector<unsigned> pseudo;
    MoveGen::generate_pseudo_legal(queens, pseudo);
    MoveGen::generate_legal(queens, legal);
    EXPECT_GT(pseudo.size(), 230u);
    EXPECT_EQ(legal, pseudo);  // no king move or en passant can be illegal here
    unsigned buf[256];
    ASSERT_EQ(MoveGen::generate_pseudo_legal(queens, buf, 256), pseudo.size());
    EXPECT_TRUE(std::equal(buf, buf + pseudo.size(), pseudo.begin()));
}

// Checks one node and recurses: the legal list equals the generator's list
// filtered by make, check test and unmake; the quick "any legal move" answer
// agrees; the array and vector forms agree; words are well formed; the pins
// and checkers kept for reuse are current; the position is unchanged by
// generation.
bool check_node(Position& pos, int depth) {
    const std::string fen = pos.to_fen();
    const uint64_t key = pos.key;
    const size_t historySize = pos.key_history.size();
    const Color us = Color(pos.side);

    std::vector<unsigned> pseudo;
    MoveGen::generate_pseudo_legal(pos, pseudo);
    unsigned buf[256];
    const uint64_t n = MoveGen::generate_pseudo_legal(pos, buf, 256);
    if (n != pseudo.size() || !std::equal(buf, buf + n, pseudo.begin())) {
        ADD_FAILURE() << "array and vector lists differ: " << fen;
        return false;
    }

    // The pins and checkers the generation left (reused by the next one)
    // are those of this placement, computed from scratch.
    Position fresh = pos;
    fresh.compute_pins(us);
    if (pos.refresh_pins_and_checkers(us) != fresh.checker_mask(us) || pos.pinned[us] != fresh.pinned[us]) {
        ADD_FAILURE() << "stale pins or checkers: " << fen;
        return false;
    }
    for (Bitboard b = fresh.pinned[us]; b;) {
        const int s = pop_lsb(b);
        if (pos.pin_ray[s] != fresh.pin_ray[s]) {
            ADD_FAILURE() << "stale pin ray: " << fen;
            return false;
        }
    }

    std::vector<unsigned> filtered;
    for (unsigned m : pseudo) {
        const int from = move_from(m), to = move_to(m), piece = move_piece(m);
        const bool enemyOnTo = pos.occupancy[us ^ 1] & square_bb(to);
        bool wellFormed = pos.board[from] == piece && piece / 6 == int(us) && (m >> 24) == 0 &&
                          !(pos.occupancy[us] & square_bb(to));
        if (m & FLAG_EN_PASSANT)
            wellFormed = wellFormed && (m & FLAG_CAPTURE) && to == pos.ep_square && piece % 6 == PAWN;
        else if (m & FLAG_CASTLING)
            wellFormed = wellFormed && (m == MOVE_WHITE_OO || m == MOVE_WHITE_OOO || m == MOVE_BLACK_OO ||
                                        m == MOVE_BLACK_OOO);
        else
            wellFormed = wellFormed && (bool(m & FLAG_CAPTURE) == enemyOnTo);
        if (!wellFormed) {
            ADD_FAILURE() << "malformed word " << move_to_uci(m) << " in " << fen;
            return false;
        }
        const Position::Undo u = pos.make_move(m);
        const bool exposed = pos.in_check(us);
        pos.unmake_move(u);
        if (!exposed) filtered.push_back(m);
    }

    std::vector<unsigned> legal;
    MoveGen::generate_legal(pos, legal);
    if (legal != filtered) {
        ADD_FAILURE() << "legal list differs from the filtered list: " << fen;
        return false;
    }
    if (pos.has_any_legal_move() != !legal.empty()) {
        ADD_FAILURE() << "has_any_legal_move disagrees: " << fen;
        return false;
    }
    std::vector<unsigned> sorted = legal;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
        ADD_FAILURE() << "duplicate move: " << fen;
        return false;
    }
    if (pos.to_fen() != fen || pos.key != key || pos.key_history.size() != historySize) {
        ADD_FAILURE() << "generation changed the position: " << fen;
        return false;
    }

    if (depth <= 1) return true;
    for (unsigned m : legal) {
        const Position::Undo u = pos.make_move(m);
        const bool ok = check_node(pos, depth - 1);
        pos.unmake_move(u);
        if (!ok) return false;
    }
    return true;
}

// The pawn moves by the rules as written, one pawn at a time in ascending
// square order: push (promotions queen first), double push, captures, en
// passant; inside the block mask (en passant excepted) and the pin line.
std::vector<unsigned> reference_pawn_moves(const Position& pos) {
    std::vector<unsigned> out;
    Position p = pos;
    const Color us = Color(p.side);
    if (p.king_square[us] == NO_SQUARE) return out;
    p.compute_pins(us);
    const Bitboard checkers = p.checker_mask(us);
    if (popcount(checkers) > 1) return out;
    const Bitboard block = checkers ? p.check_block_mask(us) : ~Bitboard(0);
    const int piece = 6 * us + PAWN, step = us == WHITE ? 8 : -8;
    auto add = [&](int from, int to, uint32_t flags) {
        if (rank_of(to) == 0 || rank_of(to) == 7) {
            for (int promo : {QUEEN, ROOK, BISHOP, KNIGHT}) out.push_back(make_move_word(from, to, piece, promo, flags));
        } else {
            out.push_back(make_move_word(from, to, piece, 0, flags));
        }
    };
    for (int s = 0; s < 64; ++s) {
        if (p.board[s] != piece) continue;
        const Bitboard allowed = (p.pinned[us] & square_bb(s)) ? p.pin_ray[s] : ~Bitboard(0);
        const int t = s + step;
        if (t >= 0 && t < 64 && p.board[t] == NO_PIECE) {
            if (block & allowed & square_bb(t)) add(s, t, 0);
            const int u = t + step;
            if (rank_of(s) == (us == WHITE ? 1 : 6) && p.board[u] == NO_PIECE && (block & allowed & square_bb(u)))
                out.push_back(make_move_word(s, u, piece, 0, FLAG_DOUBLE_PUSH));
        }
        const Bitboard attacks = us == WHITE ? Attack::pawnAttacksWhite[s] : Attack::pawnAttacksBlack[s];
        for (Bitboard c = attacks & p.occupancy[us ^ 1] & block & allowed; c;) add(s, pop_lsb(c), FLAG_CAPTURE);
        if (p.ep_square != NO_SQUARE && (attacks & allowed & square_bb(p.ep_square)))
            out.push_back(make_move_word(s, p.ep_square, piece, 0, FLAG_CAPTURE | FLAG_EN_PASSANT));
    }
    return out;
}

// Over random games from positions rich in pins, checks, en passant and
// promotions: the list opens with exactly the pawn moves of the rules, and
// the tactical list is the full list's captures and promotions in its order.
TEST(MoveGen, PawnMovesAndTacticalListFollowTheRules) {
    const char* starts[] = {START, KIWIPETE, ENDGAME, PROMOTIONS, PROMOTIONS_MIRRORED, PAWN_ON_D7, MIDDLEGAME,
                            "7k/8/1p1n4/2pP4/1K6/7r/8/r7 w - c6 0 2", "4k3/3p1p2/8/1B2P1Q1/8/8/8/4K3 b - - 0 1"};
    std::mt19937_64 rng(5150);
    int positions = 0;
    for (const char* fen : starts) {
        for (int game = 0; game < 12; ++game) {
            Position pos = from_fen(fen);
            for (int ply = 0; ply < 80; ++ply) {
                std::vector<unsigned> all;
                MoveGen::generate_pseudo_legal(pos, all);
                const std::vector<unsigned> pawns = reference_pawn_moves(pos);
                ASSERT_GE(all.size(), pawns.size()) << pos.to_fen();
                ASSERT_TRUE(std::equal(pawns.begin(), pawns.end(), all.begin())) << pos.to_fen();
                ASSERT_TRUE(all.size() == pawns.size() || move_piece(all[pawns.size()]) % 6 != PAWN) << pos.to_fen();

                std::vector<unsigned> tactical;
                for (unsigned m : all)
                    if ((m & FLAG_CAPTURE) || move_promotion(m)) tactical.push_back(m);
                unsigned buf[256];
                const uint64_t n = MoveGen::generate_tactical(pos, buf, 256);
                ASSERT_EQ(std::vector<unsigned>(buf, buf + n), tactical) << pos.to_fen();
                ++positions;

                std::vector<unsigned> legal;
                MoveGen::generate_legal(pos, legal);
                if (legal.empty()) break;
                pos.make_move(legal[rng() % legal.size()]);
            }
        }
    }
    EXPECT_GT(positions, 3000);
}

// The quiet list is the rest of the full list, in its order: whole, for the
// pieces on some squares, and through a filter of target squares. Listed
// after the cache went stale (as in a search, after other moves were played
// and the cache rewritten for other positions), it still follows the true
// pins and leaves the cache as it found it.
TEST(MoveGen, QuietListIsTheRestOfTheFullListInOrder) {
    const char* starts[] = {START, KIWIPETE, ENDGAME, PROMOTIONS, PROMOTIONS_MIRRORED, PAWN_ON_D7, MIDDLEGAME,
                            "7k/8/1p1n4/2pP4/1K6/7r/8/r7 w - c6 0 2", "4k3/3p1p2/8/1B2P1Q1/8/8/8/4K3 b - - 0 1"};
    constexpr Bitboard FOREIGN = 0x00ff00000000ff00ull;  // pins of some other position
    std::mt19937_64 rng(7321);
    int positions = 0, filteredMoves = 0;
    for (const char* fen : starts) {
        for (int game = 0; game < 8; ++game) {
            Position pos = from_fen(fen);
            for (int ply = 0; ply < 80; ++ply) {
                std::vector<unsigned> legal;
                MoveGen::generate_legal(pos, legal);
                if (legal.empty()) break;
                std::vector<unsigned> all;
                MoveGen::generate_pseudo_legal(pos, all);
                const Color us = Color(pos.side);
                const Bitboard pins = pos.pinned[us];

                const Bitboard movers = rng() | rng();
                Bitboard byType[6], line[64];
                for (Bitboard& b : byType) b = rng() & rng();
                for (Bitboard& b : line) b = rng();
                const QuietTargets filter{byType, rng() & rng(), line};
                std::vector<unsigned> quiet, some, kept;
                for (unsigned m : all) {
                    if ((m & FLAG_CAPTURE) || move_promotion(m)) continue;
                    quiet.push_back(m);
                    const int from = move_from(m), to = move_to(m);
                    if (movers & square_bb(from)) some.push_back(m);
                    if ((byType[move_piece(m) % 6] & square_bb(to)) ||
                        ((filter.discoverers & square_bb(from)) && !(line[from] & square_bb(to))))
                        kept.push_back(m);
                }
                filteredMoves += int(kept.size());

                unsigned buf[256];
                // A move played and taken back leaves the cache stale.
                const Position::Undo u = pos.make_move(legal[rng() % legal.size()]);
                pos.unmake_move(u);
                pos.pinned[us] = FOREIGN;
                uint64_t n = MoveGen::generate_quiet(pos, buf, 256);
                ASSERT_EQ(std::vector<unsigned>(buf, buf + n), quiet) << pos.to_fen();
                EXPECT_EQ(pos.pinned[us], FOREIGN) << pos.to_fen();
                n = MoveGen::generate_quiet(pos, buf, 256, movers);
                ASSERT_EQ(std::vector<unsigned>(buf, buf + n), some) << pos.to_fen();
                n = MoveGen::generate_quiet(pos, buf, 256, ~Bitboard(0), &filter);
                ASSERT_EQ(std::vector<unsigned>(buf, buf + n), kept) << pos.to_fen();
                EXPECT_EQ(pos.pinned[us], FOREIGN) << pos.to_fen();
                // The next full generation finds the true pins again.
                MoveGen::generate_pseudo_legal(pos, all);
                EXPECT_EQ(pos.pinned[us], pins) << pos.to_fen();
                // With the cache current, it is used and kept.
                n = MoveGen::generate_quiet(pos, buf, 256);
                ASSERT_EQ(std::vector<unsigned>(buf, buf + n), quiet) << pos.to_fen();
                EXPECT_EQ(pos.pinned[us], pins) << pos.to_fen();
                ++positions;
                pos.make_move(legal[rng() % legal.size()]);
            }
        }
    }
    EXPECT_GT(positions, 2000);
    EXPECT_GT(filteredMoves, 1000);
}

struct WalkCase {
    const char* fen;
    int depth;
};

TEST(MoveGen, WalkConsistency) {
    const WalkCase cases[] = {
        {START, 4},
        {KIWIPETE, 3},
        {ENDGAME, 5},
        {PROMOTIONS, 3},
        {PROMOTIONS_MIRRORED, 3},
        {PAWN_ON_D7, 3},
        {MIDDLEGAME, 3},
        {"7k/8/1p1n4/2pP4/1K6/7r/8/r7 w - c6 0 2", 4},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.fen);
        Position pos = from_fen(c.fen);
        EXPECT_TRUE(check_node(pos, c.depth));
    }
}

}  // namespace
