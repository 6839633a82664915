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
