// FEN reading and its error messages, grouped by what is wrong with the text;
// FEN writing, round trips and the board picture.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "board/fen.h"
#include "board/position.h"
#include "board/zobrist.h"
#include "tests/test_util.h"

using vwtest::from_fen;

namespace {

class FenTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { vwtest::init_tables(); }
};

const std::string P = "FEN parse error: ";
const std::string KK = "4k3/8/8/8/8/8/8/4K3";  // two bare kings

// Every message the reader gives, after the common prefix. The two that end
// in ": " go on with the offending character.
const std::vector<std::string> READER_MESSAGES = {
    "empty",
    "missing side",
    "missing castling",
    "missing ep",
    "bad file count",
    "too many ranks",
    "invalid empty-square count",
    "invalid piece char: ",
    "file overflow",
    "file overflow (when placing piece)",
    "board not fully filled",
    "invalid side",
    "invalid castling char: ",
    "duplicate castling right",
    "invalid ep coordinates",
    "invalid en-passant",
    "halfmove clock cannot be negative",
    "fullmove number must be at least 1",
    "expected exactly one white king",
    "expected exactly one black king",
    "pawns cannot be on first or eighth rank",
    "en-passant target square is occupied",
    "en-passant square is on the wrong rank",
    "en-passant square has no matching pawn",
    "white kingside castling right without king and rook",
    "white queenside castling right without king and rook",
    "black kingside castling right without king and rook",
    "black queenside castling right without king and rook",
    "kings are adjacent",
    "side not to move is in check",
};

// The entry of READER_MESSAGES that err is, or the list's size when none.
size_t message_index(const std::string& err) {
    for (size_t i = 0; i < READER_MESSAGES.size(); ++i) {
        const std::string want = P + READER_MESSAGES[i];
        const bool names_a_char = want.back() == ' ';
        if (names_a_char ? err.size() == want.size() + 1 && err.compare(0, want.size(), want) == 0 : err == want)
            return i;
    }
    return READER_MESSAGES.size();
}

struct BadFen {
    std::string fen;
    std::string message;
};

// Fewer than the four fields board, side, castling, en passant.
const std::vector<BadFen> MISSING_FIELDS = {
    {"", P + "empty"},
    {" \t\n\r\v\f ", P + "empty"},
    {KK, P + "missing side"},
    {"  " + KK + "  ", P + "missing side"},
    {KK + " w", P + "missing castling"},
    {KK + " w -", P + "missing ep"},
};

// Board text that does not make eight ranks of eight squares of known pieces.
const std::vector<BadFen> BOARD_TEXT = {
    {"4k3/8//8/8/8/8/8/4K3 w - -", P + "bad file count"},
    {"4k2/8/8/8/8/8/8/4K3 w - -", P + "bad file count"},
    {"/4k3/8/8/8/8/8/8/4K3 w - -", P + "bad file count"},
    {"4k3/8/8/8/8/8/8/8/4K3 w - -", P + "too many ranks"},
    {KK + "/ w - -", P + "too many ranks"},
    {"4k3/9/8/8/8/8/8/4K3 w - -", P + "invalid empty-square count"},
    {"4k3/08/8/8/8/8/8/4K3 w - -", P + "invalid empty-square count"},
    {"4k3/8/8/8/8/8/8/4K2X w - -", P + "invalid piece char: X"},
    {"4k3/8/8/8/8/8/8/4K2x w - -", P + "invalid piece char: x"},
    {"4k3/8/8/8/8/8/8/4K2- w - -", P + "invalid piece char: -"},
    {std::string("4k3/8/8/8/8/8/8/4K2") + char(1) + " w - -", P + "invalid piece char: " + char(1)},
    {std::string("4k3/8/8/8/8/8/8/4K2") + char(0xC3) + " w - -", P + "invalid piece char: " + char(0xC3)},
    {"4k3/45/8/8/8/8/8/4K3 w - -", P + "file overflow"},
    {"4k3/8/8/8/8/8/8/4K4 w - -", P + "file overflow"},
    {"4k3/8p/8/8/8/8/8/4K3 w - -", P + "file overflow (when placing piece)"},
    {"4k3/8/8/8/8/8/8/4K3R w - -", P + "file overflow (when placing piece)"},
    {"4k3/8/8/8/8/8/8 w - -", P + "board not fully filled"},
    {"4k3/8/8/8/8/8/8/ w - -", P + "board not fully filled"},
    {"4k3/8/8/8/8/8/8/4K2 w - -", P + "board not fully filled"},
    {"8 w - -", P + "board not fully filled"},
};

