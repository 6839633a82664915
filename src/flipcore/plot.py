"""The value graph of a reviewed game (matplotlib: pip install 'flipcore[plot]').

One point per move: the value of the move played, side 1's (X's) view,
against the move number, so the line stands above the middle while X is
better and below it while O is. A review by think values every move in
discs, read on one axis from the first move to the last, the exact part
shaded. A review by minimax reads the midgame's values, in engine units, on
the left axis and the exact part, shaded, in final discs on the right axis;
both axes put 0 on the same middle line. Marked moves are drawn over
the line in the colour of their mark.

The figure is a plain matplotlib Figure, made without pyplot, so it leaves no
window or global state behind: a notebook shows it, and savefig() writes it.
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

from flipcore.review import BLUNDER, INACCURACY, MISTAKE, Review, _register_plotter

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# The engine scores a finished game beyond +-100000; such values are drawn at
# the edge of the axis rather than squashing the rest of the line.
_FINISHED = 50000.0
MARK_STYLE = {
    INACCURACY: {"color": "#e6b800", "marker": "o", "s": 36},
    MISTAKE: {"color": "#f07800", "marker": "s", "s": 44},
    BLUNDER: {"color": "#d62020", "marker": "X", "s": 80},
}
PLOT_FORMATS = (".png", ".svg")


def _matplotlib_figure() -> type[Figure]:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("the value graph needs matplotlib: pip install 'flipcore[plot]'") from None
    return Figure


def _limit(values: list[float], least: float) -> float:
    """An axis half-height fitting `values` with a margin, at least `least`."""
    finite = [abs(v) for v in values if abs(v) < _FINISHED]
    return max([least, *finite]) * 1.12


def plot_review(review: Review, ax: Any = None) -> Figure:
    """Draws the value graph of `review` into `ax`, or into a new figure;
    returns the figure."""
    figure_class = _matplotlib_figure()
    if ax is None:
        fig = figure_class(figsize=(10, 4.8), layout="constrained")
        ax = fig.add_subplot()
    else:
        fig = ax.figure
    moves = review.moves
    midgame = [m for m in moves if not m.exact]
    exact = [m for m in moves if m.exact]
    count = len(moves)

    ax.set_xlim(0.5, max(count, 1) + 0.5)
    ax.axhline(0, color="#777777", linewidth=0.8)
    ax.set_xlabel("move")
    ax.grid(axis="x", color="#eeeeee")
    result = review.game.result()
    outcome = f": X {result[0]}, O {result[1]}" if result else ""
    ax.set_title(f"Value by move, X above the line, O below ({count} moves{outcome})", fontsize=10, loc="left")

    # think values every move in discs: one axis from the first move to the
    # last, the exact part shaded.
    one_axis = review.engine == "think"
    # Midgame: engine units on the left axis (discs with think).
    mid_limit = _limit([m.value for m in (moves if one_axis else midgame)], 8.0 if one_axis else 100.0)
    ax.set_ylim(-mid_limit, mid_limit)
    if one_axis:
        ax.set_ylabel(f"final disc margin (think, depth {review.depth}; exact where shaded)")
    else:
        ax.set_ylabel(f"engine value (depth {review.depth})" if midgame else "")
    if midgame:
        xs = [m.number for m in midgame]
        ys = [max(-mid_limit, min(mid_limit, float(m.value))) for m in midgame]
        ax.fill_between(xs, ys, 0, where=[y > 0 for y in ys], color="#222222", alpha=0.18, interpolate=True)
        ax.fill_between(xs, ys, 0, where=[y < 0 for y in ys], color="#8fb7e0", alpha=0.35, interpolate=True)
        ax.plot(xs, ys, color="#222222", linewidth=1.4, marker=".", markersize=5, gid="value", label="midgame")
        _marks(ax, midgame, xs, ys)
    ax.text(0.01, 0.97, "X better", transform=ax.transAxes, va="top", fontsize=9, color="#222222")
    ax.text(0.01, 0.03, "O better", transform=ax.transAxes, va="bottom", fontsize=9, color="#3a6ea5")

    # Exact part: final discs on a right axis, over a shaded band.
    if exact:
        first = exact[0].number
        ax.axvspan(first - 0.5, count + 0.5, color="#e8f3e8", zorder=0)
        if one_axis:
            right = ax
        else:
            right = ax.twinx()
            limit = _limit([m.value for m in exact], 8.0)
            right.set_ylim(-limit, limit)
            right.set_ylabel("exact final disc margin")
        xs = [m.number for m in exact]
        ys = [float(m.value) for m in exact]
        right.fill_between(xs, ys, 0, where=[y > 0 for y in ys], color="#222222", alpha=0.18, interpolate=True)
        right.fill_between(xs, ys, 0, where=[y < 0 for y in ys], color="#8fb7e0", alpha=0.35, interpolate=True)
        right.plot(xs, ys, color="#1d7a1d", linewidth=1.8, marker="o", markersize=3.5, gid="value", label="exact")
        _marks(right, exact, xs, ys)
        ax.text(
            (first - 0.5 - ax.get_xlim()[0]) / (ax.get_xlim()[1] - ax.get_xlim()[0]) + 0.005,
            0.97,
            f"exact from move {first}",
            transform=ax.transAxes,
            va="top",
            fontsize=9,
            color="#1d7a1d",
            # Readable where the value line runs through it.
            bbox={"facecolor": "#e8f3e8", "edgecolor": "none", "alpha": 0.85, "pad": 1.5},
            zorder=4,
        )

    handles = [
        ax.scatter([], [], label=mark, edgecolors="black", linewidths=0.5, **style)
        for mark, style in MARK_STYLE.items()
    ]
    fig.legend(handles=handles, loc="outside upper right", ncols=3, fontsize=8, frameon=False)
    return fig


def _marks(ax: Any, moves: list[Any], xs: list[int], ys: list[float]) -> None:
    for mark, style in MARK_STYLE.items():
        points = [(x, y) for m, x, y in zip(moves, xs, ys) if m.mark == mark]
        if points:
            ax.scatter(*zip(*points), zorder=3, edgecolors="black", linewidths=0.5, gid=mark, **style)
    # Blunders are named, so that the graph says who threw what away. An X
    # blunder drops the line and an O one lifts it: the label goes that way,
    # off the line.
    for m, x, y in zip(moves, xs, ys):
        if m.mark == BLUNDER:
            below = m.player == 1
            ax.annotate(
                f"{m.number}. {m.side} {m.name()}",
                (x, y),
                xytext=(0, -13 if below else 9),
                textcoords="offset points",
                ha="center",
                fontsize=7,
                color=MARK_STYLE[BLUNDER]["color"],
            )


def save_plot(review: Review, path: str | Path) -> Path:
    """Writes the value graph to `path`, as PNG or SVG by its ending."""
    path = Path(path)
    if path.suffix.lower() not in PLOT_FORMATS:
        raise ValueError(f"the graph's file name must end in .png or .svg, got {str(path)!r}")
    fig = plot_review(review)
    fig.savefig(path, dpi=110)
    return path


_register_plotter(plot_review)
