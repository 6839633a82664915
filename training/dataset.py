"""The labelled positions the fit reads, from the pipeline's Parquet files.

- exact: positions with at most 18 empty squares, solved (training/label.py).
- search: positions with more, valued by think() on the stages already
  trained (label.py --search); used for the empties they cover. A position
  valued by several searches keeps the deepest one's label.
- outcome: for positions with more empty squares that have no searched
  label, the exact score of the game's first position that was solved (the
  result of the game played on perfectly from there), seen from the
  position's side to move. It is made from the games and the exact labels,
  so it is never stored.

Label files name each position by its game and ply, not by its board (the
boards are nine tenths of a label file's size): the loader replays the
chunks' games once and takes every labelled position's board from there.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from training.common import DATA, replay
from training.fit import Data


# A game has at most 60 moves and a few passes: plies stay below 128.
PLIES = 128


@dataclass(frozen=True)
class Boards:
    """Every position of a set of games, in the games' order, each keyed by
    game * PLIES + ply; `order` sorts the keys, for the lookups."""

    key: np.ndarray
    black: np.ndarray
    white: np.ndarray
    player: np.ndarray
    empties: np.ndarray
    order: np.ndarray

    @staticmethod
    def of(games_files: list[Path]) -> "Boards":
        columns: dict[str, list[int]] = {k: [] for k in ("key", "black", "white", "player")}
        for f in games_files:
            if not f.exists():
                continue
            t = pq.read_table(f, columns=["game", "moves"])
            for game, moves in zip(t.column("game").to_pylist(), t.column("moves").to_pylist()):
                for ply, black, white, player in replay(moves):
                    columns["key"].append(game * PLIES + ply)
                    columns["black"].append(black)
                    columns["white"].append(white)
                    columns["player"].append(player)
        key = np.array(columns["key"], dtype=np.int64)
        black = np.array(columns["black"], dtype=np.uint64)
        white = np.array(columns["white"], dtype=np.uint64)
        return Boards(key, black, white, np.array(columns["player"], dtype=np.int64),
                      64 - np.bitwise_count(black | white).astype(np.int64), np.argsort(key, kind="stable"))

    def rows(self, game: np.ndarray, ply: np.ndarray) -> np.ndarray:
        """The indices of the positions (game, ply); an error naming the first
        one not among these games."""
        key = game.astype(np.int64) * PLIES + ply
        if not len(self.key):
            missing = np.arange(len(key))
        else:
            at = self.order[np.minimum(np.searchsorted(self.key, key, sorter=self.order), len(self.key) - 1)]
            missing = np.flatnonzero(self.key[at] != key)
        if len(missing):
            i = missing[0]
            raise ValueError(f"a labelled position is not in its games: game {int(game[i])}, ply {int(ply[i])}")
        return at if len(key) else np.zeros(0, np.int64)


def _data_of(table, boards: Boards) -> Data:
    game = table.column("game").to_numpy().astype(np.int64)
    at = boards.rows(game, table.column("ply").to_numpy().astype(np.int64))
    return Data(
        black=boards.black[at],
        white=boards.white[at],
        player=boards.player[at],
        empties=boards.empties[at],
        score=table.column("score").to_numpy().astype(np.float64),
        game=game,
    )


def concat(parts: list[Data]) -> Data:
    parts = [p for p in parts if len(p)]
    if not parts:
        empty = np.zeros(0)
        return Data(empty.astype(np.uint64), empty.astype(np.uint64), empty.astype(np.int64),
                    empty.astype(np.int64), empty, empty.astype(np.int64))
    return Data(*(np.concatenate([getattr(p, f) for p in parts])
                  for f in ("black", "white", "player", "empties", "score", "game")))


def outcome_labels(boards: Boards, exact: Data) -> Data:
    """Positions with more empty squares than the game's first solved
    position, labelled with that solve's score from their side to move."""
    # The first solved position of a game is its row with the most empties.
    order = np.lexsort((-exact.empties, exact.game))
    first = np.ones(len(order), dtype=bool)
    first[1:] = exact.game[order][1:] != exact.game[order][:-1]
    anchor_game = exact.game[order][first]
    if not len(anchor_game):
        return concat([])
    game = boards.key // PLIES
    at = np.minimum(np.searchsorted(anchor_game, game), len(anchor_game) - 1)
    anchored = anchor_game[at] == game
    a_empties, a_player, a_score = (v[order][first][at] for v in (exact.empties, exact.player, exact.score))
    # Empty squares never grow along a game, so these are the positions played before the anchor.
    pick = anchored & (boards.empties > a_empties)
    return Data(
        black=boards.black[pick],
        white=boards.white[pick],
        player=boards.player[pick],
        empties=boards.empties[pick],
        score=np.where(boards.player == a_player, a_score, -a_score)[pick].astype(np.float64),
        game=game[pick],
    )


