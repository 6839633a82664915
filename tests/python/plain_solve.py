"""A plain endgame solver to check flipcore.solve against: full minimax to
the end of the game, passes included, with its own move rules written out
square by square. Slow, so only for positions with few empty squares.

Boards are (own, opp) masks of the side to move and the other side, bit
row * 8 + col; scores are from the side to move's view.
"""

from __future__ import annotations

import random
from collections.abc import Iterable
from functools import lru_cache

from flipcore import Position, Square

DIRECTIONS = [(-1, -1), (0, -1), (1, -1), (-1, 0), (1, 0), (-1, 1), (0, 1), (1, 1)]


def _rays(sq: int) -> list[list[int]]:
    """The squares from `sq` outwards in each direction, nearest first."""
    col, row = sq % 8, sq // 8
    rays = []
    for dc, dr in DIRECTIONS:
        ray = []
        c, r = col + dc, row + dr
        while 0 <= c < 8 and 0 <= r < 8:
            ray.append(r * 8 + c)
            c, r = c + dc, r + dr
        rays.append(ray)
    return rays


RAYS = [_rays(sq) for sq in range(64)]


def flips(own: int, opp: int, sq: int) -> int:
    """The opponent discs a disc on empty square `sq` turns over."""
    turned = 0
    for ray in RAYS[sq]:
        line = 0
        for s in ray:
            if opp >> s & 1:
                line |= 1 << s
            else:
                if own >> s & 1:
                    turned |= line
                break
    return turned


def moves(own: int, opp: int) -> list[tuple[int, int]]:
    """(square, flips) of every legal move, squares ascending."""
    found = []
    empty = ~(own | opp)
    for sq in range(64):
        if empty >> sq & 1:
            turned = flips(own, opp, sq)
            if turned:
                found.append((sq, turned))
    return found


def final_score(own: int, opp: int) -> int:
    """Disc difference at the end, the empty squares going to the winner."""
    diff = bin(own).count("1") - bin(opp).count("1")
    empties = 64 - bin(own | opp).count("1")
    return diff + empties if diff > 0 else diff - empties if diff < 0 else 0


@lru_cache(maxsize=None)
def score(own: int, opp: int) -> int:
    """The side to move's score with perfect play by both sides."""
    mine = moves(own, opp)
    if not mine:
        if not moves(opp, own):
            return final_score(own, opp)
        return -score(opp, own)
    return max(-score(opp ^ turned, own | turned | 1 << sq) for sq, turned in mine)


def move_scores(own: int, opp: int) -> dict[int, int]:
    """Each legal move's score for the side to move."""
    return {sq: -score(opp ^ turned, own | turned | 1 << sq) for sq, turned in moves(own, opp)}


def masks(position: Position) -> tuple[int, int]:
    """(own, opp) of a position, side to move first."""
    black, white = position._black, position._white
    return (black, white) if position.player == 1 else (white, black)


def random_playout(rng: random.Random, empties: int) -> Position:
    """A position reached by random moves from the start once `empties`
    squares are left empty, or earlier if the game ends first."""
    pos = Position.start()
    while 64 - sum(pos.discs()) > empties and not pos.is_over():
        legal = pos.legal_moves()
        pos = pos.play(rng.choice(legal)) if legal else pos.pass_()
    return pos


def playout(seed: int, empties: int) -> Position:
    """random_playout with a fresh generator seeded by `seed`."""
    return random_playout(random.Random(seed), empties)


def replay(position: Position, line: Iterable[Square | None]) -> Position:
    """The position at the end of `line` (None = pass); raises on an illegal step."""
    for move in line:
        position = position.pass_() if move is None else position.play(move)
    return position


def random_fill(rng: random.Random, empties: int) -> Position:
    """A board filled at random, leaving `empties` squares empty, with side
    1's share of the discs drawn anew each time, so that lopsided boards
    (passes, finished games, wipe-outs) come up often."""
    squares = list(range(64))
    rng.shuffle(squares)
    share = rng.choice([0.03, 0.1, 0.3, 0.5, 0.7, 0.9, 0.97])
    black = white = 0
    for sq in squares[empties:]:
        if rng.random() < share:
            black |= 1 << sq
        else:
            white |= 1 << sq
    return Position._from_masks(black, white, rng.choice((1, 2)))