// A side other than "w" or "b".
const std::vector<BadFen> SIDE_TEXT = {
    {KK + " W - -", P + "invalid side"},
    {KK + " white - -", P + "invalid side"},
    {KK + " B - -", P + "invalid side"},
    {KK + " wb - -", P + "invalid side"},
};

// Castling text with a letter other than K, Q, k, q, or one of them twice.
const std::vector<BadFen> CASTLING_TEXT = {
    {KK + " w K- -", P + "invalid castling char: -"},
    {KK + " w -- -", P + "invalid castling char: -"},
    {KK + " w KXK -", P + "invalid castling char: X"},
    {KK + " w A -", P + "invalid castling char: A"},
    {KK + " w KK -", P + "duplicate castling right"},
    {KK + " w KKX -", P + "duplicate castling right"},
    {KK + " w kqKq -", P + "duplicate castling right"},
};

// En passant text that is neither "-" nor a square name.
const std::vector<BadFen> EN_PASSANT_TEXT = {
    {KK + " w - E3", P + "invalid ep coordinates"},
    {KK + " w - e9", P + "invalid ep coordinates"},
    {KK + " w - i3", P + "invalid ep coordinates"},
    {KK + " w - e0", P + "invalid ep coordinates"},
    {KK + " w - -x", P + "invalid ep coordinates"},
    {KK + " w - 3e", P + "invalid ep coordinates"},
    {KK + " w - e", P + "invalid en-passant"},
    {KK + " w - e3x", P + "invalid en-passant"},
    {KK + " w - x", P + "invalid en-passant"},
    {KK + " w - ---", P + "invalid en-passant"},
};

// Counters that read as numbers but are out of range.
const std::vector<BadFen> COUNTERS = {
    {KK + " w - - -1 1", P + "halfmove clock cannot be negative"},
    {KK + " w - - -1", P + "halfmove clock cannot be negative"},
    {KK + " w - - -1 0", P + "halfmove clock cannot be negative"},
    {KK + " w - - 0 0", P + "fullmove number must be at least 1"},
    {KK + " w - - 3 -5", P + "fullmove number must be at least 1"},
};

// Well-formed text for a placement no game can reach.
const std::vector<BadFen> ILLEGAL_PLACEMENT = {
    {"4k3/8/8/8/8/8/8/8 w - -", P + "expected exactly one white king"},
    {"4k3/8/8/8/8/8/8/3KK3 w - -", P + "expected exactly one white king"},
    {"8/8/8/8/8/8/8/8 w - -", P + "expected exactly one white king"},
    {"8/8/8/8/8/8/8/4K3 w - -", P + "expected exactly one black king"},
    {"k6k/8/8/8/8/8/8/4K3 w - -", P + "expected exactly one black king"},
    {"4k2P/8/8/8/8/8/8/4K3 w - -", P + "pawns cannot be on first or eighth rank"},
    {"4k3/8/8/8/8/8/8/p3K3 w - -", P + "pawns cannot be on first or eighth rank"},
    {"8/8/8/8/8/8/3k4/4K3 w - -", P + "kings are adjacent"},
    {"8/8/8/8/8/8/8/3kK3 b - -", P + "kings are adjacent"},
    {"4k3/8/8/8/8/8/8/4R1K1 w - -", P + "side not to move is in check"},
    {"4k3/8/8/8/8/8/3p4/4K3 b - -", P + "side not to move is in check"},
    {"4k3/3P4/8/8/8/8/8/4K3 w - -", P + "side not to move is in check"},
    {"4k3/8/5N2/8/8/8/8/4K3 w - -", P + "side not to move is in check"},
    {"4k3/8/8/b7/8/8/8/4K3 b - -", P + "side not to move is in check"},
};

