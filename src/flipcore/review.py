"""Reviewing a game move by move: what each move cost its side.

For every move the review takes the position it was played in and finds the
best moves, the value of the best move and of the move played, and the loss:
how much worse the move played is than the best, from the mover's point of
view (never negative). Values are from side 1's (X's) point of view.

Two parts of the game are valued differently:

- In the midgame (more than `exact_from` empty squares), with engine "think"
  (the default), flipcore.think searches the position `depth` plies deep
  for the best move and value, and the position after the move played
  `depth - 1` plies deep for that move's value (the best move's value when
  it is the move played), each from an empty table, so that the same game
  always gives the same review. Values are expected final disc differences,
  the unit of the exact part too, and the marks are the exact part's, but
  for the rule on results thrown away, which needs proven values.
- With engine "minimax", in the midgame the engine searches
  the position `depth` plies deep for the best value and moves, and the
  position after the move played `depth - 1` plies deep for that move's value:
  the same value the engine gave the move inside the first search. The best
  moves are the engine's tied best moves, each but the first confirmed by a
  search of its own, since the engine may list a move that only reached the
  best value as a bound. Values are
  in the engine's units, where a corner early in the game is worth about 1000
  and a finished game counts its disc difference pushed beyond +-100000 (the
  engine scores a side that must pass as a finished game).
  The engine's table is emptied (init()) before each position is searched,
  so a review never depends on what the table held before, nor on the
  order of its moves, and the same game always gives the same review.
- From `exact_from` empty squares on, the exact solver (flipcore.solve)
  gives every value as the final disc difference with perfect play (empty
  squares counted for the winner); such moves are marked exact. The value of
  a move played there is the solved score of the position it leads to.

Marks, by loss (see MIDGAME_MARKS and EXACT_MARKS): in the midgame with
minimax, in engine units, an inaccuracy from 80, a mistake from 200, a blunder from
500 (half a corner early in the game); in the exact part, in discs, an inaccuracy from
2 (the smallest loss there is), a mistake from 6, and a blunder from 12 or
whenever the move turns a win into a draw or a loss, or a draw into a loss.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Union

from _flipcore import init

from flipcore.game import Game
from flipcore.position import BLACK, SIDE_CHARS, WHITE, Position, Square, square_name
from flipcore.search import search
from flipcore.solve import EXACT_EMPTIES

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# The review's default search depth in the midgame: a game in a few seconds.
DEFAULT_DEPTH = 10

ENGINES = ("think", "minimax")

INACCURACY, MISTAKE, BLUNDER = "inaccuracy", "mistake", "blunder"
MARKS = (INACCURACY, MISTAKE, BLUNDER)
# The least loss for each mark, worst first: engine units in the midgame,
# discs in the exact part.
MIDGAME_MARKS = ((BLUNDER, 500.0), (MISTAKE, 200.0), (INACCURACY, 80.0))
EXACT_MARKS = ((BLUNDER, 12), (MISTAKE, 6), (INACCURACY, 2))

# The value graph is the plotting module's business: flipcore.plot depends on
# the review and hands its drawing function over when it is imported (which
# importing flipcore does), so that Review.plot() works without this module
# importing the graph's.
_plotter: Callable[..., Figure] | None = None


def _register_plotter(plot: Callable[..., Figure]) -> None:
    global _plotter
    _plotter = plot

Value = Union[float, int]


def _mark(loss: Value, thresholds: tuple[tuple[str, float], ...]) -> str | None:
    for mark, least in thresholds:
        if loss >= least:
            return mark
    return None


def _sign(value: Value) -> int:
    return (value > 0) - (value < 0)


def exact_mark(best: int, played: int, player: int) -> str | None:
    """The mark of a move in the exact part from the solved scores (side 1's
    view) of the best move and of the move played by `player`."""
    view = 1 if player == BLACK else -1
    if _sign(played * view) < _sign(best * view):
        return BLUNDER  # a win or a draw thrown away
    return _mark((best - played) * view, EXACT_MARKS)


def midgame_mark(loss: float, discs: bool = False) -> str | None:
    """The mark of a midgame move that lost `loss` engine units (or discs,
    as think values them)."""
    return _mark(loss, EXACT_MARKS if discs else MIDGAME_MARKS)


@dataclass(frozen=True)
class MoveReview:
    """One move of a reviewed game.

    ply: the move's index in the game (0-based; passes not counted), so the
        position is game.position_at(ply); number is ply + 1.
    player: the side that played it (1 or 2).
    position: the position it was played in.
    move: the move played; best_moves: every best move, in the order the
        search or the solver gave them (in the midgame, the search's tied
        moves that a search of their own confirms: see _searched).
    value, best_value: the value of the move played and of the best move,
        side 1's view: in the midgame, discs as think expects them (engine
        units with minimax), the exact final disc difference when `exact`.
    loss: best minus played from the mover's point of view, at least 0.
    mark: "inaccuracy", "mistake", "blunder" or None.
    exact: True when the values come from the exact solver.
    depth: the search depth of the best value; None when exact.
    """

    ply: int
    player: int
    position: Position
    move: Square
    best_moves: tuple[Square, ...]
    value: Value
    best_value: Value
    loss: Value
    mark: str | None
    exact: bool
    depth: int | None

    @property
    def number(self) -> int:
        return self.ply + 1

    @property
    def side(self) -> str:
        return SIDE_CHARS[self.player]

    def name(self) -> str:
        return square_name(self.move)

    def best_names(self) -> list[str]:
        return [square_name(move) for move in self.best_moves]

    def to_dict(self) -> dict[str, Any]:
        return {
            "ply": self.ply,
            "number": self.number,
            "player": self.player,
            "position": self.position.text(),
            "move": self.name(),
            "best_moves": self.best_names(),
            "value": _json_number(self.value),
            "best_value": _json_number(self.best_value),
            "loss": _json_number(self.loss),
            "mark": self.mark,
            "exact": self.exact,
            "depth": self.depth,
        }


def _json_number(value: Value) -> Value | None:
    # JSON has no infinities; the engine gives none, but say so plainly if it did.
    return value if not isinstance(value, float) or math.isfinite(value) else None


@dataclass(frozen=True)
class Summary:
    """One side's moves in a review.

    moves: how many moves the side played; the midgame and the exact part
    are summed apart since their losses are in different units (engine units,
    discs). marks: the count of each mark. first_exact: the ply and the
    solved score (side 1's view) of the first position of the game valued
    exactly, whoever was to move there; None without an exact part.
    """

    player: int
    moves: int
    midgame_moves: int
    midgame_loss: float
    exact_moves: int
    exact_loss: int
    marks: dict[str, int]
    first_exact: tuple[int, int] | None

    @property
    def midgame_average(self) -> float:
        return self.midgame_loss / self.midgame_moves if self.midgame_moves else 0.0

    @property
    def exact_average(self) -> float:
        return self.exact_loss / self.exact_moves if self.exact_moves else 0.0

    def to_dict(self) -> dict[str, Any]:
        return {
            "player": self.player,
            "moves": self.moves,
            "midgame_moves": self.midgame_moves,
            "midgame_loss": self.midgame_loss,
            "midgame_average": self.midgame_average,
            "exact_moves": self.exact_moves,
            "exact_loss": self.exact_loss,
            "exact_average": self.exact_average,
            "marks": dict(self.marks),
            "first_exact": None
            if self.first_exact is None
            else {"ply": self.first_exact[0], "score": self.first_exact[1]},
        }


@dataclass(frozen=True)
class Review:
    """A reviewed game: one MoveReview per move, in order."""

    game: Game
    depth: int
    exact_from: int
    moves: tuple[MoveReview, ...]
    # The exact score of the position after the last move when the game ends
    # in the exact part (the result itself for a finished game), else None.
    final_score: int | None = None
    # "think": midgame values in discs; "minimax": in engine units.
    engine: str = "think"

    def first_exact(self) -> MoveReview | None:
        """The first move valued by the exact solver."""
        return next((move for move in self.moves if move.exact), None)

    def summary(self, side: int | str) -> Summary:
        """The summary of side 1 or 2 (or "X", "O")."""
        player = {"X": BLACK, "O": WHITE}.get(side, side) if isinstance(side, str) else side
        if player not in (BLACK, WHITE):
            raise ValueError(f"side must be 1, 2, 'X' or 'O', got {side!r}")
        mine = [move for move in self.moves if move.player == player]
        midgame = [move for move in mine if not move.exact]
        exact = [move for move in mine if move.exact]
        first = self.first_exact()
        return Summary(
            player=player,
            moves=len(mine),
            midgame_moves=len(midgame),
            midgame_loss=math.fsum(move.loss for move in midgame),
            exact_moves=len(exact),
            exact_loss=sum(int(move.loss) for move in exact),
            marks={mark: sum(move.mark == mark for move in mine) for mark in MARKS},
            first_exact=None if first is None else (first.ply, int(first.best_value)),
        )

    def plot(self, ax: Any = None) -> Figure:
        """The value graph (needs matplotlib: pip install 'flipcore[plot]'),
        drawn into `ax` when given, else into a new figure."""
        if _plotter is None:
            raise RuntimeError("no value graph is registered: import flipcore.plot first")
        return _plotter(self, ax=ax)

    def to_dict(self) -> dict[str, Any]:
        """Everything as JSON-ready lists, dicts, numbers and strings."""
        return {
            "record": self.game.record(),
            "engine": self.engine,
            "depth": self.depth,
            "exact_from": self.exact_from,
            "moves": [move.to_dict() for move in self.moves],
            "final_score": self.final_score,
            "summary": {SIDE_CHARS[p]: self.summary(p).to_dict() for p in (BLACK, WHITE)},
            "marks": {
                "midgame": {mark: least for mark, least in (EXACT_MARKS if self.engine == "think" else MIDGAME_MARKS)},
                "exact": {mark: least for mark, least in EXACT_MARKS},
            },
        }


def _empties(position: Position) -> int:
    return 64 - sum(position.discs())


def _solver() -> Callable[[Position], tuple[int, tuple[Square, ...]]]:
    # Imported here: the solver's binding loads its table on first use.
    from flipcore.solve import solve

    def exact(position: Position) -> tuple[int, tuple[Square, ...]]:
        result = solve(position)
        return result.score, result.moves

    return exact


def _searched(position: Position, move: Square, depth: int) -> tuple[float, tuple[Square, ...], float]:
    """The best value and moves of `position` at `depth`, and the value of
    `move` there: its child's value one ply less deep.

    The engine lists as tied every move whose search returned the best
    value, and a move searched after the best one may return it only as a
    bound, its true value being worse. So each tied move after the first
    (the first is exact) is kept only if its own full-window search reaches
    the best value. Those searches and the move played's give the values the
    first search saw or bounded: the same position at the same depth has
    one value, whatever the table holds of that search.
    """
    init()
    best = search(position, depth)
    values: dict[Square, float] = {}

    def value_of(square: Square) -> float:
        if square not in values:
            # A child whose side must pass is scored as the engine scored it
            # inside the first search: as a finished game.
            values[square] = search(position.play(square), depth - 1, play_pass=False).value
        return values[square]

    confirmed = best.moves[:1] + tuple(m for m in best.moves[1:] if value_of(m) == best.value)
    return best.value, confirmed, value_of(move)


def _thought(position: Position, move: Square, depth: int) -> tuple[float, tuple[Square, ...], float]:
    """think's best value and move in `position` at `depth`, and the value
    of `move` there: its child's value one ply less deep, or the best value
    when it is the best move. Each search starts from an empty table."""
    from flipcore import _think
    from flipcore.think import think

    _think.clear_table()
    best = think(position, depth=depth)
    assert best.move is not None
    if move == best.move:
        return best.value, (best.move,), best.value
    _think.clear_table()
    child = position.play(move)
    played = think(child, depth=max(depth - 1, 0) if not child.is_over() else 1).value
    return best.value, (best.move,), played


def review(
    game: Game | str,
    depth: int = DEFAULT_DEPTH,
    exact_from: int | None = None,
    *,
    engine: str = "think",
    progress: Callable[[int, int], None] | None = None,
) -> Review:
    """Reviews every move of `game` (a Game or its record).

    depth: the midgame search depth, 1 or more.
    engine: "think" (values in discs) or "minimax" (the depth-limited
        search, values in its own units).
    exact_from: positions with at most this many empty squares are solved
        exactly; default flipcore.solve.EXACT_EMPTIES, 0 for none.
    progress: called as progress(done, total) after each position valued.
    """
    if isinstance(game, str):
        game = Game.from_record(game)
    if not isinstance(game, Game):
        raise TypeError(f"game must be a Game or a record, got {game!r}")
    if type(depth) is not int or not 1 <= depth <= 60:
        raise ValueError(f"depth must be a whole number from 1 to 60, got {depth!r}")
    if engine not in ENGINES:
        raise ValueError(f"engine must be 'think' or 'minimax', got {engine!r}")
    if exact_from is None:
        exact_from = EXACT_EMPTIES
    if type(exact_from) is not int or not 0 <= exact_from <= 60:
        raise ValueError(f"exact_from must be a whole number from 0 to 60, got {exact_from!r}")

    positions = game.positions()
    count = len(game)
    exact_plies = [ply for ply in range(count + 1) if _empties(positions[ply]) <= exact_from]
    # Empty squares only ever fill, so the exact part is the game's tail.
    first_exact = exact_plies[0] if exact_plies else count + 1

    # The solved score and best moves of positions of the exact part, the
    # last one's (the game's end or where the record stops) included: a
    # move's value there is the score of the position it leads to.
    solved: dict[int, tuple[int, tuple[Square, ...]]] = {}
    exact = _solver() if exact_plies else None

    def solution(ply: int) -> tuple[int, tuple[Square, ...]]:
        assert exact is not None
        if ply not in solved:
            solved[ply] = exact(positions[ply])
        return solved[ply]

    reviews: list[MoveReview] = []
    for ply, move in enumerate(game.moves):
        position = positions[ply]
        player = position.player
        best: Value
        played: Value
        if ply >= first_exact:
            best, best_moves = solution(ply)
            played = solution(ply + 1)[0]
        elif engine == "think":
            best, best_moves, played = _thought(position, move, depth)
        else:
            best, best_moves, played = _searched(position, move, depth)
        # A second search may value the move played above the first's best.
        loss = max(best - played if player == BLACK else played - best, 0)
        exact_part = ply >= first_exact
        reviews.append(
            MoveReview(
                ply=ply,
                player=player,
                position=position,
                move=move,
                best_moves=best_moves,
                value=played,
                best_value=best,
                loss=loss,
                mark=exact_mark(int(best), int(played), player)
                if exact_part
                else midgame_mark(loss, discs=engine == "think"),
                exact=exact_part,
                depth=None if exact_part else depth,
            )
        )
        if progress is not None:
            progress(ply + 1, count)
    # Solved already when the last move lies in the exact part.
    final = solved[count][0] if count in solved else None
    return Review(
        game=game, depth=depth, exact_from=exact_from, moves=tuple(reviews), final_score=final, engine=engine
    )
