"""Two weight files' static error, position by position, on the held-out
games of the given chunks (games with id % 10 == 9, which no fit trains on):

    python -m training.compare_weights OLD.bin NEW.bin --chunks 324:428

Against each position's label: the exact score up to 18 empties, the
deepest searched label beyond. Prints, by range of empty squares, the mean
absolute error of each file, their difference (NEW minus OLD) and its
standard error with each game as one sample, since a game's positions are
not independent of each other.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from training import fit
from training.common import DATA, parse_chunks
from training.dataset import labelled_chunks, load

RANGES = [(8, 11), (12, 15), (16, 18), (19, 22), (23, 26), (27, 30), (31, 35), (23, 35)]


def static_errors(weights: Path, black: np.ndarray, white: np.ndarray, player: np.ndarray,
                  score: np.ndarray) -> np.ndarray:
    """The static value minus the label, from the side to move's view."""
    from flipcore import _think

    _think.load_weights(str(weights))
    return np.array([_think.evaluate(int(b), int(w), int(p)) for b, w, p in zip(black, white, player)]) - score


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", type=Path)
    parser.add_argument("new", type=Path)
    parser.add_argument("--chunks", default="300:1000", help="game chunks whose held-out games are measured")
    parser.add_argument("--data-dir", type=Path, default=DATA)
    args = parser.parse_args(argv)
    wanted = set(parse_chunks(args.chunks))
    chunks = [c for c in labelled_chunks(args.data_dir) if c in wanted]
    if not chunks:
        raise SystemExit(f"no labelled chunks in {args.chunks} under {args.data_dir}")
    data, _ = load(args.data_dir, chunks)
    held = fit.is_held_out(data.game)
    game, empties = data.game[held], data.empties[held]
    columns = (data.black[held], data.white[held], data.player[held], data.score[held])
    old, new = (np.abs(static_errors(w, *columns)) for w in (args.old, args.new))
    print(f"{len(chunks)} chunks, {len(np.unique(game))} held-out games, {held.sum()} positions")
    print(f"{'empties':>7} {'positions':>9} {'old':>6} {'new':>6} {'new-old':>8} {'s.e.':>6}")
    for lo, hi in RANGES:
        m = (empties >= lo) & (empties <= hi)
        if not m.any():
            continue
        _, which = np.unique(game[m], return_inverse=True)
        per_game = np.bincount(which, new[m] - old[m]) / np.bincount(which)
        se = per_game.std(ddof=1) / np.sqrt(len(per_game)) if len(per_game) > 1 else float("nan")
        print(f"{f'{lo}-{hi}':>7} {m.sum():9d} {old[m].mean():6.2f} {new[m].mean():6.2f} "
              f"{(new[m] - old[m]).mean():+8.3f} {se:6.3f}")


if __name__ == "__main__":
    main()
