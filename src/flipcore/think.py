"""The strong player: a search on flipcore's learned evaluation, in discs
(flipcore._think, engine/think.h).

search() and analyse() look ahead with the engine's hand-set evaluation, in
its own units, and score a side that must pass inside the search as a
finished game. think() plays the game's full rules inside its search (a side
without a move passes; the game ends when neither can move) and values a
position as an estimate of the final disc difference, learned from games
that flipcore played and solved itself. Near the end it hands over to the
exact solver when the time allows, and its result then says it is exact.

Memory: each thread that thinks keeps a table of its own (the search's
and its exact solver's, about 28 MiB together). They stay under the
package's memory ceiling for tables (flipcore.table, FLIPCORE_TABLE_LIMIT):
under a lower ceiling they are made smaller, at the next think().
release_table() gives a thread's tables back.

The evaluation's weights ship with the package (flipcore/data/eval.bin) and
are loaded on the first call that needs them; a missing or damaged file
raises WeightsError naming it, and everything else in the package keeps
working.
"""

from __future__ import annotations

import math
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

from flipcore.position import BLACK, Position, Square, as_position, square_name
from flipcore.solve import check_threads
from flipcore.table import table_limit

WEIGHTS_PATH = Path(__file__).with_name("data") / "eval.bin"

# think() with neither a depth nor a time limit thinks for this long.
DEFAULT_SECONDS = 1.0
# As deep as any position can last, one set up by hand included: every line
# has reached its end by then.
MAX_DEPTH = 64

_PASS_SQUARE = -1


class WeightsError(RuntimeError):
    """The evaluation's weight file is missing or damaged."""


@dataclass(frozen=True)
class ThinkResult:
    """What one think() found.

    move: the best move found, as (col, row); None when the side to move
        must pass or the game is over.
    value: the expected final disc difference, side 1 minus side 2 (X minus
        O), empty squares counted for the winner; exact when `exact` is set.
    player: the side to move (1 or 2).
    line: the expected line of play from the move on, None for a pass.
    depth: the plies searched to the end (0: the static evaluation), or the
        empty squares when solved.
    exact: whether `value` is proven: the search reached the end of every
        line, or the exact solver took over (see `solved`).
    solved: whether the exact solver gave the answer.
    nodes: positions visited.
    seconds: how long it took.
    """

    move: Square | None
    value: float
    player: int
    line: tuple[Square | None, ...]
    depth: int
    exact: bool
    solved: bool
    nodes: int
    seconds: float

    def value_for_mover(self) -> float:
        """The value from the side to move's point of view."""
        return self.value if self.player == BLACK else -self.value

    def name(self) -> str | None:
        """The move by name, like "d3"; None for a pass or a finished game."""
        return None if self.move is None else square_name(self.move)

    def line_names(self) -> list[str]:
        """The line by name, "pass" for a pass."""
        return ["pass" if move is None else square_name(move) for move in self.line]


_module: ModuleType | None = None
_checksum = 0
_lock = threading.Lock()


def _think_module() -> ModuleType:
    """The compiled search with the package's weights loaded (once)."""
    global _module, _checksum
    if _module is not None:
        return _module
    with _lock:
        if _module is None:
            from flipcore import _think as module

            if not module.weights_loaded():
                if not WEIGHTS_PATH.is_file():
                    raise WeightsError(f"{WEIGHTS_PATH}: the evaluation weight file is missing; reinstall flipcore")
                try:
                    _checksum = module.load_weights(str(WEIGHTS_PATH))
                except ValueError as err:
                    raise WeightsError(f"{err}; reinstall flipcore") from None
            _module = module
    return _module


def weights_checksum() -> int:
    """The FNV-1a checksum the loaded weight file carries (and was checked against)."""
    _think_module()
    return _checksum


