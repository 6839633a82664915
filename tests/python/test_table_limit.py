"""The transposition table's memory ceiling: refusal as MemoryError with the
table whole, recovery by init(), the resident memory staying under the
ceiling, setting it (table_limit, FLIPCORE_TABLE_LIMIT), deepening that
stops at it instead of failing, and think's tables kept under it.

Searches that fill the table run in child interpreters: each sets its own
ceiling, and its peak resident memory is its own.
"""

import json
import math
import os
import subprocess
import sys
import textwrap
import threading

import _flipcore
import plain_solve as plain
import pytest

from flipcore import Position, analyse, solve, table_limit, table_memory, think

# The module, not the function flipcore.think.
think_tables = sys.modules["flipcore.think"]

INF = math.inf
MIB = 1 << 20

# Twenty plies into a game (as in tests/test_faults.py): depth 9 stores about
# 100,000 positions, depth 10 about 300,000.
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


def run_child(body, env=None):
    """Runs body in a fresh interpreter; returns its last JSON line and stderr."""
    code = "import json, math, re\nINF = math.inf\n" + f"MIDGAME = {MIDGAME!r}\n" + textwrap.dedent(body)
    done = subprocess.run(
        [sys.executable, "-P", "-c", code],
        capture_output=True, text=True, timeout=300, env={**os.environ, **(env or {})},
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1]), done.stderr


@pytest.fixture(autouse=True)
def default_ceiling():
    table_limit(0)
    yield
    table_limit(0)
    _flipcore.init()


def fresh(depth):
    _flipcore.init()
    return _flipcore.minimax_moves(MIDGAME, 1, depth, -INF, INF)


def test_full_table_refuses_keeps_its_answers_recovers_and_stays_under_the_ceiling():
    # The ceiling comes from the environment variable. Deeper and deeper
    # searches fill the table until a growth would pass 16 MiB: MemoryError,
    # saying so. The table stays whole, so every depth up to the deepest
    # finished one is answered from its root entry; after init() a search
    # that fits gives exactly what it gives under the default ceiling.
    # The resident set's peak (VmHWM) grows by no more than the ceiling,
    # though the table came close to it: the check is what stopped it.
    expected = fresh(6)
    got, _ = run_child(
        """
        import _flipcore, flipcore
        def kib(field):
            status = open("/proc/self/status").read()
            return int(re.search(field + r":\\s+(\\d+) kB", status).group(1)) * 1024
        baseline = kib("VmRSS")
        before, message = [], None
        try:
            for depth in range(1, 30):
                before.append(_flipcore.minimax_moves(MIDGAME, 1, depth, -INF, INF))
        except MemoryError as err:
            message = str(err)
        memory = flipcore.table_memory()
        stored = [_flipcore.minimax_moves(MIDGAME, 1, d + 1, -INF, INF) for d in range(len(before))]
        peak = kib("VmHWM") - baseline
        _flipcore.init()
        after_init = _flipcore.minimax_moves(MIDGAME, 1, 6, -INF, INF)
        print(json.dumps(dict(before=before, message=message, memory=memory.__dict__, stored=stored,
                              peak=peak, after_init=after_init)))
        """,
        env={"FLIPCORE_TABLE_LIMIT": "16M"},
    )
    memory = got["memory"]
    assert memory["limit"] == 16 * MIB
    assert got["message"] == (
        f"the transposition table is full at its memory ceiling of 16.0 MiB "
        f"({memory['entries']} positions stored); init() empties it"
    )
    assert 6 <= len(got["before"]) < 29
    assert got["stored"] == [got["before"][-1]] * len(got["before"])
    assert got["after_init"] == {"moves": [list(m) for m in expected["moves"]], "val": expected["val"]}
    assert memory["max_entries"] / 2 < memory["entries"] <= memory["max_entries"]
    assert memory["used"] <= memory["limit"]
    assert 16 * MIB / 4 < got["peak"] <= 16 * MIB


def test_lowered_ceiling_refuses_growth_and_init_gives_the_arrays_back():
    shallow = fresh(3)
    deep = fresh(8)
    grown = table_memory()
    assert grown.used > 1.5 * MIB and grown.entries > 20000
    assert table_limit("1M") == MIB
    # Entries already stored still answer; new ones find no room.
    assert _flipcore.minimax_moves(MIDGAME, 1, 8, -INF, INF) == deep
    with pytest.raises(MemoryError, match="ceiling of 1.0 MiB"):
        _flipcore.minimax_moves(MIDGAME, 1, 9, -INF, INF)
    _flipcore.init()
    assert table_memory().used == 0  # larger than the ceiling: given back
    assert _flipcore.minimax_moves(MIDGAME, 1, 3, -INF, INF) == shallow


