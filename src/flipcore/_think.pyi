"""Type stub of flipcore._think (module/think.cpp), the learned evaluation
and the search on it.

A position is two 64-bit masks, side 1's discs and side 2's discs, with bit
row * 8 + col standing for square (col, row), and the side to move, 1 or 2.
Values are in discs from the side to move's point of view.
"""

from typing import TypedDict

class _Thought(TypedDict):
    value: float
    move: int
    line: list[int]
    depth: int
    exact: bool
    solved: bool
    nodes: int

def load_weights(path: str, /) -> int:
    """Loads the evaluation weight file at path for every later evaluation; returns its checksum"""

def weights_loaded() -> bool:
    """Whether evaluation weights are loaded"""

def pattern_groups() -> list[tuple[str, int, list[list[int]]]]:
    """The evaluation's pattern groups: (name, size, [instance squares, ...]) each, squares row * 8 + col"""

def features(black: int, white: int, player: int, /) -> list[int]:
    """Each pattern instance's index from the side to move's view"""

def features_after(black: int, white: int, player: int, moves: list[int], /) -> list[int]:
    """The indices after playing the squares (-1 a pass), updated move by move"""

def evaluate(black: int, white: int, player: int, /) -> float:
    """The static evaluation in discs, side to move's view"""

def think(black: int, white: int, player: int, depth: int, seconds: float, /, selective: bool = True, reuse_table: bool = True, threads: int = 1, search_threads: int = -1) -> _Thought:
    """Searches to at most depth plies (0: no limit) for at most seconds (0: no limit), with probabilistic cut-offs unless selective is false, and with what earlier searches left in the thread's tables unless reuse_table is false; the exact solver, when it takes over, searches with `threads` threads, and the midgame search with `search_threads` (-1: `threads` when it has seconds and no depth, else 1); values in discs, side to move's view, squares row * 8 + col, -1 a pass"""

def solve_guess(black: int, white: int, player: int, /) -> int:
    """The exact solver's first guess in discs, side to move's view: a short search's value (0 near the end)"""

def clear_table() -> None:
    """Empties the calling thread's search table and its exact solver's table"""

def probcut_shallow_depth(depth: int, /) -> int:
    """The depth of the shallow search that predicts a search of depth plies in a probabilistic cut-off"""

def set_table_ceiling(n: int, /) -> None:
    """Sets the memory ceiling in bytes of a thread's search and solver tables together (0: the default sizes), taken at each thread's next search"""

def table_ceiling() -> int:
    """The memory ceiling of a thread's tables in bytes (0: the default sizes)"""

def table_bytes() -> int:
    """The bytes the calling thread's tables may take (0: it has none)"""

def release_table() -> None:
    """Gives the calling thread's tables back to the system; its next search makes new ones"""
