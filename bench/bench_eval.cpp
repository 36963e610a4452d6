// Evaluation speed over a fixed set of varied positions: complete evaluations,
// lazy estimates (window far away) and complete evaluations whose pawn entry
// must be recomputed every time. Reported as items (evaluations) per second.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "board/attack.h"
#include "board/position.h"
#include "eval/eval.h"
#include "tests/test_positions.h"

namespace {

const std::vector<Position>& positions() {
    static const std::vector<Position> list = [] {
        Attack::init_tables();
        PawnHash::init(8);
        std::vector<Position> v;
        for (const char* fen : vwtest::EVAL_POSITIONS) {
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
