"""flipcore play and flipcore selfplay: games against the engine."""

from __future__ import annotations

import argparse
import math
import sys

from flipcore.cli.common import (
    EXIT_INTERRUPTED,
    PLAY_DEPTH,
    UsageError,
    check_writable,
    depth_arg,
    outcome,
    seconds_arg,
)
from flipcore.cli.engines import EngineMove, add_engine_option, engine_move, value_text
from flipcore.game import Game
from flipcore.position import BLACK, SIDE_CHARS, WHITE, Position, Square, square_name

# think's time a move when neither --seconds nor --depth is given.
PLAY_SECONDS = 0.5


def _limits(args: argparse.Namespace) -> tuple[int | None, float | None]:
    """The engine's depth and time a move: minimax searches to --depth (or
    PLAY_DEPTH); think to --depth and for --seconds, PLAY_SECONDS if neither."""
    if args.engine == "minimax":
        return args.depth or PLAY_DEPTH, None
    if args.depth is None and args.seconds is None:
        return None, PLAY_SECONDS
    if args.seconds == math.inf:  # no time limit: to --depth, or to the end
        return args.depth or 64, None
    return args.depth, args.seconds


def _strength(args: argparse.Namespace) -> str:
    depth, seconds = _limits(args)
    if args.engine == "minimax":
        return f"minimax at depth {depth}"
    parts = [f"{seconds:g} s a move"] if seconds is not None else []
    parts += [f"depth {depth}"] if depth is not None else []
    return "think, " + " and ".join(parts)


def _engine_move(position: Position, args: argparse.Namespace) -> tuple[EngineMove, Square]:
    depth, seconds = _limits(args)
    answer = engine_move(position, args.engine, depth=depth, seconds=seconds)
    if answer.move is None:
        raise RuntimeError(f"the engine found no move in {position.text()!r}")
    return answer, answer.move


def _save_record(game: Game, save: str | None) -> None:
    """Prints the game's record, and writes it to the file `save` if given."""
    print(f"Record: {game.record()}")
    if save is not None:
        try:
            with open(save, "w", encoding="utf-8") as file:
                file.write(game.record() + "\n")
        except OSError as err:
            raise UsageError(f"cannot write {save}: {err.strerror or err}") from None
        print(f"Record saved to {save}")


# What the prompt accepts, for `play --help` and for `help` at the prompt.
PROMPT_HELP = (
    "At the prompt, type a square as its column letter a-h and row number 1-8, such as d3 "
    "(either case); '?' or an empty line lists your legal moves, 'help' shows this, and "
    "'quit' (or Ctrl-D) stops the game. Passes happen by themselves."
)


def _ask_move(position: Position, echo: bool) -> Position | None:
    """Reads the person's moves until one is legal; None when they stop."""
    side = SIDE_CHARS[position.player]
    while True:
        try:
            entry = input(f"Your move ({side}): ")
        except EOFError:
            # The prompt is still on its line: typed Ctrl-D leaves the cursor
            # there, and piped input is not echoed.
            print()
            return None
        if echo:
            # Typed input is echoed by the terminal; piped input is not.
            print(entry)
        entry = entry.strip()
        if entry.lower() in ("quit", "q"):
            return None
        if entry.lower() in ("help", "h"):
            print(PROMPT_HELP)
            continue
        if entry in ("", "?"):
            print("Your legal moves: " + " ".join(square_name(m) for m in position.legal_moves()))
            continue
        try:
            return position.play(entry)
        except ValueError as err:
            print(f"{err}. Try again.")


def _interrupted(game: Game, save: str | None) -> int:
    """Ctrl-C during a game: what was played is kept, printed and saved."""
    print()
    print(f"Game stopped (Ctrl-C) after {len(game)} move{'' if len(game) == 1 else 's'}.")
    _save_record(game, save)
    return EXIT_INTERRUPTED


def run_play(args: argparse.Namespace) -> int:
    if args.save is not None:
        check_writable(args.save)
    game = Game()
    try:
        return _play(args, game)
    except KeyboardInterrupt:
        return _interrupted(game, args.save)


def _play(args: argparse.Namespace, game: Game) -> int:
    human = BLACK if args.side == "X" else WHITE
    you, engine = SIDE_CHARS[human], SIDE_CHARS[3 - human]
    echo = not sys.stdin.isatty()
    print(f"You play {you}, the engine plays {engine} ({_strength(args)}). X moves first.")
    print("Type a square such as d3; '?' lists your moves, 'help' explains, 'quit' stops.")
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
                _save_record(game, args.save)
                return 1
            # The one square the move filled.
            game.append(next(m for m in position.legal_moves() if position.play(m) == after))
            position = after
        else:
            _, move = _engine_move(position, args)
            game.append(move)
            print(f"The engine ({engine}) plays {square_name(move)}.", flush=True)
            position = position.play(move)
    print()
    print(position)
    x, o = position.discs()
    mine, theirs = (x, o) if human == BLACK else (o, x)
    verdict = "You win." if mine > theirs else "The engine wins." if theirs > mine else "Nobody wins."
    _save_record(game, args.save)
    print(f"Game over. {outcome(position)}. {verdict}")
    return 0


def run_selfplay(args: argparse.Namespace) -> int:
    if args.save is not None:
        check_writable(args.save)
    game = Game()
    try:
        return _selfplay(args, game)
    except KeyboardInterrupt:
        return _interrupted(game, args.save)


def _selfplay(args: argparse.Namespace, game: Game) -> int:
    position = Position.start()
    record: list[str] = []
    print(f"The engine plays both sides ({_strength(args)}); values are from X's point of view.")
    while not position.is_over():
        side = SIDE_CHARS[position.player]
        if not position.legal_moves():
            record.append("pass")
            print(f"{len(record):3d}. {side} passes", flush=True)
            position = position.pass_()
            continue
        answer, move = _engine_move(position, args)
        game.append(move)  # kept from the moment it is chosen
        record.append(square_name(move))
        print(f"{len(record):3d}. {side} {square_name(move)}  value {value_text(answer)}", flush=True)
        position = position.play(move)
    print()
    print(position)
    print("Moves: " + " ".join(record))
    print(f"Result: {outcome(position)}")
    _save_record(game, args.save)
    return 0


def _add_strength_options(parser: argparse.ArgumentParser) -> None:
    add_engine_option(parser)
    parser.add_argument(
        "--depth",
        metavar="N",
        type=depth_arg,
        help=f"the engine's depth (minimax: default {PLAY_DEPTH}; think: no limit but the time)",
    )
    parser.add_argument(
        "--seconds",
        metavar="S",
        type=seconds_arg,
        help=f"think's time a move (default {PLAY_SECONDS:g} without --depth)",
    )


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    play = commands.add_parser(
        "play",
        help="play a game against the engine",
        description="Play a game against the engine. " + PROMPT_HELP,
    )
    _add_strength_options(play)
    play.add_argument(
        "--as",
        dest="side",
        type=str.upper,
        choices=("X", "O"),
        default="X",
        help="your side (default X, who moves first)",
    )
    play.add_argument("--save", metavar="FILE", help="write the game's record to FILE")
    play.set_defaults(run=run_play)

    selfplay = commands.add_parser(
        "selfplay", help="let the engine play itself", description="Let the engine play a game against itself."
    )
    _add_strength_options(selfplay)
    selfplay.add_argument("--save", metavar="FILE", help="write the game's record to FILE")
    selfplay.set_defaults(run=run_selfplay)
