// Black-box tests of the UCI front end: the real binary is driven through pipes
// and its output lines are checked exactly, including the races between the
// command thread and the search thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board/fen.h"
#include "board/move.h"
#include "board/movegen.h"
#include "board/position.h"
#include "tests/test_util.h"
#include "tests/uci_driver.h"

namespace {

using Lines = std::vector<std::string>;

const std::string START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1";
const std::string KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1";
const std::string ITALIAN = "r1bqkb1r/pppp1ppp/2n2n2/4p3/2B1P3/5N2/PPPP1PPP/RNBQK2R w KQkq - 4 4";
// Bare kings: every search of it completes all 64 iterations within milliseconds.
const std::string KINGS = "8/8/8/4k3/8/8/8/4K3 w - - 0 1";

const Lines START_PICTURE = {
    "8 r n b q k b n r ", "7 p p p p p p p p ", "6 . . . . . . . . ",
    "5 . . . . . . . . ", "4 . . . . . . . . ", "3 . . . . . . . . ",
    "2 P P P P P P P P ", "1 R N B Q K B N R ", "  a b c d e f g h",
};

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}
bool is_bestmove(const std::string& l) {
    return starts_with(l, "bestmove");
}
bool is_search_info(const std::string& l) {
    return starts_with(l, "info depth ");
}

std::string first(const Lines& lines) {
    return lines.empty() ? std::string("(nothing)") : lines[0];
}

int count_bestmoves(const Lines& lines) {
    return int(std::count_if(lines.begin(), lines.end(), is_bestmove));
}

Lines search_lines(const Lines& lines) {
    Lines out;
    for (const std::string& l : lines)
        if (is_search_info(l) || is_bestmove(l)) out.push_back(l);
    return out;
}

std::vector<int> depths(const Lines& lines) {
    std::vector<int> out;
    for (const std::string& l : lines)
        if (is_search_info(l)) out.push_back(std::stoi(l.substr(11)));
    return out;
}

std::vector<int> one_to(int n) {
    std::vector<int> v;
    for (int d = 1; d <= n; ++d) v.push_back(d);
    return v;
}

