"""Measures the labels that positions beyond the exact range could get,
against the exact score, on held-out games' positions with a given number
of empty squares (solved here, so keep it near 20):

    python -m training.compare_labels --empties 19:21 --n 150 --depths 4,6,8

- outcome: the exact score of the game's first solved position (the game's
  perfectly played end), from the position's side to move;
- the searched labels stored for those positions, if any;
- static: the evaluation in the weight file;
- think at each depth on the weight file.
Prints the mean absolute error in discs of each, and the time a position.
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

import numpy as np

import flipcore
from training import export, fit
from training.common import DATA
from training.dataset import Boards, load, outcome_labels


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--empties", default="19:21")
    parser.add_argument("--n", type=int, default=150)
    parser.add_argument("--depths", default="4,6,8")
    parser.add_argument("--weights", type=Path, default=export.WEIGHT_FILE)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    from flipcore import _think

    _think.load_weights(str(args.weights))
    lo, hi = (int(x) for x in args.empties.split(":"))
    everything, _ = load(DATA, use_outcome=False)
    exact = everything.take(everything.empties <= 18)
    data = outcome_labels(Boards.of(sorted((DATA / "games").glob("games-*.parquet"))), exact)
    searched_label = {(int(g), int(b), int(w)): float(s) for g, b, w, s in zip(
        everything.game, everything.black, everything.white, everything.score)}
    stored: list[float] = []
    pick = fit.is_held_out(data.game) & (data.empties >= lo) & (data.empties <= hi)
    rows = np.flatnonzero(pick)
    rows = np.random.default_rng(args.seed).permutation(rows)[: args.n]
    solved, outcome, static = [], [], []
    searched: dict[int, list[float]] = {int(d): [] for d in args.depths.split(",")}
    seconds = {d: 0.0 for d in searched}
    began = time.perf_counter()
    for i in rows:
        b, w, p = int(data.black[i]), int(data.white[i]), int(data.player[i])
        solved.append(flipcore.solve(flipcore.Position._from_masks(b, w, p)).score_for_mover())
        outcome.append(data.score[i])
        if (int(data.game[i]), b, w) in searched_label:
            stored.append(searched_label[int(data.game[i]), b, w] - solved[-1])
        static.append(_think.evaluate(b, w, p))
        for d in searched:
            t = time.perf_counter()
            searched[d].append(_think.think(b, w, p, d, 0.0)["value"])
            seconds[d] += time.perf_counter() - t
    solve_time = time.perf_counter() - began - sum(seconds.values())
    truth = np.array(solved, dtype=np.float64)
    n = len(truth)
    print(f"{n} held-out positions with {lo}-{hi} empties; exact solves {solve_time / max(n, 1) * 1000:.0f} ms each")
    print(f"outcome of the game's solved end: MAE {np.mean(np.abs(np.array(outcome) - truth)):.2f}")
    if stored:
        print(f"stored searched labels:          MAE {np.mean(np.abs(stored)):.2f} ({len(stored)} of them)")
    print(f"static evaluation:               MAE {np.mean(np.abs(np.array(static) - truth)):.2f}")
    for d, values in searched.items():
        print(f"think depth {d:2d}:                  MAE {np.mean(np.abs(np.array(values) - truth)):.2f}"
              f"  ({seconds[d] / max(n, 1) * 1000:.1f} ms each)")


if __name__ == "__main__":
    main()
