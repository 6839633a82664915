"""The flipcore command line: analyse a position, play the engine, or watch
it play itself.

    python -m flipcore analyse [POSITION] [--depth N]
    python -m flipcore play [--depth N] [--as X|O]
    python -m flipcore selfplay [--depth N]

Mistakes in the command (a bad position text, a bad option) end with a
one-line message on stderr and status 2; Ctrl-C ends quietly with status 130.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import NoReturn

from flipcore.position import BLACK, SIDE_CHARS, WHITE, Position, square_name
from flipcore.search import SearchResult, analyse, search

PROG = "flipcore"

# No game lasts more than 60 moves, so no search needs to be deeper.
MAX_DEPTH = 60
# Without --depth, analyse deepens while the next depth looks likely to end
# within this many seconds of the start.
ANALYSE_SECONDS = 1.0
# The engine's depth in play and selfplay: a reply in well under a second.
PLAY_DEPTH = 8

EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A mistake in the command line, reported in one line with status 2."""


class _Parser(argparse.ArgumentParser):
    # argparse would print the usage and then the message; one line is enough.
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def _depth(text: str) -> int:
    try:
        depth = int(text)
    except ValueError:
        depth = 0
    if not 1 <= depth <= MAX_DEPTH:
        raise argparse.ArgumentTypeError(f"depth must be a whole number from 1 to {MAX_DEPTH}, got {text!r}")
    return depth


def _join_position_words(argv: list[str]) -> list[str]:
    """Lets a position be typed unquoted, board and side as two words.

    A board usually starts with "-", which argparse would take for an
    option; joined with its side into one word holding a space, argparse
    takes it as the positional argument it is. No option is 16 characters
    long, so longer words starting with "-" are boards.
    """
    words: list[str] = []
    i = 0
    while i < len(argv):
        word = argv[i]
        if word.startswith("-") and len(word) >= 16 and "=" not in word and " " not in word:
            side = argv[i + 1] if i + 1 < len(argv) and len(argv[i + 1]) == 1 else ""
            words.append(f"{word} {side}")
            i += 2 if side else 1
        else:
            words.append(word)
            i += 1
    return words


def _outcome(position: Position) -> str:
    x, o = position.discs()
    if x == o:
        return f"X {x}, O {o}: a draw"
    winner = "X" if x > o else "O"
    return f"X {x}, O {o}: {winner} wins by {abs(x - o)}"


def _result_line(result: SearchResult) -> str:
    names = " ".join(result.names()) or "-"
    return f"depth {result.depth:2d}  value {result.value:+10.2f}  {result.seconds:8.3f} s  best {names}"


def _engine_move(position: Position, depth: int) -> tuple[SearchResult, tuple[int, int]]:
    result = search(position, depth)
    if not result.moves:
        raise RuntimeError(f"the engine found no move in {position.text()!r}")
    return result, result.moves[0]


def run_analyse(args: argparse.Namespace) -> int:
    if args.position:
        try:
            position = Position.from_text(" ".join(args.position))
        except ValueError as err:
            raise UsageError(str(err)) from None
    else:
        position = Position.start()
    print(position)
    print()
    if position.is_over():
        print(f"The game is over: {_outcome(position)}.")
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


def _ask_move(position: Position, echo: bool) -> Position | None:
    """Reads the person's moves until one is legal; None when they stop."""
    side = SIDE_CHARS[position.player]
    while True:
        try:
            entry = input(f"Your move ({side}): ")
        except EOFError:
            if echo:
                print()
            return None
        if echo:
            # Typed input is echoed by the terminal; piped input is not.
            print(entry)
        entry = entry.strip()
        if entry.lower() in ("quit", "q"):
            return None
        if entry in ("", "?"):
            print("Your legal moves: " + " ".join(square_name(m) for m in position.legal_moves()))
            continue
        try:
            return position.play(entry)
        except ValueError as err:
            print(f"{err}. Try again.")


def run_play(args: argparse.Namespace) -> int:
    human = BLACK if args.side == "X" else WHITE
    you, engine = SIDE_CHARS[human], SIDE_CHARS[3 - human]
    echo = not sys.stdin.isatty()
    print(f"You play {you}, the engine plays {engine} at depth {args.depth}. X moves first.")
    print("Type a square such as d3; '?' lists your moves, 'quit' stops.")
    position = Position.start()
    while not position.is_over():
        side = SIDE_CHARS[position.player]
        if not position.legal_moves():
            print(f"{side} has no legal move and passes.")
            position = position.pass_()
        elif position.player == human:
            print()
            print(position)
            after = _ask_move(position, echo)
            if after is None:
                print("Game stopped before the end.")
                return 1
            position = after
        else:
            _, move = _engine_move(position, args.depth)
            print(f"The engine ({engine}) plays {square_name(move)}.", flush=True)
            position = position.play(move)
    print()
    print(position)
    x, o = position.discs()
    mine, theirs = (x, o) if human == BLACK else (o, x)
    verdict = "You win." if mine > theirs else "The engine wins." if theirs > mine else "Nobody wins."
    print(f"Game over. {_outcome(position)}. {verdict}")
    return 0


def run_selfplay(args: argparse.Namespace) -> int:
    position = Position.start()
    record: list[str] = []
    print(f"The engine plays both sides at depth {args.depth}; values are from X's point of view.")
    while not position.is_over():
        side = SIDE_CHARS[position.player]
        if not position.legal_moves():
            record.append("pass")
            print(f"{len(record):3d}. {side} passes", flush=True)
            position = position.pass_()
            continue
        result, move = _engine_move(position, args.depth)
        record.append(square_name(move))
        print(f"{len(record):3d}. {side} {square_name(move)}  value {result.value:+.2f}", flush=True)
        position = position.play(move)
    print()
    print(position)
    print("Moves: " + " ".join(record))
    print(f"Result: {_outcome(position)}")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Exact move search for the disc-flipping game.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    engine_depth = f"engine depth (default {PLAY_DEPTH})"

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
        type=_depth,
        help="deepest depth to search (default: as deep as about a second allows)",
    )
    analyse_cmd.set_defaults(run=run_analyse)

    play = commands.add_parser(
        "play", help="play a game against the engine", description="Play a game against the engine."
    )
    play.add_argument("--depth", metavar="N", type=_depth, default=PLAY_DEPTH, help=engine_depth)
    play.add_argument(
        "--as",
        dest="side",
        type=str.upper,
        choices=("X", "O"),
        default="X",
        help="your side (default X, who moves first)",
    )
    play.set_defaults(run=run_play)

    selfplay = commands.add_parser(
        "selfplay", help="let the engine play itself", description="Let the engine play a game against itself."
    )
    selfplay.add_argument("--depth", metavar="N", type=_depth, default=PLAY_DEPTH, help=engine_depth)
    selfplay.set_defaults(run=run_selfplay)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    words = list(sys.argv[1:] if argv is None else argv)
    try:
        args = _parser().parse_args(_join_position_words(words))
        run: Callable[[argparse.Namespace], int] = args.run
        return run(args)
    except UsageError as err:
        message = " ".join(str(err).split())
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (say, `| head`): stop quietly, and point stdout
        # at /dev/null so that the interpreter's last flush does not fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
