"""Square names, the text form, board checks, and the rules as Position
applies them, held to a small independent reference of the rules."""

import pickle

import pytest
from pkg_cases import MUST_PASS_TEXT, START_BOARD, START_TEXT
from hypothesis import given, settings
from hypothesis import strategies as st

from flipcore import Position, parse_square, square_name

ALL_SQUARES = [(col, row) for row in range(8) for col in range(8)]


class TestSquareNames:
    def test_round_trip_every_square(self):
        names = [square_name(sq) for sq in ALL_SQUARES]
        assert names[:3] == ["a1", "b1", "c1"] and names[-1] == "h8"
        assert square_name((3, 2)) == "d3"
        for sq, name in zip(ALL_SQUARES, names):
            assert parse_square(name) == sq == parse_square(name.upper())

    @pytest.mark.parametrize("bad", ["", "d", "d0", "d9", "i1", "dd", "d33", " d3", "3d", 5])
    def test_parse_errors_quote_the_input(self, bad):
        with pytest.raises(ValueError, match="not a square name") as err:
            parse_square(bad)
        assert repr(bad) in str(err.value)

    @pytest.mark.parametrize("bad", [(8, 0), (-1, 0), (0, 8), (1,), (1.0, 2), "d3", (True, 2)])
    def test_bad_squares_have_no_name(self, bad):
        with pytest.raises(ValueError, match="square"):
            square_name(bad)


class TestTextForm:
    def test_start(self):
        start = Position.start()
        assert start.text() == START_TEXT
        assert Position.from_text(f" \n{START_TEXT}\t\n") == start
        assert start.player == 1 and start.discs() == (2, 2)
        assert start.board[3][3] == 2 and start.board[3][4] == 1

    @pytest.mark.parametrize(
        "text, problem",
        [
            ("", "no board"),
            ("-" * 63 + " X", "board has 63 squares instead of 64"),
            (START_BOARD[:27] + "Z" + START_BOARD[28:] + " X", "unknown character 'Z' .* at square d4"),
            (START_BOARD[:63] + "q X", "unknown character 'q' .* at square h8"),
            ("X O", "board has 1 square instead of 64"),
            (START_BOARD, "missing side to move"),
            (START_BOARD + " Y", "side to move must be X or O, got 'Y'"),
            (START_BOARD + " X O", "unexpected 'O' after the side to move"),
            (START_BOARD + " Y O", "side to move must be X or O, got 'Y'"),
        ],
    )
    def test_parse_errors_say_what_and_quote_the_input(self, text, problem):
        with pytest.raises(ValueError, match=problem) as err:
            Position.from_text(text)
        assert repr(text) in str(err.value)

    def test_lowercase_discs_and_side_read_like_capitals(self):
        after = Position.start().play("d3").play("c5")
        assert Position.from_text(after.text().lower()) == after
        assert Position.from_text(START_BOARD.replace("X", "x") + " X") == Position.start()

    def test_str_shows_coordinates_and_side(self):
        lines = str(Position.start().play("d3")).splitlines()
        assert lines[0] == lines[9] == "  a b c d e f g h"
        assert lines[3] == "3 - - - X - - - - 3"
        assert lines[4] == "4 - - - X X - - - 4"
        assert lines[10] == "O to move (X 4 O 1)"
        assert str(Position.from_text(MUST_PASS_TEXT)).endswith("X passes (X 1 O 1)")


class TestBoardCheck:
    @staticmethod
    def board():
        return Position.start().board

    @pytest.mark.parametrize(
        "change, player, problem",
        [
            (lambda b: b.pop(), 1, r"board must have 8 rows, got 7"),
            (lambda b: b[2].pop(), 1, r"board row 2 must have 8 values, got 7"),
            (lambda b: b[5].__setitem__(6, 3), 1, r"board\[5\]\[6\] must be 0, 1 or 2, got 3"),
            (lambda b: b[0].__setitem__(0, "1"), 1, r"board\[0\]\[0\] must be 0, 1 or 2, got '1'"),
            (lambda b: None, 3, "player must be 1 or 2, got 3"),
        ],
    )
    def test_refused(self, change, player, problem):
        board = self.board()
        change(board)
        with pytest.raises(ValueError, match=problem):
            Position(board, player)

    def test_board_is_a_fresh_copy(self):
        pos = Position.start()
        pos.board[0][0] = 1
        assert pos.board[0][0] == 0 and pos == Position(self.board(), 1)


