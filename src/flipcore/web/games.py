"""The game each open page plays: its moves, whose turn it is, passes, undo,
and the record; and the registry that keeps the pages' games apart.

Every rule question goes to Position; this module only keeps the order of
play. Passes are played as soon as they are forced, so that after every
action the side to move either has a legal move or the game is over.
"""

from __future__ import annotations

import secrets
from collections import OrderedDict
from dataclasses import dataclass, field

from flipcore.game import Game
from flipcore.position import BLACK, SIDE_CHARS, Position, Square, square_name

YOU = "you"
ENGINE = "engine"


class Refused(Exception):
    """A request that the game's state does not allow, with the reason
    (answered with status 409 and the message)."""


@dataclass(frozen=True)
class Ply:
    """One step of the game: a move, or a pass (move None), by `side`."""

    side: int
    move: Square | None
    by: str  # "you", "engine" or "record" for moves loaded from a record

    def name(self) -> str:
        return "pass" if self.move is None else square_name(self.move)


@dataclass
class PageGame:
    """A game between the person (playing `human`) and the engine."""

    start: Position
    human: int = BLACK
    plies: list[Ply] = field(default_factory=list)
    positions: list[Position] = field(default_factory=list)

    def __post_init__(self) -> None:
        if not self.positions:
            self.positions = [self.start]
        self._pass_if_forced()

    @property
    def position(self) -> Position:
        return self.positions[-1]

    def turn(self) -> str:
        """"you", "engine" or "over"."""
        if self.position.is_over():
            return "over"
        return YOU if self.position.player == self.human else ENGINE

    def _pass_if_forced(self) -> list[str]:
        """Plays the passes the rules force; says what happened."""
        said = []
        while not self.position.is_over() and not self.position.legal_moves():
            side = self.position.player
            said.append(f"{SIDE_CHARS[side]} has no legal move and passes.")
            self.plies.append(Ply(side, None, "rules"))
            self.positions.append(self.position.pass_())
        return said

    def play(self, move: Square, by: str) -> list[str]:
        """Plays `move` for the side to move; returns the announcements."""
        if self.position.is_over():
            raise Refused("the game is over; start a new game or take a move back")
        if by == YOU and self.turn() != YOU:
            raise Refused("it is the engine's turn, not yours")
        try:
            after = self.position.play(move)
        except ValueError as err:
            raise Refused(str(err)) from None
        self.plies.append(Ply(self.position.player, move, by))
        self.positions.append(after)
        return self._pass_if_forced()

    def undo(self) -> int:
        """Takes back the person's last move and everything after it;
        returns how many plies went."""
        for i in range(len(self.plies) - 1, -1, -1):
            ply = self.plies[i]
            if ply.move is not None and ply.side == self.human:
                taken = len(self.plies) - i
                del self.plies[i:]
                del self.positions[i + 1 :]
                return taken
        raise Refused(f"there is no move of yours ({SIDE_CHARS[self.human]}) to take back")

    def moves(self) -> list[Square]:
        """The moves played, passes left out."""
        return [ply.move for ply in self.plies if ply.move is not None]

    def record(self) -> str:
        """The game's record as Game.record() writes it (the start position's
        text first when the game did not start from the usual one)."""
        return Game(self.start, self.moves()).record()

    @classmethod
    def replay(cls, start: Position, moves: list[Square], human: int) -> PageGame:
        """The game after `moves` from `start` (checked by the caller)."""
        game = cls(start, human)
        for move in moves:
            game.play(move, "record")
        return game


def new_id() -> str:
    return secrets.token_urlsafe(12)


@dataclass
class Page:
    """What the server keeps for one open page."""

    game: PageGame
    depth: int
    seconds: float | None
    engine: str = "think"  # or "minimax" (flipcore.cli.engines.ENGINES)


class PageRegistry:
    """The open pages' games, by id. Bounded: the page used longest ago is
    forgotten when too many are open."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self._pages: OrderedDict[str, Page] = OrderedDict()

    def add(self, page: Page) -> str:
        page_id = new_id()
        self._pages[page_id] = page
        while len(self._pages) > self.limit:
            self._pages.popitem(last=False)
        return page_id

    def get(self, page_id: str) -> Page | None:
        page = self._pages.get(page_id)
        if page is not None:
            self._pages.move_to_end(page_id)
        return page

    def __len__(self) -> int:
        return len(self._pages)
