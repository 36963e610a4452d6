// Output fingerprint for refactoring and speed work: random playouts from fixed
// positions (fixed seed) fold every evaluation entry point, the trace text, the
// keys and the FEN of each position into one checksum that must not change.
// Usage: eval_checksum [positions]   (default 200000)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "board/attack.h"
#include "board/movegen.h"
#include "board/position.h"
#include "eval/eval.h"
#include "eval/pawnhash.h"
#include "tests/test_positions.h"

namespace {

const std::vector<const char*> STARTS =
    vwtest::perft_positions_then({vwtest::OPPOSITE_BISHOPS, "4k3/pppppppp/8/8/8/8/PPPPPPPP/4K3 w - - 0 1"});

struct Fold {
    uint64_t h = 1469598103934665603ULL;
    void add(uint64_t v) {
        h ^= v;
        h *= 1099511628211ULL;
        h ^= h >> 29;
    }
    void add(const std::string& s) {
        for (unsigned char c : s) add(uint64_t(c));
    }
};

}  // namespace

int main(int argc, char** argv) {
    const long target = argc > 1 ? std::atol(argv[1]) : 200000;
    Attack::init_tables();
    PawnHash::init(8);

    std::mt19937_64 rng(20261207);
    Fold f;
    long done = 0;
    std::vector<unsigned> moves;
    const int windows[][2] = {{-50, 50}, {-700, -600}, {600, 700}, {-2000, -1500}, {1500, 2500}, {0, 1}};
    while (done < target) {
        for (const char* fen : STARTS) {
            Position pos;
            std::string err;
            if (!pos.set_from_fen(fen, err)) {
                std::printf("bad FEN %s\n", fen);
                return 1;
            }
            for (int ply = 0; ply < 160 && done < target; ++ply) {
                f.add(pos.key);
                f.add(pos.pawn_key);
                f.add(pos.non_pawn_key);
                f.add(uint64_t(int64_t(evaluate(pos))));
                f.add(uint64_t(int64_t(evaluate_diagnostic(pos))));
                for (const auto& w : windows) {
                    const EvalResult r = evaluate_result(pos, w[0], w[1]);
                    f.add(uint64_t(int64_t(r.score)) * 2 + r.full);
                }
                if (done % 64 == 0) {
                    f.add(pos.to_fen());
                    f.add(evaluate_trace_string(pos));
                }
                ++done;
                MoveGen::generate_legal(pos, moves);
                if (moves.empty()) break;
                const unsigned m = moves[rng() % moves.size()];
                // Every fourth step also tries a null move where allowed, then takes it back.
                if (ply % 4 == 3 && !pos.in_check(Color(pos.side))) {
                    const Position::Undo nu = pos.make_null_move();
                    f.add(pos.key);
                    f.add(uint64_t(int64_t(evaluate(pos))));
                    pos.unmake_null_move(nu);
                }
                pos.make_move(m);
            }
        }
    }
    std::printf("positions %ld  checksum %016llx\n", done, static_cast<unsigned long long>(f.h));
    return 0;
}
