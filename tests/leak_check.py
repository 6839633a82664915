"""A few hundred calls through every path of _flipcore, for leak checks.

Covers answers, refused arguments (ValueError, TypeError), searches stopped
by a signal, init(), and the table's memory ceiling. Run twice by tests/run_sanitizers.sh:

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


def interrupted_search(seconds):
    """Starts a search far too deep to finish and stops it with SIGALRM,
    handled like Ctrl-C.

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
        _flipcore.minimax_moves(MIDGAME, 1, 30, -INF, INF)
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
    return calls


def main():
    # Python objects that the module fails to release stay on the
    # interpreter's own heap, where valgrind sees the container ones as
    # reachable through the garbage collector's lists; the interpreter's
    # count of allocated blocks sees them all. It is 0 when the interpreter
    # runs on plain malloc, as it does under valgrind.
    one_round(0)
    one_round(1)
    gc.collect()
    before = sys.getallocatedblocks()
    calls = 0
    for round_ in range(60):
        calls += one_round(round_)
    for _ in range(3):
        if not interrupted_search(0.5):
            sys.exit("the search was not interrupted")
        calls += 1
    gc.collect()
    grown = sys.getallocatedblocks() - before
    print(f"leak_check: {calls} calls, {grown} more blocks allocated")
    if grown > 50:
        sys.exit("the interpreter's heap grew with the number of calls")


if __name__ == "__main__":
    main()
