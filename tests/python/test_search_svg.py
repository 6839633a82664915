"""search() and analyse() against the engine they wrap, and the SVG drawing."""

import math
import re
import xml.etree.ElementTree as ET

import _flipcore
import pytest

from flipcore import Game, Position, analyse, search, solve, svg

INF = math.inf


@pytest.fixture(autouse=True)
def fresh_engine():
    _flipcore.init()


def engine(pos, depth, alpha=-INF, beta=INF):
    _flipcore.init()
    return _flipcore.minimax_moves(pos.board, pos.player, depth, alpha, beta)


class TestSearch:
    @pytest.mark.parametrize("depth", [1, 2])
    def test_start(self, depth):
        result = search(Position.start(), depth)
        assert result.names() == ["d3", "c4", "f5", "e6"]
        assert result.moves == ((3, 2), (2, 3), (5, 4), (4, 5))
        assert result.value == engine(Position.start(), depth)["val"]
        assert result.depth == depth and result.seconds >= 0

    def test_side_two_to_move_and_window_reach_the_engine(self):
        pos = Position.start().play("d3").play("c5").play("f6")
        assert pos.player == 2
        wide = search(pos, 3)
        found = engine(pos, 3)
        assert (list(wide.moves), wide.value) == (found["moves"], found["val"])
        assert set(wide.moves) <= set(pos.legal_moves())
        _flipcore.init()
        # A window far above the value gives a different (bound) answer.
        window = (wide.value + 100, wide.value + 101)
        narrow = search(pos, 3, *window)
        found = engine(pos, 3, *window)
        assert (list(narrow.moves), narrow.value) == (found["moves"], found["val"])
        assert narrow.value != wide.value

    def test_bad_depth(self):
        with pytest.raises(ValueError, match="depth"):
            search(Position.start(), -1)
        with pytest.raises(ValueError, match="max_depth"):
            analyse(Position.start(), 0)

    def test_analyse_deepens_one_depth_at_a_time(self):
        pos = Position.start().play("f5")
        # A deeper result left in the table must not stand in for depth 1.
        search(pos, 6)
        results = list(analyse(pos, 4))
        assert [r.depth for r in results] == [1, 2, 3, 4]
        for r in results:
            assert r.seconds >= 0 and r.value == engine(pos, r.depth)["val"]


SVG = "{http://www.w3.org/2000/svg}"


def square_at(circle):
    # Squares are 40 units wide after a 20-unit margin.
    return ((int(circle.get("cx")) - 20) // 40, (int(circle.get("cy")) - 20) // 40)


class TestSvg:
    def test_one_disc_per_occupied_square_and_marked_moves(self):
        pos = Position.start().play("d3").play("c5").play("f6").play("f5")
        root = ET.fromstring(svg(pos, moves=["a1", (7, 7)], size=200))
        assert root.tag == SVG + "svg" and root.get("width") == root.get("height") == "200"
        circles = root.findall(SVG + "circle")
        discs = {square_at(c): c.get("class") for c in circles if c.get("class", "").startswith("disc")}
        board = pos.board
        occupied = {(c, r): board[r][c] for r in range(8) for c in range(8) if board[r][c]}
        assert len(discs) == sum(pos.discs()) == len([c for c in circles if "disc" in c.get("class", "")])
        assert discs == {sq: "disc X" if code == 1 else "disc O" for sq, code in occupied.items()}
        assert sorted(square_at(c) for c in circles if c.get("class") == "move") == [(0, 0), (7, 7)]
        assert [t.text for t in root.findall(SVG + "text")][:2] == ["a", "1"]

    def test_notebook_drawing_marks_legal_moves(self):
        pos = Position.start()
        root = ET.fromstring(pos._repr_svg_())
        marks = [square_at(c) for c in root.findall(SVG + "circle") if c.get("class") == "move"]
        assert sorted(marks) == sorted(pos.legal_moves())

    @pytest.mark.parametrize("kwargs", [{"size": 0}, {"size": 2.5}, {"moves": ["k9"]}, {"moves": [(9, 0)]}])
    def test_bad_arguments(self, kwargs):
        with pytest.raises(ValueError):
            svg(Position.start(), **kwargs)


class TestPositionArguments:
    """Every function that takes a position takes a Position or its text
    form, gives the same answer for both, and refuses anything else with a
    TypeError naming what was passed."""

    TEXT = Position.start().play("d3").text()

    @staticmethod
    def _calls():
        return {
            "search": lambda p: search(p, 3).moves,
            "analyse": lambda p: [r.moves for r in analyse(p, 2)],
            "solve": lambda p: solve(p).score,
            "svg": lambda p: svg(p),
            "Game": lambda p: Game(p, ["c5"]).positions()[-1],
        }

    @pytest.mark.parametrize("name", ["search", "analyse", "solve", "svg", "Game"])
    def test_text_or_position_and_nothing_else(self, name):
        call = self._calls()[name]
        finished = "X" * 63 + "O X"
        if name == "solve":
            assert call(finished) == call(Position.from_text(finished)) == 62
        else:
            assert call(self.TEXT) == call(Position.from_text(self.TEXT))
        # Game takes None for the start position.
        bad_ones = [(3, "int 3"), ([[0] * 8] * 8, "list [[0, 0")] + [(None, "NoneType None")] * (name != "Game")
        for bad, shown in bad_ones:
            with pytest.raises(TypeError, match=r"must be a flipcore\.Position or its text form, got " + re.escape(shown)):
                call(bad)
        with pytest.raises(ValueError, match="board has 4 squares instead of 64"):
            call("XO-- X")

    def test_analyse_of_a_finished_game_stops_at_once(self):
        over = Position.from_text("X" * 60 + "----" + " O")
        run = analyse(over)
        assert len(list(run)) == 1
        assert (run.stop_reason, run.stop_message) == ("over", "the game is over: X wins 64-0")


def test_version_is_the_installed_one():
    import importlib.metadata

    import flipcore

    assert flipcore.__version__ == importlib.metadata.version("flipcore")
    assert re.fullmatch(r"\d+\.\d+\.\d+", flipcore.__version__)
