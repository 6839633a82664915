"""Throughput of flipcore.batch: positions per second with 1 and 2 jobs, and
the batch machinery's cost per position beside the bare engine call.

    python benchmarks/batch_bench.py            # about two minutes on 2 cores
    python benchmarks/batch_bench.py --quick    # a few seconds, smaller batches
    python benchmarks/batch_bench.py --only endgame

Workloads (fixed seeds, so every run searches the same positions):
- depth 8: midgame positions 20 to 40 random plies from the start;
- depth 1: positions 4 to 50 random plies from the start;
- exact solves (the batch's --solve): endgame positions with 10 to 14 empty
  squares, 46 to 50 random plies from the start.

For each, the bare loop calls init() and minimax_moves() in this process, as
the batch does for each position, and, for comparison, minimax_moves() alone
after one init() (later positions may then find earlier ones' entries). Then
batch.run(engine="minimax") searches the same list with 1 and with 2 worker processes,
counted from the call to the last record (worker start-up included). The
overhead per position is the batch's time per position with 1 job minus the
bare loops'. Each round runs all of them side by side; each figure is the best
of --rounds rounds, since the shared machine's speed drifts. As a yardstick
for the 2-job speed-up, the bare loop also runs in two processes at once,
each on half the list: the most two cores give at that moment. For the
solves, the bare loops are flipcore.solve() with the solver table emptied
before each position, as the batch does, and without.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import multiprocessing.pool
import os
import random
import time

import _flipcore

import flipcore
from flipcore import Position, batch
from flipcore.solve import clear_solve_table, solve


def random_positions(count: int, low: int, high: int, seed: int) -> list[str]:
    rng = random.Random(seed)
    out: list[str] = []
    while len(out) < count:
        position = Position.start()
        for _ in range(rng.randint(low, high)):
            moves = position.legal_moves()
            if not moves:
                break
            position = position.play(rng.choice(moves))
        if position.legal_moves():
            out.append(position.text())
    return out


def bare(texts: list[str], depth: int, with_init: bool) -> float:
    boards = [(Position.from_text(t).board, 1 if t.endswith("X") else 2) for t in texts]
    # A fresh table, as a worker process has: init() clears the whole slot
    # array, which keeps the size an earlier loop grew it to unless the
    # ceiling drops below it. Without init() per position the table still
    # starts empty, so that no answer comes from an earlier round.
    limit = flipcore.table_limit()
    flipcore.table_limit(flipcore.table.MIN_LIMIT)
    _flipcore.init()
    flipcore.table_limit(limit)
    began = time.perf_counter()
    for board, player in boards:
        if with_init:
            _flipcore.init()
        _flipcore.minimax_moves(board, player, depth, -math.inf, math.inf)
    return time.perf_counter() - began


def _bare_half(args: tuple[list[str], int]) -> float:
    return bare(args[0], args[1], True)


def bare_pair(pool: multiprocessing.pool.Pool, texts: list[str], depth: int) -> float:
    """The bare loop with init() in two processes at once, each on half the
    list, timed by the slower half: what two cores give at best right now,
    without any batch machinery or start-up."""
    half = len(texts) // 2
    return max(pool.map(_bare_half, [(texts[:half], depth), (texts[half:], depth)], chunksize=1))


def batched(texts: list[str], depth: int, jobs: int) -> float:
    began = time.perf_counter()
    count = sum(1 for _ in batch.run(texts, depth, engine="minimax", jobs=jobs))
    seconds = time.perf_counter() - began
    assert count == len(texts)
    return seconds


def measure(name: str, texts: list[str], depth: int, rounds: int) -> None:
    n = len(texts)
    # Each round runs every variant once, side by side, so that a change in
    # the machine's load touches them alike; each variant's best round counts.
    times: dict[str, list[float]] = {"init": [], "plain": [], "pair": [], "one": [], "two": []}
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        for _ in range(rounds):
            times["init"].append(bare(texts, depth, True))
            times["plain"].append(bare(texts, depth, False))
            times["pair"].append(bare_pair(pool, texts, depth))
            times["one"].append(batched(texts, depth, 1))
            times["two"].append(batched(texts, depth, 2))
    with_init, plain, pair, one, two = (min(times[k]) for k in ("init", "plain", "pair", "one", "two"))
    print(f"{name}: {n} positions at depth {depth}")
    print(f"  bare minimax_moves       {n / plain:10.0f} pos/s  {plain / n * 1e6:9.1f} us/pos")
    print(f"  bare init+minimax_moves  {n / with_init:10.0f} pos/s  {with_init / n * 1e6:9.1f} us/pos")
    print(f"  batch, 1 job             {n / one:10.0f} pos/s  {one / n * 1e6:9.1f} us/pos")
    print(f"  batch, 2 jobs            {n / two:10.0f} pos/s  {two / n * 1e6:9.1f} us/pos")
    print(f"  bare, 2 processes        {n / pair:10.0f} pos/s  {pair / n * 1e6:9.1f} us/pos")
    print(f"  2 jobs / 1 job           {one / two:10.2f}x   (bare: 2 processes / 1: {with_init / pair:.2f}x)")
    print(f"  overhead over init+minimax_moves (1 job): {(one - with_init) / n * 1e6:.1f} us/pos")
    print(f"  overhead over bare minimax_moves (1 job): {(one - plain) / n * 1e6:.1f} us/pos")


def bare_solve(positions: list[Position], clear: bool) -> float:
    clear_solve_table()
    began = time.perf_counter()
    for position in positions:
        if clear:
            clear_solve_table()
        solve(position)
    return time.perf_counter() - began


def batched_solve(texts: list[str], jobs: int) -> float:
    began = time.perf_counter()
    count = sum(1 for _ in batch.run(texts, mode="exact", jobs=jobs))
    seconds = time.perf_counter() - began
    assert count == len(texts)
    return seconds


def measure_solve(name: str, texts: list[str], rounds: int) -> None:
    n = len(texts)
    positions = [Position.from_text(t) for t in texts]
    times: dict[str, list[float]] = {"cleared": [], "kept": [], "one": [], "two": []}
    for _ in range(rounds):
        times["cleared"].append(bare_solve(positions, True))
        times["kept"].append(bare_solve(positions, False))
        times["one"].append(batched_solve(texts, 1))
        times["two"].append(batched_solve(texts, 2))
    cleared, kept, one, two = (min(times[k]) for k in ("cleared", "kept", "one", "two"))
    print(f"{name}: {n} positions solved exactly")
    print(f"  bare solve, table kept   {n / kept:10.0f} pos/s  {kept / n * 1e6:9.1f} us/pos")
    print(f"  bare clear+solve         {n / cleared:10.0f} pos/s  {cleared / n * 1e6:9.1f} us/pos")
    print(f"  batch, 1 job             {n / one:10.0f} pos/s  {one / n * 1e6:9.1f} us/pos")
    print(f"  batch, 2 jobs            {n / two:10.0f} pos/s  {two / n * 1e6:9.1f} us/pos")
    print(f"  overhead over clear+solve (1 job): {(one - cleared) / n * 1e6:.1f} us/pos")


WORKLOADS = ("shallow", "midgame", "endgame")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller batches, one round")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", choices=WORKLOADS, action="append", help="run this workload (repeatable)")
    args = parser.parse_args()
    rounds = 1 if args.quick else args.rounds
    only = args.only or WORKLOADS
    print(f"load average {os.getloadavg()[0]:.2f} at the start")
    if "shallow" in only:
        measure("shallow", random_positions(5000 if args.quick else 100000, 4, 50, seed=1), 1, rounds)
    if "midgame" in only:
        measure("midgame", random_positions(40 if args.quick else 600, 20, 40, seed=8), 8, rounds)
    if "endgame" in only:
        measure_solve("endgame", random_positions(40 if args.quick else 200, 46, 50, seed=5), rounds)
    print(f"load average {os.getloadavg()[0]:.2f} at the end")


if __name__ == "__main__":
    main()
