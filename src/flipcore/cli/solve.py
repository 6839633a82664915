"""flipcore solve: the exact result of a position under perfect play."""

from __future__ import annotations

import argparse
import sys
import threading
import time

from flipcore.cli.common import plural, position_from_words
from flipcore.position import BLACK, SIDE_CHARS, Position, square_name
from flipcore.solve import EXACT_EMPTIES, MAX_THREADS, SolveResult, describe_score, solve

# Beyond this many empty squares a solve may run for minutes or hours.
WARN_EMPTIES = EXACT_EMPTIES + 4
# Proven bounds are shown once a solve has run this long, then at most this
# often.
PROGRESS_SECONDS = 1.0


def _bounds_words(lower: int, upper: int, wld: bool) -> str:
    """What the bounds (side 1's view) prove so far, in words."""
    if not wld:
        return f"X scores between {lower:+d} and {upper:+d} so far"
    if lower >= 0:
        return "X at least draws so far"
    if upper <= 0:
        return "O at least draws so far"
    return "nothing proven yet"


class _ProgressPrinter:
    """Shows on stderr what a long solve has proven so far.

    The solver reports the bounds on the score each time they narrow (as
    the callback); a thread of its own prints them once the solve has run
    PROGRESS_SECONDS, then at most that often when they changed, and every
    QUIET_SECONDS anyway, so that a solve is never silent for long.
    """

    QUIET_SECONDS = 10.0

    def __init__(self, wld: bool) -> None:
        self.wld = wld
        limit = 1 if wld else 64
        self.bounds = (-limit, limit)
        self.began = time.perf_counter()
        self.done = threading.Event()
        self.ticker = threading.Thread(target=self._tick, daemon=True)

    def __call__(self, lower: int, upper: int) -> None:
        self.bounds = (lower, upper)

    def _tick(self) -> None:
        shown: tuple[int, int] | None = None
        last = self.began
        while not self.done.wait(PROGRESS_SECONDS):
            now = time.perf_counter()
            bounds = self.bounds
            if bounds[0] < bounds[1] and (bounds != shown or now - last >= self.QUIET_SECONDS):
                words = _bounds_words(*bounds, wld=self.wld)
                print(f"  {now - self.began:6.1f} s  {words}", file=sys.stderr, flush=True)
                shown, last = bounds, now

    def __enter__(self) -> _ProgressPrinter:
        self.ticker.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.done.set()
        self.ticker.join()


def _thread_count(text: str) -> int:
    """--threads: a whole number from 1 to MAX_THREADS."""
    try:
        n = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None
    if not 1 <= n <= MAX_THREADS:
        raise argparse.ArgumentTypeError(f"must be between 1 and {MAX_THREADS}, got {n}")
    return n


def _moves_words(result: SolveResult) -> str:
    if not result.moves:
        return f"Best move: pass ({SIDE_CHARS[result.player]} has no legal move)"
    label = "Best move" if len(result.moves) == 1 else "Best moves"
    return f"{label}: {' '.join(result.names())}"


def _nodes_words(result: SolveResult) -> str:
    rate = result.nodes / result.seconds / 1e6 if result.seconds > 0 else 0.0
    return f"Nodes: {result.nodes:,} in {result.seconds:.2f} s ({rate:.1f} M nodes/s)"


def exact_line(position: Position) -> str:
    """One labelled line of the exact result, for analyse near the end."""
    result = solve(position)
    best = " ".join(result.names()) or "pass"
    return f"exact: {result.describe()}, best {best}, line {' '.join(result.line_names())}"


def run_solve(args: argparse.Namespace) -> int:
    position = position_from_words(args.position)
    mode = "wld" if args.wld else "every_move" if args.every_move else "exact"
    print(position)
    print()
    if position.is_over():
        print(f"The game is over: {solve(position).describe()}.")
        return 0

    side = SIDE_CHARS[position.player]
    empty = 64 - sum(position.discs())
    if not position.legal_moves():
        print(f"{side} has no legal move and passes.")
    if mode == "wld":
        print(f"{plural(empty, 'empty square')}: solving for who wins.")
    else:
        print(f"{plural(empty, 'empty square')}: solving for the exact score, X's discs minus O's at the end.")
    if empty > WARN_EMPTIES:
        print(
            f"With more than {WARN_EMPTIES} empty squares this may take very long "
            "(Ctrl-C stops it); bounds proven so far are shown as they narrow."
        )
    sys.stdout.flush()

    with _ProgressPrinter(wld=mode == "wld") as progress:
        result = solve(position, mode, progress=progress, threads=args.threads)
    print(f"Result: {result.describe()}")
    print(_moves_words(result))
    if result.move_scores:
        print()
        print("move  X-O    result")
        # Best first for the side to move; ties in row-major order.
        view = 1 if position.player == BLACK else -1
        ranked = sorted(result.move_scores.items(), key=lambda item: (-view * item[1], item[0][1], item[0][0]))
        for move, score in ranked:
            print(f"  {square_name(move)}  {score:+4d}   {describe_score(score)}")
        print()
    if result.line:
        print(f"Line: {' '.join(result.line_names())}")
    print(_nodes_words(result))
    return 0


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    solve_cmd = commands.add_parser(
        "solve",
        help="solve a position exactly: the result with perfect play by both sides",
        description="Solve a position to the end of the game under perfect play: the final score "
        "(X's discs minus O's, empty squares counted for the winner), every best move and a line "
        f"of best play. Up to about {EXACT_EMPTIES} empty squares this takes about a second; each "
        "more empty square costs about three times as long.",
    )
    solve_cmd.add_argument(
        "position",
        nargs="*",
        metavar="POSITION",
        help="64 squares (X, O or -) from a1 row by row, a space, and the side to move (X or O); "
        "default: the start position",
    )
    mode = solve_cmd.add_mutually_exclusive_group()
    mode.add_argument(
        "--every-move", action="store_true", help="the exact score of every legal move, best first"
    )
    mode.add_argument("--wld", action="store_true", help="only who wins (faster), and the moves that keep that")
    solve_cmd.add_argument(
        "--threads",
        type=_thread_count,
        default=None,
        metavar="N",
        help=f"threads to search with, 1 to {MAX_THREADS} (default: one per core)",
    )
    solve_cmd.set_defaults(run=run_solve)
