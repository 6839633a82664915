"""Per-stage least-squares fits of the pattern evaluation, and the small
baseline model it is checked against.

The target is the side to move's final disc difference. Each stage s (its
positions' empty squares given by `stage_of_empties`) is fitted on the
positions whose empty squares lie within its own range widened by `overlap`
on each side, so that neighbouring stages share data and their weights do not
jump. A configuration's weight is shared by the configurations that one of
its instance's own self-symmetries maps it onto (Group.canonical), so the
evaluation is the same in all 8 orientations of a position; the 3 global
features (bias, mobility, parity) follow the patterns. The fit is
scipy.sparse.linalg.lsqr with damping (ridge): configurations never seen
stay at 0.

Held-out data are whole games (game id % HOLDOUT_MOD == HOLDOUT_REST), never
single positions of a game that is trained on. The baseline is ordinary least
squares on 5 features (bias, disc difference, mobility difference, corner
difference, parity) per stage, on the same rows.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
import scipy.sparse as sp
from scipy.sparse.linalg import lsqr

from training.features import Group, baseline_features, global_features, pattern_indices

SCALE = 64  # weight units per disc in the exported file
N_GLOBAL = 3
HOLDOUT_MOD = 10
HOLDOUT_REST = 9
L1_FLOOR = 1.0  # discs: residuals below it weigh as much as it in the l1 rounds


def default_stages(width: int = 4) -> np.ndarray:
    """stage_of_empties for e = 0..60: stages `width` empties wide, the last
    one taking what is left over (e = 60 joins the stage of 59)."""
    return np.array([min(e, 59) // width for e in range(61)], dtype=np.int64)


def is_held_out(game: np.ndarray) -> np.ndarray:
    return np.asarray(game) % HOLDOUT_MOD == HOLDOUT_REST


@dataclass
class Columns:
    """The fit's columns: one per (group, canonical configuration) seen in any
    group, then the global features."""

    groups: list[Group]
    offsets: list[int] = field(init=False)
    to_column: list[np.ndarray] = field(init=False)  # per group: index -> column
    n_pattern: int = field(init=False)

    def __post_init__(self) -> None:
        self.offsets, self.to_column = [], []
        at = 0
        for g in self.groups:
            classes, column = np.unique(g.canonical, return_inverse=True)
            self.offsets.append(at)
            self.to_column.append(at + column)
            at += len(classes)
        self.n_pattern = at

    @property
    def n(self) -> int:
        return self.n_pattern + N_GLOBAL

    def design(self, black: np.ndarray, white: np.ndarray, player: np.ndarray) -> sp.csr_matrix:
        """The sparse design matrix of the positions: a 1 in each instance's
        configuration's column, then the global features."""
        idx = pattern_indices(self.groups, black, white, player)
        cols = []
        k = 0
        for g, column in zip(self.groups, self.to_column):
            for _ in g.instances:
                cols.append(column[idx[:, k]])
                k += 1
        n = len(black)
        pattern_cols = np.stack(cols, axis=1)
        glob = global_features(black, white, player)
        all_cols = np.concatenate([pattern_cols, self.n_pattern + np.tile(np.arange(N_GLOBAL), (n, 1))], axis=1)
        data = np.concatenate([np.ones(pattern_cols.shape), glob], axis=1)
        width = all_cols.shape[1]
        indptr = np.arange(0, n * width + 1, width)
        # Two instances of a group can share a column in one position; the
        # CSR matrix sums duplicates when used, which is what the model means.
        return sp.csr_matrix((data.ravel(), all_cols.ravel(), indptr), shape=(n, self.n))

    def tables(self, solution: np.ndarray) -> tuple[list[np.ndarray], np.ndarray]:
        """Per group, the weight of every index (in discs); the globals."""
        return [solution[column] for column in self.to_column], solution[self.n_pattern :]


@dataclass
class Data:
    """Labelled positions: masks, side to move, empties, label (side to
    move's final disc difference), game id."""

    black: np.ndarray
    white: np.ndarray
    player: np.ndarray
    empties: np.ndarray
    score: np.ndarray
    game: np.ndarray

    def take(self, mask: np.ndarray) -> "Data":
        return Data(*(getattr(self, f)[mask] for f in ("black", "white", "player", "empties", "score", "game")))

    def __len__(self) -> int:
        return len(self.score)


