"""flipcore review, and the records of play and selfplay, as a user runs them."""

import random
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from flipcore import Game, review
from flipcore.solve import describe_score, final_score

FLIPCORE = [sys.executable, "-P", "-m", "flipcore"]
SHORT = "f5d6c3d3c4f4"


def random_record(seed):
    rng, game = random.Random(seed), Game()
    while not game.is_over():
        position = game.positions()[-1]
        if not position.legal_moves():
            position = position.pass_()
        game.append(rng.choice(position.legal_moves()))
    return game.record()


# A whole game, to its end.
GAME = random_record(1)


def run(*args, stdin=""):
    return subprocess.run([*FLIPCORE, *args], input=stdin, capture_output=True, text=True, timeout=120)


def rows(stdout):
    """The table's rows: (number, side, move, exact flag, mark)."""
    found = []
    for line in stdout.splitlines():
        m = re.match(r" *(\d+)  ([XO])     ([a-h][1-8])   ([= ]).*?(inaccuracy|mistake|blunder)?$", line)
        if m:
            found.append((int(m[1]), m[2], m[3], m[4] == "=", m[5]))
    return found


class TestReviewCommand:
    def test_table_and_summary_match_the_api(self):
        done = run("review", GAME, "--depth", "2", "--exact-from", "10")
        assert done.returncode == 0, done.stderr
        expected = review(GAME, depth=2, exact_from=10)
        assert rows(done.stdout) == [
            (m.number, m.side, m.name(), m.exact, m.mark) for m in expected.moves
        ]
        for side in "XO":
            summary = expected.summary(side)
            line = re.search(rf"^  {side}: (\d+) moves;.*$", done.stdout, re.M)
            assert int(line[1]) == summary.moves
            assert f"{summary.marks['blunder']} blunder" in line[0]
        first = expected.first_exact()
        assert f"First exact result: before move {first.number}, " in done.stdout
        assert f"Result: {describe_score(expected.final_score)}" in done.stdout

    def test_file_of_games_and_their_graphs(self, tmp_path):
        games = tmp_path / "games.txt"
        games.write_text(f"# two games\n{SHORT}\n\n1. f5 d6 2. c3\n")
        done = run("review", str(games), "--depth", "1", "--exact-from", "0", "--plot", str(tmp_path / "v.svg"))
        assert done.returncode == 0, done.stderr
        assert f"Game 1 (line 2 of {games}): {SHORT}" in done.stdout
        assert f"Game 2 (line 4 of {games}): f5d6c3" in done.stdout
        assert [r[0] for r in rows(done.stdout)] == [1, 2, 3, 4, 5, 6, 1, 2, 3]
        assert "The record stops before the end of the game" in done.stdout
        for n in (1, 2):
            assert ElementTree.parse(tmp_path / f"v-{n}.svg").getroot().tag.endswith("svg")
        piped = run("review", "-", "--depth", "1", "--exact-from", "0", stdin=SHORT + "\n")
        assert piped.returncode == 0 and len(rows(piped.stdout)) == 6

    def test_game_in_several_words_and_from_a_set_up_start(self, tmp_path):
        game = Game.from_record(SHORT)
        start = game.positions()[2]
        words = [*start.text().split(), "c3", "d3", "c4", "f4"]
        done = run("review", *words, "--depth", "1", "--exact-from", "0", "--plot", str(tmp_path / "g.png"))
        assert done.returncode == 0, done.stderr
        assert [r[2] for r in rows(done.stdout)] == ["c3", "d3", "c4", "f4"]
        assert (tmp_path / "g.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    @pytest.mark.parametrize(
        "args, message",
        [
            (["f5d6z9"], "the game given: move 3 'z9': not a square"),
            (["f5 f5"], "the game given: move 2 'f5': not a legal move for O"),
            (["nowhere/games.txt"], "no such file: nowhere/games.txt"),
            (["games.txt"], "no such file: games.txt"),
            ([SHORT, "--plot", "graph.pdf"], "must end in .png or .svg"),
            ([SHORT, "--depth", "0"], "depth must be"),
            ([SHORT, "--exact-from", "x"], "exact-from must be"),
        ],
    )
    def test_bad_input_one_line_status_2(self, args, message, tmp_path):
        done = subprocess.run(
            [*FLIPCORE, "review", *args], capture_output=True, text=True, timeout=60, cwd=tmp_path
        )
        assert done.returncode == 2
        assert done.stderr.startswith("flipcore: error: ") and done.stderr.count("\n") == 1
        assert message in done.stderr and done.stdout == ""

    def test_bad_line_in_a_file(self, tmp_path):
        games = tmp_path / "games.txt"
        games.write_text(f"{SHORT}\n\n{GAME} a1\n")
        done = run("review", str(games))
        assert done.returncode == 2 and done.stdout == ""
        x, o = Game.from_record(GAME).result()
        number = len(Game.from_record(GAME)) + 1
        assert done.stderr == (
            f"flipcore: error: line 3 of {games}: move {number} 'a1': the game is already over (X {x}, O {o})\n"
        )
        empty = tmp_path / "empty.txt"
        empty.write_text("# nothing\n")
        assert "no game in" in run("review", str(empty)).stderr


class TestPlayRecords:
    def test_selfplay_prints_and_saves_a_record_that_replays(self, tmp_path):
        path = tmp_path / "game.txt"
        done = run("selfplay", "--depth", "1", "--save", str(path))
        assert done.returncode == 0, done.stderr
        record = re.search(r"^Record: (\S+)$", done.stdout, re.M)[1]
        assert path.read_text() == record + "\n"
        game = Game.from_record(record)
        final = game.positions()[-1]
        assert f"Result: {describe_score(final_score(final))}" in done.stdout

    def test_play_saves_even_a_stopped_game(self, tmp_path):
        path = tmp_path / "game.txt"
        done = run("play", "--depth", "1", "--save", str(path), stdin="f5\nquit\n")
        assert done.returncode == 1
        record = path.read_text().strip()
        game = Game.from_record(record)
        assert len(game) == 2 and game.moves[0] == (5, 4)
        assert f"Record: {record}" in done.stdout

    def test_unwritable_save_file(self, tmp_path):
        done = run("selfplay", "--depth", "1", "--save", str(tmp_path / "no" / "such" / "dir.txt"))
        assert done.returncode == 2 and "cannot write" in done.stderr
