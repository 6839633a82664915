"""Type stub of the _flipcore extension module (module/flipcore.cpp)."""

from collections.abc import Sequence
from typing import TypedDict

class _MinimaxResult(TypedDict):
    moves: list[tuple[int, int]]
    val: float

def init() -> None:
    """Initialize Zobrist hash keys and clear the transposition table"""

def minimax_moves(
    board: Sequence[Sequence[int]],
    player: int,
    depth: int,
    alpha: float,
    beta: float,
    /,
) -> _MinimaxResult:
    """Run minimax. Returns {"moves": [(col, row), ...], "val": score}"""

class _TableMemory(TypedDict):
    limit: int
    bytes: int
    entries: int
    max_entries: int

def _table_memory(limit: int | None = None, /) -> _TableMemory:
    """The transposition table's memory ceiling and use, in bytes; sets the ceiling first when limit is given (0: the default)"""

def _nodes() -> int:
    """Positions the search has visited since the module was loaded (the difference over a call is its node count)"""
