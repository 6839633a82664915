"""Pieces shared by the pipeline's steps: chunked, atomically written Parquet
files, per-chunk seeds and the replay of a recorded game."""

from __future__ import annotations

import os
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from flipcore import _rules

DATA = Path(__file__).resolve().parent / "data"

PASS = -1  # a pass in a recorded move list
BLACK, WHITE = 1, 2
START_BLACK = (1 << 28) | (1 << 35)  # e4, d5
START_WHITE = (1 << 27) | (1 << 36)  # d4, e5


def chunk_seed(seed: int, step: str, chunk: int) -> int:
    """A 64-bit seed for one chunk of one step: independent streams, the same
    whichever process or order runs the chunk."""
    tag = int.from_bytes(step.encode(), "little") % (1 << 32)
    return int(np.random.SeedSequence([seed, tag, chunk]).generate_state(2, np.uint64)[0])


def parse_chunks(text: str) -> range:
    """"0:40" -> chunks 0 to 39; "7" -> chunk 7 alone."""
    if ":" in text:
        low, high = text.split(":", 1)
        return range(int(low), int(high))
    return range(int(text), int(text) + 1)


def write_table(table: pa.Table, path: Path) -> None:
    """Writes `table` so that `path` either holds a whole file or none: a run
    cut short leaves at most a .tmp file, and a rerun redoes that chunk."""
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(path.suffix + ".tmp")
    pq.write_table(table, tmp, compression="zstd", compression_level=9)
    os.replace(tmp, path)


def read_dir(directory: Path, pattern: str = "*.parquet") -> pa.Table | None:
    files = sorted(directory.glob(pattern))
    if not files:
        return None
    return pa.concat_tables([pq.read_table(f) for f in files])


def replay(moves: list[int]) -> Iterator[tuple[int, int, int, int]]:
    """Each position of a recorded game, as (ply, black, white, player), from
    the start to the final position; a pass is a ply of its own."""
    black, white, player = START_BLACK, START_WHITE, BLACK
    yield 0, black, white, player
    for ply, sq in enumerate(moves, 1):
        if sq != PASS:
            black, white = _rules.play(black, white, player, sq)
        player = 3 - player
        yield ply, black, white, player


def empties_of(black: int, white: int) -> int:
    return 64 - (black | white).bit_count()