Lines split_words(const std::string& line) {
    std::istringstream in(line);
    Lines words;
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

bool is_number(const std::string& s, bool allow_sign) {
    const size_t first = allow_sign && !s.empty() && s[0] == '-' ? 1 : 0;
    if (s.size() == first || s.size() - first > 20) return false;
    return std::all_of(s.begin() + long(first), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool is_move_text(const std::string& s) {
    return (s.size() == 4 || (s.size() == 5 && std::string("nbrq").find(s[4]) != std::string::npos)) &&
           s[0] >= 'a' && s[0] <= 'h' && s[1] >= '1' && s[1] <= '8' && s[2] >= 'a' && s[2] <= 'h' &&
           s[3] >= '1' && s[3] <= '8';
}

// The search's lines without the two clock-dependent fields.
Lines without_timing(const Lines& lines) {
    Lines out;
    for (std::string l : search_lines(lines)) {
        const size_t from = l.find(" time "), to = l.find(" hashfull ");
        if (from != std::string::npos && to != std::string::npos) l.erase(from, to - from);
        out.push_back(l);
    }
    return out;
}

// The engine's own board, used to check that what it plays is legal.
class Board {
public:
    explicit Board(const std::string& fen = START_FEN) {
        vwtest::init_tables();
        std::string err;
        EXPECT_TRUE(fen::parse_fen(fen, pos_, err)) << err;
    }
    Lines legal() {
        std::vector<unsigned> moves;
        MoveGen::generate_legal(pos_, moves);
        Lines out;
        for (unsigned m : moves) out.push_back(move_to_uci(m));
        return out;
    }
    bool is_legal(const std::string& text) {
        const Lines l = legal();
        return std::find(l.begin(), l.end(), text) != l.end();
    }
    bool play(const std::string& text) {
        std::vector<unsigned> moves;
        MoveGen::generate_legal(pos_, moves);
        for (unsigned m : moves) {
            if (move_to_uci(m) == text) {
                pos_.make_move(m);
                return true;
            }
        }
        return false;
    }

private:
    Position pos_;
};

// Checks every line of one search: the "info" format, nps, a legal pv, and a
// last "bestmove" that is legal and carries no ponder move.
void expect_sound_search(const Lines& lines, const std::string& root_fen) {
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        const Lines w = split_words(lines[i]);
        const Lines fixed = {"info", "depth", "", "seldepth", "", "multipv", "1", "score",    "",
                             "",     "nodes", "", "time",     "", "nps",     "",  "hashfull", ""};
        ASSERT_GE(w.size(), fixed.size()) << lines[i];
        for (size_t k = 0; k < fixed.size(); ++k) {
            if (k == 8) {
                ASSERT_TRUE(w[k] == "cp" || w[k] == "mate") << lines[i];
            } else if (fixed[k].empty()) {
                ASSERT_TRUE(is_number(w[k], k == 9)) << lines[i];  // only the score has a sign
            } else {
                ASSERT_EQ(w[k], fixed[k]) << lines[i];
            }
        }
        ASSERT_EQ(lines[i], [&] {
            std::string joined;
            for (const std::string& x : w) joined += (joined.empty() ? "" : " ") + x;
            return joined;
        }()) << "single blanks only";
        const uint64_t nodes = std::stoull(w[11]), time = std::stoull(w[13]), nps = std::stoull(w[15]);
        EXPECT_EQ(nps, time > 0 ? nodes * 1000 / time : nodes) << lines[i];
        const int hashfull = std::stoi(w[17]);
        EXPECT_TRUE(hashfull >= 0 && hashfull <= 1000) << lines[i];
        if (w.size() == fixed.size()) continue;
        ASSERT_EQ(w[18], "pv") << lines[i];
        ASSERT_GT(w.size(), 19u) << lines[i];
        Board b(root_fen);
        for (size_t k = 19; k < w.size(); ++k) {
            EXPECT_TRUE(is_move_text(w[k])) << lines[i];
            EXPECT_TRUE(b.play(w[k])) << "pv move " << w[k] << " in " << lines[i];
        }
    }
    const std::string& last = lines.back();
    ASSERT_TRUE(is_bestmove(last)) << last;
    ASSERT_EQ(last.find(' '), last.rfind(' ')) << "two words only: " << last;
    EXPECT_TRUE(Board(root_fen).is_legal(last.substr(9))) << last;
}

// Runs one search to its "bestmove" and returns its lines.
Lines search(UciDriver& e, const Lines& commands) {
    e.send_all(commands);
    return e.read_until(is_bestmove);
}

// Starts "go infinite" and waits until it has reported, so it is surely running.
void start_infinite(UciDriver& e) {
    e.send("go infinite");
    e.read_until(is_search_info);
}

std::function<bool(const std::string&)> is_info_of_depth(int depth) {
    return [depth](const std::string& l) { return starts_with(l, "info depth " + std::to_string(depth) + " "); };
}

// Every line that arrives within `wait`. Used for checks that nothing comes: a
// slow machine can only make such a check wait longer than needed.
Lines lines_within(UciDriver& e, UciDriver::Ms wait) {
    const auto deadline = UciDriver::Clock::now() + wait;
    Lines out;
    for (;;) {
        const auto left = std::chrono::duration_cast<UciDriver::Ms>(deadline - UciDriver::Clock::now());
        if (left.count() <= 0) return out;
        const std::optional<std::string> line = e.read_line(left);
        if (!line) return out;
        out.push_back(*line);
    }
}

// Runs an infinite search that ends by itself after its iteration `last_depth`:
// it must then hold its "bestmove" until "stop". Returns all its lines.
Lines held_search(UciDriver& e, const Lines& commands, int last_depth) {
    e.send_all(commands);
    Lines out = e.read_until(is_info_of_depth(last_depth));
    EXPECT_EQ(lines_within(e, UciDriver::Ms(200)), Lines{}) << "nothing may come before stop";
    const Lines stopped = e.exchange({"stop"});
    out.insert(out.end(), stopped.begin(), stopped.end());
    return out;
}

// ---------------------------------------------------------------------------
// Start-up, the loop, "uci", "isready", "quit", "d", "perft"
// ---------------------------------------------------------------------------

const Lines UCI_OPTION_LINES = {
    "option name Hash type spin default 64 min 1 max 4096",
    "option name Move Overhead type spin default 30 min 0 max 5000",
    "option name Minimum Thinking Time type spin default 20 min 0 max 5000",
    "option name Slow Mover type spin default 100 min 10 max 500",
    "option name SeeCaptureMargin type spin default 32 min 0 max 200",
    "option name SeeCaptureDepth type spin default 6 min 0 max 12",
    "option name SeeQuietMargin type spin default 40 min 0 max 400",
    "option name SeeQuietDepth type spin default 10 min 0 max 12",
    "option name SeeEndgameGuard type spin default 0 min 0 max 32",
    "option name SeeCaptHistDiv type spin default 512 min 0 max 4096",
    "option name SeeQuietHistDiv type spin default 512 min 0 max 4096",
    "option name CorrPawnWeight type spin default 2 min 0 max 8",
    "option name CorrNonPawnWeight type spin default 1 min 0 max 8",
    "option name CorrContWeight type spin default 1 min 0 max 8",
    "option name CorrWeightScale type spin default 2 min 1 max 8",
};

void expect_uci_reply(const Lines& reply) {
    ASSERT_EQ(reply.size(), 19u);
    EXPECT_EQ(reply[0], "id name Vellowind 3.3");
    EXPECT_TRUE(starts_with(reply[1], "id author ") && reply[1].size() > 10) << reply[1];
    EXPECT_TRUE(starts_with(reply[2], "id country ") && reply[2].size() > 11) << reply[2];
    EXPECT_EQ(Lines(reply.begin() + 3, reply.end() - 1), UCI_OPTION_LINES);
    EXPECT_EQ(reply.back(), "uciok");
}

TEST(UciLoop, FirstCommandGetsTheFirstLine) {
    UciDriver e;
    e.send("isready");
    EXPECT_EQ(e.read_line(), "readyok");
}

TEST(UciLoop, UciReplyForEachSpelling) {
    UciDriver e;
    for (const char* line : {"uci", "  uci", "uci now", "uci\r", "\tuci"}) {
        SCOPED_TRACE(line);
        expect_uci_reply(e.exchange({line}));
    }
    // The option lines always show the start values.
    expect_uci_reply(
        e.exchange({"setoption name Hash value 128", "setoption name Slow Mover value 300", "uci"}));
}

TEST(UciLoop, IgnoredLinesWriteNothing) {
    const Lines ignored = {"UCI",
                           "Uci",
                           "isReady",
                           "ISREADY",
                           "   ",
                           "\t \r",
                           "\r",
                           "foo bar",
                           "go_depth 1",
                           "positionstartpos",
                           "D",
                           "Perft 1",
                           "Eval",
                           "stop",
                           "stop now",
                           "setoption",
                           std::string("isready\0", 8),
                           std::string("\0isready", 8),
                           std::string(1, '\0')};
    UciDriver e;
    for (const std::string& line : ignored) {
        SCOPED_TRACE(line);
        EXPECT_EQ(e.exchange({line}), Lines{});
    }
    EXPECT_EQ(e.exchange({"", "", "isready now", " isready"}), (Lines{"readyok", "readyok"}));
}

TEST(UciLoop, CarriageReturnEndsLikeNewline) {
    UciDriver e;
    const Lines out = e.exchange({"position startpos moves e2e4\r", "d\r", "perft 1\r"});
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out[0], "info string fen rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1");
    EXPECT_EQ(out[11], "perft nodes=20 captures=0 enpassant=0 castles=0 promotions=0");
    EXPECT_EQ(depths(search(e, {"go depth 2\r"})), one_to(2));
}

struct ExitCase {
    const char* name;
    std::string input;
    Lines expected;
};

TEST(UciLoop, QuitAndEndOfInputExitWithZero) {
    const ExitCase cases[] = {
        {"quit", "quit\n", {}},
        {"end of input", "", {}},
        {"nothing after quit runs", "isready\nquit\nisready\nd\n", {"readyok"}},
        {"quit reads no words", "quit now\nisready\n", {}},
        {"last line without newline",
         "position startpos moves e2e4\nperft 1",
         {"perft nodes=20 captures=0 enpassant=0 castles=0 promotions=0"}},
        {"last line quit without newline", "isready\nquit", {"readyok"}},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.name);
        UciDriver e;
        e.write_raw(c.input);
        e.close_input();
        EXPECT_EQ(e.read_all(), c.expected);
        EXPECT_EQ(e.finish(), 0);
    }
}

TEST(UciLoop, DShowsFenAndPicture) {
    UciDriver e;
    Lines expected = {"info string fen " + START_FEN, "info string"};
    expected.insert(expected.end(), START_PICTURE.begin(), START_PICTURE.end());
    EXPECT_EQ(e.exchange({"d"}), expected);
    EXPECT_EQ(e.exchange({"d extra words"}), expected);

    const Lines k = e.exchange({"position fen " + KIWIPETE, "d"});
    ASSERT_EQ(k.size(), 11u);
    EXPECT_EQ(k[0], "info string fen " + KIWIPETE);
    EXPECT_EQ(k[2], "8 r . . . k . . r ");
    EXPECT_EQ(k[6], "4 . p . . P . . . ");
}

struct PerftCase {
    std::string setup;
    std::string command;
    std::string expected;
};

TEST(UciLoop, PerftDepthsAndCounters) {
    const std::string one = "perft nodes=1 captures=0 enpassant=0 castles=0 promotions=0";
    const PerftCase cases[] = {
        {"position startpos", "perft", "perft nodes=20 captures=0 enpassant=0 castles=0 promotions=0"},
        {"position startpos", "perft 0", one},
        {"position startpos", "perft x", one},
        {"position startpos", "perft -1", one},
        {"position startpos", "perft -99999999999", one},
        {"position startpos", "perft 3x", "perft nodes=8902 captures=34 enpassant=0 castles=0 promotions=0"},
        {"position startpos", "perft\t2 5", "perft nodes=400 captures=0 enpassant=0 castles=0 promotions=0"},
        {"position fen " + KIWIPETE, "perft 2",
         "perft nodes=2039 captures=351 enpassant=1 castles=91 promotions=0"},
        {"position fen 4k3/1P6/8/8/8/8/8/4K3 w - - 0 1", "perft 1",
         "perft nodes=9 captures=0 enpassant=0 castles=0 promotions=4"},
        {"position startpos moves f2f3 e7e5 g2g4 d8h4", "perft 3",
         "perft nodes=0 captures=0 enpassant=0 castles=0 promotions=0"},
    };
    UciDriver e;
    for (const PerftCase& c : cases) {
        SCOPED_TRACE(c.setup + " / " + c.command);
        e.exchange({c.setup});
        const Lines before = e.exchange({"d"});
        EXPECT_EQ(e.exchange({c.command}), Lines{c.expected});
        EXPECT_EQ(e.exchange({"d"}), before) << "perft must not move the engine position";
    }
}

