"""_flipcore under faults and hostile input: signals during a search, memory
running out, arbitrary arguments, and the symmetries every search must keep.

Signal and memory tests run the search in a child interpreter, so that a
search that fails to stop, or a process that dies, fails the test instead of
hanging or killing the test run.
"""

import json
import math
import os
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _flipcore
from flipcore.position import SYMMETRIES  # the eight rotations and reflections

# When a property fails, hypothesis imports libcst to suggest a patch; where
# that import warns, the warnings-are-errors setting would turn the report
# of the failure into an internal error. Import it quietly up front.
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import libcst  # noqa: F401
    except ImportError:
        pass

INF = math.inf


def start_board():
    board = [[0] * 8 for _ in range(8)]
    board[3][3], board[3][4], board[4][3], board[4][4] = 2, 1, 1, 2
    return board


# Twenty plies into a game, side 1 to move: a depth-12 search takes seconds,
# depth 14 minutes.
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

START_DEPTH4 = {"moves": [(3, 2), (2, 3), (5, 4), (4, 5)], "val": -5.617777777777775}

# A Ctrl-C must stop a search within 250 ms; the rest is room for a loaded
# machine to schedule the child.
STOP_LATENCY = 0.25 + 0.5


def fresh_result(board, player, depth):
    _flipcore.init()
    return _flipcore.minimax_moves(board, player, depth, -INF, INF)


def as_lists(result):
    """A result as it reads back from JSON."""
    return {"moves": [list(m) for m in result["moves"]], "val": result["val"]}


# ------------------------------------------------------------ child processes

CHILD_PRELUDE = f"""
import json, math, signal, sys, time
sys.path.insert(0, {os.path.dirname(_flipcore.__file__)!r})
import _flipcore
INF = math.inf
MIDGAME = {MIDGAME!r}
START = {start_board()!r}
def report(**values):
    print(json.dumps(values), flush=True)
"""


def run_child(body, *, signal_after=None, signum=signal.SIGINT, timeout=120):
    """Runs body in a child interpreter with the module loaded, and returns
    what it reported last (a JSON line). With signal_after, the child must
    print "searching" right before a search; the signal is sent that many
    seconds later, and the CLOCK_MONOTONIC time of sending is returned too."""
    code = CHILD_PRELUDE + textwrap.dedent(body)
    proc = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    sent = None
    try:
        if signal_after is not None:
            line = proc.stdout.readline()
            assert line == "searching\n", line + proc.stderr.read()
            time.sleep(signal_after)
            sent = time.monotonic()
            proc.send_signal(signum)
        out, err = proc.communicate(timeout=timeout)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, f"child exited with {proc.returncode}:\n{err}"
    return json.loads(out.strip().splitlines()[-1]), sent


# ------------------------------------------------------------ signals


