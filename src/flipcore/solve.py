"""The exact endgame solver: a position's result under perfect play by both
sides, to the end of the game (flipcore._solver, engine/solve.h).

Unlike search(), which looks a fixed number of plies ahead and scores the
positions there with a heuristic, solve() plays every line out to the end
under the full rules (a side without a legal move passes; the game ends
when neither side can move) and proves the final score. Its cost grows
about threefold with each empty square: positions with at most
EXACT_EMPTIES empty squares solve in about a second.

Scores are final disc differences, side 1 (X) minus side 2 (O), with the
empty squares left at the end counted for the winner, so the two sides'
final counts always add up to 64.

The solver has its own table, apart from search()'s: its size is
FLIPCORE_SOLVE_TABLE_MB megabytes if that environment variable is set when
this module is imported, else the engine's default (64 MiB), and
set_solve_table_bytes() changes it. Each thread that solves gets a table of
that size of its own (see the binding), so solves in two threads run at
once; the interpreter lock is released while solving. A thread's table keeps
what its solves proved, which can speed up its later solves but makes their
node counts depend on what came before; clear_solve_table() empties it.

A solve searches with every core by default (threads=None): the engine's
own threads share the calling thread's table for that solve. The score, the
best moves, every move's score and the line are the same for any number of
threads (the line is chosen by the position alone, not by what the table
holds); the node count may not be. threads=1 searches in the calling thread
alone.
"""

from __future__ import annotations

import os
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from types import ModuleType

from flipcore.position import BLACK, Position, PositionLike, Square, as_position, square_name

# Positions with at most this many empty squares solve in about a second:
# the median CPU time of positions reached by random play, measured by
# benchmarks/exact_empties.py on a 2-core AMD EPYC, is 0.47 s at 20 empty
# squares and 1.3 s at 21. analyse, review and the web page switch to the
# exact solver there.
EXACT_EMPTIES = 20

MODES = ("exact", "wld", "every_move")

# The binding's value for a pass in a line of play.
_PASS_SQUARE = -1

TABLE_ENV = "FLIPCORE_SOLVE_TABLE_MB"

# The most threads one solve may ask for (the binding's own limit).
MAX_THREADS = 256
_MIB = 1 << 20


@dataclass(frozen=True)
class SolveResult:
    """What one solve proved.

    score: the final disc difference with perfect play, side 1 minus side 2
        (X minus O), the empty squares counted for the winner; in mode "wld"
        only its sign: +1 when X wins, 0 for a draw, -1 when O wins.
    mode: "exact", "wld" or "every_move".
    player: the side to move in the solved position (1 or 2).
    moves: every best move of the side to move, as (col, row) in row-major
        order; empty when it must pass or the game is over.
    line: a line of perfect play to the end of the game, None standing for a
        pass (in mode "wld", at most a leading pass).
    move_scores: in mode "every_move", each legal move's exact score (side 1
        minus side 2); None in the other modes.
    nodes: positions the solver visited.
    seconds: how long the solve took.
    """

    score: int
    mode: str
    player: int
    moves: tuple[Square, ...]
    line: tuple[Square | None, ...]
    move_scores: dict[Square, int] | None
    nodes: int
    seconds: float

    def score_for_mover(self) -> int:
        """The score from the side to move's point of view."""
        return self.score if self.player == BLACK else -self.score

    def names(self) -> list[str]:
        """The best moves by name, like "d3"."""
        return [square_name(move) for move in self.moves]

    def line_names(self) -> list[str]:
        """The line by name, "pass" for a pass."""
        return ["pass" if move is None else square_name(move) for move in self.line]

    def describe(self) -> str:
        """The result in words: "X wins 51-13", "O wins 40-24", "draw 32-32";
        in mode "wld" without the counts: "X wins", "O wins", "draw"."""
        return describe_score(self.score, wld=self.mode == "wld")


