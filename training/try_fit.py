"""The evaluation's stages over a range of empty squares fitted under other
settings, or with pattern groups the engine does not have, to see what a
change is worth before making it:

    python -m training.try_fit --empties 24:27 --chunks 0:80 100:196 300:436
    python -m training.try_fit --empties 24:27 --extra triangle edge_inner diag_3
    python -m training.try_fit --empties 24:27 --l1-rounds 0 1

Each variant refits the stages that hold those counts of empty squares and
prints the mean absolute error on the held-out games' positions in the
range: all of them, those of clean games alone (the kind of play users
analyse), and against the exact scores of the think benchmark's solved
positions (`--solved`), whose labels are exact where the games' are searched
beyond 18 empties. Those are the positions the benchmark reports on, so a
choice made on them alone would flatter the benchmark: the held-out games
should agree. The extra groups are
tried in the fit only (numpy), so nothing needs rebuilding; the engine cannot
read the weights they make.
"""

from __future__ import annotations

import argparse
import json
import time
from pathlib import Path

import numpy as np

from flipcore import Position
from training import fit
from training.common import DATA, parse_chunks
from training.dataset import load
from training.features import pattern_groups, symmetric_group
from training.games import CLEAN_FIRST_CHUNK, GameSettings
from training.pipeline import weighted

SOLVED = str(Path(__file__).resolve().parent.parent / "benchmarks" / "data" / "think_solved.json")

# Candidate groups, by their squares (row * 8 + col) at the a1 corner.
EXTRA_GROUPS = {
    "triangle": (0, 1, 2, 3, 8, 9, 10, 16, 17, 24),  # a1-d1, a2-c2, a3-b3, a4
    "edge_inner": (1, 2, 3, 4, 5, 6, 9, 10, 13, 14),  # b1-g1 with b2, c2, f2, g2
    "diag_3": (2, 9, 16),  # c1-a3
}


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--empties", default="24:27", help="LOW:HIGH, the empty squares measured")
    parser.add_argument("--chunks", nargs="+", default=["0:80", "100:196", "300:436"])
    parser.add_argument("--extra", nargs="*", default=[], choices=sorted(EXTRA_GROUPS),
                        help="groups added, each alone and then all together")
    parser.add_argument("--damp", type=float, nargs="+", default=[5.0])
    parser.add_argument("--iterations", type=int, default=300)
    parser.add_argument("--l1-rounds", type=int, nargs="+", default=[0],
                        help="reweighting rounds towards least absolute deviations (0: least squares)")
    parser.add_argument("--width", type=int, default=4, help="empties a stage spans")
    parser.add_argument("--overlap", type=int, nargs="+", default=[4], help="empties shared with each neighbour")
    parser.add_argument("--clean-weight", type=int, nargs="+", default=[3])
    parser.add_argument("--data-dir", default=DATA)
    parser.add_argument("--solved", default=SOLVED,
                        help="positions with exact scores (the think benchmark's file) to measure on too")
    args = parser.parse_args(argv)

    low, high = (int(x) for x in args.empties.split(":"))
    chunks = sorted({c for text in args.chunks for c in parse_chunks(text)})
    data, _ = load(args.data_dir, chunks)
    reach = args.width + max(args.overlap)
    data = data.take((data.empties >= low - reach) & (data.empties <= high + reach))
    stages = fit.default_stages(args.width)
    held = fit.is_held_out(data.game)
    in_range = held & (data.empties >= low) & (data.empties <= high)
    clean = data.game // GameSettings.chunk_size >= CLEAN_FIRST_CHUNK
    exact = solved_positions(args.solved, low, high)
    print(f"{low}-{high} empties: {np.count_nonzero(in_range)} held-out positions,"
          f" {np.count_nonzero(in_range & clean)} of clean games, {len(exact)} solved")

    base = pattern_groups()
    extras = [symmetric_group(name, EXTRA_GROUPS[name]) for name in args.extra]
    group_sets = [("the engine's groups", base)] + [(f"+ {g.name}", base + [g]) for g in extras]
    if len(extras) > 1:
        group_sets.append(("+ all of them", base + extras))
    for name, groups in group_sets:
        columns = fit.Columns(groups)
        for clean_weight in args.clean_weight:
            rows = weighted(data, GameSettings.chunk_size, 3, clean_weight)
            for overlap in args.overlap:
                for damp, rounds in ((d, r) for d in args.damp for r in args.l1_rounds):
                    began = time.perf_counter()
                    error = np.zeros(len(data))
                    exact_error = np.zeros(len(exact))
                    for s in sorted({int(stages[e]) for e in range(low, high + 1)}):
                        f = fit.fit_stage(rows, columns, stages, s, overlap=overlap, damp=damp,
                                          iterations=args.iterations, l1_rounds=rounds)
                        lo, hi = fit.stage_range(stages, s)
                        mine = in_range & (data.empties >= lo) & (data.empties <= hi)
                        tables, globals_ = [fit.quantise(t) for t in f.tables], fit.quantise(f.globals_)

                        def error_of(d: fit.Data) -> np.ndarray:
                            return np.abs(fit.evaluate(groups, tables, globals_, d.black, d.white, d.player) - d.score)

                        error[mine] = error_of(data.take(mine))
                        here = (exact.empties >= lo) & (exact.empties <= hi)
                        exact_error[here] = error_of(exact.take(here))
                    print(f"{name}, clean games x{clean_weight}, overlap {overlap}, damping {damp}, l1 rounds {rounds}:"
                          f" held out {error[in_range].mean():.3f}, clean games {error[in_range & clean].mean():.3f},"
                          f" solved {exact_error.mean() if len(exact) else float('nan'):.3f}"
                          f" ({time.perf_counter() - began:.0f} s)", flush=True)


def solved_positions(path: str, low: int, high: int) -> fit.Data:
    """The positions of `path` (position text -> {"score": X minus O, ...})
    with low..high empty squares, scored from the side to move's view."""
    rows = []
    if Path(path).exists():
        for text, entry in json.loads(Path(path).read_text()).items():
            p = Position.from_text(text)  # the masks, as the benchmark hands them to the engine
            empties = 64 - (p._black | p._white).bit_count()
            if low <= empties <= high:
                score = entry["score"] if p.player == 1 else -entry["score"]
                rows.append((p._black, p._white, p.player, empties, score))
    columns = list(zip(*rows)) if rows else [()] * 5
    masks = (np.array(c, dtype=np.uint64) for c in columns[:2])
    return fit.Data(*masks, *(np.array(c, dtype=np.int64) for c in columns[2:]),
                    game=np.zeros(len(rows), dtype=np.int64))


if __name__ == "__main__":
    main()
