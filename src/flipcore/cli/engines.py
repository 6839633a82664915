"""The two engines a command can use: think (the search on the learned
evaluation, values in discs; the default) and minimax (the engine's
depth-limited search, values in its own units)."""

from __future__ import annotations

import argparse
import time
from collections.abc import Generator
from dataclasses import dataclass

from flipcore.position import Position, Square
from flipcore.search import search
from flipcore.think import think

ENGINES = ("think", "minimax")

ENGINE_HELP = (
    "think: the search on the learned evaluation, values in discs (default); "
    "minimax: the engine's depth-limited search, values in its own units"
)


def add_engine_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--engine", choices=ENGINES, default="think", help=ENGINE_HELP)


@dataclass(frozen=True)
class EngineMove:
    """One engine's answer: its move (None: pass or game over), its value
    from X's point of view, in discs for think and in units for minimax."""

    move: Square | None
    value: float
    discs: bool
    exact: bool
    depth: int
    line: tuple[Square | None, ...]


def value_text(answer: EngineMove) -> str:
    """The value as shown: "+3.2 discs", "+4 discs, exact", "+123.45"."""
    if not answer.discs:
        return f"{answer.value:+.2f}"
    if answer.exact:
        return f"{answer.value:+.0f} discs, exact"
    return f"{answer.value:+.1f} discs"


def engine_move(position: Position, engine: str, *, depth: int | None, seconds: float | None) -> EngineMove:
    """The engine's move in `position`, which must have one."""
    if engine == "minimax":
        result = search(position, depth or 1)
        if not result.moves:
            raise RuntimeError(f"the engine found no move in {position.text()!r}")
        return EngineMove(result.moves[0], result.value, False, False, result.depth, (result.moves[0],))
    found = think(position, depth=depth, seconds=seconds)
    return EngineMove(found.move, found.value, True, found.exact, found.depth, found.line)


def think_deeper(position: Position, max_depth: int, seconds: float | None) -> Generator[EngineMove, None, None]:
    """think at depth 1, 2, ... up to max_depth, each answer as it comes,
    until `seconds` have passed or an answer is exact. Each depth reuses
    what the shallower ones left in the thread's table, so the whole run
    costs little more than its deepest depth."""
    deadline = None if seconds is None else time.monotonic() + seconds
    for depth in range(1, max_depth + 1):
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            return
        found = think(position, depth=depth, seconds=left)
        if found.depth < depth and not found.exact:
            return  # out of time inside this depth
        yield EngineMove(found.move, found.value, True, found.exact, found.depth, found.line)
        if found.exact:
            return
