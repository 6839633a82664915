"""Times flipcore.review on whole games, the midgame and the exact part apart.

    python benchmarks/review_bench.py [--games N] [--depth D] [--exact-from K] [--seed S]

The games are played by the engine at depth 2 with a random move a quarter
of the time, so they hold mistakes of every size, as people's games do. For
each game it prints the time of the whole review, the part of it spent on the
exact solver (timed around flipcore.solve), and the marks found; then the
median and the slowest game.
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import time
from typing import Any

import flipcore
from flipcore import Game, init, review, search
from flipcore.review import DEFAULT_DEPTH

# The module, which the package's function of the same name hides.
solve_module = sys.modules["flipcore.solve"]


def play_game(rng: random.Random) -> Game:
    game = Game()
    while not game.is_over():
        position = game.positions()[-1]
        if not position.legal_moves():
            position = position.pass_()
        if rng.random() < 0.25:
            game.append(rng.choice(position.legal_moves()))
        else:
            init()
            game.append(rng.choice(search(position, 2).moves))
    return game


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=5)
    parser.add_argument("--depth", type=int, default=DEFAULT_DEPTH)
    parser.add_argument("--exact-from", type=int, default=flipcore.EXACT_EMPTIES)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    solve_seconds = 0.0
    real_solve = solve_module.solve

    def timed_solve(*a: Any, **k: Any) -> flipcore.SolveResult:
        nonlocal solve_seconds
        began = time.perf_counter()
        try:
            return real_solve(*a, **k)
        finally:
            solve_seconds += time.perf_counter() - began

    solve_module.solve = timed_solve  # review imports solve at each call
    rng = random.Random(args.seed)
    totals = []
    print(f"depth {args.depth}, exact from {args.exact_from} empty squares")
    for n in range(1, args.games + 1):
        game = play_game(rng)
        solve_seconds = 0.0
        began = time.perf_counter()
        result = review(game, args.depth, args.exact_from)
        seconds = time.perf_counter() - began
        totals.append(seconds)
        marks = {m: sum(x.mark == m for x in result.moves) for m in ("inaccuracy", "mistake", "blunder")}
        exact = sum(x.exact for x in result.moves)
        print(
            f"game {n}: {len(game)} moves ({exact} exact)  {seconds:6.2f} s "
            f"(solver {solve_seconds:5.2f} s)  marks {marks}"
        )
    print(f"median {statistics.median(totals):.2f} s, slowest {max(totals):.2f} s per game")


if __name__ == "__main__":
    main()