// ---------------------------------------------------------------------------
// "position"
// ---------------------------------------------------------------------------

struct PositionCase {
    std::string command;
    std::string fen;      // expected engine position; empty: unchanged
    std::string message;  // expected "info string" reply; empty: none
};

TEST(UciPosition, EveryFormAndEveryRejection) {
    const std::string previous = "rnbqkbnr/pppppppp/8/8/3P4/8/PPP1PPPP/RNBQKBNR b KQkq - 0 1";
    const std::string unsupported = "info string unsupported position command";
    const std::string illegal = "info string illegal move in position command";
    const PositionCase cases[] = {
        {"position", "", unsupported},
        {"position    ", "", unsupported},
        {"position foo", "", unsupported},
        {"position moves e2e4", "", unsupported},
        {"position startpos", START_FEN, ""},
        {"position startpos moves", START_FEN, ""},
        {"position startpos moves   \r", START_FEN, ""},
        {"position startpos moves e2e4 e7e5", "rnbqkbnr/pppp1ppp/8/4p3/4P3/8/PPPP1PPP/RNBQKBNR w KQkq - 0 2",
         ""},
        {"position\tstartpos\tmoves\te2e4\r", "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1",
         ""},
        {"position startpos foo moves e2e4", START_FEN, ""},
        {"position startpos moves e2e4 e2e4", "", illegal},
        {"position startpos moves e2e4 xyz", "", illegal},
        {"position startpos moves e2e5", "", illegal},
        {"position startpos moves 0000", "", illegal},
        {"position startpos moves E2E4", "", illegal},
        {"position startpos moves e2e4 a7a6 e4e5 d7d5 e5d6",
         "rnbqkbnr/1pp1pppp/p2P4/8/8/8/PPPP1PPP/RNBQKBNR b KQkq - 0 3", ""},
        {"position fen 4k3/P7/8/8/8/8/8/4K3 w - - 0 1 moves a7a8q", "Q3k3/8/8/8/8/8/8/4K3 b - - 0 1", ""},
        {"position fen 4k3/P7/8/8/8/8/8/4K3 w - - 0 1 moves a7a8Q", "", illegal},
        {"position fen 4k3/P7/8/8/8/8/8/4K3 w - - 0 1 moves a7a8", "", illegal},
        {"position fen r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1 moves e1g1 e8c8",
         "2kr3r/8/8/8/8/8/8/R4RK1 w - - 2 2", ""},
        {"position fen 4k3/4r3/8/8/8/8/4B3/4K3 w - - 0 1 moves e2d3", "", illegal},
        {"position fen    " + START_FEN + "   ", START_FEN, ""},
        {"position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - moves e2e4",
         "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1", ""},
        {"position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - moves", START_FEN, ""},
        {"position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 5 9 moves",
         "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 5 9", ""},
        {"position fen 8/8/8/8/8/8/8/8", "", "info string bad fen: FEN parse error: missing side"},
        {"position fen", "", "info string bad fen: FEN parse error: empty"},
        {"position fen   \r", "", "info string bad fen: FEN parse error: empty"},
        {"position fen 4k3/8/8/8/8/8/8/4K3 w - - -1 1", "",
         "info string bad fen: FEN parse error: halfmove clock cannot be negative"},
        {"position fen 4k3/8/8/8/8/8/8/4K3 w - - 99999999999 99999999999", "4k3/8/8/8/8/8/8/4K3 w - - 0 1",
         ""},
        {"position fen 4k3/8/8/8/8/8/8/4K3 w - - 7 99999999999", "4k3/8/8/8/8/8/8/4K3 w - - 7 1", ""},
        {"position fen 4k3/8/8/8/8/8/8/4KX2 w - - 0 1", "",
         "info string bad fen: FEN parse error: invalid piece char: X"},
    };
    UciDriver e;
    for (const PositionCase& c : cases) {
        SCOPED_TRACE(c.command);
        const Lines out = e.exchange({"position startpos moves d2d4", c.command, "d"});
        ASSERT_EQ(out.size(), c.message.empty() ? 11u : 12u);
        if (!c.message.empty()) {
            EXPECT_EQ(out[0], c.message);
        }
        EXPECT_EQ(out[out.size() - 11], "info string fen " + (c.fen.empty() ? previous : c.fen));
    }
}

// ---------------------------------------------------------------------------
// "go", "stop", "info", "bestmove"
// ---------------------------------------------------------------------------

TEST(UciGo, DepthNPrintsExactlyItsIterations) {
    UciDriver e;
    for (const std::string& fen : {START_FEN, KIWIPETE, ITALIAN}) {
        for (int n = 1; n <= 5; ++n) {
            SCOPED_TRACE(fen + " depth " + std::to_string(n));
            const Lines out = search(e, {"position fen " + fen, "go depth " + std::to_string(n)});
            EXPECT_EQ(depths(out), one_to(n));
            expect_sound_search(out, fen);
        }
    }
}

struct GoWordCase {
    std::string fen;
    std::string go;
    int iterations;
};

// Each search below ends by itself, so the number of iterations shows how the
// words were read: a clock of 0 for the side to move allows one iteration only.
TEST(UciGo, WordsAndNumberRules) {
    const std::string black = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 1";
    const GoWordCase cases[] = {
        {START_FEN, "go depth 3", 3},
        {START_FEN, "go depth +3", 3},
        {START_FEN, "go depth 3x", 3},
        {START_FEN, "go DEPTH 2 depth 3", 3},
        {START_FEN, "go depth 2 depth 4", 4},
        {START_FEN, "go depth 3 depth", 3},  // line ends: the value stays
        {START_FEN, "go ponder depth 2", 2},
        {START_FEN, "go searchmoves e2e4 depth 2", 2},
        {START_FEN, "go depth 2 foo x depth 4", 4},   // unknown word and its number skipped
        {START_FEN, "go depth 2 winc x depth 4", 2},  // unreadable number ends the line
        {START_FEN, "go depth 2 binc x depth 4", 2},
        {START_FEN, "go depth 2 movestogo x depth 4", 2},
        {START_FEN, "go depth 2 movetime x depth 4", 2},
        {START_FEN, "go depth 2 nodes x depth 4", 2},
        {START_FEN, "go depth 2 infinite x depth 4", 4},  // "infinite" reads no number
        {START_FEN, "go depth 3 wtime abc depth 5", 1},   // wtime becomes 0
        {START_FEN, "go depth 3 btime abc depth 5", 3},   // not the side to move
        {START_FEN, "go depth 3 wtime 0", 1},
        {START_FEN, "go depth 3 btime 0", 3},
        {black, "go depth 3 btime 0", 1},
        {black, "go depth 3 wtime 0", 3},
        {black, "go depth 3 wtime abc btime 0", 3},              // btime never read
        {START_FEN, "go depth 3 wtime 99999999999 depth 5", 3},  // nearest limit, reading ends
        {START_FEN, "go depth 3 wtime -99999999999", 3},         // nearest limit: no clock
        {START_FEN, "go depth 3 nodes 999999999999999999999999 depth 5", 3},
        {START_FEN, "go wtime 0 movetime x", 1},
        {START_FEN, "go nodes 1", 1},           // depth 1 always completes
        {START_FEN, "go infinite depth 2", 2},  // ends by itself at its depth
        {START_FEN, "go infinite nodes 1", 1},  // ends by itself at its node limit
    };
    UciDriver e;
    for (const GoWordCase& c : cases) {
        SCOPED_TRACE(c.fen + " / " + c.go);
        const Lines commands = {"position fen " + c.fen, c.go};
        const Lines out = c.go.find("infinite") == std::string::npos
                              ? search(e, commands)
                              : held_search(e, commands, c.iterations);
        EXPECT_EQ(depths(out), one_to(c.iterations));
        expect_sound_search(out, c.fen);
    }
}