// An en passant square that the last move cannot have made.
const std::vector<BadFen> EN_PASSANT_SQUARE = {
    {"4k3/8/4n3/8/8/8/8/4K3 w - e6", P + "en-passant target square is occupied"},
    {"4k3/8/8/8/8/8/8/4K3 w - e3", P + "en-passant square is on the wrong rank"},
    {"4k3/8/8/8/8/8/8/4K3 b - e6", P + "en-passant square is on the wrong rank"},
    {"4k3/8/8/8/8/8/8/4K3 w - e6", P + "en-passant square has no matching pawn"},
    {"4k3/8/8/4P3/8/8/8/4K3 w - e6", P + "en-passant square has no matching pawn"},  // own pawn
    {"4k3/8/8/8/4p3/8/8/4K3 b - e3", P + "en-passant square has no matching pawn"},
};

// A castling right whose king or rook is not on its home square.
const std::vector<BadFen> CASTLING_RIGHTS = {
    {"4k3/8/8/8/8/8/8/4K3 w K -", P + "white kingside castling right without king and rook"},
    {"4k3/8/8/8/8/8/8/3K3R w K -", P + "white kingside castling right without king and rook"},
    {"4k3/8/8/8/8/8/8/4K2r w K -", P + "white kingside castling right without king and rook"},
    {"4k3/8/8/8/8/8/8/4K2R w KQ -", P + "white queenside castling right without king and rook"},
    {"4k3/8/8/8/8/8/8/1R2K3 w Q -", P + "white queenside castling right without king and rook"},
    {"4k3/8/8/8/8/8/8/R3K2R w KQk -", P + "black kingside castling right without king and rook"},
    {"4k2R/8/8/8/8/8/8/4K3 w k -", P + "black kingside castling right without king and rook"},
    {"4k2r/8/8/8/8/8/8/4K3 w kq -", P + "black queenside castling right without king and rook"},
    {"r2k4/8/8/8/8/8/8/4K3 w q -", P + "black queenside castling right without king and rook"},
};

// Text with several faults gives the message of the one checked first: the
// fields are counted before the board is read, and the position is checked
// in the order clocks, kings, pawns, en passant square, castling rights,
// kings apart, check.
const std::vector<BadFen> FIRST_FAULT_WINS = {
    {"xyz/// w", P + "missing castling"},
    {"8/8/8/8/8/8/8/8 w - - -3 5", P + "halfmove clock cannot be negative"},
    {"P3k3/8/8/8/8/8/8/4K3 w - e3", P + "pawns cannot be on first or eighth rank"},
    {"4k3/8/8/8/8/8/8/4K3 w - e1", P + "en-passant target square is occupied"},
    {"4k3/8/8/8/8/8/8/4K3 w K e3", P + "en-passant square is on the wrong rank"},
    {"8/8/8/8/8/8/3k4/4K3 w K -", P + "white kingside castling right without king and rook"},
};

const std::vector<BadFen>* const BAD_FEN_GROUPS[] = {
    &MISSING_FIELDS, &BOARD_TEXT, &SIDE_TEXT, &CASTLING_TEXT, &EN_PASSANT_TEXT,
    &COUNTERS, &ILLEGAL_PLACEMENT, &EN_PASSANT_SQUARE, &CASTLING_RIGHTS, &FIRST_FAULT_WINS,
};