@dataclass
class StageFit:
    stage: int
    empties: tuple[int, int]
    train_rows: int
    test_rows: int
    tables: list[np.ndarray]  # discs, per group, every index
    globals_: np.ndarray  # discs
    baseline: np.ndarray
    mae: float  # held out, the model as exported (fixed point)
    mae_float: float
    mae_baseline: float
    seconds: float


def stage_range(stages: np.ndarray, s: int) -> tuple[int, int]:
    es = np.flatnonzero(stages == s)
    return int(es.min()), int(es.max())


def fit_stage(
    data: Data,
    columns: Columns,
    stages: np.ndarray,
    s: int,
    overlap: int = 2,
    damp: float = 3.0,
    iterations: int = 300,
    l1_rounds: int = 0,
) -> StageFit:
    import time

    began = time.perf_counter()
    lo, hi = stage_range(stages, s)
    held = is_held_out(data.game)
    window = (data.empties >= lo - overlap) & (data.empties <= hi + overlap)
    train = data.take(window & ~held)
    test = data.take(held & (data.empties >= lo) & (data.empties <= hi))
    n_cols = columns.n
    if len(train) == 0:
        zero = [np.zeros(3**g.size) for g in columns.groups]
        return StageFit(s, (lo, hi), 0, len(test), zero, np.zeros(N_GLOBAL), np.zeros(5),
                        float("nan"), float("nan"), float("nan"), 0.0)
    a = columns.design(train.black, train.white, train.player)
    y = train.score.astype(np.float64)
    solution = lsqr(a, y, damp=damp, iter_lim=iterations, atol=1e-8, btol=1e-8)[0]
    # Least absolute deviations by reweighting: each round weighs a row by
    # 1 / |residual| (at least L1_FLOOR discs), so that the fit moves towards
    # the conditional median, which is what a mean absolute error rewards.
    # The weights are scaled to a mean of 1 so that the damping keeps its
    # strength against the data.
    for _ in range(l1_rounds):
        w = 1.0 / np.maximum(np.abs(a @ solution - y), L1_FLOOR)
        root = np.sqrt(w / w.mean())
        solution = lsqr(sp.diags(root) @ a, root * y, damp=damp, iter_lim=iterations, atol=1e-8, btol=1e-8,
                        x0=solution)[0]
    assert solution.shape == (n_cols,)
    tables, globals_ = columns.tables(solution)
    fb = baseline_features(train.black, train.white, train.player)
    baseline = np.linalg.lstsq(fb, y, rcond=None)[0]

    mae = mae_float = mae_base = float("nan")
    if len(test):
        t = test.score.astype(np.float64)
        at = columns.design(test.black, test.white, test.player)
        mae_float = float(np.mean(np.abs(at @ solution - t)))
        w16 = [quantise(x) for x in tables]
        g16 = quantise(globals_)
        mae = float(np.mean(np.abs(evaluate(columns.groups, w16, g16, test.black, test.white, test.player) - t)))
        mae_base = float(np.mean(np.abs(baseline_features(test.black, test.white, test.player) @ baseline - t)))
    return StageFit(s, (lo, hi), len(train), len(test), tables, globals_, baseline, mae, mae_float, mae_base,
                    time.perf_counter() - began)


def quantise(discs: np.ndarray) -> np.ndarray:
    """Weights in discs as the file's int16 fixed point (SCALE units a disc),
    rounded and clipped."""
    return np.clip(np.rint(np.asarray(discs) * SCALE), -32767, 32767).astype(np.int16)


def evaluate(
    groups: list[Group],
    weights: list[np.ndarray],
    globals_: np.ndarray,
    black: np.ndarray,
    white: np.ndarray,
    player: np.ndarray,
) -> np.ndarray:
    """The evaluation of one stage's fixed-point weights, in discs: (sum of
    the instances' weights + globals . features) / SCALE."""
    idx = pattern_indices(groups, black, white, player)
    total = np.zeros(len(idx), dtype=np.int64)
    k = 0
    for g, table in zip(groups, weights):
        for _ in g.instances:
            total += table[idx[:, k]].astype(np.int64)
            k += 1
    feats = global_features(black, white, player).astype(np.int64)
    total += feats @ np.asarray(globals_, dtype=np.int64)
    return total / SCALE
