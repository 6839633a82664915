"""The command line driven as a user would: through subprocess and pipes."""

import re
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest
from pkg_cases import MUST_PASS_TEXT, START_BOARD, START_TEXT

from flipcore import Position, search

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
        done = run("analyse", "--depth", "2")
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith("  a b c d e f g h\n1 - - - - - - - - 1\n")
        lines = depth_lines(done.stdout)
        assert len(lines) == 2
        for depth, line in enumerate(lines, 1):
            assert re.fullmatch(rf"depth +{depth} +value +[-+]\d+\.\d\d +\d+\.\d+ s +best d3 c4 f5 e6", line)

    def test_position_quoted_or_as_two_words(self):
        text = Position.start().play("d3").text()
        quoted = run("analyse", text, "--depth", "1")
        words = run("analyse", *text.split(), "--depth", "1")
        assert quoted.returncode == words.returncode == 0
        best = " ".join(search(Position.from_text(text), 1).names())
        assert depth_lines(quoted.stdout)[0].endswith("best " + best)
        assert re.sub(r"\d+\.\d+ s", "", quoted.stdout) == re.sub(r"\d+\.\d+ s", "", words.stdout)

    def test_default_depth_stops_by_itself(self):
        done = run("analyse")
        assert done.returncode == 0 and len(depth_lines(done.stdout)) >= 3

    def test_must_pass_and_finished_positions(self):
        passing = run("analyse", MUST_PASS_TEXT, "--depth", "1")
        assert "X has no legal move and passes" in passing.stdout
        assert depth_lines(passing.stdout)[0].endswith("best c1")
        over = run("analyse", "O" + "-" * 63 + " X")
        assert over.returncode == 0 and "The game is over: X 0, O 1: O wins by 1." in over.stdout


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
    x, o = re.search(r"X (\d+), O (\d+): ", stdout).groups()
    return int(x), int(o)


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
        assert "\ngame over (X %d O %d)\n" % (x, o) in out
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
    done = run("analyse", "--depth", "1", command=[str(script)])
    assert done.returncode == 0 and depth_lines(done.stdout)[0].endswith("best d3 c4 f5 e6")
