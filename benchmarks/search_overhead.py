"""The cost of flipcore.search() beside the bare engine call it wraps.

    python benchmarks/search_overhead.py [--rounds N]

Two workloads, each timed in many short rounds that alternate the two calls,
so that both see the same machine load:

- same: search(pos, 1) on one position, over and over, against
  minimax_moves(board, player, 1, -inf, inf) with the board list made once
  (after the first call both are answered from the table);
- game: depth 1 on each of the positions of one game in turn, the bare call
  given boards made beforehand.

Prints the fastest round's time per call of each side (what the calls cost
when nothing else interrupts them) with their ratio, and the median of the
rounds' ratios.
"""

from __future__ import annotations

import argparse
import math
import random
import statistics
import time
from collections.abc import Callable

import _flipcore

import flipcore
from flipcore import Position

INF = math.inf


def game_positions(seed: int = 3) -> list[Position]:
    rng = random.Random(seed)
    pos, out = Position.start(), []
    while not pos.is_over():
        moves = pos.legal_moves()
        if moves:
            out.append(pos)
            pos = pos.play(rng.choice(moves))
        else:
            pos = pos.pass_()
    return out


def per_call(run: Callable[[], None], calls: int) -> float:
    began = time.perf_counter()
    run()
    return (time.perf_counter() - began) / calls


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=300)
    args = parser.parse_args()

    minimax = _flipcore.minimax_moves
    pos = Position.start().play("d3").play("c5").play("f6")
    board, player = pos.board, pos.player
    positions = game_positions()
    boards = [(p.board, p.player) for p in positions]
    repeat = 240  # a multiple of most games' number of positions

    def bare_same() -> None:
        for _ in range(repeat):
            minimax(board, player, 1, -INF, INF)

    def wrapped_same() -> None:
        for _ in range(repeat):
            flipcore.search(pos, 1)

    def bare_game() -> None:
        for _ in range(repeat // len(boards)):
            for b, p in boards:
                minimax(b, p, 1, -INF, INF)

    def wrapped_game() -> None:
        for _ in range(repeat // len(positions)):
            for p in positions:
                flipcore.search(p, 1)

    game_calls = repeat // len(positions) * len(positions)
    _flipcore.init()
    for name, bare, wrapped, calls in (
        ("same", bare_same, wrapped_same, repeat),
        ("game", bare_game, wrapped_game, game_calls),
    ):
        bare(), wrapped()  # warm the table and the caches
        bares, wraps, ratios = [], [], []
        for _ in range(args.rounds):
            b = per_call(bare, calls)
            w = per_call(wrapped, calls)
            bares.append(b)
            wraps.append(w)
            ratios.append(w / b)
        print(
            f"{name}: minimax_moves {min(bares) * 1e6:.2f} us, search {min(wraps) * 1e6:.2f} us, "
            f"ratio {min(wraps) / min(bares):.2f}; median ratio of {args.rounds} rounds "
            f"{statistics.median(ratios):.2f}"
        )


if __name__ == "__main__":
    main()
