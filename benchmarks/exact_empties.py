"""How long flipcore.solve takes by the number of empty squares: the
measurement behind flipcore.EXACT_EMPTIES.

    python benchmarks/exact_empties.py                 # 17 to 21 empties, 10 each
    python benchmarks/exact_empties.py --low 19 --high 22 --count 20
    python benchmarks/exact_empties.py --low 19 --high 19 --mode every_move

For each count of empty squares, positions reached by random moves from the
start (fixed seeds, so every run solves the same positions) are solved in
mode "exact" (or --mode), one after another on one thread. Times are CPU seconds of this
process (the solver runs on the calling thread), so that other work on a
shared machine slows the figures less than wall time. The last line names
the largest count whose median is at most --target seconds.
"""

from __future__ import annotations

import argparse
import random
import statistics
import time

from flipcore import EXACT_EMPTIES, Position, solve


def playout(seed: int, empties: int) -> Position:
    """A position reached by random moves once `empties` squares are left,
    played on past finished games by drawing again (new seed)."""
    while True:
        rng = random.Random(seed)
        pos = Position.start()
        while 64 - sum(pos.discs()) > empties and not pos.is_over():
            legal = pos.legal_moves()
            pos = pos.play(rng.choice(legal)) if legal else pos.pass_()
        if not pos.is_over():
            return pos
        seed += 1_000_003


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--low", type=int, default=17)
    parser.add_argument("--high", type=int, default=21)
    parser.add_argument("--count", type=int, default=10, help="positions per count of empty squares")
    parser.add_argument("--mode", default="exact", choices=("exact", "wld", "every_move"))
    parser.add_argument("--target", type=float, default=1.0, help="seconds a solve may take (median)")
    args = parser.parse_args()

    print(f"EXACT_EMPTIES is {EXACT_EMPTIES}; CPU seconds per {args.mode} solve of random-play positions")
    print(f"{'empties':>7} {'median':>8} {'mean':>8} {'max':>8} {'Mnodes/s':>9}")
    fitting = None
    for empties in range(args.low, args.high + 1):
        seconds, nodes = [], 0
        for i in range(args.count):
            pos = playout(empties * 1000 + i, empties)
            began = time.process_time()
            nodes += solve(pos, args.mode).nodes
            seconds.append(time.process_time() - began)
        median = statistics.median(seconds)
        rate = nodes / sum(seconds) / 1e6 if sum(seconds) > 0 else 0.0
        print(f"{empties:7d} {median:8.3f} {statistics.mean(seconds):8.3f} {max(seconds):8.3f} {rate:9.1f}", flush=True)
        if median <= args.target:
            fitting = empties
    print(f"largest count of empty squares with a median solve of at most {args.target} s: {fitting}")


if __name__ == "__main__":
    main()