// Each text is rejected with its message, through the member and the wrapper.
void expect_rejected(const std::vector<BadFen>& cases) {
    for (const BadFen& b : cases) {
        Position pos;
        std::string err = "untouched";
        EXPECT_FALSE(pos.set_from_fen(b.fen, err)) << b.fen;
        EXPECT_EQ(err, b.message) << b.fen;
        Position pos2;
        std::string err2;
        EXPECT_FALSE(fen::parse_fen(b.fen, pos2, err2)) << b.fen;
        EXPECT_EQ(err2, b.message) << b.fen;
    }
}

}  // namespace

TEST_F(FenTest, RejectsMissingFields) { expect_rejected(MISSING_FIELDS); }
TEST_F(FenTest, RejectsBadBoardText) { expect_rejected(BOARD_TEXT); }
TEST_F(FenTest, RejectsBadSide) { expect_rejected(SIDE_TEXT); }
TEST_F(FenTest, RejectsBadCastlingText) { expect_rejected(CASTLING_TEXT); }
TEST_F(FenTest, RejectsBadEnPassantText) { expect_rejected(EN_PASSANT_TEXT); }
TEST_F(FenTest, RejectsCountersOutOfRange) { expect_rejected(COUNTERS); }
TEST_F(FenTest, RejectsIllegalPlacements) { expect_rejected(ILLEGAL_PLACEMENT); }
TEST_F(FenTest, RejectsUnreachableEnPassantSquares) { expect_rejected(EN_PASSANT_SQUARE); }
TEST_F(FenTest, RejectsCastlingRightsWithoutKingAndRook) { expect_rejected(CASTLING_RIGHTS); }
TEST_F(FenTest, ReportsTheFaultCheckedFirst) { expect_rejected(FIRST_FAULT_WINS); }

// The message list and the cases checked against each other: every message
// the cases draw from the reader is on the list, and every message on the
// list is drawn by some case.
TEST_F(FenTest, EveryReaderMessageIsProducedByACase) {
    std::vector<bool> produced(READER_MESSAGES.size(), false);
    for (const auto* group : BAD_FEN_GROUPS)
        for (const BadFen& b : *group) {
            Position pos;
            std::string err;
            pos.set_from_fen(b.fen, err);
            const size_t i = message_index(err);
            ASSERT_LT(i, READER_MESSAGES.size()) << "message not on the list: \"" << err << "\" for " << b.fen;
            produced[i] = true;
        }
    for (size_t i = 0; i < READER_MESSAGES.size(); ++i)
        EXPECT_TRUE(produced[i]) << "no case gives \"" << P << READER_MESSAGES[i] << "\"";
}

// The field count is checked before anything is written: such text leaves
// the position exactly as it was, history and keys included.
TEST_F(FenTest, TooFewFieldsLeaveThePositionAsItWas) {
    Position pos = from_fen(vwtest::KIWIPETE);
    pos.make_move(vwtest::mv(pos, "e1g1"));
    const Position before = pos;
    std::string err;
    for (const char* f : {"", "   ", "xyz///", "xyz/// w", "xyz/// w KQ", "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq"}) {
        EXPECT_FALSE(pos.set_from_fen(f, err)) << f;
        vwtest::expect_same_state(pos, before, f);
    }
}

TEST_F(FenTest, ErrorUntouchedOnSuccess) {
    Position pos;
    std::string err;
    EXPECT_FALSE(pos.set_from_fen("", err));
    EXPECT_EQ(err, P + "empty");
    EXPECT_TRUE(pos.set_from_fen(vwtest::START, err));
    EXPECT_EQ(err, P + "empty");
    std::string other = "something";
    EXPECT_TRUE(fen::parse_fen(vwtest::START, pos, other));
    EXPECT_EQ(other, "something");
}