def _read(files: list[Path], boards: Boards) -> Data:
    files = [f for f in files if f.exists()]
    return _data_of(pa.concat_tables([pq.read_table(f) for f in files]), boards) if files else concat([])


def search_depth_of(path: Path) -> int:
    """The search depth in a searched-label file's name (search-LO-HI-dD-eN-CHUNK)."""
    return int(next(part[1:] for part in path.stem.split("-") if part[:1] == "d" and part[1:].isdigit()))


def _read_search(files: list[Path], boards: Boards) -> Data:
    """The searched labels of `files`; a position (game, ply) labelled in
    several files keeps the label of the deepest search."""
    files = sorted((f for f in files if f.exists()), key=search_depth_of, reverse=True)
    if not files:
        return concat([])
    table = pa.concat_tables([pq.read_table(f) for f in files])
    key = table.column("game").to_numpy().astype(np.int64) * PLIES + table.column("ply").to_numpy()
    # np.unique keeps each key's first row: the deepest file's, as sorted.
    _, first = np.unique(key, return_index=True)
    return _data_of(table.take(pa.array(np.sort(first))), boards)


def exact_labels(data_dir: Path = DATA, chunks: Sequence[int] | None = None) -> Data:
    """The exact labels alone of the given game chunks (every chunk found if None)."""
    chunks = labelled_chunks(data_dir, chunks)
    boards = Boards.of([data_dir / "games" / f"games-{c:05d}.parquet" for c in chunks])
    return _read([data_dir / "exact" / f"exact-{c:05d}.parquet" for c in chunks], boards)


def labelled_chunks(data_dir: Path, chunks: Sequence[int] | None = None) -> Sequence[int]:
    """The given chunks, or every chunk with exact labels under data_dir if None."""
    if chunks is None:
        return sorted(int(f.stem.split("-")[-1]) for f in (data_dir / "exact").glob("exact-*.parquet"))
    return chunks


def load(data_dir: Path = DATA, chunks: Sequence[int] | None = None, use_outcome: bool = True) -> tuple[Data, dict[str, int]]:
    """The labelled positions of the given game chunks (every chunk found if
    None), and how many came from each source. Searched labels replace
    outcome labels at the empties they cover."""
    chunks = labelled_chunks(data_dir, chunks)
    boards = Boards.of([data_dir / "games" / f"games-{c:05d}.parquet" for c in chunks])
    exact = _read([data_dir / "exact" / f"exact-{c:05d}.parquet" for c in chunks], boards)
    search = _read_search([f for c in chunks for f in (data_dir / "search").glob(f"search-*-{c:05d}.parquet")], boards)
    parts = [exact, search]
    counts = {"exact": len(exact), "search": len(search), "outcome": 0}
    if use_outcome and len(exact):
        outcome = outcome_labels(boards, exact)
        covered = np.unique(search.empties)
        outcome = outcome.take(~np.isin(outcome.empties, covered))
        counts["outcome"] = len(outcome)
        parts.append(outcome)
    return concat(parts), counts