class TestValueBehaviour:
    def test_equal_positions_compare_and_hash_equal(self):
        a = Position.start().play("d3")
        b = Position.from_text(a.text())
        assert a == b and hash(a) == hash(b) and len({a, b, Position.start()}) == 2
        assert a != Position.from_text(a.text()[:-1] + "X")
        assert pickle.loads(pickle.dumps(a)) == a and eval(repr(a), {"Position": Position}) == a

    def test_immutable(self):
        pos = Position.start()
        with pytest.raises(AttributeError):
            pos._player = 2  # type: ignore[misc]
        pos.play("d3")
        assert pos == Position.start()


class TestMoves:
    def test_start_moves_and_names_or_tuples(self):
        start = Position.start()
        assert start.legal_moves() == [(3, 2), (2, 3), (5, 4), (4, 5)]
        assert start.play("D3") == start.play((3, 2))
        assert start.play("d3").legal_moves() == [(2, 2), (4, 2), (2, 4)]

    @pytest.mark.parametrize(
        "move, problem",
        [
            ("a1", "a1 is not a legal move for X; legal moves: d3 c4 f5 e6"),
            ("d4", "d4 is not a legal move"),
            ("z9", "not a square name"),
            ((8, 8), "a square is"),
        ],
    )
    def test_illegal_moves_refused(self, move, problem):
        with pytest.raises(ValueError, match=problem):
            Position.start().play(move)

    def test_pass_and_game_end(self):
        stuck = Position.from_text(MUST_PASS_TEXT)
        assert stuck.legal_moves() == [] and not stuck.is_over()
        with pytest.raises(ValueError, match="X has no legal move and must pass"):
            stuck.play("c1")
        with pytest.raises(ValueError, match="X has a legal move and may not pass"):
            Position.start().pass_()
        after = stuck.pass_()
        assert after.player == 2 and after.legal_moves() == [(2, 0)]
        over = after.play("c1")
        assert over.is_over() and over.discs() == (0, 3)
        with pytest.raises(ValueError, match="the game is over"):
            over.pass_()


DIRECTIONS = [(1, 0), (1, 1), (0, 1), (-1, 1), (-1, 0), (-1, -1), (0, -1), (1, -1)]


def reference_flips(board, col, row, side):
    """The discs that `side` turns over by placing on (col, row), by walking."""
    if board[row][col]:
        return []
    flipped = []
    for dx, dy in DIRECTIONS:
        x, y, run = col + dx, row + dy, []
        while 0 <= x < 8 and 0 <= y < 8 and board[y][x] == 3 - side:
            run.append((x, y))
            x, y = x + dx, y + dy
        if run and 0 <= x < 8 and 0 <= y < 8 and board[y][x] == side:
            flipped += run
    return flipped


@settings(max_examples=40, deadline=None)
@given(st.randoms(use_true_random=False))
def test_random_games_follow_the_reference_rules(rng):
    pos = Position.start()
    while True:
        board, side = pos.board, pos.player
        legal = [sq for sq in ALL_SQUARES if reference_flips(board, *sq, side)]
        assert pos.legal_moves() == legal
        assert Position.from_text(pos.text()) == pos == Position(board, side)
        assert pos.discs() == (sum(r.count(1) for r in board), sum(r.count(2) for r in board))
        over = not legal and not any(reference_flips(board, *sq, 3 - side) for sq in ALL_SQUARES)
        assert pos.is_over() == over
        if not legal:
            if over:
                return
            pos = pos.pass_()
            continue
        col, row = rng.choice(legal)
        for x, y in reference_flips(board, col, row, side) + [(col, row)]:
            board[y][x] = side
        pos = pos.play((col, row))
        assert pos.board == board and pos.player == 3 - side


def test_the_board_symmetries_are_its_eight_and_the_engines_order():
    from flipcore.position import SYMMETRIES

    squares = [(c, r) for r in range(8) for c in range(8)]
    images = [tuple(sym(c, r) for c, r in squares) for sym in SYMMETRIES]
    # Each maps the board onto itself; no two are the same map.
    assert all(sorted(image) == sorted(squares) for image in images) and len(set(images)) == 8
    # They form a group: any two in turn are one of them.
    for first in SYMMETRIES:
        for second in SYMMETRIES:
            assert tuple(second(*first(c, r)) for c, r in squares) in images
    # The engine's order: its corner_2x5 pattern has eight instances, the
    # images of the first under the symmetries in turn.
    from flipcore import _think

    (instances,) = [inst for name, _, inst in _think.pattern_groups() if name == "corner_2x5"]

    def image(sym, sq):
        c, r = sym(sq % 8, sq // 8)
        return r * 8 + c

    assert [[image(sym, sq) for sq in instances[0]] for sym in SYMMETRIES] == instances
