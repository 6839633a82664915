"""A few hundred calls through every path of _flipcore and of the solver's
binding, for leak checks.

Covers answers, refused arguments (ValueError, TypeError), searches stopped
by a signal, init(), the table's memory ceiling, and solves in every mode,
stopped by a signal or by a progress callback that raises. Run twice by tests/run_sanitizers.sh:

    python3 tests/leak_check.py
        fails when the interpreter's count of allocated blocks grows with
        the number of calls (Python objects the module never releases);
    PYTHONMALLOC=malloc valgrind --leak-check=full python3 tests/leak_check.py
        for memory the C++ side loses, and memory errors.
"""

import gc
import math
import signal
import sys
import threading

import _flipcore
import _solver  # flipcore._solver, built beside _flipcore in the build folder

INF = math.inf

START = [[0] * 8 for _ in range(8)]
START[3][3], START[3][4], START[4][3], START[4][4] = 2, 1, 1, 2

MIDGAME = [
    [0, 0, 0, 0, 0, 0, 0, 0],
    [0, 0, 0, 0, 0, 0, 0, 0],
    [0, 0, 1, 1, 0, 1, 0, 0],
    [0, 0, 2, 2, 1, 2, 2, 0],
    [0, 0, 2, 1, 2, 2, 0, 0],
    [0, 0, 2, 0, 2, 2, 1, 0],
    [0, 0, 2, 1, 0, 0, 2, 0],
    [0, 0, 0, 0, 1, 0, 0, 0],
]

BAD_CALLS = [
    ([[0] * 8] * 7, 1, 1, -INF, INF),  # short board
    ([[0] * 7] * 8, 1, 1, -INF, INF),  # short row
    ([[3] * 8] * 8, 1, 1, -INF, INF),  # bad cell
    (START, 3, 1, -INF, INF),  # bad player
    (START, 1, -1, -INF, INF),  # negative depth
    (START, 1, 2**40, -INF, INF),  # depth beyond int
    ("board", 1, 1, -INF, INF),  # not a sequence of sequences
    ([[None] * 8] * 8, 1, 1, -INF, INF),  # not integers
]

# An endgame with 20 empty squares, and the same with 10 of them filled, as
# (black, white) masks with X to move.
ENDGAME_TEXT = "O--OOOOX-OOOOOOXOOXXOOOXOOXOOOXXOOOOOOXX---OOOOX----O--X-------- X"


def masks(board_text, fill=0):
    black = white = 0
    for sq, char in enumerate(board_text[:64]):
        if char == "-" and fill > 0:
            char = "XO"[fill % 2]
            fill -= 1
        black |= (char == "X") << sq
        white |= (char == "O") << sq
    return black, white


ENDGAME_20 = masks(ENDGAME_TEXT)
ENDGAME_10 = masks(ENDGAME_TEXT, fill=10)

BAD_SOLVES = [
    (1, 1, 1, "exact"),  # overlapping masks
    (1, 2, 3, "exact"),  # bad player
    (1, 2, 1, "fast"),  # unknown mode
    (-1, 2, 1, "exact"),  # not a mask
    ("x", 2, 1, "exact"),  # not an integer
]


class Stop(Exception):
    pass


def stop_at_once(lower, upper):
    raise Stop


def solver_round():
    """Solves of every kind and refused ones; returns how many calls."""
    calls = 0
    for mode in ("exact", "wld", "every_move"):
        for player in (1, 2):
            _solver.solve(*ENDGAME_10, player, mode)
            _solver.solve(*ENDGAME_10, player, mode, lambda lower, upper: None)
            calls += 2
    for args in BAD_SOLVES:
        try:
            _solver.solve(*args)
        except (TypeError, ValueError):
            calls += 1
        else:
            sys.exit(f"solve accepted {args!r}")
    try:
        _solver.solve(*ENDGAME_20, 1, "exact", stop_at_once)
    except Stop:
        calls += 1
    else:
        sys.exit("a raising progress callback did not stop the solve")
    return calls


def interrupted(call, seconds):
    """Runs `call`, which must last longer than `seconds`, and stops it with
    SIGALRM handled like Ctrl-C; True when it was stopped.

    The signal is taken by an idle helper thread, the main thread blocking
    it: valgrind cannot always grow the stack of a thread that is deep in a
    search to deliver a signal there. The Python handler still runs in the
    main thread, from the search's own check."""
    idle = threading.Event()
    helper = threading.Thread(target=idle.wait)
    helper.start()
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        call()
    except KeyboardInterrupt:
        return True
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGALRM})
        idle.set()
        helper.join()
    return False


def one_round(round_):
    """Calls of every kind; returns how many."""
    calls = 0
    _flipcore.init()
    for depth in range(4):
        for board, player in ((START, 1), (START, 2), (MIDGAME, 1 + round_ % 2)):
            _flipcore.minimax_moves(board, player, depth, -INF, INF)
            calls += 1
    _flipcore.minimax_moves(START, 1, 3, -5.0, 5.0)
    calls += 1
    for args in BAD_CALLS:
        try:
            _flipcore.minimax_moves(*args)
        except (TypeError, ValueError):
            calls += 1
        else:
            sys.exit(f"accepted {args!r}")
    try:
        _flipcore.init(0)
    except TypeError:
        calls += 1
    else:
        sys.exit("init(0) accepted")
    # The table's ceiling: arrays given back by init() under a lowered one,
    # a refused growth, and a refused limit.
    _flipcore._table_memory(30000)  # room for the first array only
    _flipcore.init()
    try:
        _flipcore.minimax_moves(START, 1, 7, -INF, INF)
    except MemoryError:
        calls += 1
    else:
        sys.exit("a search passed the table's ceiling")
    _flipcore._table_memory(0)
    try:
        _flipcore._table_memory(-1)
    except ValueError:
        calls += 1
    else:
        sys.exit("a negative table limit was accepted")
    calls += solver_round()
    return calls


def main():
    # Python objects that the module fails to release stay on the
    # interpreter's own heap, where valgrind sees the container ones as
    # reachable through the garbage collector's lists; the interpreter's
    # count of allocated blocks sees them all. It is 0 when the interpreter
    # runs on plain malloc, as it does under valgrind.
    _solver.set_table_bytes(1 << 20)  # small, for valgrind's sake
    one_round(0)
    one_round(1)
    gc.collect()
    before = sys.getallocatedblocks()
    calls = 0
    for round_ in range(60):
        calls += one_round(round_)
    for _ in range(3):
        if not interrupted(lambda: _flipcore.minimax_moves(MIDGAME, 1, 30, -INF, INF), 0.5):
            sys.exit("the search was not interrupted")
        if not interrupted(lambda: _solver.solve(*masks("-" * 27 + "OX------XO" + "-" * 27), 1, "exact"), 0.5):
            sys.exit("the solve was not interrupted")
        calls += 2
    gc.collect()
    grown = sys.getallocatedblocks() - before
    print(f"leak_check: {calls} calls, {grown} more blocks allocated")
    if grown > 50:
        sys.exit("the interpreter's heap grew with the number of calls")


if __name__ == "__main__":
    main()