def describe_score(score: int, wld: bool = False) -> str:
    """A score (side 1 minus side 2) in words, as SolveResult.describe()."""
    winner = "X" if score > 0 else "O" if score < 0 else None
    if wld:
        return f"{winner} wins" if winner else "draw"
    # The counts add up to 64, the empties going to the winner.
    x = (64 + score) // 2
    o = 64 - x
    if winner is None:
        return f"draw {x}-{o}"
    return f"{winner} wins {max(x, o)}-{min(x, o)}"


class SolveTableSettingError(ValueError):
    """FLIPCORE_SOLVE_TABLE_MB does not give a table size."""


def _table_bytes_from_env() -> int | None:
    """The table size that FLIPCORE_SOLVE_TABLE_MB asks for, if set."""
    text = os.environ.get(TABLE_ENV, "").strip()
    if not text:
        return None
    try:
        megabytes = int(text)
    except ValueError:
        megabytes = 0
    if megabytes < 1:
        raise SolveTableSettingError(f"{TABLE_ENV} must be a whole number of megabytes, at least 1, got {text!r}")
    return megabytes * _MIB


# Read once, at import; a bad value is reported by the first solve rather
# than by `import flipcore`, which must keep working for everything else.
try:
    _pending_table_bytes: int | None = _table_bytes_from_env()
    _env_error: SolveTableSettingError | None = None
except SolveTableSettingError as err:
    _pending_table_bytes = None
    _env_error = err

_solver_module: ModuleType | None = None


def check_table_setting() -> None:
    """Raises SolveTableSettingError when FLIPCORE_SOLVE_TABLE_MB is bad, for
    a caller that wants to refuse it before any work, not at the first solve."""
    if _env_error is not None:
        raise _env_error


def _solver() -> ModuleType:
    """The compiled solver, loaded on first use with the table size set."""
    global _solver_module, _pending_table_bytes
    if _env_error is not None:
        raise _env_error
    if _solver_module is None:
        from flipcore import _solver as module

        if _pending_table_bytes is not None:
            module.set_table_bytes(_pending_table_bytes)
            _pending_table_bytes = None
        _solver_module = module
    return _solver_module


def set_solve_table_bytes(n: int) -> None:
    """Sets the size in bytes of the solver's table (at least 1 MiB).

    The calling thread's table is made at the new size at once (MemoryError
    if it cannot be, keeping the old size); other threads' tables take it at
    their next solve.
    """
    if type(n) is not int:
        raise TypeError(f"the table size must be a whole number of bytes, got {n!r}")
    if n < _MIB:
        raise ValueError(f"the table size must be at least 1 MiB ({_MIB} bytes), got {n}")
    _solver().set_table_bytes(n)


def solve_table_bytes() -> int:
    """The size in bytes of the solver's table."""
    return int(_solver().table_bytes())


def clear_solve_table() -> None:
    """Empties the calling thread's solver table, so that its next solve
    runs as in a new table: the same nodes, whatever was solved before (with
    threads=1; with more, the node count also depends on their timing).
    Costs next to nothing: the table keeps its memory, its entries are just
    marked stale. RuntimeError from inside a solve on the same thread (a
    progress callback)."""
    _solver().clear_table()