TEST(UciGo, TimedSearchesEndByThemselves) {
    UciDriver e;
    for (const char* go :
         {"go movetime 50", "go wtime 2000", "go wtime 3000 winc 100 movestogo 10", "go movetime 1"}) {
        SCOPED_TRACE(go);
        expect_sound_search(search(e, {"position fen " + ITALIAN, go}), ITALIAN);
    }
}

struct ScoreCase {
    std::string fen;
    std::string score;
    Lines bestmoves;  // every move that keeps the announced mate
};

TEST(UciGo, MateScoresAreShownInMoves) {
    const ScoreCase cases[] = {
        {"k7/8/1K6/8/8/8/8/7R w - - 0 1", "mate 1", {"bestmove h1h8"}},
        {"k7/8/2K5/8/8/8/8/7R w - - 0 1", "mate 2", {"bestmove c6b6", "bestmove c6c7"}},
        {"k7/8/1K6/8/8/8/8/7R b - - 0 1", "mate -1", {"bestmove a8b8"}},
    };
    UciDriver e;
    for (const ScoreCase& c : cases) {
        SCOPED_TRACE(c.fen);
        const Lines out = search(e, {"position fen " + c.fen, "go depth 5"});
        expect_sound_search(out, c.fen);
        ASSERT_GE(out.size(), 2u);
        EXPECT_NE(out[out.size() - 2].find(" score " + c.score + " nodes "), std::string::npos)
            << out[out.size() - 2];
        EXPECT_NE(std::find(c.bestmoves.begin(), c.bestmoves.end(), out.back()), c.bestmoves.end())
            << out.back();
    }
}

TEST(UciGo, RootWithoutLegalMoves) {
    const std::string mated =
        "info depth 0 seldepth 0 multipv 1 score mate 0 nodes 0 time 0 nps 0 hashfull 0";
    const std::string stalemated =
        "info depth 0 seldepth 0 multipv 1 score cp 0 nodes 0 time 0 nps 0 hashfull 0";
    struct Case {
        std::string position;
        std::string go;
        std::string info;
    };
    const Case cases[] = {
        {"position startpos moves f2f3 e7e5 g2g4 d8h4", "go depth 3", mated},
        {"position startpos moves f2f3 e7e5 g2g4 d8h4", "go infinite", mated},
        {"position fen k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", "go", stalemated},
        {"position fen k7/2Q5/1K6/8/8/8/8/8 b - - 0 1", "go wtime 1000 btime 1000", stalemated},
    };
    UciDriver e;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position + " / " + c.go);
        const Lines out = c.go == "go infinite" ? held_search(e, {c.position, c.go}, 0)
                                                : search(e, {c.position, c.go});
        EXPECT_EQ(out, (Lines{c.info, "bestmove 0000"}));
    }
}

TEST(UciGo, StopEndsTheSearchWithOneBestmove) {
    UciDriver e;
    EXPECT_EQ(e.exchange({"stop"}), Lines{}) << "stop without a search";
    e.exchange({"position fen " + KIWIPETE});
    start_infinite(e);
    const Lines out = e.exchange({"stop"});
    EXPECT_EQ(count_bestmoves(out), 1);
    EXPECT_TRUE(is_bestmove(out.back()));
    EXPECT_TRUE(Board(KIWIPETE).is_legal(out.back().substr(9))) << out.back();
    EXPECT_EQ(e.exchange({"stop"}), Lines{}) << "a second stop finds no search";
}

TEST(UciGo, InfiniteSearchThatEndsByItselfWaitsForStop) {
    UciDriver e;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        e.exchange({"position fen " + KINGS});
        e.send("go infinite");
        EXPECT_EQ(depths(e.read_until(is_info_of_depth(64))), one_to(64));
        EXPECT_EQ(lines_within(e, UciDriver::Ms(1000)), Lines{}) << "no bestmove before stop";
        EXPECT_EQ(e.exchange({"isready"}), Lines{"readyok"}) << "isready still answers at once";
        const Lines stopped = e.exchange({"stop"});
        ASSERT_EQ(stopped.size(), 1u);
        EXPECT_TRUE(is_bestmove(stopped[0]) && Board(KINGS).is_legal(stopped[0].substr(9))) << stopped[0];
        EXPECT_EQ(e.exchange({"stop"}), Lines{}) << "exactly one bestmove";
    }
}

// A finished infinite search that is still waiting for "stop" is cancelled like
// a running one: its move is never written, and the next search answers.
TEST(UciGo, CommandsThatCancelAFinishedInfiniteSearch) {
    const Lines cancels = {"position fen " + KINGS, "ucinewgame", "setoption name Hash value 1", "perft 1",
                           "go depth 1"};
    UciDriver e;
    for (const std::string& cancel : cancels) {
        SCOPED_TRACE(cancel);
        e.exchange({"position fen " + KINGS});
        e.send("go infinite");
        e.read_until(is_info_of_depth(64));
        const Lines out = search(e, starts_with(cancel, "go") ? Lines{cancel} : Lines{cancel, "go depth 1"});
        EXPECT_EQ(count_bestmoves(out), 1) << "only the next search's move";
        EXPECT_EQ(depths(out), one_to(1));
        EXPECT_EQ(e.exchange({"stop"}), Lines{}) << "no search may be left";
    }
    for (const char* tail : {"quit\n", ""}) {
        SCOPED_TRACE(std::string("end with ") + tail);
        UciDriver q;
        q.write_raw("position fen " + KINGS + "\ngo infinite\n");
        q.read_until(is_info_of_depth(64));
        q.write_raw(tail);
        q.close_input();
        EXPECT_EQ(count_bestmoves(q.read_all()), 0);
        EXPECT_EQ(q.finish(), 0);
    }
}

// The search thread brings its own stack: under a 256 KiB process stack limit,
// which new threads otherwise inherit, a search some 30 plies deep still ends.
TEST(UciGo, DeepSearchUnderASmallStackLimit) {
    const std::string fen = "8/8/8/4k3/8/8/8/R3K3 w Q - 0 1";
    UciDriver e("ulimit -s 256;");
    const Lines out = search(e, {"position fen " + fen, "go depth 22"});
    EXPECT_EQ(depths(out), one_to(22));
    expect_sound_search(out, fen);
    EXPECT_EQ(e.finish(), 0);
}

