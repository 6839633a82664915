"""A short analysis of the start position: ``python -m flipcore``."""

import time

from _flipcore import init, minimax_moves

START = [[0] * 8 for _ in range(8)]
START[3][3], START[3][4], START[4][3], START[4][4] = 2, 1, 1, 2


def main() -> None:
    init()
    for depth in range(1, 9):
        began = time.perf_counter()
        result = minimax_moves(START, 1, depth, float("-inf"), float("inf"))
        seconds = time.perf_counter() - began
        print(f"depth {depth}: value {result['val']:.6f}  moves {result['moves']}  ({seconds:.3f} s)")


if __name__ == "__main__":
    main()
