"""flipcore.solve held to a plain minimax solver (plain_solve.py) on random
endgames in every mode, its score conventions, passes and finished games,
threads, Ctrl-C, and the command line's solve and analyse."""

import importlib
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import plain_solve as plain
import pytest
from pkg_cases import MUST_PASS_TEXT

import flipcore
from flipcore import EXACT_EMPTIES, Position, SolveResult, solve

MODES = ("exact", "wld", "every_move")
FLIPCORE = [sys.executable, "-P", "-m", "flipcore"]
# O has one disc and X none: the game is over, O wins 64-0.
OVER_TEXT = "O" + "-" * 63 + " X"


def sign(n):
    return (n > 0) - (n < 0)


playout, replay = plain.playout, plain.replay
solve_module = importlib.import_module("flipcore.solve")  # the module, not the function of that name


def final_score(position):
    """Side 1 minus side 2 at the end, empties to the winner."""
    return plain.final_score(position._black, position._white)


def row_major(square):
    col, row = square
    return row, col


def square(sq):
    return (sq % 8, sq // 8)


class Case:
    """A position and the plain solver's answer, side to move's view."""

    def __init__(self, position):
        self.position = position
        own, opp = plain.masks(position)
        self.mover_score = plain.score(own, opp)
        self.mover_move_scores = {square(sq): v for sq, v in plain.move_scores(own, opp).items()}
        self.view = 1 if position.player == 1 else -1
        self.must_pass = not self.mover_move_scores and not position.is_over()


@pytest.fixture(scope="module")
def cases():
    """A few hundred endgames of 0 to 8 empty squares, half from random
    play, half random fills (lopsided: passes, finished games, wipe-outs)."""
    rng = random.Random(20261208)
    found = []
    for empties in range(9):
        for _ in range(20):
            found.append(Case(plain.random_playout(rng, empties)))
            found.append(Case(plain.random_fill(rng, empties)))
    plain.score.cache_clear()
    return found


def test_cases_cover_passes_finished_games_and_wipe_outs(cases):
    # A wipe-out under perfect play: the score is +-64.
    assert sum(abs(c.mover_score) == 64 for c in cases) >= 5
    assert sum(c.must_pass for c in cases) >= 5
    assert sum(c.position.is_over() for c in cases) >= 5
    assert sum(c.mover_score == 0 for c in cases) >= 5


@pytest.mark.parametrize("mode", MODES)
def test_matches_the_plain_solver(cases, mode):
    for case in cases:
        pos = case.position
        result = solve(pos, mode)
        where = f"{pos.text()} {mode}"
        assert (result.mode, result.player) == (mode, pos.player), where
        exact = case.view * case.mover_score
        scores = case.mover_move_scores
        if mode == "wld":
            assert result.score == sign(exact), where
            # Every move keeping the result: after a win, those that win; after
            # a draw, those that draw; after a loss, all of them.
            best = sorted((m for m, v in scores.items() if sign(v) == sign(case.mover_score)), key=row_major)
        else:
            assert result.score == exact, where
            best = sorted((m for m, v in scores.items() if v == case.mover_score), key=row_major)
        assert list(result.moves) == best, where
        assert result.score_for_mover() == case.view * result.score

        if mode == "every_move":
            assert result.move_scores == {m: case.view * v for m, v in scores.items()}, where
        else:
            assert result.move_scores is None

        if pos.is_over():
            assert result.line == () and result.moves == (), where
            continue
        if case.must_pass:
            assert result.line[0] is None and result.moves == (), where
        end = replay(pos, result.line)
        if mode != "wld":
            # The line is perfect play: it starts with a best move and ends
            # the game at the score.
            assert end.is_over() and final_score(end) == exact, where
            if not case.must_pass:
                assert result.line[0] in result.moves, where
        assert result.nodes >= 1


class TestConventions:
    def test_scores_are_side_1_minus_side_2(self):
        pos = playout(7, 8)
        swapped = Position._from_masks(pos._white, pos._black, 3 - pos.player)
        a, b = solve(pos), solve(swapped)
        # The colours swapped: the same play, the score negated.
        assert a.score == -b.score and a.score_for_mover() == b.score_for_mover()
        assert a.line == b.line and a.moves == b.moves
        own, opp = plain.masks(pos)
        assert a.score_for_mover() == plain.score(own, opp)

    @pytest.mark.parametrize(
        "score, mode, words",
        [
            (38, "exact", "X wins 51-13"),
            (-16, "exact", "O wins 40-24"),
            (0, "every_move", "draw 32-32"),
            (-64, "exact", "O wins 64-0"),
            (2, "exact", "X wins 33-31"),
            (1, "wld", "X wins"),
            (-1, "wld", "O wins"),
            (0, "wld", "draw"),
        ],
    )
    def test_describe(self, score, mode, words):
        result = SolveResult(score, mode, 2, (), (), None, 0, 0.0)
        assert result.describe() == words
        assert result.score_for_mover() == -score

    def test_names(self):
        result = SolveResult(4, "exact", 1, ((3, 2), (7, 7)), ((3, 2), None, (0, 0)), None, 9, 0.0)
        assert result.names() == ["d3", "h8"]
        assert result.line_names() == ["d3", "pass", "a1"]

    def test_finished_game_answers_at_once(self):
        pos = Position.from_text(OVER_TEXT)
        for mode, score in [("exact", -64), ("every_move", -64), ("wld", -1)]:
            result = solve(pos, mode)
            assert (result.score, result.moves, result.line, result.nodes) == (score, (), (), 0)
            assert result.move_scores == ({} if mode == "every_move" else None)
        assert solve(pos).describe() == "O wins 64-0"
        # Empty squares go to the winner even when neither side can reach them.
        split = Position.from_text("XX" + "-" * 60 + "OO" + " O")
        assert split.is_over() and solve(split).score == 0
        lone = Position.from_text("XXX" + "-" * 60 + "O" + " O")
        assert solve(lone).describe() == "X wins 63-1"

    def test_side_to_move_must_pass(self):
        # X cannot move; O takes c1 and wipes X out.
        pos = Position.from_text(MUST_PASS_TEXT)
        for mode in MODES:
            result = solve(pos, mode)
            assert result.moves == () and result.line[:1] == (None,)
            assert result.score == (-1 if mode == "wld" else -64)
        result = solve(pos)
        assert result.line == (None, (2, 0)) and result.line_names() == ["pass", "c1"]
        assert solve(pos, "every_move").move_scores == {}

    def test_progress_narrows_to_the_score_in_side_1_view(self):
        pos = playout(3, 14)
        if pos.player == 1:
            pos = Position._from_masks(pos._white, pos._black, 2)
        assert pos.player == 2 and pos.legal_moves()
        for mode in ("exact", "wld"):
            bounds = []
            result = solve(pos, mode, progress=lambda lo, hi: bounds.append((lo, hi)))
            assert bounds and bounds[-1] == (result.score, result.score)
            limit = 1 if mode == "wld" else 64
            lower, upper = -limit, limit
            for lo, hi in bounds:
                assert lower <= lo <= hi <= upper, bounds
                lower, upper = lo, hi

    def test_exception_in_progress_stops_the_solve(self):
        pos = playout(4, 16)

        def refuse(lower, upper):
            raise RuntimeError("enough")

        with pytest.raises(RuntimeError, match="enough"):
            solve(pos, progress=refuse)
        small = playout(4, 8)
        own, opp = plain.masks(small)
        assert solve(small).score_for_mover() == plain.score(own, opp)


    def test_clear_solve_table(self):
        from flipcore.solve import clear_solve_table

        pos = playout(6, 16)
        clear_solve_table()
        # One thread: with more, the node count depends on their timing.
        first = solve(pos, threads=1)
        assert solve(pos, threads=1).nodes < first.nodes  # the table kept what the first solve proved
        clear_solve_table()
        assert solve(pos, threads=1).nodes == first.nodes
        # Not from inside a solve on the same thread: the solve stops with the error.
        with pytest.raises(RuntimeError, match="inside a solve"):
            solve(playout(7, 16), progress=lambda lower, upper: clear_solve_table())


class TestFirstGuess:
    """Positions with enough empties start the solver from a short search's
    value instead of 0; the answers must be the same either way."""

    def test_answers_do_not_depend_on_the_guess(self, monkeypatch):
        think_module = importlib.import_module("flipcore.think")
        positions = [playout(3, 17), playout(4, 18)]
        assert {pos.player for pos in positions} == {1, 2}
        for pos in positions:
            guess = solve_module._first_guess(pos)
            found = solve(pos, "every_move", threads=1)
            # The guess is the side to move's: near its exact score.
            assert abs(guess - found.score_for_mover()) <= 16, pos.text()
            with monkeypatch.context() as m:

                def no_weights():
                    raise think_module.WeightsError("no weights here")

                m.setattr(think_module, "_think_module", no_weights)
                assert solve_module._first_guess(pos) == 0
                unguessed = solve(pos, "every_move", threads=1)
            assert (found.score, found.moves, found.move_scores) == (
                unguessed.score,
                unguessed.moves,
                unguessed.move_scores,
            )


class TestThreadCount:
    """solve(threads=...): the same answers for any number of threads, and
    the package's own errors for counts that make no sense."""

    @pytest.mark.parametrize("mode", MODES)
    def test_any_thread_count_gives_the_same_answers(self, mode):
        from flipcore.solve import clear_solve_table

        for seed, empties in ((31, 14), (32, 16), (33, 18), (34, 12)):
            pos = playout(seed, empties)
            results = []
            for threads in (1, 2, 3, None):
                clear_solve_table()
                results.append(solve(pos, mode, threads=threads))
            first = results[0]
            for r in results[1:]:
                # The line too: it is chosen by the position alone.
                assert (r.score, r.moves, r.move_scores, r.line) == (first.score, first.moves, first.move_scores,
                                                                     first.line), f"{pos.text()} {mode}"
            if mode != "wld":
                end = replay(pos, first.line)
                assert end.is_over() and final_score(end) == first.score

    def test_progress_comes_in_the_calling_thread(self):
        pos = playout(35, 18)
        seen = []
        result = solve(pos, progress=lambda lower, upper: seen.append((threading.get_ident(), lower, upper)),
                       threads=2)
        assert seen and {ident for ident, _, _ in seen} == {threading.get_ident()}
        assert seen[-1][1:] == (result.score, result.score)

    def test_a_progress_error_ends_a_parallel_solve(self):
        pos = playout(36, 18)

        def fail(lower, upper):
            raise LookupError("enough")

        with pytest.raises(LookupError, match="enough"):
            solve(pos, progress=fail, threads=2)
        assert solve(pos, threads=2).score == solve(pos, threads=1).score

    @pytest.mark.parametrize(
        "threads, error, message",
        [(0, ValueError, "threads must be between 1 and 256, got 0"),
         (-2, ValueError, "threads must be between 1 and 256, got -2"),
         (257, ValueError, "threads must be between 1 and 256, got 257"),
         (10**30, ValueError, "threads must be between 1 and 256"),
         (2.0, TypeError, "threads must be a whole number or None, got 2.0"),
         (True, TypeError, "threads must be a whole number or None, got True"),
         ("2", TypeError, "threads must be a whole number or None, got '2'")],
    )
    def test_bad_thread_counts(self, threads, error, message):
        with pytest.raises(error, match=re.escape(message)):
            solve(playout(37, 10), threads=threads)

    def test_the_binding_refuses_bad_thread_counts_too(self):
        from flipcore import _solver

        pos = playout(37, 10)
        for threads in (0, -1, 1000):
            with pytest.raises(ValueError, match="threads must be between 1 and 256"):
                _solver.solve(pos._black, pos._white, pos.player, "exact", None, threads)
        with pytest.raises(TypeError):
            _solver.solve(pos._black, pos._white, pos.player, "exact", None, 1 << 70)


class TestBadArguments:
    def test_solve_arguments(self):
        pos = Position.start()
        with pytest.raises(TypeError, match="position must be a flipcore.Position or its text form, got bytes"):
            solve(pos.text().encode())
        with pytest.raises(ValueError, match="mode must be 'exact', 'wld' or 'every_move', got 'fast'"):
            solve(pos, "fast")
        with pytest.raises(ValueError, match="mode must be"):
            solve(pos, None)
        with pytest.raises(TypeError, match="progress must be callable or None, got int"):
            solve(pos, progress=3)
        with pytest.raises(TypeError):
            solve(pos, "exact", None)  # progress is keyword-only

    def test_table_size(self):
        solve_module = sys.modules["flipcore.solve"]
        before = solve_module.solve_table_bytes()
        try:
            with pytest.raises(ValueError, match="at least 1 MiB"):
                flipcore.set_solve_table_bytes(1000)
            with pytest.raises(TypeError, match="whole number of bytes"):
                flipcore.set_solve_table_bytes(2.5e6)
            with pytest.raises(TypeError, match="whole number of bytes"):
                flipcore.set_solve_table_bytes(True)
            flipcore.set_solve_table_bytes(3 << 20)
            assert 0.99 * (3 << 20) <= solve_module.solve_table_bytes() <= 3 << 20
            pos = playout(5, 8)
            own, opp = plain.masks(pos)
            assert solve(pos).score_for_mover() == plain.score(own, opp)
        finally:
            flipcore.set_solve_table_bytes(before)

    @pytest.mark.parametrize(
        "value, outcome",
        [("2", "table 2097"), ("0", "ValueError: FLIPCORE_SOLVE_TABLE_MB must be a whole number"),
         ("lots", "ValueError: FLIPCORE_SOLVE_TABLE_MB must be")],
    )
    def test_table_size_from_the_environment(self, value, outcome):
        script = textwrap.dedent("""
            import flipcore
            from flipcore.solve import solve_table_bytes
            try:
                print("table", solve_table_bytes())
            except ValueError as err:
                print("ValueError:", err)
        """)
        env = dict(os.environ, FLIPCORE_SOLVE_TABLE_MB=value)
        done = subprocess.run([sys.executable, "-P", "-c", script], env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith(outcome)


class TestThreadsAndInterrupts:
    def test_two_threads_solve_at_once(self):
        positions = [playout(11, 17), playout(12, 17)]
        alone = [solve(pos, "every_move") for pos in positions]
        together = [None, None]

        def work(i):
            together[i] = solve(positions[i], "every_move")

        threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for a, b in zip(alone, together):
            assert (a.score, a.moves, a.move_scores, a.line) == (b.score, b.moves, b.move_scores, b.line)

    def test_other_threads_run_during_a_solve(self):
        pos = playout(13, 19)
        solving = threading.Event()
        done = threading.Event()
        counts = []

        def count():
            solving.wait()
            n = 0
            while not done.is_set():
                n += 1
            counts.append(n)

        counter = threading.Thread(target=count)
        counter.start()
        began = time.perf_counter()
        solving.set()
        solve(pos)
        seconds = time.perf_counter() - began
        done.set()
        counter.join()
        # The solve took long enough to matter, and the counting thread
        # kept going meanwhile: the solver does not hold the interpreter lock.
        assert seconds > 0.05
        assert counts[0] > 1000 * seconds

    @pytest.mark.parametrize("threads", [1, 2])
    def test_ctrl_c_stops_a_solve_quickly(self, threads):
        script = textwrap.dedent("""
            import os, signal, threading, time
            import random, sys
            sys.path.insert(0, %r)
            import plain_solve
            from flipcore import solve
            big = plain_solve.random_playout(random.Random(2), 24)
            sent = []
            def interrupt():
                time.sleep(0.5)
                sent.append(time.perf_counter())
                os.kill(os.getpid(), signal.SIGINT)
            threading.Thread(target=interrupt).start()
            try:
                solve(big, threads=%d)
                print("finished")
            except KeyboardInterrupt:
                print("stopped after", time.perf_counter() - sent[0])
            small = plain_solve.random_playout(random.Random(3), 8)
            print("then", solve(small).score_for_mover(), plain_solve.score(*plain_solve.masks(small)))
        """ % (os.path.dirname(os.path.abspath(__file__)), threads))
        done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        stopped = re.search(r"^stopped after ([\d.e-]+)$", done.stdout, re.M)
        assert stopped, done.stdout
        # Within 100 ms when the machine is quiet; allow for a busy one.
        assert float(stopped.group(1)) < 0.2
        then = re.search(r"^then (-?\d+) (-?\d+)$", done.stdout, re.M)
        assert then and then.group(1) == then.group(2)


def run_cli(*args, timeout=120):
    return subprocess.run([*FLIPCORE, *args], capture_output=True, text=True, timeout=timeout)


class TestCommandLine:
    def test_solve_prints_the_result_in_words(self):
        pos = playout(21, 12)
        result = solve(pos)
        done = run_cli("solve", pos.text())
        assert done.returncode == 0, done.stderr
        out = done.stdout
        assert out.startswith(str(pos))
        assert f"Result: {result.describe()}" in out
        assert re.search(r"^Best moves?: " + " ".join(result.names()) + "$", out, re.M)
        line = re.search(r"^Line: (.*)$", out, re.M).group(1).split()
        end = replay(pos, [None if m == "pass" else m for m in line])
        assert end.is_over() and final_score(end) == result.score
        assert re.search(r"^Nodes: [\d,]+ in \d+\.\d+ s", out, re.M)

    def test_every_move_table_best_first(self):
        pos = playout(22, 10)
        own, opp = plain.masks(pos)
        expected = {square(sq): v for sq, v in plain.move_scores(own, opp).items()}
        done = run_cli("solve", *pos.text().split(), "--every-move")
        assert done.returncode == 0, done.stderr
        rows = re.findall(r"^ *([a-h][1-8]) +([-+]\d+) +(.+?)\s*$", done.stdout, re.M)
        view = 1 if pos.player == 1 else -1
        assert {flipcore.parse_square(m): int(v) * view for m, v, _ in rows} == expected
        mover = [int(v) * view for _, v, _ in rows]
        assert mover == sorted(mover, reverse=True)
        for _, v, words in rows:
            assert words == SolveResult(int(v), "exact", 1, (), (), None, 0, 0).describe()

    def test_threads_option(self):
        pos = playout(26, 16)
        result = solve(pos, "every_move", threads=1)
        for threads in ("1", "2"):
            done = run_cli("solve", pos.text(), "--every-move", "--threads", threads)
            assert done.returncode == 0, done.stderr
            assert f"Result: {result.describe()}\n" in done.stdout
            assert f"Line: {' '.join(result.line_names())}\n" in done.stdout

    def test_wld(self):
        pos = playout(23, 12)
        result = solve(pos, "wld")
        done = run_cli("solve", pos.text(), "--wld")
        assert done.returncode == 0, done.stderr
        assert f"Result: {result.describe()}\n" in done.stdout
        assert re.search(r"^Best moves?: " + " ".join(result.names()) + "$", done.stdout, re.M)

    def test_finished_and_must_pass_positions(self):
        over = run_cli("solve", OVER_TEXT)
        assert over.returncode == 0 and "The game is over: O wins 64-0" in over.stdout
        passing = run_cli("solve", MUST_PASS_TEXT)
        assert passing.returncode == 0
        assert "X has no legal move and passes" in passing.stdout
        assert "Result: O wins 64-0" in passing.stdout and "Line: pass c1" in passing.stdout

    def test_long_solve_warns_and_shows_progress(self):
        pos = playout(24, EXACT_EMPTIES + 6)
        proc = subprocess.Popen([*FLIPCORE, "solve", pos.text()], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            time.sleep(4)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
        assert proc.returncode == 130, err
        assert "may take very long" in out and "Ctrl-C" in out
        assert re.search(r"X scores between [-+]?\d+ and [-+]?\d+ so far", out + err), out + err
        assert "Traceback" not in err

    @pytest.mark.parametrize(
        "args, message",
        [
            (["solve", "-" * 63 + " X"], "board has 63 squares"),
            (["solve", "--wld", "--every-move"], "not allowed with argument"),
            (["solve", "--fast"], "unrecognized arguments: --fast"),
            (["solve", "--threads", "0"], "must be between 1 and 256, got 0"),
            (["solve", "--threads", "two"], "must be a whole number, got 'two'"),
        ],
    )
    def test_bad_input_is_one_line_with_status_2(self, args, message):
        done = run_cli(*args)
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr.count("\n") == 1 and message in done.stderr

    def test_analyse_switches_to_the_exact_solver(self):
        near_end = playout(25, EXACT_EMPTIES - 6)
        result = solve(near_end)
        done = run_cli("analyse", near_end.text())
        assert done.returncode == 0, done.stderr
        exact = re.search(r"^exact: (.*), best (.*), line (.*)$", done.stdout, re.M)
        assert exact, done.stdout
        assert exact.groups() == (result.describe(), " ".join(result.names()), " ".join(result.line_names()))
        assert "depth " not in done.stdout
        # Farther from the end, or with --depth, it searches by depth as before.
        early = run_cli("analyse", playout(25, EXACT_EMPTIES + 8).text())
        assert "exact:" not in early.stdout and "depth  1" in early.stdout
        asked = run_cli("analyse", near_end.text(), "--depth", "2")
        assert "exact:" not in asked.stdout and "depth  2" in asked.stdout