struct CancelCase {
    std::string command;
    Lines reply;  // what the command itself writes
};

TEST(UciGo, CommandsThatCancelASearch) {
    const CancelCase cases[] = {
        {"position startpos", {}},
        {"position foo", {"info string unsupported position command"}},
        {"position startpos moves e2e5", {"info string illegal move in position command"}},
        {"ucinewgame", {}},
        {"setoption name Hash value 16", {}},
        {"setoption name Hash value abc", {}},
        {"perft 1", {"perft nodes=20 captures=0 enpassant=0 castles=0 promotions=0"}},
    };
    UciDriver e;
    for (const CancelCase& c : cases) {
        SCOPED_TRACE(c.command);
        e.exchange({"position startpos"});
        start_infinite(e);
        const Lines out = e.exchange({c.command});
        Lines own;
        for (const std::string& l : out)
            if (!is_search_info(l)) own.push_back(l);
        EXPECT_EQ(own, c.reply);
        EXPECT_EQ(e.exchange({"stop"}), Lines{}) << "no search may be left";
    }
}

TEST(UciGo, CommandsThatLeaveASearchRunning) {
    const std::string commands[] = {
        "isready",
        "uci",
        "d",
        "eval",
        "evaltrace",
        "foo",
        "stopp",
        "setoption name Move Overhead value 100",
        "setoption name Slow Mover value 80",
        "setoption name Minimum Thinking Time value 10",
        "setoption name SeeQuietMargin value 40",
        "setoption name hash value 1",
        "setoption name Hashx value 1",
    };
    UciDriver e;
    e.exchange({"position fen " + ITALIAN});
    for (const std::string& c : commands) {
        SCOPED_TRACE(c);
        start_infinite(e);
        EXPECT_EQ(count_bestmoves(e.exchange({c})), 0);
        const Lines stopped = e.exchange({"stop"});
        ASSERT_EQ(count_bestmoves(stopped), 1);
        EXPECT_TRUE(Board(ITALIAN).is_legal(stopped.back().substr(9))) << stopped.back();
    }
}

// ---------------------------------------------------------------------------
// Races between the two threads, each repeated
// ---------------------------------------------------------------------------

TEST(UciRaces, GoInfiniteAndStopInOneWrite) {
    UciDriver e;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        e.write_raw("go infinite\nstop\nisready\n");
        const Lines out = e.read_until_line("readyok");
        ASSERT_EQ(count_bestmoves(out), 1);
        ASSERT_TRUE(is_bestmove(out[out.size() - 2]));
        EXPECT_TRUE(Board().is_legal(out[out.size() - 2].substr(9)));
        EXPECT_EQ(out[0].rfind("info depth 1 ", 0), 0u) << out[0];
    }
}

// A "stop" that arrives just as an infinite search ends by itself: bare kings
// complete their last iteration within about a millisecond (ten times that
// under a sanitizer), and the stop comes a random 0 to 20 ms after the "go",
// spread evenly over each power of ten so that many land near that moment,
// before, at or after it. Exactly one legal bestmove each time, none left over.
TEST(UciRaces, StopAsAnInfiniteSearchEndsByItself) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> power(0.0, 1.0);
    const auto delay_us = [&] { return int(std::pow(20001.0, power(rng))) - 1; };
    UciDriver e;
    e.exchange({"position fen " + KINGS});
    for (int i = 0; i < 150; ++i) {
        SCOPED_TRACE(i);
        e.send("go infinite");
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us()));
        const Lines out = e.exchange({"stop"});
        ASSERT_EQ(count_bestmoves(out), 1);
        ASSERT_TRUE(is_bestmove(out.back())) << out.back();
        EXPECT_TRUE(Board(KINGS).is_legal(out.back().substr(9))) << out.back();
    }
    EXPECT_EQ(e.exchange({"stop"}), Lines{}) << "no search may be left";
}

TEST(UciRaces, GoRightAfterGo) {
    struct Case {
        const char* first;
        bool ends_by_itself;  // then its bestmove may or may not come before the cancel
    };
    UciDriver e;
    for (const Case c : {Case{"go infinite", false}, Case{"go", false}, Case{"go depth 1", true},
                         Case{"go nodes 50", true}}) {
        for (int i = 0; i < 10; ++i) {
            SCOPED_TRACE(std::string(c.first) + " #" + std::to_string(i));
            e.write_raw(std::string(c.first) + "\ngo depth 2\n");
            Lines out;
            while (out.size() < 2 || !is_bestmove(out.back()) ||
                   !starts_with(out[out.size() - 2], "info depth 2 ")) {
                const Lines part = e.read_until(is_bestmove);
                if (part.empty() || !is_bestmove(part.back())) return;
                out.insert(out.end(), part.begin(), part.end());
            }
            if (c.ends_by_itself) {
                EXPECT_LE(count_bestmoves(out), 2);
            } else {
                EXPECT_EQ(count_bestmoves(out), 1);
            }
            // The second search writes its two iterations and its bestmove, nothing else.
            ASSERT_GE(out.size(), 3u);
            EXPECT_EQ(depths(Lines(out.end() - 3, out.end())), one_to(2));
            EXPECT_EQ(e.exchange({}), Lines{}) << "nothing may follow the bestmove";
        }
    }
}

TEST(UciRaces, QuitOrEndOfInputDuringASearch) {
    for (const char* tail : {"quit\n", "", "stop\nquit\n"}) {
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(std::string(tail) + " #" + std::to_string(i));
            UciDriver e;
            e.write_raw(std::string("go infinite\n") + tail);
            e.close_input();
            const Lines out = e.read_all();
            EXPECT_EQ(count_bestmoves(out), std::string(tail).rfind("stop", 0) == 0 ? 1 : 0);
            EXPECT_EQ(e.finish(), 0);
        }
    }
}

TEST(UciRaces, CancelRightAfterGo) {
    UciDriver e;
    for (const char* cancel : {"position startpos", "ucinewgame", "perft 0", "setoption name Hash value 2"}) {
        for (int i = 0; i < 8; ++i) {
            SCOPED_TRACE(std::string(cancel) + " #" + std::to_string(i));
            const Lines out = e.exchange({"go infinite", cancel});
            EXPECT_EQ(count_bestmoves(out), 0);
        }
    }
}

// "eval" and "evaltrace" beside a search: the same lines as without one, and the
// search's lines unchanged (its node-limited result is deterministic).
TEST(UciRaces, EvaluationsDuringASearchChangeNothing) {
    UciDriver e;
    const Lines reset = {"setoption name Hash value 16", "ucinewgame", "position fen " + ITALIAN};
    e.exchange(reset);
    const Lines idle = e.exchange({"eval", "evaltrace"});
    ASSERT_EQ(idle.size(), 14u);
    const Lines baseline = without_timing(search(e, {"go nodes 40000"}));

    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        e.exchange(reset);
        std::string burst = "go nodes 40000\n";
        for (int k = 0; k < 25; ++k) burst += "eval\nevaltrace\n";
        e.write_raw(burst + "isready\n");
        Lines out = e.read_until_line("readyok");
        if (count_bestmoves(out) == 0) {
            const Lines rest = e.read_until(is_bestmove);
            out.insert(out.end(), rest.begin(), rest.end());
        }
        Lines evals;
        for (const std::string& l : out)
            if (starts_with(l, "eval")) evals.push_back(l);
        ASSERT_EQ(evals.size(), 25 * idle.size());
        for (size_t k = 0; k < evals.size(); ++k) EXPECT_EQ(evals[k], idle[k % idle.size()]);
        EXPECT_EQ(without_timing(out), baseline);
    }
}