TEST_F(FenTest, FailureAfterClearLeavesPartlyBuiltPosition) {
    Position pos = from_fen(vwtest::KIWIPETE);
    std::string err;
    EXPECT_FALSE(pos.set_from_fen("4k3/8/8/8/8/8/8/4K3 b KQ - 3 7", err));
    EXPECT_EQ(err, P + "white kingside castling right without king and rook");
    // Read up to the fault: placement, side, rights, clocks; history of the
    // empty board's key.
    EXPECT_EQ(pos.side, BLACK);
    EXPECT_EQ(pos.castling_rights, 3u);
    EXPECT_EQ(pos.halfmove_clock, 3);
    EXPECT_EQ(pos.fullmove_number, 7);
    EXPECT_EQ(pos.piece_count[5], 1);
    ASSERT_EQ(pos.key_history.size(), 1u);
    EXPECT_EQ(pos.key_history[0], Zobrist::castling_key(0));
}

TEST_F(FenTest, Clocks) {
    struct C {
        std::string tail;
        int half, full;
    };
    const C cases[] = {
        {"", 0, 1},
        {" 7", 7, 1},
        {" abc", 0, 1},
        {" abc 9", 0, 1},
        {" x 0", 0, 1},  // the halfmove read failed, so the fullmove read fails too
        {" 7 abc", 7, 1},
        {" 3 15", 3, 15},
        {" 3 15 extra words here", 3, 15},
        {" 3 15 -1 0", 3, 15},
        {" +5 +7", 5, 7},
        {" 7abc 9", 7, 1},
        {" 12 34x", 12, 34},
        {" 99999999999 5", 0, 1},  // out of range
        {" 5 99999999999", 5, 1},
        {" 0 2147483647", 0, 2147483647},
        {"\t4\n\n 8 ", 4, 8},
    };
    for (const C& c : cases) {
        const std::string f = KK + " w - -" + c.tail;
        Position pos;
        std::string err;
        ASSERT_TRUE(pos.set_from_fen(f, err)) << f << " " << err;
        EXPECT_EQ(pos.halfmove_clock, c.half) << f;
        EXPECT_EQ(pos.fullmove_number, c.full) << f;
    }
}

