"""Games: a start position and the moves played from it, with the record
players write.

A record is the moves' square names one after another, "f5d6c3d3c4f4": read
in either case, with optional spaces, commas or move numbers ("1." "12")
between moves. Passes follow from the rules and are not written; an explicit
pass token ("pass" or "--") is accepted where a pass is due. A game from a
set-up position starts with that position's one-line text form:

    ---------------------------OX------XO--------------------------- O f4 e3 f6

A record that cannot be read raises GameRecordError, naming the move number
(counting the moves and pass tokens written, from 1), the move as written and
why; nothing is built from it.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Iterator

from flipcore.position import (
    SIDE_CHARS,
    MoveLike,
    Position,
    PositionLike,
    Square,
    as_position,
    parse_square,
    square_name,
)

# Words a record may hold for a pass, compared in lower case.
PASS_TOKENS = ("pass", "--")
# What separates moves: white space and commas, and dots after move numbers.
_SEPARATORS = " \t\r\n,;"
# One token of a record, tried in this order at each place: a square, a pass,
# a move number (digits after a separator, then dots, a separator or the end),
# and else one bad token: a word, or the one or two characters at that place.
_TOKEN = re.compile(
    r"(?P<square>[a-hA-H][1-8])"
    r"|(?P<pass>(?i:pass)|--)(?![A-Za-z0-9])"
    r"|(?P<number>(?<![A-Za-z0-9])\d+(?:\.+|(?=[\s,;]|$)))"
    r"|(?P<bad>[A-Za-z]{3,}|[^\s,;]{1,2})"
)
_BOARD_CHARS = frozenset("XO-")


class GameRecordError(ValueError):
    """A record or a move that cannot be played.

    move_number: the move's number in the record, from 1 (0 for a bad start
        position); move: the move as written; reason: why it was refused.
    """

    def __init__(self, move_number: int, move: str, reason: str) -> None:
        self.move_number = move_number
        self.move = move
        self.reason = reason
        where = "start position" if move_number == 0 else f"move {move_number}"
        super().__init__(f"{where} {move!r}: {reason}")


def _split_start(text: str) -> tuple[Position | None, str]:
    """A set-up position at the head of a record, and the rest of the text."""
    words = text.split(maxsplit=2)
    if not words or len(words[0]) != 64 or not set(words[0]) <= _BOARD_CHARS:
        return None, text
    side = words[1] if len(words) > 1 else ""
    try:
        start = Position.from_text(f"{words[0]} {side}")
    except ValueError as err:
        raise GameRecordError(0, " ".join(words[:2]), str(err)) from None
    return start, words[2] if len(words) > 2 else ""


def _tokens(text: str) -> Iterator[tuple[str, str]]:
    """The (kind, text) of each move or pass token; move numbers are dropped.
    A token the record cannot hold comes out as kind "bad"."""
    i = 0
    while i < len(text):
        if text[i] in _SEPARATORS:
            i += 1
            continue
        match = _TOKEN.match(text, i)
        assert match is not None and match.lastgroup is not None  # "bad" takes any character
        i = match.end()
        if match.lastgroup != "number":
            yield match.lastgroup, match.group()


class Game:
    """A game: its start position and the moves played, passes implied.

    Build one from moves (names or (col, row) tuples) or from a record, and
    extend it with append(). Equal games (same start, same moves) compare
    equal. Ply k (0-based) is the k-th move played; passes are not counted.
    """

    __slots__ = ("_start", "_moves", "_positions")

    def __init__(self, start: PositionLike | None = None, moves: Iterable[MoveLike] = ()) -> None:
        if start is None:
            start = Position.start()
        else:
            start = as_position(start, "start")
        self._start = start
        self._moves: list[Square] = []
        # _positions[k] is the position in which move k is played, after any
        # pass due before it; the last entry is the position after the last
        # move, before any pass that follows it.
        self._positions: list[Position] = [start]
        if isinstance(moves, str):
            raise TypeError("moves must be a sequence of moves; use Game.from_record() for a record")
        for number, move in enumerate(moves, 1):
            self._append(move, number)

    @classmethod
    def from_record(cls, text: str, start: PositionLike | None = None) -> Game:
        """A game from its record; `start` or a position text at the head of
        the record sets the start (not both unless they agree)."""
        if not isinstance(text, str):
            raise TypeError(f"a record must be a string, got {text!r}")
        if start is not None:
            start = as_position(start, "start")
        written, rest = _split_start(text)
        if written is not None and start is not None and written != start:
            raise GameRecordError(0, written.text(), f"the record starts from another position than {start.text()!r}")
        game = cls(written or start)
        passed = False  # the last token was a pass
        for number, (kind, token) in enumerate(_tokens(rest), 1):
            if kind == "bad":
                raise GameRecordError(number, token, "not a square (a1 to h8) nor a pass")
            if kind == "pass":
                game._check_pass(number, token, passed)
                passed = True
            else:
                game._append(token, number)
                passed = False
        return game

    # The position the game has reached, a pass due or not.
    @property
    def _last(self) -> Position:
        return self._positions[-1]

    def _check_pass(self, number: int, token: str, passed: bool) -> None:
        """Refuses a written pass that is not due. The pass itself is played
        with the next move, as for an unwritten one, so that a record with
        and without its passes gives the same game."""
        position = self._last
        if position.is_over():
            raise GameRecordError(number, token, "the game is already over")
        if passed:
            position = position.pass_()
        if position.legal_moves():
            side = SIDE_CHARS[position.player]
            raise GameRecordError(number, token, f"not legal: {side} has a move and may not pass")

    def _append(self, move: MoveLike, number: int) -> None:
        written = move if isinstance(move, str) else repr(move)
        try:
            square = parse_square(move) if isinstance(move, str) else parse_square(square_name(move))
        except ValueError:
            raise GameRecordError(number, written, "not a square (a1 to h8)") from None
        position = self._last
        if position.is_over():
            x, o = position.discs()
            raise GameRecordError(number, written, f"the game is already over (X {x}, O {o})")
        if not position.legal_moves():
            position = position.pass_()
        legal = position.legal_moves()
        if square not in legal:
            side = SIDE_CHARS[position.player]
            names = " ".join(square_name(m) for m in legal)
            raise GameRecordError(number, written, f"not a legal move for {side} (legal: {names})")
        after = position.play(square)
        self._positions[-1] = position
        self._positions.append(after)
        self._moves.append(square)

    def append(self, move: MoveLike) -> None:
        """Plays `move` (a name or (col, row)), after a pass if one is due.
        Raises GameRecordError, changing nothing, if it cannot be played."""
        self._append(move, len(self._moves) + 1)

    @property
    def start(self) -> Position:
        """The position the game started from."""
        return self._start

    @property
    def moves(self) -> tuple[Square, ...]:
        """The moves played, as (col, row); passes are not included."""
        return tuple(self._moves)

    def __len__(self) -> int:
        return len(self._moves)

    def positions(self) -> list[Position]:
        """The position in which each move was played (after any pass due
        before it), then the position after the last move."""
        return list(self._positions)

    def position_at(self, ply: int) -> Position:
        """positions()[ply]: the position before move `ply` (0-based), or the
        final one for ply == len(game)."""
        if type(ply) is not int or not 0 <= ply <= len(self._moves):
            raise ValueError(f"ply must be a whole number from 0 to {len(self._moves)}, got {ply!r}")
        return self._positions[ply]

    def passes_before(self, ply: int) -> bool:
        """True when a pass came just before move `ply` (0-based)."""
        if type(ply) is not int or not 0 <= ply < len(self._moves):
            raise ValueError(f"ply must be a whole number from 0 to {len(self._moves) - 1}, got {ply!r}")
        before = self._start if ply == 0 else self._positions[ply - 1].play(self._moves[ply - 1])
        return before.player != self._positions[ply].player

    def is_over(self) -> bool:
        """True when neither side can move."""
        return self._last.is_over()

    def result(self) -> tuple[int, int] | None:
        """The final (X discs, O discs) once the game is over, else None."""
        return self._last.discs() if self._last.is_over() else None

    def record(self) -> str:
        """The moves' names one after another, "f5d6c3...", no passes written;
        a game from another start begins with that position's text and a
        space. Game.from_record() reads it back into an equal game."""
        moves = "".join(square_name(move) for move in self._moves)
        if self._start == Position.start():
            return moves
        return f"{self._start.text()} {moves}".rstrip()

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Game):
            return NotImplemented
        return self._start == other._start and self._moves == other._moves

    # A game grows by append(), so it is not hashable.
    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Game.from_record({self.record()!r})"

    def __str__(self) -> str:
        return self.record()
