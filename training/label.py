"""Labels for the positions of the generated games.

Exact labels (this module's main): every position with 1 to --max-empties
(18) empty squares along each game, not yet over, solved exactly by
flipcore.solve(); the label is the final disc difference with perfect play
from the side to move's view, the empty squares counted for the winner
(SolveResult.score_for_mover()). One solver per worker process, one output
file per games chunk (training/data/exact/exact-NNNNN.parquet); a games chunk
that is missing is played first, so one command makes both and a run cut
short goes on where it stopped:

    nice -n 19 python -m training.label --seed 1 --chunks 0:40 --workers 2

Searched labels (search_chunk, python -m training.label --search ...):
positions with more empty squares, valued by flipcore._think.think() on the
evaluation trained so far (its "value": the side to move's view, in discs),
written to training/data/search/search-DEPTH-NNNNN.parquet.

A label file's rows are (game, ply, score): the position is the game's after
that many plies, which the loader replays (training/dataset.py).
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from multiprocessing import get_context
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

import flipcore
from flipcore import _rules

from training.common import DATA, empties_of, parse_chunks, replay, write_table
from training.export import WEIGHT_FILE
from training.games import GAMES_DIR, GameSettings, make_chunk

EXACT_DIR = DATA / "exact"
SEARCH_DIR = DATA / "search"

# A label names its position by game and ply; the boards, most of a file's
# size when stored, are the games' replayed (training/dataset.py).
LABEL_SCHEMA = pa.schema([("game", pa.int64()), ("ply", pa.int16()), ("score", pa.int8())])


def game_positions(games: pa.Table, low: int, high: int) -> list[tuple[int, int, int, int, int, int]]:
    """(game, ply, black, white, player, empties) of every position of the
    games with low..high empty squares in which the side to move can play or
    must pass (finished positions are left out)."""
    out = []
    for game, moves in zip(games.column("game").to_pylist(), games.column("moves").to_pylist()):
        for ply, black, white, player in replay(moves):
            empties = empties_of(black, white)
            if empties > high:
                continue
            if empties < low:
                break
            if not (_rules.legal_moves(black, white, player) or _rules.legal_moves(black, white, 3 - player)):
                break
            out.append((game, ply, black, white, player, empties))
    return out


def _table(rows: list[tuple[int, int, int, int, int, int]], scores: list[int]) -> pa.Table:
    return pa.Table.from_arrays(
        [pa.array([r[0] for r in rows], pa.int64()), pa.array([r[1] for r in rows], pa.int16()),
         pa.array(scores, pa.int8())],
        schema=LABEL_SCHEMA,
    )


@dataclass(frozen=True)
class ExactSettings:
    games: GameSettings = GameSettings()
    max_empties: int = 18
    out: Path = EXACT_DIR


def exact_path(out: Path, chunk: int) -> Path:
    return out / f"exact-{chunk:05d}.parquet"


def exact_chunk(chunk: int, settings: ExactSettings) -> Path:
    """Solves the positions of one games chunk (played first if missing)."""
    path = exact_path(settings.out, chunk)
    if path.exists():
        return path
    games = pq.read_table(make_chunk(chunk, settings.games))
    rows = game_positions(games, 1, settings.max_empties)
    scores = []
    for game, ply, black, white, player, empties in rows:
        # One thread: the workers already share the cores among them.
        found = flipcore.solve(flipcore.Position._from_masks(black, white, player), threads=1)
        scores.append(found.score_for_mover())
    write_table(_table(rows, scores), path)
    return path


# think(black, white, player, depth, seconds) -> {"value": side to move's view, ...}
ThinkFunction = Callable[[int, int, int, int, float], dict]


def _binding_think(weights: Path) -> ThinkFunction:
    """think() with the weight file at `weights` loaded. Loaded again for
    every chunk (a few milliseconds): a strong games chunk made in the same
    process in between loads the package's weights over it."""
    try:
        from flipcore import _think
    except ImportError as err:
        raise RuntimeError(
            "searched labels need flipcore._think (the learned evaluation's search); "
            "rebuild the package with it first"
        ) from err
    if not weights.exists():
        raise FileNotFoundError(f"searched labels need the weights fitted so far: no file {weights}")
    _think.load_weights(str(weights))
    return _think.think


