"""Searching a Position with the engine (_flipcore.minimax_moves)."""

from __future__ import annotations

import math
import operator
import time
from collections.abc import Iterator
from dataclasses import dataclass
from numbers import Real

from _flipcore import _table_memory, init, minimax_moves

from flipcore.position import Position, PositionLike, Square, as_position, square_name

# No game lasts more than 60 moves, so no search needs to be deeper.
MAX_DEPTH = 60

_INF = math.inf
_clock = time.perf_counter
_new_result = object.__new__


@dataclass(frozen=True)
class SearchResult:
    """What one search found.

    value: the position's value from side 1's (X's) point of view, positive
        when it favours side 1, in the evaluation's units (the documentation's page on values says more).
        A finished game is scored as the disc difference plus or minus
        100000.
    moves: every move of the side to move that reached the value, as (col,
        row), in the engine's search order; empty at depth 0 or when the game
        is over. When `passed`, these are the other side's moves.
    depth: the depth searched, in plies.
    seconds: how long the search took.
    passed: True when the side to move had no legal move, so the search
        played the pass and searched the position after it.
    """

    value: float
    moves: tuple[Square, ...]
    depth: int
    seconds: float
    passed: bool = False

    def names(self) -> list[str]:
        """The moves by name, like "d3"."""
        return [square_name(move) for move in self.moves]


def _whole(name: str, value: object, low: int, high: int) -> int:
    """`value` as an int from low to high; refuses bools, floats and text."""
    try:
        if isinstance(value, bool):
            raise TypeError
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        number = None
    if number is None or not low <= number <= high:
        raise ValueError(f"{name} must be a whole number from {low} to {high}, got {value!r}")
    return number


def _bound(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, Real):
        raise ValueError(f"{name} must be a number (float or int), got {value!r}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{name} is too large for a float: {value!r}") from None
    if math.isnan(number):
        raise ValueError(f"{name} must be a number, not NaN")
    return number


def search(
    position: PositionLike, depth: int, alpha: float = -_INF, beta: float = _INF, *, play_pass: bool = True
) -> SearchResult:
    """Search `position` (a Position or its text form) `depth` plies deep
    (0 to 60) within the window (alpha, beta).

    When the side to move has no legal move but the other side has, the
    search plays the pass and searches the position after it: the result
    says `passed`, and its moves are the other side's. With play_pass=False
    it scores such a position as the engine does inside its own search: as
    a finished game, the disc difference plus or minus 100000, with no
    moves. A finished game is always scored so.

    The engine's transposition table lives on between calls: a search after
    shallower ones of the same position is faster, and a position stored from
    a deeper search answers at that depth. Call init() first for a result of
    exactly `depth`. MemoryError: the table is full at its memory ceiling
    (see flipcore.table_limit); init() empties it.
    """
    # The common case (a Position, an int depth, float bounds) is checked in
    # one test; anything else goes through the full checks.
    if not (
        type(position) is Position
        and type(depth) is int
        and 0 <= depth <= MAX_DEPTH
        and type(alpha) is float
        and type(beta) is float
        and alpha == alpha  # not NaN
        and beta == beta
        and (play_pass is True or play_pass is False)
    ):
        position, depth, alpha, beta = _checked(position, depth, alpha, beta, play_pass)

    began = _clock()
    found = minimax_moves(position._rows(), position._player, depth, alpha, beta)
    seconds = _clock() - began
    passed = False
    if play_pass and not found["moves"] and not position._legal_mask():
        # No move: a pass if the other side has one, else the game is over
        # and the engine's finished-game value stands.
        after = Position._from_masks(position._black, position._white, 3 - position._player)
        if after._legal_mask():
            passed = True
            began = _clock()
            found = minimax_moves(after._rows(), after._player, depth, alpha, beta)
            seconds = _clock() - began
    # Filled in directly rather than through the frozen class's __init__,
    # which sets each field by a call: this halves the wrapper's own cost.
    result = _new_result(SearchResult)
    fields = result.__dict__
    fields["value"] = found["val"]
    fields["moves"] = tuple(found["moves"])
    fields["depth"] = depth
    fields["seconds"] = seconds
    fields["passed"] = passed
    return result


def _checked(
    position: object, depth: object, alpha: object, beta: object, play_pass: object
) -> tuple[Position, int, float, float]:
    """search()'s arguments checked one by one, with a message for the first
    bad one; the position as a Position, the depth as an int and the bounds
    as floats."""
    position = as_position(position)
    if play_pass is not True and play_pass is not False:
        raise ValueError(f"play_pass must be True or False, got {play_pass!r}")
    return position, _whole("depth", depth, 0, MAX_DEPTH), _bound("alpha", alpha), _bound("beta", beta)


