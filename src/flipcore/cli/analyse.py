"""flipcore analyse: search a position deeper and deeper."""

from __future__ import annotations

import argparse
import time

from flipcore.cli.common import MAX_DEPTH, depth_arg, outcome, position_from_words
from flipcore.position import SIDE_CHARS
from flipcore.search import SearchResult, analyse

# Without --depth, analyse deepens while the next depth looks likely to end
# within this many seconds of the start.
ANALYSE_SECONDS = 1.0


def _result_line(result: SearchResult) -> str:
    names = " ".join(result.names()) or "-"
    return f"depth {result.depth:2d}  value {result.value:+10.2f}  {result.seconds:8.3f} s  best {names}"


def run_analyse(args: argparse.Namespace) -> int:
    position = position_from_words(args.position)
    print(position)
    print()
    if position.is_over():
        print(f"The game is over: {outcome(position)}.")
        return 0
    if not position.legal_moves():
        side = SIDE_CHARS[position.player]
        print(f"{side} has no legal move and passes; analysing the position after the pass.")
        position = position.pass_()
    print("Values are from X's point of view: positive is good for X.", flush=True)

    empty = 64 - sum(position.discs())
    began = time.perf_counter()
    previous = 0.0
    for result in analyse(position, args.depth or min(MAX_DEPTH, empty)):
        print(_result_line(result), flush=True)
        if args.depth is None:
            # Each depth costs a few times the one before; stop when the
            # next one would likely overrun the time allowed.
            growth = min(max(result.seconds / previous, 2.0), 8.0) if previous else 2.0
            if time.perf_counter() - began + result.seconds * growth > ANALYSE_SECONDS:
                break
            previous = result.seconds
    return 0


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    analyse_cmd = commands.add_parser(
        "analyse",
        aliases=["analyze"],
        help="search a position deeper and deeper, one line per depth",
        description="Search a position at depth 1, 2, ... and print one line per depth as it is done.",
    )
    analyse_cmd.add_argument(
        "position",
        nargs="*",
        metavar="POSITION",
        help="64 squares (X, O or -) from a1 row by row, a space, and the side to move (X or O); "
        "default: the start position",
    )
    analyse_cmd.add_argument(
        "--depth",
        metavar="N",
        type=depth_arg,
        help="deepest depth to search (default: as deep as about a second allows)",
    )
    analyse_cmd.set_defaults(run=run_analyse)