// ---------------------------------------------------------------------------
// "ucinewgame", "eval", "evaltrace"
// ---------------------------------------------------------------------------

TEST(UciNewGame, WritesNothingAndRestoresTheStartPosition) {
    UciDriver e;
    EXPECT_EQ(e.exchange({"position fen " + KIWIPETE, "ucinewgame"}), Lines{});
    EXPECT_EQ(first(e.exchange({"d"})), "info string fen " + START_FEN);
    EXPECT_EQ(e.exchange({"ucinewgame now"}), Lines{});
}

// One line "eval cp <n>", n from the side to move's view. The exact values belong
// to the evaluation's own tests; a queen up is far from any rounding.
// Reference values of an independent evaluation: the start position is not
// symmetric for the side to move because the space squares are not mirrored.
TEST(UciEval, OneLineFromTheSideToMove) {
    struct Case {
        std::string command;
        std::string expected;
    };
    const Case cases[] = {
        {"eval", "eval cp -41"},
        {"eval extra words", "eval cp -41"},
        {"position fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR b KQkq - 0 1", "eval cp 55"},
        {"position fen k7/8/8/8/8/8/5PPP/6K1 w - - 0 1", "eval cp 634"},
    };
    UciDriver e;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Lines out = e.exchange(c.command.rfind("eval", 0) == 0 ? Lines{c.command}
                                                                      : Lines{c.command, "eval"});
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], c.expected);
    }
}

TEST(UciEval, TraceHasThirteenConsistentLines) {
    static const char* const names[] = {"pawnhash",  "pieces",  "bishoppair", "queensyn",
                                        "imbalance", "passers", "threats",    "king",
                                        "kingact",   "space",   "initiative", "scale"};
    UciDriver e;
    for (const std::string& fen :
         {START_FEN, KIWIPETE, ITALIAN, std::string("8/5k2/8/3P4/8/8/2K5/8 w - - 0 1"),
          std::string("4k3/8/8/8/8/8/8/R3K3 b Q - 0 1")}) {
        SCOPED_TRACE(fen);
        const Lines eval = e.exchange({"position fen " + fen, "eval"});
        const Lines trace = e.exchange({"evaltrace"});
        ASSERT_EQ(trace.size(), 13u);
        int prev_mg = 0, prev_eg = 0;
        for (int i = 0; i < 12; ++i) {
            std::istringstream in(trace[size_t(i)]);
            std::string head, name, tmg, teg, tdmg, tdeg;
            int mg = 0, eg = 0, dmg = 0, deg = 0;
            in >> head >> name >> tmg >> mg >> teg >> eg >> tdmg >> dmg >> tdeg >> deg;
            ASSERT_TRUE(in && head == "evaltrace" && tmg == "mg" && teg == "eg" && tdmg == "dmg" &&
                        tdeg == "deg")
                << trace[size_t(i)];
            EXPECT_EQ(name, names[i]);
            EXPECT_EQ(dmg, mg - prev_mg) << trace[size_t(i)];
            EXPECT_EQ(deg, eg - prev_eg) << trace[size_t(i)];
            if (name == "king" || name == "space") {
                EXPECT_EQ(deg, 0) << trace[size_t(i)];
            }
            if (name == "kingact" || name == "initiative") {
                EXPECT_EQ(dmg, 0) << trace[size_t(i)];
            }
            prev_mg = mg;
            prev_eg = eg;
        }
        ASSERT_EQ(eval.size(), 1u);
        EXPECT_EQ(trace[12], "evaltrace full " + eval[0].substr(8));
    }
}

// ---------------------------------------------------------------------------
// "setoption"
// ---------------------------------------------------------------------------

// The lines of a fixed-depth search after the given options, from the same
// start each time (search parameter and tables reset, histories zeroed): equal
// signatures mean equal option values as far as the search can tell.
Lines signature(UciDriver& e, const Lines& options) {
    e.exchange({"setoption name SeeQuietMargin value 40", "setoption name Hash value 16", "ucinewgame"});
    EXPECT_EQ(e.exchange(options), Lines{}) << "setoption never writes anything";
    return without_timing(search(e, {"position fen " + ITALIAN, "go depth 7"}));
}

struct OptionCase {
    Lines options;
    Lines compare_with;  // options of the other search; empty: the defaults
    bool differs;        // the two searches must differ, else be equal
};

TEST(UciOptions, SearchParametersAndHash) {
    const std::string sqm = "setoption name SeeQuietMargin value ";
    const std::string hash = "setoption name Hash value ";
    const OptionCase cases[] = {
        {{sqm + "0"}, {}, true},
        {{sqm + "40"}, {}, false},
        {{sqm + "40abc"}, {}, false},
        {{sqm + "40.9"}, {}, false},
        {{"setoption name seequietmargin value 0"}, {}, false},
        {{"setoption name SeeQuietMargin  value 0"}, {sqm + "0"}, false},
        {{"setoption   name   SeeQuietMargin   value   0  \r"}, {sqm + "0"}, false},
        {{"setoption SeeQuietMargin value 0"}, {}, false},
        {{sqm + "abc"}, {sqm + "0"}, false},
        {{sqm + "0x28"}, {sqm + "0"}, false},
        {{sqm + "99999999999"}, {sqm + "0"}, false},
        {{"setoption name SeeQuietMargin"}, {sqm + "0"}, false},
        {{sqm + "0", sqm + "40"}, {}, false},
        {{hash + "1"}, {}, true},
        {{hash + "0"}, {hash + "1"}, false},
        {{hash + "-5"}, {hash + "1"}, false},
        {{hash + "1", hash + "abc"}, {hash + "1"}, false},
        {{hash + "1", hash + "99999999999"}, {hash + "1"}, false},
        {{hash + "1", "setoption name Hash"}, {hash + "1"}, false},
        {{hash + "16"}, {}, false},
        {{"setoption name hash value 1"}, {}, false},
        // The search parameters take values beyond their announced ranges as they come.
        {{sqm + "1000"}, {sqm + "400"}, true},
        {{"setoption name SeeCaptureMargin value 1000"}, {"setoption name SeeCaptureMargin value 200"}, true},
        {{"setoption name CorrPawnWeight value 100"}, {"setoption name CorrPawnWeight value 8"}, true},
    };
    UciDriver e;
    const Lines defaults = signature(e, {});
    ASSERT_EQ(signature(e, {}), defaults) << "the reset must make searches repeatable";
    for (const OptionCase& c : cases) {
        SCOPED_TRACE(c.options.back());
        const Lines got = signature(e, c.options);
        const Lines other = c.compare_with.empty() ? defaults : signature(e, c.compare_with);
        if (c.differs) {
            EXPECT_NE(got, other);
        } else {
            EXPECT_EQ(got, other);
        }
    }
}