class Analysis(Iterator[SearchResult]):
    """The results of a deepening search, one per depth from 1, each as soon
    as it is found (see analyse()). When the iteration ends before
    `max_depth`, `stop_reason` says why ("time", "memory", or "over" for a
    finished game, which gives one result) and `stop_message` says it in a
    sentence; both are None otherwise."""

    def __init__(self, position: Position, max_depth: int, seconds: float | None) -> None:
        self.position = position
        self.max_depth = max_depth
        self.seconds = seconds
        self.stop_reason: str | None = None
        self.stop_message: str | None = None
        self._results: list[SearchResult] = []
        self._entries: list[int] = []  # positions in the table after each depth
        self._began = 0.0
        self._done = False

    def __iter__(self) -> Analysis:
        return self

    def __next__(self) -> SearchResult:
        if self._done:
            raise StopIteration
        depth = len(self._results) + 1
        if depth == 1:
            init()
            self._began = _clock()
        elif depth > self.max_depth or self._stops_before(depth):
            self._done = True
            raise StopIteration
        try:
            result = search(self.position, depth)
        except MemoryError as err:
            self._stop("memory", f"depth {depth} did not finish: {err}")
            raise StopIteration from None
        self._results.append(result)
        self._entries.append(_table_memory()["entries"])
        if depth == 1 and self.position.is_over():
            # Nothing is left to search: every deeper depth would give this.
            from flipcore.solve import describe_score, final_score

            self._stop("over", f"the game is over: {describe_score(final_score(self.position))}")
        return result

    def _stop(self, reason: str, message: str) -> None:
        self._done = True
        self.stop_reason, self.stop_message = reason, message

    def _stops_before(self, depth: int) -> bool:
        """Whether `depth` would likely overrun the time allowed, or clearly
        need more positions than the table can hold; records why."""
        last = self._results[-1].seconds
        if self.seconds is not None:
            # Each depth costs a few times the one before.
            before = self._results[-2].seconds if len(self._results) > 1 else 0.0
            growth = min(max(last / before, 2.0), 8.0) if before > 0 else 2.0
            if _clock() - self._began + last * growth > self.seconds:
                self._stop(
                    "time",
                    f"depth {depth} would likely run past the {self.seconds:g} s allowed "
                    f"(depth {depth - 1} took {last:.2f} s)",
                )
                return True
        # The positions stored grow by a roughly steady factor per depth,
        # alternating with odd and even depths: the smaller of the last two
        # factors gives a low estimate, so a stop here is clearly needed.
        entries = self._entries
        if len(entries) >= 3 and entries[-3] > 0:
            factor = min(entries[-1] / entries[-2], entries[-2] / entries[-3])
            needed = entries[-1] * max(factor, 1.0)
            memory = _table_memory()
            if needed > memory["max_entries"]:
                self._stop(
                    "memory",
                    f"depth {depth} would need room for about {needed:,.0f} positions in the table, "
                    f"more than the {memory['max_entries']:,} its memory ceiling of "
                    f"{_size(memory['limit'])} allows (see flipcore.table_limit)",
                )
                return True
        return False


def _size(size: int) -> str:
    if size >= 1 << 30:
        return f"{size / (1 << 30):.1f} GiB"
    return f"{size / (1 << 20):.1f} MiB"


def analyse(position: PositionLike, max_depth: int = MAX_DEPTH, *, seconds: float | None = None) -> Analysis:
    """Search `position` at depth 1, 2, ... up to `max_depth`, yielding each
    result as soon as it is found, so a caller can show the search deepen.

    With `seconds`, it stops before a depth that would likely end later than
    that many seconds after the start. It also stops, instead of raising
    MemoryError, when the table fills up at its memory ceiling or the next
    depth would clearly need more than it holds. The returned Analysis says
    why it stopped (stop_reason, stop_message).

    Empties the transposition table first (init()), so that no result of an
    earlier, deeper search stands in for a shallow depth; within the run,
    each depth reuses what the shallower ones stored.
    """
    position = as_position(position)
    if isinstance(max_depth, bool) or type(max_depth) is not int or max_depth < 1:
        raise ValueError(f"max_depth must be a whole number of at least 1, got {max_depth!r}")
    max_depth = _whole("max_depth", max_depth, 1, MAX_DEPTH)
    if seconds is not None:
        seconds = _bound("seconds", seconds)
        if not 0 < seconds < _INF:
            raise ValueError(f"seconds must be above 0 and finite, got {seconds!r}")
    return Analysis(position, max_depth, seconds)
