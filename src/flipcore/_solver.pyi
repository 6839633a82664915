"""Type stub of flipcore._solver (module/solver.cpp), the exact solver.

A position is two 64-bit masks, side 1's discs and side 2's discs, with bit
row * 8 + col standing for square (col, row), and the side to move, 1 or 2.
Scores and bounds are from the side to move's point of view.
"""

from collections.abc import Callable
from typing import TypedDict

class _Solved(TypedDict):
    score: int
    moves: list[int]
    line: list[int]
    move_scores: list[tuple[int, int]]
    nodes: int

def set_table_bytes(n: int, /) -> None:
    """Sets the solver table's size in bytes (at least 1 MiB)"""

def table_bytes() -> int:
    """The solver table's size in bytes"""

def clear_table() -> None:
    """Empties the calling thread's solver table, so that its next solve visits the same nodes as a new thread's would"""

def solve(
    black: int,
    white: int,
    player: int,
    mode: str,
    progress: Callable[[int, int], None] | None = None,
    threads: int = 1,
    /,
    guess: int = 0,
) -> _Solved:
    """Solves the position exactly in mode "exact", "wld" or "every_move" with `threads` threads (1 to 256), starting from `guess`, an estimate of the score in the side to move's view (any value gives the same answer); squares are row * 8 + col, -1 a pass"""

def load_weights(path: str, /) -> int:
    """Loads the evaluation weight file at path, which orders the moves of the solves that start after it; returns its checksum"""

def weights_loaded() -> bool:
    """Whether evaluation weights are loaded"""

MAX_THREADS: int