@dataclass(frozen=True)
class SearchSettings:
    games: GameSettings = GameSettings()
    low: int = 19  # empty squares of the positions labelled
    high: int = 26
    depth: int = 8
    seconds: float = 0.0  # 0: no time limit, the depth alone
    every: int = 1  # label one position in `every` plies along a game (the rest skipped)
    out: Path = SEARCH_DIR
    weights: Path = WEIGHT_FILE  # the evaluation think() searches on


def search_path(settings: SearchSettings, chunk: int) -> Path:
    name = f"search-{settings.low}-{settings.high}-d{settings.depth}-e{settings.every}-{chunk:05d}.parquet"
    return settings.out / name


def search_chunk(chunk: int, settings: SearchSettings, think: ThinkFunction | None = None) -> Path:
    """Labels the positions of one games chunk with low..high empty squares
    by think() at a fixed depth; the label is its value rounded to a disc."""
    path = search_path(settings, chunk)
    if path.exists():
        return path
    # The games first: making a strong chunk loads the package's weights.
    games = pq.read_table(make_chunk(chunk, settings.games))
    if think is None:
        think = _binding_think(settings.weights)
        from flipcore import _think

        # think()'s table lives on between calls and can change what a
        # search at a fixed depth returns: emptied per chunk, so that a
        # chunk's labels do not depend on what its process did before.
        _think.clear_table()
    rows = game_positions(games, settings.low, settings.high)
    # One position in `every` along each game, offset by the game so that
    # every number of empty squares (both parities) gets its share.
    rows = [row for row in rows if (row[0] + row[1]) % settings.every == 0]
    scores = []
    for game, ply, black, white, player, empties in rows:
        value = think(black, white, player, settings.depth, settings.seconds)["value"]
        scores.append(max(-64, min(64, round(value))))
    write_table(_table(rows, scores), path)
    return path


def _work(args: tuple[str, int, object]) -> tuple[int, float, str]:
    kind, chunk, settings = args
    began = time.perf_counter()
    if kind == "exact":
        exact_chunk(chunk, settings)  # type: ignore[arg-type]
    else:
        search_chunk(chunk, settings)  # type: ignore[arg-type]
    return chunk, time.perf_counter() - began, kind


def run(kind: str, chunks: Sequence[int], settings: ExactSettings | SearchSettings, workers: int = 2) -> None:
    done = exact_path if kind == "exact" else (lambda out, c: search_path(settings, c))  # type: ignore[arg-type]
    todo = [c for c in chunks if not done(settings.out, c).exists()]
    jobs = [(kind, c, settings) for c in todo]
    if workers <= 1:
        results = map(_work, jobs)
        for c, seconds, kind_ in results:
            print(f"{kind_} labels chunk {c}: {seconds:.1f} s", flush=True)
        return
    with get_context("spawn").Pool(workers) as pool:
        for c, seconds, kind_ in pool.imap_unordered(_work, jobs):
            print(f"{kind_} labels chunk {c}: {seconds:.1f} s", flush=True)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--chunks", default="0:40")
    parser.add_argument("--chunk-size", type=int, default=500)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--max-empties", type=int, default=18)
    parser.add_argument("--games-dir", type=Path, default=GAMES_DIR)
    parser.add_argument("--out", type=Path, default=None)
    parser.add_argument("--search", metavar="LOW:HIGH", help="searched labels for positions with LOW..HIGH empties")
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=0.0)
    parser.add_argument("--every", type=int, default=1)
    parser.add_argument("--weights", type=Path, default=WEIGHT_FILE, help="the weight file think() searches on")
    args = parser.parse_args(argv)
    games = GameSettings(seed=args.seed, chunk_size=args.chunk_size, out=args.games_dir)
    chunks = parse_chunks(args.chunks)
    if args.search:
        low, high = (int(x) for x in args.search.split(":"))
        settings: ExactSettings | SearchSettings = SearchSettings(
            games, low, high, args.depth, args.seconds, args.every, args.out or SEARCH_DIR, args.weights
        )
        _binding_think(args.weights)  # a clear error now rather than in every worker
        run("search", chunks, settings, args.workers)
    else:
        run("exact", chunks, ExactSettings(games, args.max_empties, args.out or EXACT_DIR), args.workers)


if __name__ == "__main__":
    main()