class TestSetting:
    @pytest.mark.parametrize(
        "size, limit",
        [
            (64 * MIB, 64 * MIB),
            ("512M", 512 * MIB),
            ("1.5g", 3 * 512 * MIB),
            ("2GiB", 2048 * MIB),
            ("3 MB", 3 * MIB),
            ("2048k", 2 * MIB),
        ],
    )
    def test_sizes(self, size, limit):
        assert table_limit(size) == limit == table_memory().limit

    def test_default_is_half_the_physical_memory_and_percent_is_of_it(self):
        physical = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
        default = table_limit()
        assert default == physical // 2
        assert table_limit("25%") == physical // 4
        assert table_limit("default") == default
        table_limit("1G")
        assert table_limit(0) == default

    def test_address_space_limit_lowers_the_default(self):
        got, _ = run_child(
            """
            import resource, flipcore
            resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))
            print(json.dumps(flipcore.table_limit()))
            """
        )
        assert got == min(4 << 30, table_limit())

    @pytest.mark.parametrize("bad", ["100", "12 apples", "", "-5M", "0%", "150%", True, 1.5, -1, 2**63, None])
    def test_bad_sizes_are_refused_and_change_nothing(self, bad):
        before = table_limit("64M")
        if bad is None:
            assert table_limit(bad) == before  # None only reads it
            return
        with pytest.raises(ValueError, match="table limit"):
            table_limit(bad)
        assert table_limit() == before

    def test_bad_environment_value_warns_and_keeps_the_default(self):
        got, err = run_child(
            """
            import warnings
            warnings.simplefilter("always")
            import flipcore
            print(json.dumps(flipcore.table_limit()))
            """,
            env={"FLIPCORE_TABLE_LIMIT": "lots"},
        )
        assert got == table_limit()
        assert "FLIPCORE_TABLE_LIMIT ignored" in err and "'lots'" in err

    def test_engine_refuses_a_negative_limit(self):
        with pytest.raises(ValueError, match="limit must be 0"):
            _flipcore._table_memory(-1)


class TestDeepeningStops:
    # From the start position the table holds 30,070 positions after depth
    # 11, 93,987 after 12 and 258,500 after 13.

    def test_before_a_depth_that_clearly_does_not_fit(self):
        # 16 MiB holds 212,992 positions: depth 13 is foreseen not to fit.
        table_limit("16M")
        run = analyse(Position.start(), 20)
        assert [r.depth for r in run] == list(range(1, 13))
        assert run.stop_reason == "memory"
        assert run.stop_message.startswith("depth 13 would need room for about ")
        assert "more than the 212,992 its memory ceiling of 16.0 MiB allows" in run.stop_message

    def test_when_the_table_fills_during_a_depth(self):
        # 2 MiB holds 26,624: depth 11 looks as if it fits, and does not.
        table_limit("2M")
        run = analyse(Position.start(), 20)
        results = list(run)
        assert [r.depth for r in results] == list(range(1, 11))
        assert run.stop_reason == "memory"
        assert run.stop_message.startswith("depth 11 did not finish: the transposition table is full")
        # What was found stands: the values are those of an ample table.
        table_limit(0)
        assert [r.value for r in results] == [r.value for r in analyse(Position.start(), 10)]

    def test_command_line_keeps_its_lines_and_exits_0(self):
        done = subprocess.run(
            [sys.executable, "-P", "-m", "flipcore", "analyse", "--depth", "30", "--engine", "minimax"],
            capture_output=True, text=True, timeout=120, env={**os.environ, "FLIPCORE_TABLE_LIMIT": "2M"},
        )  # fmt: skip
        assert done.returncode == 0, done.stderr
        assert len([line for line in done.stdout.splitlines() if line.startswith("depth ")]) == 10
        assert done.stdout.rstrip().splitlines()[-1].startswith(
            "Stopped: depth 11 did not finish: the transposition table is full at its memory ceiling of 2.0 MiB"
        )

    def test_fixed_depth_command_reports_a_full_table_in_one_line(self):
        done = subprocess.run(
            [sys.executable, "-P", "-m", "flipcore", "selfplay", "--depth", "12", "--engine", "minimax"],
            capture_output=True, text=True, timeout=120, env={**os.environ, "FLIPCORE_TABLE_LIMIT": "1M"},
        )  # fmt: skip
        assert done.returncode == 1 and "Traceback" not in done.stderr
        assert done.stderr.startswith("flipcore: error: the transposition table is full at its memory ceiling")



class TestThinkTables:
    """think's tables (its search's and its exact solver's) stay under the
    same ceiling, taking a changed one at the next think."""

    def test_they_shrink_under_a_low_ceiling_and_answers_stay_exact(self):
        endgame = plain.playout(4, 14)
        score = solve(endgame).score
        sizes = {}
        for limit in ("1M", "20M", 0, "1M"):
            table_limit(limit)
            found = think(endgame, depth=14)
            sizes[limit] = think_tables.table_bytes()
            assert found.exact and found.value == score, limit
            midgame = think(Position.start(), depth=7)
            assert midgame.depth == 7 and midgame.move in Position.start().legal_moves()
            assert think_tables.table_bytes() == sizes[limit]
        assert sizes["1M"] <= MIB and 16 * MIB <= sizes["20M"] <= 20 * MIB
        # Under a high ceiling, the full sizes: 12 MiB and 16 MiB.
        assert sizes[0] == 28 * MIB
        think_tables.release_table()
        assert think_tables.table_bytes() == 0

    def test_each_thread_has_its_own_and_gives_them_back(self):
        think(Position.start(), depth=3)
        seen = []

        def other():
            table_limit("4M")
            seen.append(think_tables.table_bytes())
            think(Position.start(), depth=3)
            seen.append(think_tables.table_bytes())
            think_tables.release_table()
            seen.append(think_tables.table_bytes())

        worker = threading.Thread(target=other)
        worker.start()
        worker.join()
        assert seen[0] == 0 and 0 < seen[1] <= 4 * MIB and seen[2] == 0
        # This thread's tables take the lower ceiling at its next think only.
        assert think_tables.table_bytes() == 28 * MIB
        think(Position.start(), depth=3)
        assert think_tables.table_bytes() <= 4 * MIB
