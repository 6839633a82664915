"""What the commands share: the one-line usage error, option types, and
reading a position from the command line."""

from __future__ import annotations

import argparse
from typing import NoReturn

from flipcore.position import Position

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
    try:
        seconds = float(text)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):
        raise argparse.ArgumentTypeError(f"seconds must be a number above 0, got {text!r}")
    return seconds


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
    x, o = position.discs()
    if x == o:
        return f"X {x}, O {o}: a draw"
    winner = "X" if x > o else "O"
    return f"X {x}, O {o}: {winner} wins by {abs(x - o)}"