// "Hash" empties both tables even at an unchanged size: the search after it
// runs exactly as after a change of size and back, and differs from one that
// finds the first search's entries.
TEST(UciOptions, HashAtTheSameSizeStillEmptiesTheTables) {
    const auto second_search = [](const Lines& between) {
        UciDriver e;
        e.exchange({"setoption name Hash value 16", "ucinewgame", "position fen " + KIWIPETE});
        search(e, {"go depth 6"});
        EXPECT_EQ(e.exchange(between), Lines{});
        return without_timing(search(e, {"go depth 6"}));
    };
    const Lines resized = second_search({"setoption name Hash value 8", "setoption name Hash value 16"});
    EXPECT_EQ(second_search({"setoption name Hash value 16"}), resized);
    EXPECT_NE(second_search({}), resized) << "the kept entries must change the second search";
}

// The largest tables are created and a search runs in them. (A shallow one:
// each table page it writes is memory the machine must provide.)
TEST(UciOptions, LargestHash) {
    UciDriver e;
    EXPECT_EQ(e.exchange({"setoption name Hash value 4096", "ucinewgame", "position fen " + KIWIPETE}), Lines{});
    const Lines out = search(e, {"go depth 1"});
    EXPECT_EQ(depths(out), one_to(1));
    expect_sound_search(out, KIWIPETE);
}

// A field of the engine process's /proc/<pid>/stat, counted from 1 as proc(5)
// numbers them: 10 is its minor page faults so far (as getrusage's ru_minflt
// would give them inside it), 23 its address space in bytes.
long engine_stat(const UciDriver& e, int field) {
    std::ifstream stat("/proc/" + std::to_string(e.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 1));  // from field 3, the state, on
    std::string value;
    for (int i = 3; i <= field && fields >> value;) ++i;
    return std::stol(value);
}
constexpr int MINOR_FAULTS = 10;
constexpr int ADDRESS_SPACE = 23;

// The hash tables' memory is all there once "readyok" follows "setoption name
// Hash" or "ucinewgame": the search after it meets almost no page faults. Its
// stack stays from search to search, and its buffers take a few dozen at most;
// 880 MiB of tables made on first touch would take hundreds with huge pages and
// thousands without. Nor does the engine's address space grow after the tables
// are made (a thread's own malloc arena would add 64 MiB), so that a limit on it
// (ulimit -v) that the first "setoption" met holds for the rest of the game.
TEST(UciOptions, SearchesAfterReadyokFindTheTablesMemory) {
#ifdef VW_SANITIZED
    GTEST_SKIP() << "the sanitizers' shadow memory faults on first use";
#endif
    UciDriver e;
    e.exchange({"setoption name Hash value 1024"});
    const long space = engine_stat(e, ADDRESS_SPACE);
    search(e, {"position startpos", "go depth 8"});  // the search thread's first use of its stack
    for (const char* reset : {"setoption name Hash value 1024", "ucinewgame"}) {
        SCOPED_TRACE(reset);
        EXPECT_EQ(e.exchange({reset}), Lines{});
        const long before = engine_stat(e, MINOR_FAULTS);
        search(e, {"position startpos moves d2d4", "go depth 10"});
        EXPECT_LT(engine_stat(e, MINOR_FAULTS) - before, 50);
        EXPECT_LT(engine_stat(e, ADDRESS_SPACE) - space, 1 << 20);
    }
}

// Where the tables' memory cannot be had, the engine says so on its error
// output and ends, rather than answering "readyok" without its tables.
TEST(UciOptions, HashBeyondTheMemoryEndsTheEngineWithALine) {
#ifdef VW_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#endif
    // 1 GB of address space, the error output into the pipe.
    UciDriver e("ulimit -v 1000000; exec 2>&1;");
    EXPECT_EQ(e.exchange({"setoption name Hash value 512"}), Lines{}) << "still fits";
    e.send_all({"setoption name Hash value 2048", "isready"});
    EXPECT_EQ(e.read_all(), Lines{"Vellowind: not enough memory for Hash 2048 MiB"});
    EXPECT_EQ(e.finish(), 1) << "an exit with status 1, not a signal";
}

// A fresh engine under "ulimit -v <kib>" plays a short game at Hash 1024: the
// option, a search, the option again, a search and a new game. Returns "played",
// "refused" (the one line and status 1, before any answer) or what was seen.
std::string hash_1024_under(long kib) {
    UciDriver e("ulimit -v " + std::to_string(kib) + "; exec 2>&1;");
    const std::string hash = "setoption name Hash value 1024";
    const std::pair<Lines, std::string> steps[] = {{{hash, "isready"}, "readyok"},
                                                   {{"position startpos", "go depth 5"}, "bestmove"},
                                                   {{hash, "isready"}, "readyok"},
                                                   {{"go depth 5"}, "bestmove"},
                                                   {{"ucinewgame", "isready"}, "readyok"}};
    Lines out;
    size_t answered = 0;
    for (const auto& [commands, answer] : steps) {
        e.send_all(commands);  // fails harmlessly once the engine is gone
        while (std::optional<std::string> line = e.read_line()) {
            out.push_back(*line);
            if (line->rfind(answer, 0) == 0 && ++answered) break;
        }
    }
    e.close_input();
    for (const std::string& l : e.read_all()) out.push_back(l);
    const int status = e.finish();
    const bool clean = std::none_of(out.begin(), out.end(), [](const std::string& l) {
        return l.rfind("Vellowind:", 0) == 0 || l.find("terminate") != std::string::npos;
    });
    if (status == 0 && clean && answered == std::size(steps)) return "played";
    if (status == 1 && out == Lines{"Vellowind: not enough memory for Hash 1024 MiB"}) return "refused";
    std::string seen = "exit " + std::to_string(status) + ", output:";
    for (const std::string& l : out) seen += " | " + l;
    return seen;
}

// A user running under ulimit -v must get either a working engine or the one
// line and an exit, never a crash or a refusal at a later command. The bisection
// finds the smallest limit that plays, probing inside any window where neither
// holds; a grid checks that every smaller limit refuses and every larger one plays.
TEST(UciOptions, UnderAnyAddressSpaceLimitHashPlaysOrRefusesAtOnce) {
#ifdef VW_SANITIZED
    GTEST_SKIP() << "the sanitizers need more address space than the limits leave";
#endif
    long refuses = 512 * 1024, plays = 1536 * 1024;  // KiB
    ASSERT_EQ(hash_1024_under(refuses), "refused");
    ASSERT_EQ(hash_1024_under(plays), "played");
    while (plays - refuses > 4) {
        const long mid = (refuses + plays) / 2;
        const std::string outcome = hash_1024_under(mid);
        ASSERT_TRUE(outcome == "played" || outcome == "refused") << "ulimit -v " << mid << ": " << outcome;
        (outcome == "played" ? plays : refuses) = mid;
    }
    RecordProperty("smallest_limit_that_plays_kib", std::to_string(plays));
    for (long kib = 800000; kib <= 1300000; kib += 50000)
        EXPECT_EQ(hash_1024_under(kib), kib >= plays ? "played" : "refused") << "ulimit -v " << kib;
}

struct TimeOptionCase {
    Lines options;
    std::string go;
    int iterations;
};

