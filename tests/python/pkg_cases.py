"""Positions in text form that several test files use."""

START_BOARD = "-" * 27 + "OX" + "-" * 6 + "XO" + "-" * 27
START_TEXT = START_BOARD + " X"
# X (black) has discs but no move; O can take c1 and end the game.
MUST_PASS_TEXT = "OX" + "-" * 62 + " X"
