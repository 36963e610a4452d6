#!/usr/bin/env python3
# Times the engine's answers along the path a GUI drives: "setoption name Hash",
# "isready", then games of "ucinewgame", "isready", "position" and a timed "go";
# also the first "readyok" of a fresh engine, its first move on a 10 or 50 ms
# clock and the answer to "stop" in the first search of a game. Each time runs
# from the moment the command was written (or the process started) to the
# answer. With several engines, their runs are interleaved.
# Usage: bench/gui_latency.py [--games N] [--hash 64,256,...] [--clock-runs N] engine [engine ...]
import argparse
import random
import subprocess
import time


class Engine:
    def __init__(self, path):
        self.started = time.perf_counter()
        self.p = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def write(self, text):
        self.p.stdin.write(text + "\n")
        self.p.stdin.flush()

    def read_until(self, prefix):
        while True:
            line = self.p.stdout.readline()
            if not line:
                raise RuntimeError("engine closed its output")
            if line.startswith(prefix):
                return line

    # Milliseconds from writing text to the line that starts with prefix.
    def timed(self, text, prefix):
        start = time.perf_counter()
        self.write(text)
        self.read_until(prefix)
        return (time.perf_counter() - start) * 1000

    def quit(self):
        self.write("quit")
        self.p.wait()


def hash_games(path, mb, games):
    e = Engine(path)
    first = e.timed(f"setoption name Hash value {mb}\nisready", "readyok")
    ready, moves = [], []
    for g in range(games):
        ready.append(e.timed("ucinewgame\nisready", "readyok"))
        e.write("position startpos" + (" moves e2e4" if g % 2 else ""))
        moves.append(e.timed("go movetime 300", "bestmove"))
    e.quit()
    return first, max(ready), max(moves), sum(m > 315 for m in moves)


# From the process start to the first "readyok", then the first move on a
# short clock after "uci", as a GUI starts every engine.
def fresh_engine(path, clock_ms):
    e = Engine(path)
    e.write("isready")
    e.read_until("readyok")
    ready = (time.perf_counter() - e.started) * 1000
    e.timed("uci", "uciok")
    ms = e.timed(f"go wtime {clock_ms} btime {clock_ms}", "bestmove")
    e.quit()
    return ready, ms


# The first search of a game at the given Hash, after a search in the game
# before: "stop" sent once that search has written its first line and a random
# 0 to 30 ms more; and a move on a 100 ms clock when "go" follows "ucinewgame"
# without "isready" (then the clearing of the tables is part of the answer).
def first_search_of_a_game(path, mb):
    e = Engine(path)
    e.timed(f"setoption name Hash value {mb}\nisready", "readyok")
    e.timed("position startpos\ngo depth 12", "bestmove")
    e.timed("ucinewgame\nisready", "readyok")
    e.write("position startpos\ngo infinite")
    e.read_until("info")
    time.sleep(random.uniform(0, 0.03))
    stop = e.timed("stop", "bestmove")
    e.write("position startpos moves e2e4\ngo depth 12")
    e.read_until("bestmove")
    e.write("ucinewgame\nposition startpos")
    move = e.timed("go wtime 100 btime 100", "bestmove")
    e.quit()
    return stop, move


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--games", type=int, default=12)
    ap.add_argument("--hash", default="64,256,1024,4096")
    ap.add_argument("--clock-runs", type=int, default=100)
    ap.add_argument("engines", nargs="+")
    a = ap.parse_args()

    print("Hash | engine | first readyok ms | worst readyok after ucinewgame ms | worst go movetime 300 ms | answers over 315 ms")
    for mb in [int(x) for x in a.hash.split(",")]:
        for path in a.engines:
            first, ready, move, late = hash_games(path, mb, a.games)
            print(f"{mb} | {path} | {first:.0f} | {ready:.0f} | {move:.0f} | {late} of {a.games}", flush=True)

    late = {p: [0, 0.0, []] for p in a.engines}
    for i in range(a.clock_runs):
        clock = 10 if i % 2 == 0 else 50
        for path in a.engines:
            ready, ms = fresh_engine(path, clock)
            late[path][0] += ms > clock
            late[path][1] = max(late[path][1], ms)
            late[path][2].append(ready)
    for path, (n, worst, ready) in late.items():
        ready.sort()
        print(f"fresh engine | {path} | start to first readyok: median {ready[len(ready) // 2]:.1f} ms, slowest {ready[-1]:.1f} ms"
              f" | first go on a 10 or 50 ms clock: over the clock {n} of {a.clock_runs}, slowest {worst:.1f} ms")

    runs = {p: [] for p in a.engines}
    for _ in range(5):
        for path in a.engines:
            runs[path].append(first_search_of_a_game(path, 4096))
    for path, r in runs.items():
        print(f"first search of a game at Hash 4096 | {path} | stop answered after "
              + ", ".join(f"{s:.1f}" for s, _ in r) + " ms | go wtime 100 right after ucinewgame answered after "
              + ", ".join(f"{m:.0f}" for _, m in r) + " ms")


if __name__ == "__main__":
    main()
