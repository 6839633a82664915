"""What the commands share: the one-line usage error, option types, and
reading a position from the command line."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import NoReturn

from flipcore.position import Position
from flipcore.solve import describe_score, final_score

PROG = "flipcore"

# No game lasts more than 60 moves, so no search needs to be deeper.
MAX_DEPTH = 60
# The engine's depth in play and selfplay: a reply in well under a second.
PLAY_DEPTH = 8

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A mistake in the command line, reported in one line with status 2."""


class Parser(argparse.ArgumentParser):
    # argparse would print the usage and then the message; one line is enough.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def depth_arg(text: str) -> int:
    try:
        depth = int(text)
    except ValueError:
        depth = 0
    if not 1 <= depth <= MAX_DEPTH:
        raise argparse.ArgumentTypeError(f"depth must be a whole number from 1 to {MAX_DEPTH}, got {text!r}")
    return depth


def seconds_arg(text: str) -> float:
    """A number of seconds above 0; "inf" for no limit."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not seconds > 0:
        raise argparse.ArgumentTypeError(f"seconds must be a number above 0 (or inf), got {text!r}")
    return seconds


def plural(n: int, word: str) -> str:
    """"1 move", "2 moves", "1 inaccuracy", "3 inaccuracies"."""
    if n == 1:
        return f"1 {word}"
    return f"{n} {word[:-1]}ies" if word.endswith("y") else f"{n} {word}s"


def check_writable(name: str) -> None:
    """Refuses, before any work, a file that cannot be written (a missing
    directory, no permission, a directory in its place). An existing file
    is left as it is; a new one is not left behind."""
    path = Path(name)
    if path.is_dir():
        raise UsageError(f"cannot write {name}: it is a directory")
    existed = path.exists()
    try:
        with open(path, "a", encoding="utf-8"):
            pass
    except OSError as err:
        raise UsageError(f"cannot write {name}: {err.strerror or err}") from None
    if not existed:
        path.unlink(missing_ok=True)


def position_from_words(words: list[str]) -> Position:
    """The position given as one or two words; the start position without any."""
    if not words:
        return Position.start()
    try:
        # A board without its side reaches here with the space that kept
        # argparse from reading it as an option (see cli._join_position_words).
        return Position.from_text(" ".join(words).strip())
    except ValueError as err:
        raise UsageError(str(err)) from None


def outcome(position: Position) -> str:
    """A finished game's result as solve gives it, the empty squares counted
    for the winner: "X wins 40-24", "draw 32-32"; with the discs on the board
    when squares are left empty."""
    words = describe_score(final_score(position))
    x, o = position.discs()
    empty = 64 - x - o
    if empty:
        words += f" (X {x}, O {o} on the board, {plural(empty, 'empty square')} to the winner)"
    return words
