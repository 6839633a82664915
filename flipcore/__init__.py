"""Exact move search for the two-player 8x8 disc-flipping board game."""

from _flipcore import init, minimax_moves

__all__ = ["init", "minimax_moves"]
