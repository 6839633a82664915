"""flipcore review: every move of a game valued, marked and summed up.

    flipcore review GAME-OR-FILE [--depth N] [--exact-from K] [--plot FILE]

GAME-OR-FILE is a record ("f5d6c3...", maybe led by a start position's
text, in one argument or several) or a file holding one game per line
("-" reads standard input); blank lines and lines starting with "#" are
skipped. Every game is read before any is reviewed, so a bad one stops the
command at once, with its line, move number and reason.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Any

from flipcore.cli.common import MAX_DEPTH, UsageError, check_writable, depth_arg, outcome, plural
from flipcore.cli.engines import add_engine_option
from flipcore.game import Game, GameRecordError
from flipcore.position import BLACK, SIDE_CHARS, WHITE
from flipcore.review import DEFAULT_DEPTH, MARKS, MoveReview, Review, review
from flipcore.solve import EXACT_EMPTIES, describe_score

# A word that names a file rather than a record: it has a directory part or
# ends in a file-name suffix such as ".txt".
_PATH_LIKE = re.compile(r"[/\\]|\.[A-Za-z][A-Za-z0-9]*$")


def exact_from_arg(text: str) -> int:
    try:
        empties = int(text)
    except ValueError:
        empties = -1
    if not 0 <= empties <= MAX_DEPTH:
        raise argparse.ArgumentTypeError(
            f"exact-from must be a number of empty squares from 0 to {MAX_DEPTH}, got {text!r}"
        )
    return empties


def _read_file(name: str) -> list[tuple[str, Game]]:
    """Each game of a file with where it stands: 'line N of NAME'."""
    if name == "-":
        text, label = sys.stdin.read(), "standard input"
    else:
        path = Path(name)
        if not path.exists():
            raise UsageError(f"no such file: {name}")
        if path.is_dir():
            raise UsageError(f"{name} is a directory, not a file of games")
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError) as err:
            raise UsageError(f"cannot read {name}: {err}") from None
        label = name
    games: list[tuple[str, Game]] = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        where = f"line {number} of {label}"
        try:
            games.append((where, Game.from_record(line)))
        except GameRecordError as err:
            raise UsageError(f"{where}: {err}") from None
    if not games:
        raise UsageError(f"no game in {label}")
    return games


def read_games(words: list[str]) -> list[tuple[str, Game]]:
    """The games the command line names: a file's, or the one record."""
    if len(words) == 1 and (words[0] == "-" or Path(words[0]).is_file()):
        return _read_file(words[0])
    text = " ".join(words)
    try:
        return [("the game given", Game.from_record(text))]
    except GameRecordError as err:
        if len(words) == 1 and _PATH_LIKE.search(words[0]):
            return _read_file(words[0])  # names the missing file
        raise UsageError(f"the game given: {err}") from None


def _value(value: float | int, exact: bool) -> str:
    return f"{value:+d}" if exact else f"{value:+.1f}"


_COLUMNS = "{:>3}  {:<4}  {:<4} {}{:>10}  {:>10}  {:<14} {:>8}  {}"
HEADER = _COLUMNS.format("no", "side", "move", " ", "value", "best", "best moves", "loss", "mark").rstrip()


def format_move(move: MoveReview) -> str:
    """One row of the table; '=' flags a value the exact solver gave."""
    loss = f"{move.loss:d}" if move.exact else f"{move.loss:.1f}"
    return _COLUMNS.format(
        move.number,
        move.side,
        move.name(),
        "=" if move.exact else " ",
        _value(move.value, move.exact),
        _value(move.best_value, move.exact),
        " ".join(move.best_names()) or "-",
        loss,
        move.mark or "",
    ).rstrip()


