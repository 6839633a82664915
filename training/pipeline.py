"""The whole training run, from nothing to the weight file, with one seed:

    nice -n 19 python -m training.pipeline --seed 1 --chunks 80 --strong-chunks 32 --strong-weight 3 \
        --search-depth 6 --search-every 2

1. games: --chunks chunks of --chunk-size games (training/games.py), and
   --strong-chunks chunks of strong games (numbered from 100) and
   --clean-chunks chunks of clean games (numbered from 300);
2. exact labels: their positions with at most 18 empty squares, solved
   (training/label.py); steps 1 and 2 run chunk by chunk on --workers
   processes and a rerun skips every chunk already written;
3. searched labels (with --search-depth, once flipcore._think exists): from
   the end of the game backwards, block by block of stages, the positions of
   the next block are valued by think() at that depth on the weights fitted
   so far, written to the weight file first (training/label.py --search);
   without them, positions with more than 18 empties are labelled by the
   exact result of their game's solved end (training/dataset.py);
4. fits: every stage (training/fit.py), on --workers processes, with
   held-out errors beside the baseline's;
5. export: src/flipcore/data/eval.bin and its provenance beside it.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
import time
from collections import Counter
from multiprocessing import get_context
from pathlib import Path

import numpy as np

from training import export, fit, label
from training.common import DATA
from training.dataset import concat, load, search_depth_of
from training.features import pattern_groups
from training.games import CLEAN_FIRST_CHUNK, STRONG_FIRST_CHUNK, GameSettings, clean_chunks, strong_chunks

PROVENANCE = export.WEIGHT_FILE.with_name("eval.provenance.txt")


# The data the fit workers read, set before they fork so that they share
# it with the parent instead of receiving a copy each.
_FIT_ARGS: tuple | None = None


def _fit_one(s: int) -> fit.StageFit:
    data, columns, stages, damp, overlap = _FIT_ARGS  # type: ignore[misc]
    return fit.fit_stage(data, columns, stages, s, overlap=overlap, damp=damp)


def fit_all(data: fit.Data, columns: fit.Columns, stages: np.ndarray, damp: float, overlap: int,
            wanted: list[int] | None = None, log=print, workers: int = 1) -> list[fit.StageFit]:
    """The fits of the `wanted` stages (all by default), on `workers`
    processes (each stage's fit is single-threaded); the same fits either way."""
    global _FIT_ARGS

    def logged(f: fit.StageFit) -> fit.StageFit:
        log(f"stage {f.stage:2d} ({f.empties[0]:2d}-{f.empties[1]:2d} empties): train {f.train_rows:7d} "
            f"held out {f.test_rows:6d}  MAE {f.mae:5.2f} (float {f.mae_float:5.2f})  baseline {f.mae_baseline:5.2f}"
            f"  {f.seconds:5.1f} s")
        return f

    todo = list(range(int(stages.max()) + 1)) if wanted is None else list(wanted)
    _FIT_ARGS = (data, columns, stages, damp, overlap)
    try:
        if workers <= 1 or len(todo) <= 1:
            return [logged(_fit_one(s)) for s in todo]
        with get_context("fork").Pool(workers) as pool:
            return [logged(f) for f in pool.imap(_fit_one, todo)]
    finally:
        _FIT_ARGS = None


def search_files(data_dir: Path, chunks: list[int]) -> str:
    """How many searched-label files of `chunks` there are at each search depth."""
    files = [f for c in chunks for f in (data_dir / "search").glob(f"search-*-{c:05d}.parquet")]
    depths = Counter(search_depth_of(f) for f in files)
    return ", ".join(f"{n} at depth {d}" for d, n in sorted(depths.items())) or "none"


def weighted(data: fit.Data, chunk_size: int, strong_weight: int, clean_weight: int | None = None) -> fit.Data:
    """`data` with the strong games' training rows repeated to count
    `strong_weight` times in the least-squares fits, and the clean games'
    `clean_weight` times (the strong games' weight when None); held-out rows
    once, so that the held-out errors stay plain means."""
    chunk = data.game // chunk_size
    train = ~fit.is_held_out(data.game)
    clean_weight = strong_weight if clean_weight is None else clean_weight
    parts = [data]
    for weight, rows in ((strong_weight, (chunk >= STRONG_FIRST_CHUNK) & (chunk < CLEAN_FIRST_CHUNK)),
                         (clean_weight, chunk >= CLEAN_FIRST_CHUNK)):
        extra = np.flatnonzero(rows & train)
        parts += [data.take(extra)] * (weight - 1)
    return concat(parts) if len(parts) > 1 else data


def weight_file(fits: list[fit.StageFit], columns: fit.Columns, stages: np.ndarray) -> export.WeightFile:
    return export.WeightFile(
        scale=fit.SCALE,
        stage_of_empties=stages,
        group_sizes=[g.size for g in columns.groups],
        weights=[[fit.quantise(t) for t in f.tables] for f in fits],
        globals_=np.stack([fit.quantise(f.globals_) for f in fits]),
    )


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--chunks", type=int, default=120, help="number of game chunks")
    parser.add_argument("--chunk-size", type=int, default=500)
    parser.add_argument("--strong-chunks", type=int, default=0, help="chunks of strong games (think against itself)")
    parser.add_argument("--clean-chunks", type=int, default=0,
                        help="chunks of clean games (the strong players without noise, numbered from 300)")
    parser.add_argument("--strong-weight", type=int, default=1,
                        help="the strong games' training positions count this many times in the fits")
    parser.add_argument("--clean-weight", type=int, default=None,
                        help="the clean games' training positions count this many times (default: --strong-weight)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--stage-width", type=int, default=4)
    parser.add_argument("--overlap", type=int, default=4, help="empties shared with each neighbouring stage")
    parser.add_argument("--damp", type=float, default=5.0)
    parser.add_argument("--search-depth", type=int, default=0,
                        help="label positions beyond 18 empties by think() at this depth (0: by the game's solved end)")
    parser.add_argument("--search-every", type=int, default=2, help="searched labels for one position in N plies")
    parser.add_argument("--search-chunks", type=int, default=None, help="game chunks given searched labels (all)")
    parser.add_argument("--out", type=Path, default=export.WEIGHT_FILE)
    parser.add_argument("--data-dir", type=Path, default=DATA, help="where games and labels are kept")
    args = parser.parse_args(argv)

    lines: list[str] = []

    def log(text: str) -> None:
        print(text, flush=True)
        lines.append(text)

    groups = pattern_groups()
    columns = fit.Columns(groups)
    stages = fit.default_stages(args.stage_width)
    n_stages = int(stages.max()) + 1
    data_dir = args.data_dir
    games = GameSettings(seed=args.seed, chunk_size=args.chunk_size, out=data_dir / "games")
    chunks = [*range(args.chunks), *strong_chunks(args.strong_chunks), *clean_chunks(args.clean_chunks)]

    began = time.perf_counter()
    label.run("exact", chunks, label.ExactSettings(games, 18, data_dir / "exact"), args.workers)
    log(f"games and exact labels: {time.perf_counter() - began:.0f} s (chunks already made are skipped)")

    if args.search_depth:
        # Backwards from the first stage beyond the exact labels: the stages
        # below it are fitted (a stage's fit is redone while labels within its
        # window are still being added), written where think() reads them with
        # zeros above, and the stage's positions are labelled by think().
        first = int(stages[19])
        fitted: dict[int, fit.StageFit] = {}
        for s in range(first, n_stages):
            lo, hi = fit.stage_range(stages, s)
            lo = max(lo, 19)
            t = time.perf_counter()
            settings = label.SearchSettings(games, lo, hi, args.search_depth, 0.0, args.search_every,
                                            out=data_dir / "search", weights=args.out)
            search_chunks = range(args.search_chunks) if args.search_chunks else chunks
            if all(label.search_path(settings, c).exists() for c in search_chunks):
                continue  # made by an earlier run: no fits needed for it
            data = weighted(load(data_dir, chunks)[0], args.chunk_size, args.strong_weight, args.clean_weight)
            for k in range(max(0, s - 2), s + 1):
                fitted[k] = fit.fit_stage(data, columns, stages, k, overlap=args.overlap, damp=args.damp)
            for k in range(s - 2):
                if k not in fitted:
                    fitted[k] = fit.fit_stage(data, columns, stages, k, overlap=args.overlap, damp=args.damp)
            blank = fit.fit_stage(fit.Data(*(getattr(data, f)[:0] for f in
                                             ("black", "white", "player", "empties", "score", "game"))),
                                  columns, stages, n_stages - 1)
            fits = [fitted.get(k, blank) for k in range(n_stages)]
            export.write(weight_file(fits, columns, stages), args.out)
            label.run("search", search_chunks, settings, args.workers)
            log(f"searched labels, {lo}-{hi} empties, depth {args.search_depth}: {time.perf_counter() - t:.0f} s")

    t = time.perf_counter()
    data, counts = load(data_dir, chunks)
    log(f"loaded {len(data)} positions ({counts}) in {time.perf_counter() - t:.0f} s")
    data = weighted(data, args.chunk_size, args.strong_weight, args.clean_weight)
    t = time.perf_counter()
    fits = fit_all(data, columns, stages, args.damp, args.overlap, log=log, workers=args.workers)
    log(f"fits: {time.perf_counter() - t:.0f} s")
    sha = export.write(weight_file(fits, columns, stages), args.out)
    counts_by_empties = np.bincount(data.empties, minlength=61)
    provenance = [
        "The learned evaluation's weights (eval.bin), made by this repository's training pipeline",
        "from games flipcore played itself: no outside games, positions or weights.",
        "",
        f"command: python -m training.pipeline {' '.join(sys.argv[1:] if argv is None else argv)}",
        f"seed {args.seed}; {args.chunks} chunks of {args.chunk_size} games and {args.strong_chunks} of strong games"
        f" (their training positions counted {args.strong_weight} times) and {args.clean_chunks} of clean games"
        f" (counted {args.strong_weight if args.clean_weight is None else args.clean_weight} times);"
        f" stages {args.stage_width} empties wide,"
        f" {args.overlap} shared with each neighbour; damping {args.damp}",
        f"labels: {counts['exact']} exact (<= 18 empties), {counts['search']} searched"
        f" (the deepest of each position's searches; files by depth: {search_files(data_dir, chunks)}),"
        f" {counts['outcome']} by the game's solved end",
        "positions by empty squares: " + " ".join(f"{e}:{n}" for e, n in enumerate(counts_by_empties) if n),
        f"held-out games: id % {fit.HOLDOUT_MOD} == {fit.HOLDOUT_REST}",
        "stage_of_empties: " + " ".join(str(int(s)) for s in stages),
        "",
        "held-out mean absolute error in discs, by stage (the exported fixed-point weights; baseline:",
        "least squares on bias, disc, mobility and corner differences, and parity), against each",
        "position's own label: the exact score up to 18 empties; beyond, the searched value when there",
        "is one, else the game's solved end (so there it measures agreement with those labels):",
    ]
    for f in fits:
        provenance.append(f"  stage {f.stage:2d} ({f.empties[0]:2d}-{f.empties[1]:2d} empties): {f.mae:5.2f}"
                          f"  baseline {f.mae_baseline:5.2f}  ({f.test_rows} positions)")
    provenance += ["", *lines, "", f"sha256 {sha}  {args.out.name}"]
    args.out.with_name("eval.provenance.txt").write_text("\n".join(provenance) + "\n")
    log(f"wrote {args.out} (sha256 {sha})")


if __name__ == "__main__":
    main()