class TestSignals:
    def test_ctrl_c_stops_a_search_and_leaves_a_valid_table(self):
        # The interrupted search is searched again on the table it left, then
        # on a fresh one: entries it stored are completed results, so both
        # answer alike. The start position lies outside the interrupted tree
        # and must be unaffected by it.
        got, sent = run_child(
            """
            print("searching", flush=True)
            try:
                _flipcore.minimax_moves(MIDGAME, 1, 12, -INF, INF)
                report(finished=True)
                sys.exit(0)
            except KeyboardInterrupt:
                stopped = time.monotonic()
            again = _flipcore.minimax_moves(MIDGAME, 1, 12, -INF, INF)
            start = _flipcore.minimax_moves(START, 1, 4, -INF, INF)
            _flipcore.init()
            fresh = _flipcore.minimax_moves(MIDGAME, 1, 12, -INF, INF)
            report(stopped=stopped, again=again, start=start, fresh=fresh)
            """,
            signal_after=0.3,
        )
        assert "finished" not in got, "the depth-12 search ended before Ctrl-C reached it"
        assert got["stopped"] - sent < STOP_LATENCY
        assert got["again"] == got["fresh"]
        assert got["start"] == as_lists(START_DEPTH4)

    def test_exception_of_a_custom_handler_is_raised(self):
        got, sent = run_child(
            """
            def handler(signum, frame):
                raise LookupError("raised by the handler")
            signal.signal(signal.SIGINT, handler)
            print("searching", flush=True)
            try:
                _flipcore.minimax_moves(MIDGAME, 1, 14, -INF, INF)
                report(finished=True)
            except LookupError as e:
                report(stopped=time.monotonic(), message=str(e))
            """,
            signal_after=0.2,
            timeout=30,
        )
        assert got.get("message") == "raised by the handler"
        assert got["stopped"] - sent < STOP_LATENCY

    def test_search_inside_a_handler_leaves_the_outer_one_stoppable(self):
        # A handler may itself search (the table is shared, but no node holds
        # on to it across the check). Afterwards the outer search must still
        # answer signals: a second alarm, handled like Ctrl-C, stops it.
        inner = []

        def first_alarm(signum, frame):
            inner.append(_flipcore.minimax_moves(start_board(), 1, 2, -INF, INF))
            signal.signal(signal.SIGALRM, signal.default_int_handler)
            signal.setitimer(signal.ITIMER_REAL, 0.1)

        previous = signal.signal(signal.SIGALRM, first_alarm)
        try:
            _flipcore.init()
            signal.setitimer(signal.ITIMER_REAL, 0.1)
            started = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                _flipcore.minimax_moves(MIDGAME, 1, 13, -INF, INF)
            elapsed = time.monotonic() - started
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert inner == [{"moves": [(3, 2), (2, 3), (5, 4), (4, 5)], "val": -14.566666666666666}]
        assert elapsed < 0.2 + STOP_LATENCY

    def test_handler_that_returns_lets_the_search_finish(self):
        # A handler that raises nothing is run from inside the search (many
        # times, not once after it) and the search goes on to the answer it
        # gives undisturbed.
        expected = fresh_result(MIDGAME, 1, 11)
        runs = []
        previous = signal.signal(signal.SIGALRM, lambda signum, frame: runs.append(signum))
        try:
            _flipcore.init()
            signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
            got = _flipcore.minimax_moves(MIDGAME, 1, 11, -INF, INF)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert got == expected
        assert len(runs) >= 5


# ------------------------------------------------------------ memory


def test_memory_error_under_an_address_space_limit():
    # Deeper and deeper searches fill the table until, with little address
    # space left, its growth fails: the call raises MemoryError and the
    # process goes on. A full table cannot take a new entry, so until init()
    # only answers already stored come back, and they must come back intact
    # from the table that stayed; after init() searches answer right again.
    expected = fresh_result(MIDGAME, 1, 6)
    got, _ = run_child(
        """
        import re, resource
        status = open("/proc/self/status").read()
        used = int(re.search(r"VmSize:\\s+(\\d+) kB", status).group(1)) * 1024
        limit = used + (24 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        before = []
        try:
            for depth in range(1, 40):
                before.append(_flipcore.minimax_moves(MIDGAME, 1, depth, -INF, INF))
        except MemoryError:
            pass
        stored = [_flipcore.minimax_moves(MIDGAME, 1, d + 1, -INF, INF) for d in range(len(before))]
        _flipcore.init()
        after_init = _flipcore.minimax_moves(MIDGAME, 1, 6, -INF, INF)
        report(before=before, stored=stored, after_init=after_init)
        """
    )
    assert 6 <= len(got["before"]) < 39, "the table never ran out of memory"
    # Every request up to the deepest completed one is answered by the root
    # entry that search stored, exact and deep enough.
    assert got["stored"] == [got["before"][-1]] * len(got["before"])
    assert got["after_init"] == as_lists(expected)


# ------------------------------------------------------------ hostile arguments

# A good call that no fuzzed board's search can reach: it must keep its
# answer whatever the calls before it did to the table.
GOOD_CALL = (MIDGAME, 1, 3, -INF, INF)


