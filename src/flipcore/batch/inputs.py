"""Reading the input: the positions of position texts, game records and JSON
Lines, and an error record for each line that gives none."""

from __future__ import annotations

import json
import os
import re
import sys
from collections.abc import Iterable

from flipcore.batch.records import BatchError, Record, Settings, Task, _error_record
from flipcore.game import Game
from flipcore.position import Position

_POSITION_RE = re.compile(r"([XOxo-]{64})\s+([XOxo])")
_DIGIT = re.compile(r"[0-9]")


def _json_position(text: str) -> str:
    """The "position" field of a JSON Lines input line; ValueError saying
    what is missing."""
    try:
        item = json.loads(text)
    except json.JSONDecodeError as err:
        raise ValueError(f"a line starting with '{{' is read as JSON, and this one is not: {err}") from None
    position = item.get("position") if isinstance(item, dict) else None
    if not isinstance(position, str):
        raise ValueError('a JSON line needs a "position" field holding a position text')
    return position.strip()


def parse_lines(lines: Iterable[str], settings: Settings, every_ply: bool = False) -> tuple[list[Task], list[Record]]:
    """The tasks of the input lines, and an error record for each bad line.

    A line whose first word has no digit is a position; any other line is a
    game record, standing for the position at its end, or with
    every_ply for every position of the game (ply 0 to the end). A line
    starting with "{" is a JSON object (JSON Lines, such as this batch's own
    output) whose "position" field holds the position text. Blank lines
    and lines starting with # are skipped.
    """
    tasks: list[Task] = []
    errors: list[Record] = []
    for number, raw in enumerate(lines, 1):
        if not isinstance(raw, str):
            raise TypeError(f"input line {number} must be a string, got {type(raw).__name__}")
        text = raw.strip()
        if not text or text.startswith("#"):
            continue
        if text.startswith("{"):
            try:
                text = _json_position(text)
            except ValueError as err:
                errors.append(_error_record(number, None, settings, str(err)))
                continue
        match = _POSITION_RE.fullmatch(text)
        if match:
            tasks.append((number, None, f"{match[1].upper()} {match[2].upper()}"))
            continue
        # Square names hold digits and boards do not: a line without a digit
        # in its first word is read as a position, typos and all.
        if not _DIGIT.search(text.split(None, 1)[0]):
            try:
                tasks.append((number, None, Position.from_text(text).text()))
            except ValueError as err:
                errors.append(_error_record(number, None, settings, str(err)))
            continue
        try:
            game = Game.from_record(text)
        except ValueError as err:
            errors.append(_error_record(number, None, settings, f"bad game record: {err}"))
            continue
        positions = game.positions()
        plies = range(len(positions)) if every_ply else (len(positions) - 1,)
        tasks.extend((number, ply, positions[ply].text()) for ply in plies)
    return tasks, errors


def _read_source(source: str | os.PathLike[str] | Iterable[str | Position]) -> list[str]:
    if isinstance(source, (str, os.PathLike)):
        if os.fspath(source) == "-":
            return sys.stdin.read().splitlines()
        try:
            with open(source, encoding="utf-8") as file:
                return file.read().splitlines()
        except FileNotFoundError:
            raise BatchError(f"input file {os.fspath(source)!r} not found") from None
        except IsADirectoryError:
            raise BatchError(f"input {os.fspath(source)!r} is a directory, not a file") from None
        except (OSError, UnicodeDecodeError) as err:
            raise BatchError(f"cannot read input {os.fspath(source)!r}: {err}") from None
    return [item.text() if isinstance(item, Position) else item for item in source]