TEST_F(FenTest, AcceptedPositionsAndFields) {
    Position pos = from_fen(KK + " w - -");
    EXPECT_EQ(pos.side, WHITE);
    EXPECT_EQ(pos.castling_rights, 0u);
    EXPECT_EQ(pos.ep_square, NO_SQUARE);
    EXPECT_EQ(pos.plies_since_null, 0);
    EXPECT_EQ(pos.pinned[0] | pos.pinned[1], 0u);
    vwtest::expect_consistent(pos);
    ASSERT_EQ(pos.key_history.size(), 1u);
    EXPECT_GE(pos.key_history.capacity(), 256u);
    // Castling letters in any order, written back as KQkq.
    Position rev = from_fen("r3k2r/8/8/8/8/8/8/R3K2R w qkQK - 0 1");
    EXPECT_EQ(rev.castling_rights, 15u);
    EXPECT_EQ(rev.to_fen(), "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1");
    // The side to move may be in check.
    Position chk = from_fen("4k3/8/8/8/8/8/8/4r1K1 w - - 0 1");
    EXPECT_TRUE(chk.in_check(WHITE));
    // e2e4 with e3: accepted, the square dropped.
    Position e4 = from_fen("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1");
    EXPECT_EQ(e4.ep_square, NO_SQUARE);
    EXPECT_EQ(e4.to_fen(), "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    // A usable square is kept and written back.
    const std::string kept = "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3";
    EXPECT_EQ(from_fen(kept).to_fen(), kept);
    // Reloading over a used position replaces everything.
    Position reused = from_fen(vwtest::KIWIPETE);
    reused.make_move(vwtest::mv(reused, "e1g1"));
    std::string err;
    ASSERT_TRUE(reused.set_from_fen(vwtest::START, err));
    vwtest::expect_same_state(reused, from_fen(vwtest::START));
}

TEST_F(FenTest, RoundTrips) {
    const std::vector<const char*> fens = vwtest::perft_positions_then({
        "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
        "4k3/8/8/8/3Pp3/8/8/4K3 b - d3 17 45",
        "r3k3/8/8/8/8/8/8/4K2R b Kq - 99 200",
        "7k/8/8/8/8/8/8/K7 b - - 0 1",
    });
    for (const char* f : fens) {
        const Position pos = from_fen(f);
        EXPECT_EQ(pos.to_fen(), f);
        EXPECT_EQ(fen::to_fen(pos), f);
        vwtest::expect_consistent(pos, f);
    }
    EXPECT_EQ(Position().to_fen(), "8/8/8/8/8/8/8/8 w - - 0 1");
    EXPECT_EQ(from_fen(fen::START_FEN).to_fen(), fen::START_FEN);
    // Extra whitespace and trailing words normalise away.
    EXPECT_EQ(from_fen("  4k3/8/8/8/8/8/8/4K3\tb   -  -  5   9  trailing words").to_fen(),
              "4k3/8/8/8/8/8/8/4K3 b - - 5 9");
}

TEST_F(FenTest, BoardPicture) {
    const std::string want =
        "8 r n b q k b n r \n"
        "7 p p p p p p p p \n"
        "6 . . . . . . . . \n"
        "5 . . . . . . . . \n"
        "4 . . . . . . . . \n"
        "3 . . . . . . . . \n"
        "2 P P P P P P P P \n"
        "1 R N B Q K B N R \n"
        "  a b c d e f g h\n";
    EXPECT_EQ(from_fen(vwtest::START).board_visual(), want);
    const std::string kiwi =
        "8 r . . . k . . r \n"
        "7 p . p p q p b . \n"
        "6 b n . . p n p . \n"
        "5 . . . P N . . . \n"
        "4 . p . . P . . . \n"
        "3 . . N . . Q . p \n"
        "2 P P P B B P P P \n"
        "1 R . . . K . . R \n"
        "  a b c d e f g h\n";
    EXPECT_EQ(from_fen(vwtest::KIWIPETE).board_visual(), kiwi);
}

// No text may crash the reader: random bytes, FEN-alphabet soup and mutations
// of valid FENs. Every result is either a consistent position whose FEN reads
// back to itself, or a failure with a message on the reader's list.
TEST_F(FenTest, ArbitraryTextNeverCrashes) {
    std::mt19937_64 rng(31337);
    const std::string alphabet = "pnbrqkPNBRQK12345678 09/-wbKQkqabcdefgh \t+x";
    const std::vector<std::string> seeds = {vwtest::START, vwtest::KIWIPETE, "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
                                            "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1"};
    int accepted = 0;
    for (int i = 0; i < 30000; ++i) {
        std::string text;
        const int mode = i % 3;
        if (mode == 0) {
            const size_t n = rng() % 80;
            for (size_t j = 0; j < n; ++j) text += char(rng() & 0xFF);
        } else if (mode == 1) {
            const size_t n = rng() % 90;
            for (size_t j = 0; j < n; ++j) text += alphabet[rng() % alphabet.size()];
        } else {
            text = seeds[rng() % seeds.size()];
            const int edits = 1 + int(rng() % 4);
            for (int e = 0; e < edits && !text.empty(); ++e) {
                const size_t at = rng() % text.size();
                switch (rng() % 3) {
                    case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
                    case 1: text.erase(at, 1); break;
                    default: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
                }
            }
        }
        Position pos;
        std::string err;
        if (pos.set_from_fen(text, err)) {
            ++accepted;
            ASSERT_TRUE(err.empty());
            const std::string out = pos.to_fen();
            Position again;
            std::string err2;
            ASSERT_TRUE(again.set_from_fen(out, err2)) << text << " -> " << out << " -> " << err2;
            ASSERT_EQ(again.to_fen(), out);
            ASSERT_EQ(again.key, pos.key);
            ASSERT_EQ(pos.key, Zobrist::compute_key(pos));
            ASSERT_FALSE(pos.in_check(Color(pos.side ^ 1))) << text;
        } else {
            ASSERT_LT(message_index(err), READER_MESSAGES.size()) << "message not on the list: \"" << err << "\"";
        }
    }
    EXPECT_GT(accepted, 100);
}
