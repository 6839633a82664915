"""The flipcore command line: analyse a position, play the engine, or watch
it play itself.

    python -m flipcore analyse [POSITION] [--depth N] [--seconds S]
    python -m flipcore play [--depth N] [--as X|O]
    python -m flipcore selfplay [--depth N]
    python -m flipcore --version

Without a command it prints its usage. Mistakes in the command (a bad
position text, a bad option) end with a one-line message on stderr and
status 2; Ctrl-C ends quietly with status 130.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Any
from collections.abc import Callable, Sequence

from flipcore._version import __version__
from flipcore.cli import analyse, batch, play, review, serve, solve
from flipcore.solve import SolveTableSettingError, check_table_setting
from flipcore.table import ENV_VARIABLE as TABLE_LIMIT_ENV
from flipcore.cli.common import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, PROG, Parser, UsageError

# Each command lives in its own module, which adds its subparser.
_COMMANDS = (analyse, play, solve, batch, review, serve)
# The commands that may call the exact solver, whose table size setting they
# check before any work.
_SOLVING_COMMANDS = frozenset({"analyse", "analyze", "solve", "batch", "review", "serve"})


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


def _parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Exact move search for the disc-flipping game.",
        epilog=f"Run '{PROG} COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in _COMMANDS:
        command.register(commands)
    return parser


def _show_warning(
    message: Warning | str, category: type[Warning], filename: str, lineno: int, file: Any = None, line: Any = None
) -> None:
    # One line, like the command's errors, without the source file's path.
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    previous = warnings.showwarning
    warnings.showwarning = _show_warning
    try:
        return _main(argv)
    finally:
        warnings.showwarning = previous


def _main(argv: Sequence[str] | None) -> int:
    words = list(sys.argv[1:] if argv is None else argv)
    if not words:
        # Nothing asked: what there is to ask, rather than a bare error.
        print(_parser().format_help(), end="", file=sys.stderr)
        return EXIT_USAGE
    try:
        args = _parser().parse_args(_join_position_words(words))
        run: Callable[[argparse.Namespace], int] = args.run
        if args.command in _SOLVING_COMMANDS:
            check_table_setting()
        return run(args)
    except UsageError as err:
        message = " ".join(str(err).split())
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return EXIT_USAGE
    except SolveTableSettingError as err:
        # A bad setting in the environment is a mistake in how the command
        # was given, like a bad option.
        print(f"{PROG}: error: {err}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return EXIT_INTERRUPTED
    except MemoryError as err:
        # The table at its ceiling, in a command that searches one fixed
        # depth (analyse stops by itself instead): said in one line, with
        # advice for the command line rather than the API's init().
        message = str(err).removesuffix("; init() empties it") or "out of memory"
        if "memory ceiling" in message:
            message += f"; set {TABLE_LIMIT_ENV} higher (such as 4G or 50%) or search less deep"
        print(f"{PROG}: error: {message}", file=sys.stderr)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (say, `| head`): stop quietly, and point stdout
        # at /dev/null so that the interpreter's last flush does not fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
