"""Exact move search for the two-player 8x8 disc-flipping board game.

    >>> import flipcore
    >>> pos = flipcore.Position.start()
    >>> flipcore.search(pos, 2).names()
    ['d3', 'c4', 'f5', 'e6']

The engine itself is the _flipcore extension module (init, minimax_moves);
this package gives it positions with a text form, square names, drawings,
and a command line (python -m flipcore).
"""

from _flipcore import init, minimax_moves

from flipcore._version import __version__

from flipcore.game import Game, GameRecordError
from flipcore.position import MoveLike, Position, Square, parse_square, square_name
from flipcore.review import Review, review
from flipcore import plot as _plot  # registers Review.plot()'s graph; matplotlib loads on first use
from flipcore.search import Analysis, SearchResult, analyse, search
from flipcore.solve import EXACT_EMPTIES, SolveResult, set_solve_table_bytes, solve
from flipcore.svg import svg
from flipcore.table import TableMemory, table_limit, table_memory
from flipcore.think import ThinkResult, WeightsError, think
from flipcore import batch as batch  # flipcore.batch.run(...): many positions on every core

__all__ = [
    "Analysis",
    "EXACT_EMPTIES",
    "Game",
    "GameRecordError",
    "MoveLike",
    "Position",
    "Review",
    "SearchResult",
    "SolveResult",
    "Square",
    "TableMemory",
    "ThinkResult",
    "WeightsError",
    "__version__",
    "analyse",
    "init",
    "minimax_moves",
    "parse_square",
    "review",
    "search",
    "set_solve_table_bytes",
    "solve",
    "square_name",
    "svg",
    "table_limit",
    "table_memory",
    "think",
]