def format_review(result: Review) -> list[str]:
    """The table of moves, then the summary, as lines."""
    lines = ["Values are from X's view: positive is good for X."]
    if any(not move.exact for move in result.moves):
        if result.engine == "think":
            lines.append(f"Midgame values are think's expected final disc margins, {result.depth} plies deep.")
        else:
            lines.append(f"Midgame values are the engine's, searched {result.depth} plies deep.")
    if result.first_exact() is not None:
        lines.append(
            f"Moves marked '=' are solved exactly ({result.exact_from} empty squares or fewer): final disc margins."
        )
    lines.append(HEADER)
    lines.extend(format_move(move) for move in result.moves)
    lines.append("")
    lines.append("Summary")
    for player in (BLACK, WHITE):
        summary = result.summary(player)
        parts = [plural(summary.moves, "move")]
        if summary.midgame_moves:
            parts.append(
                f"midgame loss {summary.midgame_loss:.1f} (average {summary.midgame_average:.1f} "
                f"over {summary.midgame_moves})"
            )
        if summary.exact_moves:
            parts.append(
                f"exact loss {plural(summary.exact_loss, 'disc')} (average {summary.exact_average:.2f} "
                f"over {summary.exact_moves})"
            )
        parts.append(", ".join(plural(summary.marks[mark], mark) for mark in MARKS))
        lines.append(f"  {SIDE_CHARS[player]}: " + "; ".join(parts))
    first = result.first_exact()
    if first is not None:
        lines.append(
            f"First exact result: before move {first.number}, {describe_score(int(first.best_value))} "
            "with perfect play."
        )
    final = result.game.positions()[-1]
    if result.game.is_over():
        lines.append(f"Result: {outcome(final)}.")
    else:
        lines.append(f"The record stops before the end of the game, {SIDE_CHARS[final.player]} to move.")
    return lines


def _plot_paths(name: str, count: int) -> list[Path]:
    path = Path(name)
    if count == 1:
        return [path]
    return [path.with_name(f"{path.stem}-{i}{path.suffix}") for i in range(1, count + 1)]


def run_review(args: argparse.Namespace) -> int:
    if args.plot is not None:
        if Path(args.plot).suffix.lower() not in (".png", ".svg"):
            raise UsageError(f"--plot file name must end in .png or .svg, got {args.plot!r}")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("--plot needs matplotlib: pip install 'flipcore[plot]'") from None
    games = read_games(args.game)
    plots = _plot_paths(args.plot, len(games)) if args.plot is not None else []
    for path in plots:
        check_writable(str(path))

    from tqdm import tqdm

    for index, (where, game) in enumerate(games):
        if len(games) > 1:
            if index:
                print()
            print(f"Game {index + 1} ({where}): {game.record()}", flush=True)
        bar = tqdm(
            total=len(game),
            desc=f"reviewing game {index + 1}/{len(games)}" if len(games) > 1 else "reviewing",
            unit="move",
            file=sys.stderr,
            leave=False,
        )

        def advance(done: int, total: int, bar: tqdm[Any] = bar) -> None:
            bar.update(done - bar.n)

        try:
            result = review(game, args.depth, args.exact_from, engine=args.engine, progress=advance)
        except ImportError as err:
            raise UsageError(f"the exact solver is not available ({err}); use --exact-from 0") from None
        finally:
            bar.close()
        print("\n".join(format_review(result)), flush=True)
        if plots:
            from flipcore.plot import save_plot

            try:
                save_plot(result, plots[index])
            except OSError as err:
                raise UsageError(f"cannot write {plots[index]}: {err.strerror or err}") from None
            print(f"Value graph written to {plots[index]}")
    return 0


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    cmd = commands.add_parser(
        "review",
        help="value every move of a game and mark the mistakes",
        description="Value every move of a game by search, and exactly near the end; "
        "mark inaccuracies, mistakes and blunders, and sum up each side.",
    )
    cmd.add_argument(
        "game",
        nargs="+",
        metavar="GAME-OR-FILE",
        help="a record such as f5d6c3d3 (maybe led by a start position's text), "
        "or a file with one game per line ('-' for standard input)",
    )
    cmd.add_argument(
        "--depth",
        metavar="N",
        type=depth_arg,
        default=DEFAULT_DEPTH,
        help=f"midgame search depth (default {DEFAULT_DEPTH})",
    )
    cmd.add_argument(
        "--exact-from",
        metavar="K",
        type=exact_from_arg,
        default=EXACT_EMPTIES,
        help=f"solve exactly from K empty squares on (default {EXACT_EMPTIES}; 0: never); "
        "each more empty square makes the first solve about three times as long",
    )
    cmd.add_argument("--plot", metavar="FILE", help="write the value graph to FILE (.png or .svg)")
    add_engine_option(cmd)
    cmd.set_defaults(run=run_review)
