"""The command line driven as a user would: through subprocess and pipes."""

import os
import re
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from pkg_cases import MUST_PASS_TEXT, START_BOARD, START_TEXT

from flipcore import Game, Position, search
from flipcore import solve as flipcore_solve
from flipcore.solve import describe_score

# -P keeps the working directory, maybe the source tree, off sys.path.
FLIPCORE = [sys.executable, "-P", "-m", "flipcore"]
# Tried in turn until one is legal: every square, over and over.
EVERY_SQUARE = "".join(f"{c}{r}\n" for r in "12345678" for c in "abcdefgh") * 60


def run(*args, stdin="", command=FLIPCORE):
    return subprocess.run([*command, *args], input=stdin, capture_output=True, text=True, timeout=60)


def depth_lines(stdout):
    return [line for line in stdout.splitlines() if line.startswith("depth ")]


class TestAnalyse:
    def test_start_position_depth_1_and_2(self):
        done = run("analyse", "--depth", "2", "--engine", "minimax")
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("  a b c d e f g h\n1 - - - - - - - - 1\n")
        lines = depth_lines(done.stdout)
        assert len(lines) == 2
        for depth, line in enumerate(lines, 1):
            assert re.fullmatch(rf"depth +{depth} +value +[-+]\d+\.\d\d +\d+\.\d+ s +best d3 c4 f5 e6", line)

    def test_position_quoted_or_as_two_words(self):
        text = Position.start().play("d3").text()
        quoted = run("analyse", text, "--depth", "1", "--engine", "minimax")
        words = run("analyse", *text.split(), "--depth", "1", "--engine", "minimax")
        assert quoted.returncode == words.returncode == 0
        best = " ".join(search(Position.from_text(text), 1).names())
        assert depth_lines(quoted.stdout)[0].endswith("best " + best)
        assert re.sub(r"\d+\.\d+ s", "", quoted.stdout) == re.sub(r"\d+\.\d+ s", "", words.stdout)

    def test_default_depth_stops_by_itself(self):
        done = run("analyse")
        assert done.returncode == 0 and len(depth_lines(done.stdout)) >= 3

    def test_must_pass_and_finished_positions(self):
        passing = run("analyse", MUST_PASS_TEXT, "--depth", "1", "--engine", "minimax")
        assert "X has no legal move and passes" in passing.stdout
        assert depth_lines(passing.stdout)[0].endswith("best c1")
        over = run("analyse", "O" + "-" * 63 + " X")
        assert over.returncode == 0 and "The game is over: O wins 64-0 (X 0, O 1 on the board, 63 empty squares to the winner)." in over.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["analyse", "-" * 63 + " X"], "board has 63 squares"),
        (["analyse", START_BOARD, "Y"], "side to move must be X or O"),
        (["analyse", START_TEXT.replace("OX", "OZ")], "unknown character 'Z'"),
        (["analyse", "--depth", "0"], "depth must be a whole number from 1 to 60"),
        (["selfplay", "--depth", "x"], "depth must be"),
        (["play", "--as", "Z"], "invalid choice: 'Z'"),
        (["bogus"], "invalid choice: 'bogus'"),
    ],
)
def test_errors_are_one_line_with_status_2(args, message):
    done = run(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("flipcore: error: ")
    assert message in done.stderr


def final_discs(stdout):
    """The discs of the finished game's board, and checks that its result is
    given as everywhere else: the empty squares counted for the winner."""
    x, o = map(int, re.search(r"\ngame over \(X (\d+) O (\d+)\)\n", stdout).groups())
    diff, empty = x - o, 64 - x - o
    score = diff + empty if diff > 0 else diff - empty if diff < 0 else 0
    assert describe_score(score) in stdout
    return x, o


class TestPlay:
    @pytest.mark.parametrize("side", ["X", "O"])
    def test_piped_game_to_the_end(self, side):
        done = run("play", "--depth", "2", "--as", side.lower(), stdin="zz\nd9\n?\n" + EVERY_SQUARE)
        assert done.returncode == 0, done.stderr
        out = done.stdout
        if side == "X":
            assert "Your move (X): zz\nnot a square name (a1 to h8): 'zz'. Try again." in out
            assert "Your legal moves: d3 c4 f5 e6\n" in out
        else:
            assert out.index("The engine (X) plays") < out.index("Your move (O)")
        assert "is not a legal move for " + side in out
        x, o = final_discs(out)
        mine, theirs = (x, o) if side == "X" else (o, x)
        verdict = "You win." if mine > theirs else "The engine wins." if theirs > mine else "Nobody wins."
        assert out.rstrip().endswith(verdict)

    def test_input_ending_early_stops_the_game(self):
        done = run("play", "--depth", "1", stdin="d3\n")
        assert done.returncode == 1 and "Game stopped before the end." in done.stdout

    def test_ctrl_c_ends_quietly_with_130(self):
        proc = subprocess.Popen([*FLIPCORE, "play"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            assert proc.stdout.readline().startswith("You play X")
            proc.send_signal(signal.SIGINT)
            _, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
        assert proc.returncode == 130 and "Traceback" not in err


def test_selfplay_moves_replay_to_the_printed_result():
    done = run("selfplay", "--depth", "1")
    assert done.returncode == 0, done.stderr
    moves = re.search(r"^Moves: (.*)$", done.stdout, re.M).group(1).split()
    pos = Position.start()
    for move in moves:
        pos = pos.pass_() if move == "pass" else pos.play(move)
    assert pos.is_over() and pos.discs() == final_discs(done.stdout)
    numbered = re.findall(r"^ *(\d+)\. [XO] (\w+)", done.stdout, re.M)
    assert [name for _, name in numbered] == ["passes" if m == "pass" else m for m in moves]


def test_console_script():
    script = Path(sysconfig.get_path("scripts")) / "flipcore"
    done = run("analyse", "--depth", "1", "--engine", "minimax", command=[str(script)])
    assert done.returncode == 0 and depth_lines(done.stdout)[0].endswith("best d3 c4 f5 e6")


class TestKeepingTheWork:
    """A game stopped by Ctrl-C keeps what was played, and a file that cannot
    be written is refused before any work, not after it."""

    def test_ctrl_c_in_selfplay_prints_and_saves_the_game_so_far(self, tmp_path):
        path = tmp_path / "game.txt"
        proc = subprocess.Popen([*FLIPCORE, "selfplay", "--depth", "14", "--save", str(path)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            # The first move's line is printed once it is searched.
            assert re.search(r"^ +1\. X \w\d", proc.stdout.readline() + proc.stdout.readline(), re.M)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
        assert proc.returncode == 130 and "Traceback" not in err
        record = re.search(r"^Record: (\S+)$", out, re.M)[1]
        assert path.read_text() == record + "\n"
        played = Game.from_record(record)
        assert 1 <= len(played) and "Game stopped (Ctrl-C) after" in out

    def test_ctrl_c_at_the_play_prompt_saves_the_moves(self, tmp_path):
        path = tmp_path / "game.txt"
        proc = subprocess.Popen([*FLIPCORE, "play", "--depth", "1", "--save", str(path)], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            proc.stdin.write("d3\n")
            proc.stdin.flush()
            while "The engine (O) plays" not in proc.stdout.readline():
                pass
            proc.send_signal(signal.SIGINT)
            out, _ = proc.communicate(timeout=30)
        finally:
            proc.kill()
        assert proc.returncode == 130
        moves = Game.from_record(path.read_text()).moves
        assert len(moves) == 2 and moves[0] == (3, 2)

    @pytest.mark.parametrize(
        "args",
        [
            ["selfplay", "--depth", "60", "--save", "{tmp}/no/such/dir/g.txt"],
            ["play", "--save", "{tmp}"],
            ["review", "f5d6c3d3c4f4", "--depth", "60", "--plot", "{tmp}/no/such/dir/x.png"],
        ],
    )
    def test_unwritable_output_is_refused_before_the_work(self, tmp_path, args):
        # At depth 60 the work would not end within the timeout.
        done = run(*[a.replace("{tmp}", str(tmp_path)) for a in args], stdin="d3\n")
        assert done.returncode == 2 and done.stderr.startswith("flipcore: error: cannot write ")
        assert done.stderr.count("\n") == 1 and "Record" not in done.stdout
        assert list(tmp_path.iterdir()) == []

    def test_a_writable_file_is_not_left_behind_by_the_check(self, tmp_path):
        path = tmp_path / "game.txt"
        done = run("play", "--depth", "1", "--save", str(path), stdin="")
        assert done.returncode == 1 and path.read_text() == "\n"  # the empty game's record


class TestSettingsAndSmallThings:
    BAD_SOLVE_TABLE = {"FLIPCORE_SOLVE_TABLE_MB": "abc"}

    @pytest.mark.parametrize(
        "args",
        [
            ["solve", MUST_PASS_TEXT],
            ["analyse", MUST_PASS_TEXT],
            ["review", "f5d6c3d3c4f4"],
            ["batch", "-", "-o", "-", "--solve"],
        ],
    )
    def test_bad_solve_table_size_is_one_line_and_status_2(self, args):
        env = {**os.environ, **self.BAD_SOLVE_TABLE}
        done = subprocess.run([*FLIPCORE, *args], input=MUST_PASS_TEXT + "\n", capture_output=True, text=True,
                              timeout=60, env=env)
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr == ("flipcore: error: FLIPCORE_SOLVE_TABLE_MB must be a whole number of megabytes, "
                               "at least 1, got 'abc'\n")

    def test_bad_table_limit_warns_in_one_line_and_goes_on(self):
        env = {**os.environ, "FLIPCORE_TABLE_LIMIT": "lots"}
        done = subprocess.run([*FLIPCORE, "analyse", "--depth", "1"], capture_output=True, text=True,
                              timeout=60, env=env)
        assert done.returncode == 0 and len(depth_lines(done.stdout)) == 1
        assert done.stderr.startswith("flipcore: warning: FLIPCORE_TABLE_LIMIT ignored: ")
        assert done.stderr.count("\n") == 1

    def test_singular_words_and_no_time_limit(self):
        one_empty = "X" * 62 + "O- X"  # X takes the last square
        solved = run("solve", one_empty)
        assert "\n1 empty square: solving" in solved.stdout
        endless = run("analyse", "--depth", "2", "--seconds", "inf")
        assert endless.returncode == 0 and len(depth_lines(endless.stdout)) == 2

    def test_table_full_advice_is_for_the_command_line(self):
        env = {**os.environ, "FLIPCORE_TABLE_LIMIT": "1M"}
        done = subprocess.run([*FLIPCORE, "selfplay", "--depth", "12", "--engine", "minimax"], capture_output=True, text=True,
                              timeout=120, env=env)
        assert done.returncode == 1 and "init()" not in done.stderr
        assert "memory ceiling of 1.0 MiB" in done.stderr and "FLIPCORE_TABLE_LIMIT higher" in done.stderr


class TestThinkByDefault:
    """analyse, play and selfplay think in discs unless asked for minimax."""

    def test_analyse_deepens_in_discs_within_its_time(self):
        done = run("analyse", "--seconds", "1.5")
        lines = depth_lines(done.stdout)
        assert done.returncode == 0 and len(lines) >= 3, done.stdout
        for depth, line in enumerate(lines, 1):
            found = re.fullmatch(rf"depth +{depth} +value +[-+]\d+\.\d discs +(\d+\.\d+) s +best (\w\d) +line (.*)", line)
            assert found and float(found.group(1)) < 1.65, line
            pos = Position.start()
            for move in found.group(3).split():  # the expected line is legal
                pos = pos.pass_() if move == "pass" else pos.play(move)
            assert found.group(3).split()[0] == found.group(2)

    def test_analyse_to_the_end_is_exact(self):
        near_end = Position.start()
        while 64 - sum(near_end.discs()) > 14:
            moves = near_end.legal_moves()
            near_end = near_end.play(moves[0]) if moves else near_end.pass_()
        done = run("analyse", near_end.text(), "--depth", "14")
        last = depth_lines(done.stdout)[-1]
        score = flipcore_solve(near_end).score
        assert re.search(rf"value +{score:+d} discs, exact ", last), last

    def test_games_by_think_and_by_minimax(self):
        for args in (["--seconds", "0.01"], ["--engine", "minimax", "--depth", "1"]):
            done = run("selfplay", *args)
            assert done.returncode == 0, done.stderr
            values = re.findall(r"^ *\d+\. [XO] \w\d  value (\S+)( discs)?", done.stdout, re.M)
            assert values and all(bool(unit) == (args[0] == "--seconds") for _, unit in values)
        played = run("play", "--seconds", "0.01", stdin="d3\n")
        assert "the engine plays O (think, 0.01 s a move)" in played.stdout
        assert re.search(r"The engine \(O\) plays [a-h][1-8]\.", played.stdout)
