// Evaluation speed over a fixed set of varied positions: complete evaluations,
// lazy estimates (window far away) and complete evaluations whose pawn entry
// must be recomputed every time. Reported as items (evaluations) per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "board/attack.h"
#include "board/pext.h"
#include "board/position.h"
#include "eval/eval.h"

namespace {

const char* const FENS[] = {
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "r1bqkb1r/pppp1ppp/2n2n2/4p2Q/2B1P3/8/PPPP1PPP/RNB1K1NR w KQkq - 4 4",
    "r2q1rk1/pp2ppbp/2np1np1/8/3NP3/2N1BP2/PPPQ2PP/2KR1B1R b - - 3 10",
    "2r3k1/p4p2/3Rp2p/1p2P1pK/8/1P4P1/P3Q2P/1q6 b - - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "8/5pk1/6p1/8/3B4/6P1/5PKP/3b4 b - - 0 40",
    "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",
    "k7/8/8/8/8/8/5PPP/6K1 w - - 0 1",
};

const std::vector<Position>& positions() {
    static const std::vector<Position> list = [] {
        Attack::init_attacks();
        PEXT::init();
        PawnHash::init(8);
        std::vector<Position> v;
        for (const char* fen : FENS) {
            Position p;
            std::string err;
            if (p.set_from_fen(fen, err)) v.push_back(p);
        }
        return v;
    }();
    return list;
}

void BM_FullEvaluation(benchmark::State& state) {
    const auto& ps = positions();
    for (const auto& p : ps) evaluate(p);  // warm the pawn table: the search mostly hits
    for (auto _ : state)
        for (const auto& p : ps) benchmark::DoNotOptimize(evaluate(p));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ps.size()));
}
BENCHMARK(BM_FullEvaluation);

void BM_LazyEstimate(benchmark::State& state) {
    const auto& ps = positions();
    for (const auto& p : ps) evaluate(p);
    for (auto _ : state)
        for (const auto& p : ps)
            benchmark::DoNotOptimize(evaluate_result(p, -SCORE_INFINITE, -SCORE_INFINITE));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ps.size()));
}
BENCHMARK(BM_LazyEstimate);

void BM_FullEvaluationPawnMiss(benchmark::State& state) {
    const auto& ps = positions();
    for (auto _ : state)
        for (const auto& p : ps) benchmark::DoNotOptimize(evaluate_diagnostic(p));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * ps.size()));
}
BENCHMARK(BM_FullEvaluationPawnMiss);

}  // namespace

BENCHMARK_MAIN();
