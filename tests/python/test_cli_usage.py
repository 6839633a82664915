"""What a new user meets first on the command line: usage, version, help at
the prompt, --seconds, the value scale, and messages about position text."""

import os
import pty
import re
import select
import subprocess
import sys
import time

import pytest
from pkg_cases import START_BOARD, START_TEXT

from flipcore import Position

FLIPCORE = [sys.executable, "-P", "-m", "flipcore"]


def run(*args, stdin=""):
    return subprocess.run([*FLIPCORE, *args], input=stdin, capture_output=True, text=True, timeout=60)


def depth_lines(stdout):
    return [line for line in stdout.splitlines() if line.startswith("depth ")]


def test_no_command_prints_the_usage_with_every_command():
    done = run()
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("usage: flipcore [-h] [--version] COMMAND ...")
    for command in ("analyse", "play", "selfplay"):
        assert re.search(rf"^ +{command}\b", done.stderr, re.M), command
    assert "flipcore COMMAND --help" in done.stderr


def test_version():
    from importlib.metadata import version

    done = run("--version")
    assert done.returncode == 0 and done.stdout == f"flipcore {version('flipcore')}\n"


def test_play_help_explains_the_prompt():
    done = run("play", "--help")
    text = " ".join(done.stdout.split())
    assert done.returncode == 0
    for words in ("such as d3", "'?'", "'help'", "'quit'", "Ctrl-D"):
        assert words in text, words


class TestPrompt:
    def test_help_is_not_taken_for_a_square(self):
        done = run("play", "--depth", "1", stdin="help\nHELP\nquit\n")
        assert done.returncode == 1
        assert "not a square name" not in done.stdout
        assert done.stdout.count("At the prompt, type a square") == 2

    def test_ctrl_d_at_a_terminal_ends_the_prompt_line_first(self):
        # On a terminal, typed input is not echoed by the program, and Ctrl-D
        # leaves the cursor after the prompt: the message needs its own line.
        main, child = pty.openpty()
        proc = subprocess.Popen([*FLIPCORE, "play", "--depth", "1"], stdin=child, stdout=child, stderr=child)
        os.close(child)
        try:
            out = read_until(main, b"Your move (X): ")
            os.write(main, b"\x04")
            out += read_until(main, b"Game stopped before the end.")
            assert proc.wait(timeout=30) == 1
        finally:
            proc.kill()
            proc.wait()
            os.close(main)
        assert b"Your move (X): \r\nGame stopped before the end." in out


def read_until(fd, marker, timeout=30.0):
    out = b""
    deadline = time.monotonic() + timeout
    while marker not in out:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        assert ready, f"no {marker!r} in {out!r}"
        out += os.read(fd, 4096)
    return out


class TestAnalyse:
    def test_seconds_bounds_the_deepening_and_says_so(self):
        done = run("analyse", "--seconds", "0.2", "--engine", "minimax")
        assert done.returncode == 0, done.stderr
        assert len(depth_lines(done.stdout)) >= 3
        last = done.stdout.rstrip().splitlines()[-1]
        assert re.fullmatch(r"Stopped: depth \d+ would likely run past the 0.2 s allowed \(depth \d+ took .*\)\.", last)

    def test_depth_limits_before_seconds_do(self):
        done = run("analyse", "--depth", "2", "--seconds", "30")
        assert len(depth_lines(done.stdout)) == 2 and "Stopped" not in done.stdout

    def test_header_explains_the_value_scale(self):
        done = run("analyse", "--depth", "1", "--engine", "minimax")
        text = " ".join(done.stdout.split())
        assert "Values are X's advantage (negative: O's) in evaluation units" in text
        assert "Beyond +-100000, the game ends within the search" in text
        thought = " ".join(run("analyse", "--depth", "1").stdout.split())
        assert "Values are X's expected final disc difference (negative: O ahead)" in thought

    def test_lowercase_position_text(self):
        text = Position.start().play("d3").text()
        lower = run("analyse", text.lower(), "--depth", "1")
        upper = run("analyse", text, "--depth", "1")
        assert lower.returncode == 0, lower.stderr
        assert depth_lines(lower.stdout)[0].split()[-1] == depth_lines(upper.stdout)[0].split()[-1]


@pytest.mark.parametrize(
    "args, message",
    [
        (["analyse", "X O"], "board has 1 square instead of 64 in position text 'X O'"),
        (["analyse", START_BOARD], f"missing side to move (X or O) after the board in position text '{START_BOARD}'"),
        (["analyse", START_BOARD, "X", "extra"], f"unexpected 'extra' after the side to move in position text '{START_TEXT} extra'"),
        (["analyse", "--seconds", "0"], "seconds must be a number above 0 (or inf), got '0'"),
        (["analyse", "--seconds", "soon"], "seconds must be a number above 0 (or inf), got 'soon'"),
    ],
)  # fmt: skip
def test_position_and_option_messages(args, message):
    done = run(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and message in done.stderr
