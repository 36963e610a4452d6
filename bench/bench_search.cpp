// Search speed benchmark: fixed-depth searches from a fresh state over a fixed
// set of varied positions; prints the deterministic node total and nodes/s.
// Usage: bench_search [depth]   (default 11)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/attack.h"
#include "board/position.h"
#include "search/search.h"
#include "tests/test_positions.h"

namespace {

const std::vector<const char*> POSITIONS = vwtest::perft_positions_then({
    vwtest::ITALIAN,
    "rnbqkb1r/pp1p1ppp/4pn2/2p5/2PP4/2N5/PP2PPPP/R1BQKBNR w KQkq - 0 4",
    vwtest::QUIET_ITALIAN,
    "r2q1rk1/pp2bppp/2n1pn2/3p4/3P1B2/2PB1N2/PP1N1PPP/R2Q1RK1 b - - 3 10",
    "2rq1rk1/pb1nbppp/1p2pn2/2pp4/2PP4/1PN1PN2/PB2BPPP/2RQ1RK1 w - - 0 11",
    "r1b2rk1/2q1bppp/p2p1n2/np2p3/3PP3/2P2N1P/PPB2PP1/RNBQR1K1 w - - 0 12",
    "rnb2rk1/pp2qppp/2pb1n2/3p4/2PP4/2N1PN2/PPQ2PPP/R1B1KB1R w KQ - 2 8",
    "r1bqr1k1/pp1n1pbp/2pp1np1/4p3/2PPP3/2N1BP2/PP1QN1PP/R3KB1R w KQ - 0 10",
    "3r1rk1/p4ppp/1qp1bn2/4p3/4P3/1NP2Q2/PP3PPP/R1B2RK1 w - - 0 18",
    "r4rk1/pp3ppp/2n1b3/q1pp2B1/8/P1Q2NP1/1PP1PP1P/2KR3R w - - 0 15",
    "2r2rk1/1bqnbpp1/1p1ppn1p/pP6/N1P1P3/P2B1N1P/1B2QPP1/R2R2K1 b - - 0 18",
    "r1bbk1nr/pp3p1p/2n5/1N4p1/2Np1B2/8/PPP2PPP/2KR1B1R w kq - 0 13",
    vwtest::ROOK_UP,
    "8/8/4k3/8/2p5/8/B2P2K1/8 w - - 0 1",
    "8/5k2/3p4/1p1Pp2p/pP2Pp1P/P4P1K/8/8 b - - 99 50",
    vwtest::KING_AND_PAWN,
    "8/8/1p1r1k2/p1pPN1p1/P3KnP1/1P6/8/3R4 b - - 0 1",
    vwtest::KNIGHT_ENDGAME,
    "8/3k4/8/8/8/4B3/4KB2/2N5 w - - 0 1",
    vwtest::KING_ATTACK,
    "r1bq1rk1/pppp1ppp/2n2n2/2b1p3/2B1P3/2N2N2/PPPP1PPP/R1BQ1RK1 w - - 6 6",
    "1r3k2/4q3/2Pp3b/3Bp3/2Q2p2/1p1P2P1/1P2KP2/3N4 w - - 0 1",
    "r1bqk2r/ppp2ppp/2n5/3np3/1bB5/2N2N2/PPPP1PPP/R1BQK2R w KQkq - 0 6",
    "8/8/8/3k4/8/8/3K4/3Q4 w - - 0 1",
});

}  // namespace

int main(int argc, char** argv) {
    const int depth = argc > 1 ? std::atoi(argv[1]) : 11;
    Attack::init_tables();
    Search::init_search();
    if (!Search::set_hash_size_mb(64)) {
        std::fprintf(stderr, "bench_search: not enough memory for the 64 MiB tables\n");
        return 1;
    }

    uint64_t totalNodes = 0;
    double totalSeconds = 0;
    for (const char* fen : POSITIONS) {
        Position pos;
        std::string err;
        if (!pos.set_from_fen(fen, err)) {
            std::printf("bad FEN %s: %s\n", fen, err.c_str());
            return 1;
        }
        Search::new_game();
        Search::clear_stop();
        Search::SearchLimits limits;
        limits.depth = depth;
        const auto t0 = std::chrono::steady_clock::now();
        const SearchResult r = Search::search_position(pos, limits, nullptr);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        totalNodes += r.nodes;
        totalSeconds += secs;
        std::printf("%-75s %6s %10llu\n", fen, move_to_uci(r.best_move).c_str(),
                    static_cast<unsigned long long>(r.nodes));
    }
    std::printf("depth %d  total nodes %llu  time %.3f s  nodes/s %.0f\n", depth,
                static_cast<unsigned long long>(totalNodes), totalSeconds,
                totalSeconds > 0 ? double(totalNodes) / totalSeconds : 0.0);
    return 0;
}
