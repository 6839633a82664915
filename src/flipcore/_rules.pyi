"""Type stub of flipcore._rules (module/rules.cpp).

A position is two 64-bit masks, side 1's discs and side 2's discs, with bit
row * 8 + col standing for square (col, row), and the side to move, 1 or 2.
"""

def legal_moves(black: int, white: int, player: int, /) -> int:
    """Mask of the squares where `player` may place a disc"""

def play(black: int, white: int, player: int, sq: int, /) -> tuple[int, int]:
    """(black, white) after `player` places on square `sq`; ValueError if illegal"""

def discs(black: int, white: int, /) -> tuple[int, int]:
    """(side-1 discs, side-2 discs) counted"""
