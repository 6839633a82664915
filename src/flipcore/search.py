"""Searching a Position with the engine (_flipcore.minimax_moves)."""

from __future__ import annotations

import math
import time
from collections.abc import Iterator
from dataclasses import dataclass

from _flipcore import init, minimax_moves

from flipcore.position import Position, Square, square_name


@dataclass(frozen=True)
class SearchResult:
    """What one search found.

    value: the position's value from side 1's (X's) point of view, positive
        when it favours side 1. A position whose side to move has no legal
        move is scored as final: the disc difference plus or minus 100000.
    moves: every move of the side to move that reached the value, as (col,
        row), in the engine's search order; empty at depth 0 or without moves.
    depth: the depth searched, in plies.
    seconds: how long the search took.
    """

    value: float
    moves: tuple[Square, ...]
    depth: int
    seconds: float

    def names(self) -> list[str]:
        """The moves by name, like "d3"."""
        return [square_name(move) for move in self.moves]


def search(position: Position, depth: int, alpha: float = -math.inf, beta: float = math.inf) -> SearchResult:
    """Search `position` `depth` plies deep within the window (alpha, beta).

    The engine's transposition table lives on between calls: a search after
    shallower ones of the same position is faster, and a position stored from
    a deeper search answers at that depth. Call init() first for a result of
    exactly `depth`.
    """
    began = time.perf_counter()
    found = minimax_moves(position.board, position.player, depth, alpha, beta)
    seconds = time.perf_counter() - began
    moves = tuple((col, row) for col, row in found["moves"])
    return SearchResult(value=found["val"], moves=moves, depth=depth, seconds=seconds)


def analyse(position: Position, max_depth: int) -> Iterator[SearchResult]:
    """Search `position` at depth 1, 2, ... up to `max_depth`, yielding each
    result as soon as it is found, so a caller can show the search deepen.

    Empties the transposition table first (init()), so that no result of an
    earlier, deeper search stands in for a shallow depth; within the run,
    each depth reuses what the shallower ones stored.
    """
    if type(max_depth) is not int or max_depth < 1:
        raise ValueError(f"max_depth must be a whole number of at least 1, got {max_depth!r}")

    def deepen() -> Iterator[SearchResult]:
        init()
        for depth in range(1, max_depth + 1):
            yield search(position, depth)

    return deepen()
