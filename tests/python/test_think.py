"""flipcore.think: the search on the learned evaluation, its answers against
the exact solver, its limits, threads and interrupts, and the shipped weights."""

import hashlib
import os
import random
import re
import subprocess
import sys
import textwrap
import threading
import time

import plain_solve as plain
import pytest
from pkg_cases import MUST_PASS_TEXT

import flipcore
from flipcore import Position, ThinkResult, solve, think
from flipcore.position import SYMMETRIES
from flipcore.think import WEIGHTS_PATH

HERE = os.path.dirname(os.path.abspath(__file__))
# The shipped weights' static value of the start position (X's view): pinned,
# so that a file replaced by accident, or read differently, is caught.
START_VALUE = 3.125


playout, replay = plain.playout, plain.replay


def transformed(position, symmetry):
    """The position with every square mapped by symmetry(col, row)."""
    masks = []
    for mask in (position._black, position._white):
        out = 0
        for sq in range(64):
            if mask >> sq & 1:
                c, r = symmetry(sq % 8, sq // 8)
                out |= 1 << (r * 8 + c)
        masks.append(out)
    return Position._from_masks(masks[0], masks[1], position.player)


class TestAnswers:
    @pytest.mark.parametrize("seed", range(6))
    def test_a_depth_reaching_the_end_gives_the_solvers_score(self, seed):
        pos = playout(seed, 8 + seed)
        found = think(pos, depth=30)
        solved = solve(pos)
        assert found.exact and found.solved
        assert found.value == solved.score
        assert found.move in solved.moves
        assert replay(pos, found.line).is_over()

    def test_views_and_the_line_of_play(self):
        pos = playout(7, 40)
        found = think(pos, depth=5)
        assert isinstance(found, ThinkResult)
        assert found.depth == 5 and not found.exact
        assert found.value_for_mover() == (found.value if pos.player == 1 else -found.value)
        assert found.move == found.line[0] and found.name() == found.line_names()[0]
        replay(pos, found.line)  # every step legal
        other = think(Position._from_masks(pos._white, pos._black, 3 - pos.player), depth=5)
        assert other.value == -found.value  # colours exchanged: the same position for the other side

    def test_a_side_that_must_pass_and_a_finished_game(self):
        found = think(MUST_PASS_TEXT, depth=64)
        assert found.move is None and found.line[0] is None
        assert found.exact and found.value == solve(Position.from_text(MUST_PASS_TEXT)).score
        over = think("X" * 60 + "-" * 4 + " O", depth=0)
        assert over.exact and over.value == 64 and over.move is None

    def test_the_static_value_is_the_same_in_every_orientation(self):
        rng = random.Random(5)
        for _ in range(20):
            pos = plain.random_playout(rng, rng.randrange(4, 56))
            values = {think(transformed(pos, s), depth=0).value for s in SYMMETRIES}
            assert len(values) == 1, values
        assert think(Position.start(), depth=0).depth == 0


    def test_a_fixed_depth_answers_the_same_whatever_came_before(self):
        # The thread's tables keep earlier searches' work: a deeper search of
        # the same position, others of its neighbours, and a solved endgame
        # (the solver's own table) must not change a fixed-depth answer.
        pos, end = playout(11, 30), playout(3, 14)
        fields = lambda r: (r.move, r.value, r.line, r.depth, r.nodes)  # noqa: E731
        # One solver thread: with more, the solver's node count varies.
        first, first_end = fields(think(pos, depth=7)), fields(think(end, depth=20, threads=1))
        think(pos, depth=10)
        for move in pos.legal_moves():
            think(pos.play(move), seconds=0.05)
        think(end, seconds=0.2)
        assert fields(think(pos, depth=7)) == first
        assert fields(think(end, depth=20, threads=1)) == first_end
        assert fields(think(end, depth=20, threads=2))[:4] == first_end[:4]  # the solver on two threads
        # Searches are told apart by a counter that wraps: 256 searches
        # later, the first one's entries must not pass for the new one's.
        for _ in range(256):
            think(end, depth=1)
        assert fields(think(pos, depth=7)) == first

class TestLimitsThreadsAndInterrupts:
    @pytest.mark.parametrize("seconds", [0.05, 0.4])
    def test_time_limits_are_kept(self, seconds):
        pos = playout(3, 44)
        began = time.perf_counter()
        found = think(pos, seconds=seconds)
        took = time.perf_counter() - began
        assert took <= seconds * 1.1 + 0.01
        assert found.depth >= 3 and found.move is not None

    def test_two_threads_think_at_once(self):
        positions = [playout(11, 36), playout(12, 36)]
        alone = [think(p, depth=7) for p in positions]
        together = [None, None]

        timed = [None, None]

        def work(i):
            together[i] = think(positions[i], depth=7)
            # By time, each with its helper threads as well.
            timed[i] = think(positions[i], seconds=0.2)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for a, b in zip(alone, together):
            assert (a.move, a.value) == (b.move, b.value)
        for p, found in zip(positions, timed):
            assert found.move in p.legal_moves() and found.depth >= 3

    def test_ctrl_c_stops_thinking_quickly(self):
        script = textwrap.dedent("""
            import os, signal, threading, time
            from flipcore import Position, think
            sent = []
            def interrupt():
                time.sleep(0.3)
                sent.append(time.perf_counter())
                os.kill(os.getpid(), signal.SIGINT)
            threading.Thread(target=interrupt).start()
            try:
                think(Position.start(), seconds=30)
                print("finished")
            except KeyboardInterrupt:
                print("stopped after", time.perf_counter() - sent[0])
            print("then", think(Position.start(), depth=4).name())
        """)
        done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        stopped = re.search(r"^stopped after ([\d.e-]+)$", done.stdout, re.M)
        assert stopped and float(stopped.group(1)) < 0.1, done.stdout
        assert re.search(r"^then [a-h][1-8]$", done.stdout, re.M), done.stdout

    @pytest.mark.parametrize(
        "args, error",
        [
            ((42,), TypeError),
            (("not a position",), ValueError),
            ((Position.start(),), None),
        ],
    )
    def test_bad_positions(self, args, error):
        if error is None:
            assert think(*args, depth=1).move is not None
        else:
            with pytest.raises(error):
                think(*args, depth=1)

    @pytest.mark.parametrize(
        "kwargs, error",
        [
            ({"seconds": 0}, ValueError),
            ({"seconds": -1}, ValueError),
            ({"seconds": float("nan")}, ValueError),
            ({"seconds": float("inf")}, ValueError),
            ({"seconds": "1"}, TypeError),
            ({"depth": -1}, ValueError),
            ({"depth": 65}, ValueError),
            ({"depth": 2.0}, TypeError),
            ({"depth": True}, TypeError),
            ({"depth": 2, "threads": 0}, ValueError),
            ({"depth": 2, "threads": 1.0}, TypeError),
        ],
    )
    def test_bad_limits(self, kwargs, error):
        with pytest.raises(error):
            think(Position.start(), **kwargs)


class TestWeights:
    def test_the_shipped_file_matches_its_provenance(self):
        data = WEIGHTS_PATH.read_bytes()
        provenance = (WEIGHTS_PATH.parent / "eval.provenance.txt").read_text()
        assert hashlib.sha256(data).hexdigest() in provenance
        assert flipcore.think(Position.start(), depth=0).value == pytest.approx(START_VALUE)

    @pytest.mark.parametrize("damage", ["missing", "flipped", "truncated"])
    def test_a_bad_file_names_itself_and_the_rest_still_works(self, tmp_path, damage):
        path = tmp_path / "eval.bin"
        data = WEIGHTS_PATH.read_bytes()
        if damage == "flipped":
            path.write_bytes(data[:1000] + bytes([data[1000] ^ 1]) + data[1001:])
        elif damage == "truncated":
            path.write_bytes(data[: len(data) // 2])
        script = textwrap.dedent(f"""
            import importlib, pathlib
            import flipcore
            importlib.import_module("flipcore.think").WEIGHTS_PATH = pathlib.Path({str(path)!r})
            try:
                flipcore.think(flipcore.Position.start(), depth=2)
            except flipcore.WeightsError as err:
                print("refused:", err)
            print("search", flipcore.search(flipcore.Position.start(), 2).names())
        """)
        done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert f"refused: {path}" in done.stdout
        assert "search ['d3', 'c4', 'f5', 'e6']" in done.stdout