def _square(sq: int) -> Square:
    return (sq % 8, sq // 8)


def default_threads() -> int:
    """The threads a solve uses when not told: one per core this process may run on."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(cores, MAX_THREADS))


def check_threads(threads: object) -> int:
    """The number of threads `threads` asks for: None for every core, else a
    whole number from 1 to MAX_THREADS (TypeError, ValueError otherwise)."""
    if threads is None:
        return default_threads()
    if type(threads) is not int:
        raise TypeError(f"threads must be a whole number or None, got {threads!r}")
    if not 1 <= threads <= MAX_THREADS:
        raise ValueError(f"threads must be between 1 and {MAX_THREADS}, got {threads}")
    return threads


def final_score(position: Position) -> int:
    """A finished game's score, side 1 minus side 2, empties to the winner:
    the one way a result is counted everywhere (solve, review, the command
    line, the web page)."""
    x, o = position.discs()
    diff = x - o
    empties = 64 - x - o
    return diff + empties if diff > 0 else diff - empties if diff < 0 else 0


_order_weights_tried = False
_order_weights_lock = threading.Lock()


def _load_order_weights(module: ModuleType) -> None:
    """Gives the solver the learned evaluation, once, to order the moves of
    nodes with many empty squares. A missing or damaged weight file leaves it
    ordering on a rough value: the same answers, a little more slowly."""
    global _order_weights_tried
    if _order_weights_tried:
        return
    with _order_weights_lock:
        if not _order_weights_tried:
            from flipcore.think import WEIGHTS_PATH  # flipcore.think imports this module

            try:
                module.load_weights(str(WEIGHTS_PATH))
            except ValueError:
                pass
            _order_weights_tried = True


def _first_guess(position: Position) -> int:
    """Where the solver's null-window tests start: a short search's value on
    the learned evaluation (discs, side to move's view), which spares the
    tests that would climb to the score from 0. Without usable weights, 0:
    the solve then takes longer but answers the same."""
    from flipcore.think import WeightsError, _think_module  # flipcore.think imports this module

    try:
        module = _think_module()
    except WeightsError:
        return 0
    return int(module.solve_guess(position._black, position._white, position.player))


def solve(
    position: PositionLike,
    mode: str = "exact",
    *,
    progress: Callable[[int, int], None] | None = None,
    threads: int | None = None,
) -> SolveResult:
    """Solves `position` exactly: its score with perfect play to the end.

    mode: "exact" (the score, every best move and a line of perfect play),
        "wld" (only who wins, often much faster, and every move that keeps
        that result), or "every_move" (the exact score of every legal move).
    progress: called as progress(lower, upper) each time the proven bounds
        on the score narrow, in side 1's view like the score (in mode "wld"
        from -1 to +1); an exception it raises stops the solve and comes out
        of solve(). It is called in the calling thread.
    threads: how many threads to search with; None (the default) uses every
        core, 1 only the calling thread. The results are the same for any
        number; only the time and the node count change.

    Ctrl-C stops a solve in the main thread with KeyboardInterrupt; the
    solver stays usable. The time grows about threefold with each empty
    square: see EXACT_EMPTIES. From 16 empty squares the search starts from
    a short flipcore.think search's estimate (a few milliseconds), and nodes
    with 13 or more empty squares order their moves on the learned
    evaluation; without usable evaluation weights it does neither and gives
    the same answers, more slowly.
    """
    position = as_position(position)
    if not isinstance(mode, str) or mode not in MODES:
        raise ValueError(f"mode must be 'exact', 'wld' or 'every_move', got {mode!r}")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable or None, got {type(progress).__name__}")
    thread_count = check_threads(threads)

    player = position.player
    # Side 1's view of the side to move's score and bounds.
    sign = 1 if player == BLACK else -1
    began = time.perf_counter()

    if position.is_over():
        score = final_score(position)
        if mode == "wld":
            score = (score > 0) - (score < 0)
        return SolveResult(
            score=score,
            mode=mode,
            player=player,
            moves=(),
            line=(),
            move_scores={} if mode == "every_move" else None,
            nodes=0,
            seconds=time.perf_counter() - began,
        )

    report: Callable[[int, int], None] | None = None
    if progress is not None:
        user = progress

        def report(lower: int, upper: int) -> None:
            if sign > 0:
                user(lower, upper)
            else:
                user(-upper, -lower)

    black, white = position._black, position._white
    module = _solver()
    _load_order_weights(module)
    guess = 0 if mode == "wld" else _first_guess(position)
    found = module.solve(black, white, player, mode, report, thread_count, guess=guess)
    seconds = time.perf_counter() - began

    move_scores: dict[Square, int] | None = None
    if mode == "every_move":
        move_scores = {_square(sq): sign * score for sq, score in found["move_scores"]}
    return SolveResult(
        score=sign * found["score"],
        mode=mode,
        player=player,
        moves=tuple(_square(sq) for sq in found["moves"]),
        line=tuple(None if sq == _PASS_SQUARE else _square(sq) for sq in found["line"]),
        move_scores=move_scores,
        nodes=found["nodes"],
        seconds=seconds,
    )

