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
"""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from training.common import DATA, empties_of, replay
from training.fit import Data


def _data_of(table) -> Data:
    return Data(
        black=table.column("black").to_numpy().astype(np.uint64),
        white=table.column("white").to_numpy().astype(np.uint64),
        player=table.column("player").to_numpy().astype(np.int64),
        empties=table.column("empties").to_numpy().astype(np.int64),
        score=table.column("score").to_numpy().astype(np.float64),
        game=table.column("game").to_numpy().astype(np.int64),
    )


def concat(parts: list[Data]) -> Data:
    parts = [p for p in parts if len(p)]
    if not parts:
        empty = np.zeros(0)
        return Data(empty.astype(np.uint64), empty.astype(np.uint64), empty.astype(np.int64),
                    empty.astype(np.int64), empty, empty.astype(np.int64))
    return Data(*(np.concatenate([getattr(p, f) for p in parts])
                  for f in ("black", "white", "player", "empties", "score", "game")))


def outcome_labels(games_files: list[Path], exact: Data) -> Data:
    """Positions with more empty squares than the game's first solved
    position, labelled with that solve's score from their side to move."""
    # The first solved position of a game is its row with the most empties.
    order = np.lexsort((-exact.empties, exact.game))
    first = np.ones(len(order), dtype=bool)
    first[1:] = exact.game[order][1:] != exact.game[order][:-1]
    anchor = {int(g): (int(e), int(p), float(s)) for g, e, p, s in zip(
        exact.game[order][first], exact.empties[order][first], exact.player[order][first], exact.score[order][first])}
    rows: dict[str, list] = {k: [] for k in ("black", "white", "player", "empties", "score", "game")}
    for f in games_files:
        t = pq.read_table(f, columns=["game", "moves"])
        for game, moves in zip(t.column("game").to_pylist(), t.column("moves").to_pylist()):
            if game not in anchor:
                continue
            a_empties, a_player, a_score = anchor[game]
            for ply, black, white, player in replay(moves):
                e = empties_of(black, white)
                if e <= a_empties:
                    break
                rows["black"].append(black)
                rows["white"].append(white)
                rows["player"].append(player)
                rows["empties"].append(e)
                rows["score"].append(a_score if player == a_player else -a_score)
                rows["game"].append(game)
    return Data(
        black=np.array(rows["black"], dtype=np.uint64),
        white=np.array(rows["white"], dtype=np.uint64),
        player=np.array(rows["player"], dtype=np.int64),
        empties=np.array(rows["empties"], dtype=np.int64),
        score=np.array(rows["score"], dtype=np.float64),
        game=np.array(rows["game"], dtype=np.int64),
    )


def _read(files: list[Path]) -> Data:
    files = [f for f in files if f.exists()]
    return _data_of(pa.concat_tables([pq.read_table(f) for f in files])) if files else concat([])


def search_depth_of(path: Path) -> int:
    """The search depth in a searched-label file's name (search-LO-HI-dD-eN-CHUNK)."""
    return int(next(part[1:] for part in path.stem.split("-") if part[:1] == "d" and part[1:].isdigit()))


def _read_search(files: list[Path]) -> Data:
    """The searched labels of `files`; a position (game, ply) labelled in
    several files keeps the label of the deepest search."""
    files = sorted((f for f in files if f.exists()), key=search_depth_of, reverse=True)
    if not files:
        return concat([])
    table = pa.concat_tables([pq.read_table(f) for f in files])
    # A game has at most 60 moves and a few passes: plies stay below 128.
    key = table.column("game").to_numpy().astype(np.int64) * 128 + table.column("ply").to_numpy()
    # np.unique keeps each key's first row: the deepest file's, as sorted.
    _, first = np.unique(key, return_index=True)
    return _data_of(table.take(pa.array(np.sort(first))))


def load(data_dir: Path = DATA, chunks: Sequence[int] | None = None, use_outcome: bool = True) -> tuple[Data, dict[str, int]]:
    """The labelled positions of the given game chunks (every chunk found if
    None), and how many came from each source. Searched labels replace
    outcome labels at the empties they cover."""
    if chunks is None:
        chunks = sorted(int(f.stem.split("-")[-1]) for f in (data_dir / "exact").glob("exact-*.parquet"))
    exact = _read([data_dir / "exact" / f"exact-{c:05d}.parquet" for c in chunks])
    search = _read_search([f for c in chunks for f in (data_dir / "search").glob(f"search-*-{c:05d}.parquet")])
    parts = [exact, search]
    counts = {"exact": len(exact), "search": len(search), "outcome": 0}
    if use_outcome and len(exact):
        outcome = outcome_labels([data_dir / "games" / f"games-{c:05d}.parquet" for c in chunks], exact)
        covered = np.unique(search.empties)
        outcome = outcome.take(~np.isin(outcome.empties, covered))
        counts["outcome"] = len(outcome)
        parts.append(outcome)
    return concat(parts), counts