// A budget of 0 ms allows exactly one iteration. The other budgets here are
// 800 ms and more, for depth 3 of bare kings: some hundred nodes, so even a
// heavily loaded machine completes it many times over within them.
TEST(UciOptions, TimeOptionsAndTheirClamps) {
    const std::string mo = "setoption name Move Overhead value ";
    const TimeOptionCase cases[] = {
        {{mo + "5000"}, "go wtime 5000 depth 3", 1},
        {{mo + "100000"}, "go wtime 5000 depth 3", 1},
        // Clamped to 5000: an optimum of about 5.9 s (unclamped it would be 0).
        {{mo + "100000"}, "go wtime 100000 winc 100000 depth 3", 3},
        {{mo + "5000", mo + "abc"}, "go wtime 5000 depth 3", 1},
        {{mo + "5000", "setoption name Move Overhead"}, "go wtime 5000 depth 3", 1},
        // Clamped to 0, not the fallback 5000: an optimum of 833 ms instead of 0.
        {{mo + "5000", mo + "-5"}, "go wtime 5000 winc 5000 depth 3", 3},
        {{"setoption name Slow Mover value 5", "setoption name Minimum Thinking Time value -5"},
         "go wtime 100 depth 3",
         1},
    };
    UciDriver e;
    for (const TimeOptionCase& c : cases) {
        SCOPED_TRACE(c.options.back() + " / " + c.go);
        EXPECT_EQ(e.exchange({"setoption name Move Overhead value 30",
                              "setoption name Minimum Thinking Time value 20",
                              "setoption name Slow Mover value 100"}),
                  Lines{});
        EXPECT_EQ(e.exchange(c.options), Lines{});
        const Lines out = search(e, {"position fen " + KINGS, c.go});
        EXPECT_EQ(depths(out), one_to(c.iterations));
        expect_sound_search(out, KINGS);
    }
}

TEST(UciOptions, HostileValuesStillGiveALegalMove) {
    UciDriver e;
    EXPECT_EQ(e.exchange({"setoption name CorrWeightScale value 16777216",
                          "setoption name SeeQuietMargin value 2147483647",
                          "setoption name SeeCaptureMargin value -2147483648",
                          "setoption name SeeCaptHistDiv value -1", "setoption name SeeQuietHistDiv value 0",
                          "setoption name CorrPawnWeight value 2147483647",
                          "setoption name SeeQuietDepth value 2147483647", "setoption name Hash value 0",
                          "setoption name Hash value abc", "setoption name Hash value 99999999999",
                          "setoption name Slow Mover value -2147483648", "setoption name",
                          "setoption name value 5", "setoption value 5"}),
              Lines{});
    for (const std::string& fen : {ITALIAN, KIWIPETE}) {
        SCOPED_TRACE(fen);
        expect_sound_search(search(e, {"position fen " + fen, "go depth 8"}), fen);
    }
}

// ---------------------------------------------------------------------------
// Hostile input
// ---------------------------------------------------------------------------

struct HostileCase {
    const char* name;
    std::string line;
    Lines reply;
};

TEST(UciHostile, HugeLinesAndNulBytes) {
    const std::string mb(1 << 20, 'x');
    std::string moves_mb = "position startpos moves";
    while (moves_mb.size() < (1u << 20)) moves_mb += " g1f3 g8f6 f3g1 f6g8";
    std::string go_mb = "go depth 2";
    while (go_mb.size() < (1u << 20)) go_mb += " ponder 77";
    const HostileCase cases[] = {
        {"megabyte word", mb, {}},
        {"megabyte of blanks", std::string(1 << 20, ' '), {}},
        {"isready with a megabyte", "isready " + mb, {"readyok"}},
        {"megabyte fen", "position fen " + mb, {"info string bad fen: FEN parse error: missing side"}},
        {"megabyte move", "position startpos moves " + mb, {"info string illegal move in position command"}},
        {"megabyte of moves", moves_mb, {}},
        {"megabyte option name", "setoption name " + mb + " value 3", {}},
        {"megabyte option value", "setoption name SeeQuietMargin value " + std::string(1 << 20, '9'), {}},
        {"nul in a move",
         std::string("position startpos moves e2e4\0", 29),
         {"info string illegal move in position command"}},
        {"nul in a fen",
         std::string("position fen 4k3/8/8/8/8/8/8/3") + '\0' + "K3 w - - 0 1",
         {std::string("info string bad fen: FEN parse error: invalid piece char: ") + '\0'}},
        {"nul after perft depth",
         std::string("perft 1\0", 8),
         {"perft nodes=20 captures=0 enpassant=0 castles=0 promotions=0"}},
        {"bytes above 127",
         "position startpos moves \xff\xfe\x80",
         {"info string illegal move in position command"}},
    };
    UciDriver e;
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(e.exchange({"position startpos", c.line}), c.reply);
    }
    const Lines out = search(e, {"position startpos", go_mb});
    EXPECT_EQ(depths(out), one_to(2));
    expect_sound_search(out, START_FEN);
}

TEST(UciHostile, TenThousandMoves) {
    UciDriver e;
    std::string shuffle = "position startpos moves";
    for (int i = 0; i < 2500; ++i) shuffle += " g1f3 g8f6 f3g1 f6g8";
    EXPECT_EQ(first(e.exchange({shuffle, "d"})),
              "info string fen rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 10000 5001");
    expect_sound_search(search(e, {"go depth 4"}), START_FEN);
    expect_sound_search(search(e, {shuffle + " e2e4", "go nodes 3000"}),
                        "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq - 0 5001");
    EXPECT_EQ(e.exchange({"isready"}), Lines{"readyok"});
}

// Clocks at the top of their range must survive moves played on them, by the
// position command and inside the search.
TEST(UciHostile, ClocksAtTheTopOfTheirRange) {
    UciDriver e;
    const std::string top = "4k3/8/8/8/8/8/8/4K3 w - - 2147483647 2147483647";
    EXPECT_EQ(first(e.exchange({"position fen " + top, "d"})), "info string fen " + top);
    expect_sound_search(search(e, {"go depth 3"}), top);
    e.exchange({"position fen " + top + " moves e1e2 e8e7"});
    expect_sound_search(search(e, {"go depth 3"}), "8/4k3/8/8/8/8/4K3/8 w - - 0 1");
    EXPECT_EQ(e.exchange({"isready"}), Lines{"readyok"});
}

// ---------------------------------------------------------------------------
// Self-play through the pipes
// ---------------------------------------------------------------------------

TEST(UciSelfPlay, EveryBestmoveIsAcceptedByTheNextPosition) {
    for (const std::string& fen : {START_FEN, KIWIPETE}) {
        SCOPED_TRACE(fen);
        UciDriver e;
        Board board(fen);
        std::string command = "position fen " + fen + " moves";
        for (int ply = 0; ply < 300; ++ply) {
            ASSERT_EQ(e.exchange({command}), Lines{}) << "rejected at ply " << ply;
            const Lines out = search(e, {"go nodes 2000"});
            ASSERT_FALSE(out.empty());
            const std::string move = out.back().substr(9);
            if (move == "0000") {
                EXPECT_TRUE(board.legal().empty()) << "gave up at ply " << ply;
                break;
            }
            ASSERT_TRUE(board.play(move)) << move << " at ply " << ply;
            command += " " + move;
        }
    }
}

}  // namespace
