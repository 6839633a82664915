"""Square names and the immutable Position.

A square is a (col, row) tuple, both 0 to 7, named by its column letter a-h
and its row number 1-8: (3, 2) is "d3". A position is held as two 64-bit
masks, one per side, with bit row * 8 + col standing for square (col, row),
the form the engine's move rules work on; every rule question (legal moves,
the discs a move turns over, disc counts) is answered by those C++ rules
through the compiled module flipcore._rules.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from typing import Any, Union

from flipcore import _rules

Square = tuple[int, int]
# A move as the API accepts it: a (col, row) tuple or a name like "d3".
MoveLike = Union[Square, str]

COLUMN_LETTERS = "abcdefgh"
ROW_DIGITS = "12345678"

# Side codes, also the codes of each side's discs on a board.
BLACK = 1
WHITE = 2
# The character of each side, for discs in the text form and for the side to move.
SIDE_CHARS = {BLACK: "X", WHITE: "O"}
EMPTY_CHAR = "-"

# The board's 8 symmetries, each a map of a square (col, row) to its image:
# the identity, the two mirrors and the half turn, then the same four after
# the diagonal flip. The order is the engine's (engine/pattern.h), whose
# pattern instances are the images of their groups in this order; any other
# position's value is the same as its seven images'.
SYMMETRIES: tuple[Callable[[int, int], tuple[int, int]], ...] = (
    lambda c, r: (c, r),
    lambda c, r: (7 - c, r),
    lambda c, r: (c, 7 - r),
    lambda c, r: (7 - c, 7 - r),
    lambda c, r: (r, c),
    lambda c, r: (7 - r, c),
    lambda c, r: (r, 7 - c),
    lambda c, r: (7 - r, 7 - c),
)
# Disc characters are read in either case, as square names are.
_CODE_OF_CHAR = {"X": BLACK, "O": WHITE, "x": BLACK, "o": WHITE, EMPTY_CHAR: 0}
_SIDE_OF_WORD = {"X": BLACK, "O": WHITE, "x": BLACK, "o": WHITE}

# Every row of cell codes there can be, shared by all boards, indexed by its
# side-1 byte, then its side-2 byte: 3**8 = 6561 rows, since no square holds
# both sides, so a board is eight lookups. Rows are lists, which the engine
# module reads faster than tuples; they are handed only to the engine, which
# never writes them.
_ROWS: list[list[list[int]]] = [[[]] * 256 for _ in range(256)]


def _fill_rows() -> None:
    # Rows grow one column at a time, with the two bytes they stand for.
    partial: list[tuple[tuple[int, ...], int, int]] = [((), 0, 0)]
    for col in range(8):
        bit = 1 << col
        partial = [
            (codes + (code,), b | (bit if code == BLACK else 0), w | (bit if code == WHITE else 0))
            for codes, b, w in partial
            for code in (0, BLACK, WHITE)
        ]
    for codes, b, w in partial:
        _ROWS[b][w] = list(codes)


_fill_rows()

# How a position is drawn is the drawing module's business: flipcore.svg
# hands its function over when it is imported (which importing flipcore
# does), so that notebooks can show positions without this module knowing
# about drawings.
_drawing: Callable[[Position], str] | None = None


def _register_drawing(draw: Callable[[Position], str]) -> None:
    global _drawing
    _drawing = draw

_START_BLACK = (1 << (3 * 8 + 4)) | (1 << (4 * 8 + 3))  # e4, d5
_START_WHITE = (1 << (3 * 8 + 3)) | (1 << (4 * 8 + 4))  # d4, e5


def square_name(square: Square) -> str:
    """The name of a (col, row) square: (3, 2) -> "d3"."""
    if (
        isinstance(square, tuple)
        and len(square) == 2
        and all(type(x) is int and 0 <= x < 8 for x in square)
    ):
        col, row = square
        return COLUMN_LETTERS[col] + ROW_DIGITS[row]
    raise ValueError(f"a square is (col, row) with both 0 to 7, got {square!r}")


def parse_square(name: str) -> Square:
    """The (col, row) square of a name like "d3" (any case): "d3" -> (3, 2)."""
    if isinstance(name, str) and len(name) == 2:
        col = COLUMN_LETTERS.find(name[0].lower())
        row = ROW_DIGITS.find(name[1])
        if col >= 0 and row >= 0:
            return (col, row)
    raise ValueError(f"not a square name (a1 to h8): {name!r}")


def _squares_of(mask: int) -> Iterator[int]:
    """The set bits of a mask, lowest first, which is row-major order."""
    while mask:
        low = mask & -mask
        yield low.bit_length() - 1
        mask ^= low


def _check_player(player: object) -> int:
    if type(player) is not int or player not in (BLACK, WHITE):
        raise ValueError(f"player must be 1 or 2, got {player!r}")
    return player


def _masks_of_board(board: Sequence[Sequence[int]]) -> tuple[int, int]:
    """Side 1's and side 2's masks of an 8x8 list of cell codes, checked."""
    if len(board) != 8:
        raise ValueError(f"board must have 8 rows, got {len(board)}")
    black = white = 0
    for r, cells in enumerate(board):
        if len(cells) != 8:
            raise ValueError(f"board row {r} must have 8 values, got {len(cells)}")
        for c, cell in enumerate(cells):
            if type(cell) is not int or cell not in (0, BLACK, WHITE):
                raise ValueError(f"board[{r}][{c}] must be 0, 1 or 2, got {cell!r}")
            if cell == BLACK:
                black |= 1 << (r * 8 + c)
            elif cell == WHITE:
                white |= 1 << (r * 8 + c)
    return black, white


class Position:
    """A position: the discs on the board and the side to move (1 or 2).

    Positions are immutable values; play() and pass_() return new ones.
    Equal positions compare and hash equal.
    """

    __slots__ = ("_black", "_white", "_player")
    _black: int
    _white: int
    _player: int

    def __init__(self, board: Sequence[Sequence[int]], player: int) -> None:
        """A position from `board[row][col]` codes (0 empty, 1 side 1, 2 side 2)."""
        black, white = _masks_of_board(board)
        self._set(black, white, _check_player(player))

    def _set(self, black: int, white: int, player: int) -> None:
        object.__setattr__(self, "_black", black)
        object.__setattr__(self, "_white", white)
        object.__setattr__(self, "_player", player)

    @classmethod
    def _from_masks(cls, black: int, white: int, player: int) -> Position:
        position = cls.__new__(cls)
        position._set(black, white, player)
        return position

    @classmethod
    def start(cls) -> Position:
        """The start position: d4 and e5 side 2, e4 and d5 side 1, side 1 to move."""
        return cls._from_masks(_START_BLACK, _START_WHITE, BLACK)

    @classmethod
    def from_text(cls, text: str) -> Position:
        """A position from its one-line text form (see text())."""

        def fail(problem: str) -> ValueError:
            return ValueError(f"{problem} in position text {text!r}")

        if not isinstance(text, str):
            raise ValueError(f"position text must be a string, got {text!r}")
        parts = text.split()
        if not parts:
            raise fail("no board")
        squares = parts[0]
        if len(squares) != 64:
            count = f"{len(squares)} square" + ("" if len(squares) == 1 else "s")
            raise fail(f"board has {count} instead of 64")
        black = white = 0
        for sq, char in enumerate(squares):
            code = _CODE_OF_CHAR.get(char)
            if code is None:
                name = square_name((sq % 8, sq // 8))
                raise fail(f"unknown character {char!r} (not X, O or -) at square {name}")
            if code == BLACK:
                black |= 1 << sq
            elif code == WHITE:
                white |= 1 << sq
        if len(parts) == 1:
            raise fail("missing side to move (X or O) after the board")
        player = _SIDE_OF_WORD.get(parts[1])
        if player is None:
            raise fail(f"side to move must be X or O, got {parts[1]!r}")
        if len(parts) > 2:
            raise fail(f"unexpected {' '.join(parts[2:])!r} after the side to move")
        return cls._from_masks(black, white, player)

    def text(self) -> str:
        """The one-line text form: 64 squares row by row from a1, X, O or -,
        then a space and the side to move, X or O."""
        board = "".join(self._char_at(sq) for sq in range(64))
        return f"{board} {SIDE_CHARS[self._player]}"

    def _char_at(self, sq: int) -> str:
        if self._black >> sq & 1:
            return "X"
        if self._white >> sq & 1:
            return "O"
        return EMPTY_CHAR

    @property
    def board(self) -> list[list[int]]:
        """A fresh 8x8 list of codes, indexed `board[row][col]`."""
        return [list(row) for row in self._rows()]

    def _rows(self) -> list[list[int]]:
        """The 8 rows of cell codes, shared with other boards and never to be
        written: the board for the engine, built with two lookups per row."""
        # Unpacked by hand: a comprehension costs a frame of its own.
        r = _ROWS
        b0, b1, b2, b3, b4, b5, b6, b7 = self._black.to_bytes(8, "little")
        w0, w1, w2, w3, w4, w5, w6, w7 = self._white.to_bytes(8, "little")
        return [r[b0][w0], r[b1][w1], r[b2][w2], r[b3][w3], r[b4][w4], r[b5][w5], r[b6][w6], r[b7][w7]]

    @property
    def player(self) -> int:
        """The side to move: 1 (X, black) or 2 (O, white)."""
        return self._player

    def _legal_mask(self) -> int:
        return _rules.legal_moves(self._black, self._white, self._player)

    def legal_moves(self) -> list[Square]:
        """The moves of the side to move as (col, row), in row-major order."""
        return [(sq % 8, sq // 8) for sq in _squares_of(self._legal_mask())]

    def play(self, move: MoveLike) -> Position:
        """The position after the side to move places on `move` ((col, row) or "d3")."""
        if isinstance(move, str):
            col, row = parse_square(move)
        else:
            col, row = parse_square(square_name(move))  # checks the tuple
        sq = row * 8 + col
        if not self._legal_mask() >> sq & 1:
            side = SIDE_CHARS[self._player]
            legal = " ".join(square_name(m) for m in self.legal_moves())
            why = f"legal moves: {legal}" if legal else f"{side} has no legal move and must pass"
            raise ValueError(f"{square_name((col, row))} is not a legal move for {side}; {why}")
        black, white = _rules.play(self._black, self._white, self._player, sq)
        return Position._from_masks(black, white, 3 - self._player)

    def pass_(self) -> Position:
        """The same discs with the other side to move. Allowed only when the
        side to move has no legal move and the game is not over."""
        side = SIDE_CHARS[self._player]
        if self._legal_mask():
            raise ValueError(f"{side} has a legal move and may not pass")
        passed = Position._from_masks(self._black, self._white, 3 - self._player)
        if not passed._legal_mask():
            raise ValueError("the game is over: neither side can move")
        return passed

    def is_over(self) -> bool:
        """True when neither side has a legal move."""
        return not (
            _rules.legal_moves(self._black, self._white, BLACK)
            or _rules.legal_moves(self._black, self._white, WHITE)
        )

    def discs(self) -> tuple[int, int]:
        """The number of discs of (side 1, side 2)."""
        return _rules.discs(self._black, self._white)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Position):
            return NotImplemented
        return (self._black, self._white, self._player) == (other._black, other._white, other._player)

    def __hash__(self) -> int:
        return hash((self._black, self._white, self._player))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Position is immutable")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Position is immutable")

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        # Rebuilt through the text form, since attributes cannot be set.
        return (Position.from_text, (self.text(),))

    def __repr__(self) -> str:
        return f"Position.from_text({self.text()!r})"

    def __str__(self) -> str:
        """The board with column letters and row numbers, and whose move it is."""
        letters = "  " + " ".join(COLUMN_LETTERS)
        lines = [letters]
        for row in range(8):
            cells = " ".join(self._char_at(row * 8 + col) for col in range(8))
            lines.append(f"{ROW_DIGITS[row]} {cells} {ROW_DIGITS[row]}")
        lines.append(letters)
        side = SIDE_CHARS[self._player]
        x, o = self.discs()
        if self.is_over():
            lines.append(f"game over (X {x} O {o})")
        elif not self._legal_mask():
            lines.append(f"{side} to move, no legal move: {side} passes (X {x} O {o})")
        else:
            lines.append(f"{side} to move (X {x} O {o})")
        return "\n".join(lines)

    def _repr_svg_(self) -> str | None:
        """The board drawn with the legal moves marked, for notebooks (None,
        so shown as text, while no drawing module is loaded)."""
        return _drawing(self) if _drawing is not None else None


PositionLike = Union[Position, str]


def as_position(value: object, name: str = "position") -> Position:
    """A Position, or one read from its one-line text form: what every
    function that takes a position accepts. A text that does not read is a
    ValueError saying why; anything else a TypeError naming what was passed."""
    if isinstance(value, Position):
        return value
    if isinstance(value, str):
        return Position.from_text(value)
    shown = repr(value)
    if len(shown) > 60:
        shown = shown[:57] + "..."
    raise TypeError(
        f"{name} must be a flipcore.Position or its text form, got {type(value).__name__} {shown}"
    )