@pytest.fixture(scope="module")
def good_answer():
    return fresh_result(*GOOD_CALL[:3])


not_integers = st.one_of(
    st.none(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.just(math.nan),
    st.text(max_size=8),
    st.binary(max_size=8),
)
scalars = st.one_of(
    not_integers,
    st.booleans(),
    st.integers(),
    st.integers(min_value=-(2**80), max_value=2**80),
)
nested = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=9) | st.tuples(inner, inner), max_leaves=12
)
codes = st.sampled_from([0, 1, 2])
cells = st.one_of(codes, codes, codes, scalars)
rows = st.one_of(
    st.lists(cells, min_size=7, max_size=10),
    st.lists(cells, min_size=7, max_size=10).map(tuple),
    nested,
)
good_rows = st.lists(codes, min_size=8, max_size=10)
good_boards = st.lists(good_rows | good_rows.map(tuple), min_size=8, max_size=10)


@st.composite
def damaged_boards(draw):
    """A good board with one flaw: a short row, a bad cell, rows missing, or
    a row of anything."""
    board = [list(row) for row in draw(good_boards)]
    r = draw(st.integers(min_value=0, max_value=len(board) - 1))
    flaw = draw(st.sampled_from(["short row", "cell", "rows missing", "row"]))
    if flaw == "short row":
        board[r] = board[r][: 7 - draw(st.integers(min_value=0, max_value=7))]  # one short, most often
    elif flaw == "cell":
        board[r][draw(st.integers(min_value=0, max_value=len(board[r]) - 1))] = draw(scalars)
    elif flaw == "rows missing":
        board = board[: 7 - draw(st.integers(min_value=0, max_value=7))]
    else:
        board[r] = draw(nested)
    return board


boards = st.one_of(
    damaged_boards(),
    good_boards.map(tuple),
    st.lists(rows, min_size=7, max_size=10),
    st.lists(rows, min_size=7, max_size=10).map(tuple),
    nested,
)
players = st.one_of(st.sampled_from([True, 0, 3, -1]), scalars)
# Depths a valid board is searched to quickly, and every kind of bad one.
depths = st.one_of(
    st.integers(min_value=0, max_value=3),
    st.integers(max_value=-1),
    st.integers(min_value=2**31),
    st.sampled_from([2**31, -(2**31) - 1, 2**63, 2**64]),
    not_integers,
)
bounds = st.one_of(st.floats(allow_nan=True), st.integers(), scalars)


@st.composite
def calls(draw):
    """A good call with any of its arguments, or none, replaced by a hostile one."""
    args = [
        draw(good_boards),
        draw(st.sampled_from([1, 2])),
        draw(st.integers(min_value=0, max_value=3)),
        draw(st.floats(allow_nan=True)),
        draw(st.floats(allow_nan=True)),
    ]
    hostile = [boards, players, depths, bounds, bounds]
    which = draw(st.sampled_from(["none", 0, 0, 0, 1, 2, 3, 4, "several"]))
    if which == "several":
        replaced = sorted(draw(st.sets(st.integers(min_value=0, max_value=4), min_size=2)))
    else:
        replaced = [] if which == "none" else [which]
    for i in replaced:
        args[i] = draw(hostile[i])
    return args


def is_code(value, codes):
    return type(value) in (int, bool) and value in codes


def searchable(board, player, depth):
    """Whether a call may answer: the first 8 values of the first 8 rows are
    cell codes, the side is 1 or 2, the depth is a non-negative C int."""
    rows = board[:8] if isinstance(board, (list, tuple)) else []
    return (
        len(rows) == 8
        and all(isinstance(r, (list, tuple)) and len(r) >= 8 and all(is_code(v, (0, 1, 2)) for v in r[:8]) for r in rows)
        and is_code(player, (1, 2))
        and type(depth) in (int, bool)
        and 0 <= depth < 2**31
    )


def check_answer(result):
    assert list(result) == ["moves", "val"]
    assert isinstance(result["val"], float)
    for move in result["moves"]:
        assert isinstance(move, tuple) and len(move) == 2
        assert all(type(x) is int and 0 <= x <= 7 for x in move)


