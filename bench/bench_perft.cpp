// Developer benchmarks for move generation, make/unmake and perft; the test
// run does not use them.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "board/attack.h"
#include "board/movegen.h"
#include "board/perft.h"
#include "board/position.h"
#include "tests/test_positions.h"

namespace {

using vwtest::KIWIPETE;
using vwtest::START;

Position load(const char* fen) {
    static const bool tablesReady = (Attack::init_tables(), true);
    (void)tablesReady;
    Position pos;
    std::string error;
    pos.set_from_fen(fen, error);
    return pos;
}

void run_perft(benchmark::State& state, const char* fen) {
    Position pos = load(fen);
    const int depth = int(state.range(0));
    uint64_t nodes = 0;
    for (auto _ : state) {
        const PerftResult r = perft(pos, depth);
        benchmark::DoNotOptimize(r);
        nodes += r.nodes;
    }
    state.counters["nps"] = benchmark::Counter(double(nodes), benchmark::Counter::kIsRate);
}

void BM_PerftStart(benchmark::State& state) { run_perft(state, START); }
void BM_PerftKiwipete(benchmark::State& state) { run_perft(state, KIWIPETE); }

void BM_GenerateLegalKiwipete(benchmark::State& state) {
    Position pos = load(KIWIPETE);
    std::vector<unsigned> moves;
    for (auto _ : state) {
        MoveGen::generate_legal(pos, moves);
        benchmark::DoNotOptimize(moves.data());
    }
}

void BM_MakeUnmakeKiwipete(benchmark::State& state) {
    Position pos = load(KIWIPETE);
    std::vector<unsigned> moves;
    MoveGen::generate_legal(pos, moves);
    for (auto _ : state) {
        for (unsigned m : moves) {
            const Position::Undo u = pos.make_move(m);
            benchmark::DoNotOptimize(pos.key);
            pos.unmake_move(u);
        }
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(moves.size()));
}

}  // namespace

BENCHMARK(BM_PerftStart)->Arg(4)->Arg(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerftKiwipete)->Arg(3)->Arg(4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GenerateLegalKiwipete);
BENCHMARK(BM_MakeUnmakeKiwipete);

BENCHMARK_MAIN();
