#!/usr/bin/env bash
# Prints everything a behaviour-preserving change must leave as it is: the
# evaluation checksum over random playouts, the search bench's node lines,
# perft counters and "go depth"/"go nodes" output with time and nps removed.
# Usage: bench/check_identical.sh [build-dir] > out.txt; diff two such files.
set -euo pipefail
B=${1:-build}
"$B/eval_checksum" 200000
"$B/bench_search" | sed -E 's/ time [0-9.]+ s  nodes\/s [0-9]+//'
# Sends each command, waiting after "go" for its "bestmove", and prints the
# replies with the timing fields removed.
python3 - "$B/vellowind" <<'PY'
import re, subprocess, sys
def session(cmds):
    p = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    for c in cmds:
        p.stdin.write(c + "\n"); p.stdin.flush()
        if c.startswith("go"):
            while True:
                line = p.stdout.readline()
                print(re.sub(r" (time|nps|hashfull) [0-9]+", "", line), end="")
                if not line or line.startswith("bestmove"): break
    p.stdin.close()
    for line in p.stdout: print(line, end="")
    p.wait()
session(["uci", "position startpos", "perft 5", "go depth 14", "eval", "evaltrace", "quit"])
session(["position fen r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
         "perft 4", "go depth 12", "evaltrace", "quit"])
session(["position fen 8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", "perft 5", "go depth 20", "evaltrace"])
session(["position startpos moves e2e4 c7c5 g1f3 d7d6 d2d4 c5d4 f3d4 g8f6 b1c3 a7a6",
         "go nodes 200000", "ucinewgame", "go depth 13", "quit"])
PY
