"""Pattern indices and global features of many positions at once, in numpy.

The pattern groups and their instances come from the engine
(flipcore._think.pattern_groups()), so that there is one definition of them.
An instance's index, from the side to move's point of view, is
sum_j digit_j * 3**j with digit_j 0 (square j of the instance empty), 1 (the
side to move's disc) or 2 (the opponent's).

Positions are given as numpy arrays: `black`, `white` (uint64 masks, bit
row * 8 + col) and `player` (1 or 2).
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cached_property

import numpy as np

from flipcore.position import SYMMETRIES  # the board's 8, in the engine's order


def map_square(symmetry: int, sq: int) -> int:
    c, r = SYMMETRIES[symmetry](sq % 8, sq // 8)
    return r * 8 + c


@dataclass(frozen=True)
class Group:
    name: str
    size: int
    instances: tuple[tuple[int, ...], ...]

    @cached_property
    def self_permutations(self) -> tuple[tuple[int, ...], ...]:
        """The orderings of the instance's own squares by the board symmetries
        that map its square set onto itself: perm[j] is the position in the
        instance's order of the image of its square j. The identity first."""
        base = self.instances[0]
        where = {sq: j for j, sq in enumerate(base)}
        perms = []
        for t in range(8):
            image = [map_square(t, sq) for sq in base]
            if set(image) == set(base):
                perm = tuple(where[sq] for sq in image)
                if perm not in perms:
                    perms.append(perm)
        return tuple(perms)

    @cached_property
    def canonical(self) -> np.ndarray:
        """For each index (0 to 3**size - 1), the smallest index that one of
        the instance's self-symmetries maps it to: configurations with the
        same canonical index share one weight."""
        n = 3**self.size
        digits = (np.arange(n)[:, None] // 3 ** np.arange(self.size)[None, :]) % 3
        powers = 3 ** np.arange(self.size)
        best = np.arange(n)
        for perm in self.self_permutations:
            moved = np.zeros(n, dtype=np.int64)
            # Square j's digit goes to position perm[j].
            for j, target in enumerate(perm):
                moved += digits[:, j] * powers[target]
            best = np.minimum(best, moved)
        return best


def symmetric_group(name: str, squares: tuple[int, ...]) -> Group:
    """The group of `squares` (in digit order) and their distinct images
    under the board's eight symmetries, in the symmetries' order."""
    seen: set[frozenset[int]] = set()
    instances = []
    for t in range(8):
        image = tuple(map_square(t, sq) for sq in squares)
        if frozenset(image) not in seen:
            seen.add(frozenset(image))
            instances.append(image)
    return Group(name, len(squares), tuple(instances))


def pattern_groups() -> list[Group]:
    """The engine's pattern groups, in its order."""
    try:
        from flipcore import _think
    except ImportError as err:
        raise RuntimeError(
            "the pattern groups come from flipcore._think.pattern_groups(); rebuild the package with it"
        ) from err
    return [Group(name, size, tuple(tuple(int(s) for s in inst) for inst in insts))
            for name, size, insts in _think.pattern_groups()]


_SQUARES = np.arange(64, dtype=np.uint64)


def digits_of(black: np.ndarray, white: np.ndarray, player: np.ndarray) -> np.ndarray:
    """(n, 64) int64: 0 empty, 1 the side to move's disc, 2 the opponent's."""
    black = np.asarray(black, dtype=np.uint64)
    white = np.asarray(white, dtype=np.uint64)
    black_moves = (np.asarray(player) == 1)[:, None]
    b = ((black[:, None] >> _SQUARES) & np.uint64(1)).astype(np.int64)
    w = ((white[:, None] >> _SQUARES) & np.uint64(1)).astype(np.int64)
    return np.where(black_moves, b + 2 * w, w + 2 * b)


def instance_matrix(groups: list[Group]) -> np.ndarray:
    """(64, n_instances) int64: 3**j at (square j of the instance, instance),
    so that digits @ matrix gives every instance's index."""
    instances = [inst for g in groups for inst in g.instances]
    m = np.zeros((64, len(instances)), dtype=np.int64)
    for k, inst in enumerate(instances):
        for j, sq in enumerate(inst):
            m[sq, k] = 3**j
    return m


def pattern_indices(groups: list[Group], black: np.ndarray, white: np.ndarray, player: np.ndarray) -> np.ndarray:
    """(n, n_instances) int64: each instance's index, instances in the groups'
    order."""
    return digits_of(black, white, player) @ instance_matrix(groups)


# Legal moves of many positions: the usual shift-and-mask flood in each of
# the 8 directions, on uint64 arrays.
_NOT_A = np.uint64(0xFEFEFEFEFEFEFEFE)  # a square with a column to its left
_NOT_H = np.uint64(0x7F7F7F7F7F7F7F7F)
_DIRECTIONS = ((1, _NOT_A), (-1, _NOT_H), (8, None), (-8, None), (9, _NOT_A), (7, _NOT_H), (-7, _NOT_A), (-9, _NOT_H))


def _shift(x: np.ndarray, step: int, mask: np.uint64 | None) -> np.ndarray:
    x = x << np.uint64(step) if step > 0 else x >> np.uint64(-step)
    return x & mask if mask is not None else x


def legal_masks(own: np.ndarray, opp: np.ndarray) -> np.ndarray:
    """uint64 masks of the squares where the owner of `own` may play."""
    own = np.asarray(own, dtype=np.uint64)
    opp = np.asarray(opp, dtype=np.uint64)
    empty = ~(own | opp)
    moves = np.zeros_like(own)
    for step, mask in _DIRECTIONS:
        run = _shift(own, step, mask) & opp
        for _ in range(5):
            run |= _shift(run, step, mask) & opp
        moves |= _shift(run, step, mask) & empty
    return moves


def global_features(black: np.ndarray, white: np.ndarray, player: np.ndarray) -> np.ndarray:
    """(n, 3) float64: bias 1, mobility (side to move's legal moves minus the
    opponent's), parity (1 when the number of empty squares is odd)."""
    black = np.asarray(black, dtype=np.uint64)
    white = np.asarray(white, dtype=np.uint64)
    black_moves = np.asarray(player) == 1
    own = np.where(black_moves, black, white)
    opp = np.where(black_moves, white, black)
    mobility = np.bitwise_count(legal_masks(own, opp)).astype(np.int64) - np.bitwise_count(legal_masks(opp, own))
    empties = 64 - np.bitwise_count(black | white).astype(np.int64)
    return np.stack([np.ones(len(black)), mobility.astype(np.float64), (empties % 2).astype(np.float64)], axis=1)


def baseline_features(black: np.ndarray, white: np.ndarray, player: np.ndarray) -> np.ndarray:
    """The small model's features, (n, 5): bias, disc difference, mobility
    difference, corner difference (each from the side to move's view) and
    parity."""
    black = np.asarray(black, dtype=np.uint64)
    white = np.asarray(white, dtype=np.uint64)
    black_moves = np.asarray(player) == 1
    own = np.where(black_moves, black, white)
    opp = np.where(black_moves, white, black)
    corners = np.uint64(0x8100000000000081)
    disc = np.bitwise_count(own).astype(np.int64) - np.bitwise_count(opp)
    corner = np.bitwise_count(own & corners).astype(np.int64) - np.bitwise_count(opp & corners)
    g = global_features(black, white, player)
    return np.stack([g[:, 0], disc, g[:, 1], corner, g[:, 2]], axis=1).astype(np.float64)


def orient(symmetry: int, mask: np.ndarray) -> np.ndarray:
    """Masks mapped by one of the 8 board symmetries (square by square)."""
    mask = np.asarray(mask, dtype=np.uint64)
    out = np.zeros_like(mask)
    for sq in range(64):
        bit = (mask >> np.uint64(sq)) & np.uint64(1)
        out |= bit << np.uint64(map_square(symmetry, sq))
    return out
