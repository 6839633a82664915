"""flipcore analyse: think (or search) about a position deeper and deeper."""

from __future__ import annotations

import argparse
import math
import time

from flipcore.cli.common import MAX_DEPTH, depth_arg, outcome, position_from_words, seconds_arg
from flipcore.cli.engines import EngineMove, add_engine_option, think_deeper, value_text
from flipcore.cli.solve import exact_line
from flipcore.position import SIDE_CHARS, square_name
from flipcore.search import SearchResult, analyse
from flipcore.solve import EXACT_EMPTIES

# Without --depth or --seconds, analyse deepens while the next depth looks
# likely to end within this many seconds of the start.
ANALYSE_SECONDS = 1.0

# What the values mean, printed above the depth lines (the documentation's page on values says more).
VALUE_SCALE = """\
Values are X's advantage (negative: O's) in evaluation units: the disc, square-weight and
legal-move differences, weighted by the stage of the game (early on, a corner weighs 1000 and
one more legal move 15). Beyond +-100000, the game ends within the search: X (+) or O (-) wins
by the disc difference past 100000."""


# The same for think's values.
THINK_SCALE = """\
Values are X's expected final disc difference (negative: O ahead), the empty squares counted for
the winner; "exact" marks a value proven to the end of the game."""


def _think_line(depth: int, answer: EngineMove, seconds: float) -> str:
    line = " ".join("pass" if m is None else square_name(m) for m in answer.line)
    best = "-" if answer.move is None else square_name(answer.move)
    return f"depth {depth:2d}  value {value_text(answer):>17}  {seconds:8.3f} s  best {best}  line {line}"


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
    if args.depth is None and args.seconds is None and 64 - sum(position.discs()) <= EXACT_EMPTIES:
        # This near the end the exact solver proves the result in about a second.
        print(exact_line(position), flush=True)
        return 0
    empty = 64 - sum(position.discs())
    seconds = args.seconds if args.seconds is not None or args.depth is not None else ANALYSE_SECONDS
    if seconds == math.inf:
        seconds = None  # --seconds inf: no time limit
    if args.engine == "think":
        print(THINK_SCALE, flush=True)
        began = time.perf_counter()
        for answer in think_deeper(position, args.depth or 64, seconds):
            print(_think_line(answer.depth, answer, time.perf_counter() - began), flush=True)
        return 0
    print(VALUE_SCALE, flush=True)
    run = analyse(position, args.depth or min(MAX_DEPTH, empty), seconds=seconds)
    for result in run:
        print(_result_line(result), flush=True)
    if run.stop_message is not None:
        # Running out of time is what --seconds asks for; the table's
        # ceiling is worth a word on how to raise it.
        print(f"Stopped: {run.stop_message}.", flush=True)
    return 0


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    analyse_cmd = commands.add_parser(
        "analyse",
        aliases=["analyze"],
        help="think about a position deeper and deeper, one line per depth",
        description="Think about a position at depth 1, 2, ... and print one line per depth as it is done: "
        "with --engine think (the default) the value is in discs, with the line of play expected; with "
        "--engine minimax the engine's depth-limited search gives its own units, and stops early, keeping what "
        "it found, when the next depth would likely overrun --seconds or would not fit in the transposition "
        "table's memory ceiling (FLIPCORE_TABLE_LIMIT).",
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
        help="deepest depth to search (default: as deep as --seconds allows)",
    )
    analyse_cmd.add_argument(
        "--seconds",
        metavar="S",
        type=seconds_arg,
        help=f"think for at most S seconds (minimax: deepen while the next depth is likely to end within S "
        f"seconds of the start; default: {ANALYSE_SECONDS:g} without --depth, no limit with it)",
    )
    add_engine_option(analyse_cmd)
    analyse_cmd.set_defaults(run=run_analyse)