FUZZ = settings(
    max_examples=250,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


class TestHostileArguments:
    @FUZZ
    @given(args=calls())
    def test_minimax_moves_answers_or_refuses(self, good_answer, args):
        try:
            result = _flipcore.minimax_moves(*args)
        except (TypeError, ValueError):
            pass
        else:
            assert searchable(*args[:3])
            check_answer(result)
        assert _flipcore.minimax_moves(*GOOD_CALL) == good_answer

    @FUZZ
    @given(
        args=st.lists(nested, max_size=7),
        kwargs=st.dictionaries(st.sampled_from(["board", "player", "depth", "alpha", "beta", "x"]), nested),
    )
    def test_any_argument_list(self, good_answer, args, kwargs):
        for function in (_flipcore.minimax_moves, _flipcore.init):
            try:
                result = function(*args, **kwargs)
            except (TypeError, ValueError):
                continue
            if function is _flipcore.init:
                assert result is None and not args and not kwargs
            else:
                assert len(args) == 5 and not kwargs and searchable(*args[:3])
                check_answer(result)
        assert _flipcore.minimax_moves(*GOOD_CALL) == good_answer

    def test_huge_lazy_sequence_is_refused(self):
        # 10**14 rows need petabytes: more than any address space, fewer than
        # a vector's maximum size (which would be a ValueError).
        with pytest.raises((TypeError, ValueError)):
            _flipcore.minimax_moves(range(10**14), 1, 1, -INF, INF)


# ------------------------------------------------------------ symmetries

DIRECTIONS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]


def flips(board, col, row, side):
    out = []
    for dx, dy in DIRECTIONS:
        x, y, run = col + dx, row + dy, []
        while 0 <= x < 8 and 0 <= y < 8 and board[y][x] == 3 - side:
            run.append((x, y))
            x, y = x + dx, y + dy
        if run and 0 <= x < 8 and 0 <= y < 8 and board[y][x] == side:
            out += run
    return out


@st.composite
def positions(draw):
    """A position of a game played by random legal moves, or any board."""
    if draw(st.booleans()):
        board = [[draw(st.sampled_from([0, 0, 1, 2])) for _ in range(8)] for _ in range(8)]
        return board, draw(st.sampled_from([1, 2]))
    board, player = start_board(), 1
    for _ in range(draw(st.integers(0, 50))):
        moves = [(c, r) for r in range(8) for c in range(8) if board[r][c] == 0 and flips(board, c, r, player)]
        if moves:
            col, row = draw(st.sampled_from(moves))
            for x, y in flips(board, col, row, player):
                board[y][x] = player
            board[row][col] = player
        player = 3 - player
    return board, player


def transformed(board, symmetry):
    """The board with every square mapped by symmetry(col, row)."""
    out = [[0] * 8 for _ in range(8)]
    for r in range(8):
        for c in range(8):
            x, y = symmetry(c, r)
            out[y][x] = board[r][c]
    return out


SEARCH = settings(max_examples=120, deadline=None, derandomize=True, database=None)


class TestSymmetries:
    @SEARCH
    @given(position=positions(), depth=st.integers(0, 4))
    def test_value_is_the_same_on_every_rotation_and_reflection(self, position, depth):
        board, player = position
        value = fresh_result(board, player, depth)["val"]
        for symmetry in SYMMETRIES[1:]:
            assert fresh_result(transformed(board, symmetry), player, depth)["val"] == value

    @SEARCH
    @given(position=positions(), depth=st.integers(0, 4))
    def test_exchanging_colours_negates_the_value(self, position, depth):
        # Every comparison of the search mirrors, so the moves are the same too.
        board, player = position
        result = fresh_result(board, player, depth)
        swapped = [[(3 - v) if v else 0 for v in row] for row in board]
        mirrored = fresh_result(swapped, 3 - player, depth)
        assert mirrored["val"] == -result["val"]
        assert mirrored["moves"] == result["moves"]
