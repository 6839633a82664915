"""Fits the spread of the probabilistic cut-offs (engine/probcut.h) to the
shipped weights: how far a shallow search's value lies from a deeper one's.

    python -m training.probcut --positions 300 --max-depth 9 --seed 1 --write
    python -m training.probcut --exact --positions 400 --seed 1 --write

Samples positions from the generated games (training/data/games), searches
each at every depth from 0 to --max-depth without cut-offs, and for each
depth d from the first that cuts models deep minus shallow value (the
shallow depth being the engine's own for d) as centred with a standard
deviation a + b * empties + c * d, fitted by least squares on the absolute
differences (times sqrt(pi / 2), the factor from a mean absolute deviation
to a standard deviation for normal errors). --write puts the constants
into engine/probcut.h; rebuild the package afterwards.

--exact fits the exact solver's cut-offs instead: --positions of each number
of empty squares from 10 to 18 from the solved positions
(training/data/exact), each searched 0, 2 and 4 plies, with the spread of
the exact score around those values modelled as a + b * empties + c * depth
(SOLVE_PROBCUT_SPREAD).
"""

from __future__ import annotations

import argparse
import math
import random
import re
import time
from pathlib import Path

import numpy as np

from flipcore import _think
from flipcore.think import WEIGHTS_PATH
from training.common import DATA, empties_of, read_dir, replay
from training.dataset import exact_labels

HEADER = Path(__file__).resolve().parent.parent / "engine" / "probcut.h"
MIN_EMPTIES, MAX_EMPTIES = 20, 54


def sample_positions(n: int, seed: int) -> list[tuple[int, int, int]]:
    games = read_dir(DATA / "games")
    if games is None:
        raise SystemExit("no games: run python -m training.games first")
    rng = random.Random(seed)
    moves = games.column("moves").to_pylist()
    out = []
    while len(out) < n:
        game = moves[rng.randrange(len(moves))]
        candidates = [(b, w, p) for _, b, w, p in replay(game)
                      if MIN_EMPTIES <= empties_of(b, w) <= MAX_EMPTIES and _has_move(b, w, p)]
        if candidates:
            out.append(rng.choice(candidates))
    return out


def _has_move(black: int, white: int, player: int) -> bool:
    return _think.think(black, white, player, 1, 0.0)["move"] >= 0


def values_by_depth(positions, max_depth: int) -> np.ndarray:
    """values[i, d]: position i searched d plies in full, side to move's view."""
    values = np.zeros((len(positions), max_depth + 1))
    for i, (b, w, p) in enumerate(positions):
        values[i, 0] = _think.evaluate(b, w, p)
        for d in range(1, max_depth + 1):
            _think.clear_table()
            values[i, d] = _think.think(b, w, p, d, 0.0, selective=False)["value"]
    return values


def fit(positions, values: np.ndarray, min_depth: int) -> tuple[np.ndarray, np.ndarray, list[str]]:
    """The spread's coefficients, the bias by the shallow depth's parity, and
    a line per depth pair."""
    pairs, report = [], []
    empties = np.array([empties_of(b, w) for b, w, _ in positions], dtype=float)
    for d in range(min_depth, values.shape[1]):
        s = _think.probcut_shallow_depth(d)
        diff = values[:, d] - values[:, s]
        report.append(f"depth {d:2d} from {s}: mean {diff.mean():+.2f}, sd {diff.std():.2f} discs")
        pairs.append((d, s, diff))
    bias = np.zeros(2)
    for parity in (0, 1):
        diffs = [diff for _, s, diff in pairs if s % 2 == parity]
        bias[parity] = np.concatenate(diffs).mean() if diffs else 0.0
    rows, targets = [], []
    for d, s, diff in pairs:
        for e, x in zip(empties, diff - bias[s % 2]):
            rows.append([1.0, e, d])
            targets.append(abs(x) * math.sqrt(math.pi / 2))
    coef, *_ = np.linalg.lstsq(np.array(rows), np.array(targets), rcond=None)
    return coef, bias, report