def clear_think_table() -> None:
    """Empties the calling thread's think table (and that of the exact
    solver think hands over to), so that its next think runs as in a new
    thread: at a fixed depth, the same answer and nodes whatever was thought
    before. RuntimeError from inside a think on the same thread."""
    _think_module().clear_table()


def _square(sq: int) -> Square:
    return (sq % 8, sq // 8)


def think(
    position: Position | str,
    *,
    seconds: float | None = None,
    depth: int | None = None,
    threads: int | None = None,
) -> ThinkResult:
    """The best move in `position` and its value in discs.

    seconds: think for at most this long (a tenth more at the very most);
    depth: search at most this many plies (0: the static evaluation alone).
    With neither, it thinks for DEFAULT_SECONDS. A depth of at least the
    number of empty squares asks for the exact answer, which the exact
    solver gives (however long it takes, unless `seconds` limits it).
    threads: the threads it searches with (None: every core). With seconds
    and no depth, the midgame search gets helper threads that search the
    same position into its table, each putting off what another is in the
    middle of, so it sees deeper in the same time; with a depth it runs in
    the calling thread alone. The exact solver
    takes them as flipcore.solve does when it takes over near the end, with
    the same answer for any number.

    A depth without seconds always gives the same answer for the same
    position: the search ignores what earlier ones left in the thread's
    tables. With seconds, it uses them (a game's searches help each other),
    and how far it gets depends on the machine's speed and load.

    The interpreter lock is released while it thinks, so threads can think
    at once; Ctrl-C stops it in the main thread with KeyboardInterrupt.
    """
    pos = as_position(position)
    if seconds is not None:
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
            raise TypeError(f"seconds must be a number, got {type(seconds).__name__}")
        if not (seconds > 0) or math.isinf(seconds):
            raise ValueError(f"seconds must be a finite number above 0, got {seconds!r}")
    if depth is not None:
        if isinstance(depth, bool) or not isinstance(depth, int):
            raise TypeError(f"depth must be a whole number, got {type(depth).__name__}")
        if not 0 <= depth <= MAX_DEPTH:
            raise ValueError(f"depth must be from 0 to {MAX_DEPTH}, got {depth}")
    solve_threads = check_threads(threads)
    # A fixed depth alone is a repeatable question: answered from this
    # search's own work only.
    reuse_table = seconds is not None or depth is None
    if seconds is None and depth is None:
        seconds = DEFAULT_SECONDS
    module = _think_module()
    player = pos.player
    sign = 1 if player == BLACK else -1
    black, white = pos._black, pos._white
    began = time.perf_counter()

    if depth == 0 and not pos.is_over():
        value = module.evaluate(black, white, player)
        return ThinkResult(None, sign * value, player, (), 0, False, False, 1, time.perf_counter() - began)

    if depth == 0:
        depth = 1  # a finished game: its score, which any depth gives
    # The tables follow the ceiling as it stands now (table_limit() may
    # have changed it since the last think).
    module.set_table_ceiling(table_limit())
    found = module.think(black, white, player, depth or 0, float(seconds or 0.0), reuse_table=reuse_table, threads=solve_threads)
    line = tuple(None if sq == _PASS_SQUARE else _square(sq) for sq in found["line"])
    return ThinkResult(
        move=None if found["move"] == _PASS_SQUARE else _square(found["move"]),
        value=sign * found["value"],
        player=player,
        line=line,
        depth=found["depth"],
        exact=found["exact"],
        solved=found["solved"],
        nodes=found["nodes"],
        seconds=time.perf_counter() - began,
    )


def table_bytes() -> int:
    """The bytes the calling thread's think tables may take: the search's
    table and its exact solver's (0 before its first think or after
    release_table()). At most the package's table ceiling (flipcore.table)
    as it stood at the thread's last think."""
    return int(_think_module().table_bytes())


def release_table() -> None:
    """Gives the calling thread's think tables back to the system; its next
    think() makes new ones (and finds nothing stored before)."""
    _think_module().release_table()
