"""An SVG drawing of a position: a green board with coordinates, black and
white discs, and chosen squares (say, the legal moves) marked with a dot."""

from __future__ import annotations

from collections.abc import Iterable

from flipcore.position import (
    BLACK,
    COLUMN_LETTERS,
    ROW_DIGITS,
    SIDE_CHARS,
    WHITE,
    MoveLike,
    Position,
    PositionLike,
    as_position,
    _register_drawing,
    parse_square,
    square_name,
)

# Drawing units: a margin for the coordinates around 8 squares.
_CELL = 40
_MARGIN = 20
_EXTENT = 2 * _MARGIN + 8 * _CELL

_FRAME = "#1d4a2a"
_GREEN = "#2e8b47"
_LINE = "#123d20"
_LABEL = "#e8f0e8"


def _centre(index: int) -> int:
    return _MARGIN + index * _CELL + _CELL // 2


def svg(position: PositionLike, moves: Iterable[MoveLike] = (), size: int = 360) -> str:
    """The position as an SVG document `size` pixels wide and high, with a dot
    on each square of `moves` ((col, row) tuples or names like "d3")."""
    position = as_position(position)
    if type(size) is not int or size <= 0:
        raise ValueError(f"size must be a positive whole number of pixels, got {size!r}")
    marked = [parse_square(m) if isinstance(m, str) else parse_square(square_name(m)) for m in moves]
    side = "black (X)" if position.player == BLACK else "white (O)"

    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
        f'viewBox="0 0 {_EXTENT} {_EXTENT}">',
        f"<title>{position.text()}: {side} to move</title>",
        f'<rect width="{_EXTENT}" height="{_EXTENT}" fill="{_FRAME}"/>',
        f'<rect x="{_MARGIN}" y="{_MARGIN}" width="{8 * _CELL}" height="{8 * _CELL}" fill="{_GREEN}"/>',
    ]
    for i in range(9):
        at = _MARGIN + i * _CELL
        end = _MARGIN + 8 * _CELL
        parts.append(f'<line x1="{at}" y1="{_MARGIN}" x2="{at}" y2="{end}" stroke="{_LINE}"/>')
        parts.append(f'<line x1="{_MARGIN}" y1="{at}" x2="{end}" y2="{at}" stroke="{_LINE}"/>')

    label = f'font-family="sans-serif" font-size="13" fill="{_LABEL}" text-anchor="middle"'
    for i in range(8):
        letter, digit = COLUMN_LETTERS[i], ROW_DIGITS[i]
        parts.append(f'<text class="coord" x="{_centre(i)}" y="{_MARGIN - 6}" {label}>{letter}</text>')
        parts.append(f'<text class="coord" x="{_MARGIN // 2}" y="{_centre(i) + 5}" {label}>{digit}</text>')

    for row, cells in enumerate(position.board):
        for col, code in enumerate(cells):
            if code == BLACK:
                fill, stroke = "#111111", "#000000"
            elif code == WHITE:
                fill, stroke = "#f4f4f4", "#555555"
            else:
                continue
            parts.append(
                f'<circle class="disc {SIDE_CHARS[code]}" cx="{_centre(col)}" cy="{_centre(row)}" '
                f'r="{_CELL * 2 // 5}" fill="{fill}" stroke="{stroke}" stroke-width="1.5"/>'
            )

    for col, row in marked:
        parts.append(
            f'<circle class="move" cx="{_centre(col)}" cy="{_centre(row)}" r="{_CELL // 8}" '
            f'fill="#000000" fill-opacity="0.35"/>'
        )
    parts.append("</svg>")
    return "\n".join(parts)


def _notebook_drawing(position: Position) -> str:
    """The drawing notebooks show for a position: its legal moves marked."""
    return svg(position, moves=position.legal_moves())


_register_drawing(_notebook_drawing)