EXACT_EMPTIES = range(10, 19)
EXACT_DEPTHS = (0, 2, 4)


def fit_exact(per_empties: int, seed: int) -> np.ndarray:
    """The exact solver's spread coefficients, from solved positions."""
    exact = exact_labels(DATA)
    if not len(exact):
        raise SystemExit("no solved positions: run the labelling pipeline first")
    rows = list(zip(*(getattr(exact, f).tolist() for f in ("black", "white", "player", "empties", "score"))))
    random.Random(seed).shuffle(rows)
    features, targets = [], []
    for e in EXACT_EMPTIES:
        sample = [r for r in rows if r[3] == e][:per_empties]
        diffs = {d: [] for d in EXACT_DEPTHS}
        for black, white, player, _, score in sample:  # score: the side to move's
            for d in EXACT_DEPTHS:
                _think.clear_table()
                value = (_think.evaluate(black, white, player) if d == 0
                         else _think.think(black, white, player, d, 0.0, selective=False)["value"])
                diffs[d].append(score - value)
                features.append([1.0, e, d])
                targets.append(abs(score - value) * math.sqrt(math.pi / 2))
        print(f"{e} empties: " + ", ".join(f"depth {d} sd {np.std(x):.2f}" for d, x in diffs.items()))
    coef, *_ = np.linalg.lstsq(np.array(features), np.array(targets), rcond=None)
    return coef


def main(argv: list[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--positions", type=int, default=300)
    ap.add_argument("--max-depth", type=int, default=9)
    ap.add_argument("--min-depth", type=int, default=3)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--weights", default=str(WEIGHTS_PATH), help="the weight file to fit for")
    ap.add_argument("--write", action="store_true", help="put the constants into engine/probcut.h")
    ap.add_argument("--exact", action="store_true", help="fit the exact solver's cut-offs (per empties)")
    args = ap.parse_args(argv)

    _think.load_weights(args.weights)
    if args.exact:
        coef = fit_exact(args.positions, args.seed)
        new = f"constexpr double SOLVE_PROBCUT_SPREAD[3] = {{{coef[0]:.3f}, {coef[1]:.4f}, {coef[2]:.3f}}};"
        print(new)
        if args.write:
            text, n = re.subn(r"constexpr double SOLVE_PROBCUT_SPREAD\[3\] = \{[^}]*\};", new, HEADER.read_text())
            if n != 1:
                raise SystemExit(f"{HEADER}: SOLVE_PROBCUT_SPREAD not found")
            HEADER.write_text(text)
            print(f"wrote {HEADER}")
        return
    began = time.perf_counter()
    positions = sample_positions(args.positions, args.seed)
    values = values_by_depth(positions, args.max_depth)
    coef, bias, report = fit(positions, values, args.min_depth)
    for line in report:
        print(line)
    print(f"spread = {coef[0]:.3f} + {coef[1]:.4f} * empties + {coef[2]:.3f} * depth, bias {bias[0]:+.2f} "
          f"(even shallow depth), {bias[1]:+.2f} (odd) ({len(positions)} positions, "
          f"{time.perf_counter() - began:.0f} s)")
    if args.write:
        text = HEADER.read_text()
        new = f"constexpr double PROBCUT_SPREAD[3] = {{{coef[0]:.3f}, {coef[1]:.4f}, {coef[2]:.3f}}};"
        text, n = re.subn(r"constexpr double PROBCUT_SPREAD\[3\] = \{[^}]*\};", new, text)
        new_bias = f"constexpr double PROBCUT_BIAS[2] = {{{bias[0]:.3f}, {bias[1]:.3f}}};"
        text, m = re.subn(r"constexpr double PROBCUT_BIAS\[2\] = \{[^}]*\};", new_bias, text)
        if n != 1 or m != 1:
            raise SystemExit(f"{HEADER}: PROBCUT_SPREAD or PROBCUT_BIAS not found")
        HEADER.write_text(text)
        print(f"wrote {HEADER}")


if __name__ == "__main__":
    main()
