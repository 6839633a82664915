"""The _flipcore module as a host program sees it: values, result shape,
table reuse across calls, and refusal of input the engine cannot search."""

import copy
import math

import pytest

import _flipcore

INF = math.inf


def start_board():
    board = [[0] * 8 for _ in range(8)]
    board[3][3], board[3][4], board[4][3], board[4][4] = 2, 1, 1, 2
    return board


SIDE1_MOVES = [(3, 2), (2, 3), (5, 4), (4, 5)]
SIDE2_MOVES = [(4, 2), (5, 3), (2, 4), (3, 5)]


@pytest.fixture(autouse=True)
def fresh_engine():
    _flipcore.init()


class TestStartPosition:
    @pytest.mark.parametrize(
        "depth, value",
        [(1, -35.53583333333333), (2, -14.566666666666666)],
    )
    def test_both_sides(self, depth, value):
        r1 = _flipcore.minimax_moves(start_board(), 1, depth, -INF, INF)
        assert r1 == {"moves": SIDE1_MOVES, "val": value}
        _flipcore.init()
        r2 = _flipcore.minimax_moves(start_board(), 2, depth, -INF, INF)
        assert r2 == {"moves": SIDE2_MOVES, "val": -value}

    def test_result_types_and_key_order(self):
        r = _flipcore.minimax_moves(start_board(), 1, 3, -INF, INF)
        assert list(r) == ["moves", "val"]
        assert type(r["val"]) is float
        assert type(r["moves"]) is list
        for move in r["moves"]:
            assert type(move) is tuple and len(move) == 2
            assert all(type(x) is int for x in move)

    def test_whole_number_value_is_float(self):
        # Side 1 owns everything: no one can move, the end rule gives discs + 100000.
        board = [[1] * 8 for _ in range(8)]
        r = _flipcore.minimax_moves(board, 1, 3, -INF, INF)
        assert r == {"moves": [], "val": 100064.0}
        assert type(r["val"]) is float

    def test_depth_zero_is_the_static_value(self):
        assert _flipcore.minimax_moves(start_board(), 1, 0, -INF, INF) == {"moves": [], "val": 0.0}


class TestTableAcrossCalls:
    def test_deep_exact_entry_answers_a_shallower_request(self):
        deep = _flipcore.minimax_moves(start_board(), 1, 3, -INF, INF)
        # The root's depth-3 result is exact, so a depth-1 request returns it
        # instead of the depth-1 value.
        shallow = _flipcore.minimax_moves(start_board(), 1, 1, -INF, INF)
        assert shallow == deep
        assert shallow["val"] != -35.53583333333333

    def test_init_empties_the_table(self):
        _flipcore.minimax_moves(start_board(), 1, 3, -INF, INF)
        assert _flipcore.init() is None
        shallow = _flipcore.minimax_moves(start_board(), 1, 1, -INF, INF)
        assert shallow["val"] == -35.53583333333333

    def test_bound_from_a_narrow_window_is_refined_later(self):
        full = _flipcore.minimax_moves(start_board(), 1, 4, -INF, INF)
        _flipcore.init()
        # A window above the true value fails low and stores an upper bound.
        low = _flipcore.minimax_moves(start_board(), 1, 4, full["val"] + 1, full["val"] + 2)
        assert low["val"] <= full["val"] + 1
        again = _flipcore.minimax_moves(start_board(), 1, 4, -INF, INF)
        # The bound stored by the failed search can cut the re-search short
        # after the first tied move, but the value is the true one.
        assert again["val"] == full["val"]
        assert again["moves"] == full["moves"][: len(again["moves"])] and again["moves"]

    def test_larger_board_is_truncated(self):
        big = [row + [7, 7] for row in start_board()] + [[9] * 10]
        assert _flipcore.minimax_moves(big, 1, 2, -INF, INF)["val"] == -14.566666666666666

    def test_host_board_is_never_written(self):
        board = start_board()
        before = copy.deepcopy(board)
        _flipcore.minimax_moves(board, 1, 4, -INF, INF)
        assert board == before


class TestRefusals:
    @pytest.mark.parametrize(
        "board, message",
        [
            (start_board()[:7], "board must have at least 8 rows, got 7"),
            ([], "board must have at least 8 rows, got 0"),
            (start_board()[:5] + [[0] * 7] + start_board()[6:], "board row 5 must have at least 8 values, got 7"),
        ],
    )
    def test_short_boards(self, board, message):
        with pytest.raises(ValueError, match=message):
            _flipcore.minimax_moves(board, 1, 1, -INF, INF)

    @pytest.mark.parametrize("value", [3, -1, 100])
    def test_bad_cell(self, value):
        board = start_board()
        board[6][2] = value
        with pytest.raises(ValueError, match=rf"board\[6\]\[2\] must be 0, 1 or 2, got {value}"):
            _flipcore.minimax_moves(board, 1, 1, -INF, INF)

    @pytest.mark.parametrize("player", [0, 3, -1, 7])
    def test_bad_player(self, player):
        with pytest.raises(ValueError, match=f"player must be 1 or 2, got {player}"):
            _flipcore.minimax_moves(start_board(), player, 1, -INF, INF)

    def test_negative_depth(self):
        with pytest.raises(ValueError, match="depth must be 0 or more, got -1"):
            _flipcore.minimax_moves(start_board(), 1, -1, -INF, INF)

    def test_refusal_leaves_the_table_alone(self):
        deep = _flipcore.minimax_moves(start_board(), 1, 3, -INF, INF)
        with pytest.raises(ValueError):
            _flipcore.minimax_moves(start_board(), 0, 5, -INF, INF)
        assert _flipcore.minimax_moves(start_board(), 1, 1, -INF, INF) == deep

    @pytest.mark.parametrize(
        "call",
        [
            lambda: _flipcore.minimax_moves(board=start_board(), player=1, depth=3, alpha=-1.0, beta=1.0),
            lambda: _flipcore.minimax_moves(start_board(), 1, 3, -1.0),
            lambda: _flipcore.init(0),
            lambda: _flipcore.minimax_moves("x" * 64, 1, 1, -INF, INF),
            lambda: _flipcore.minimax_moves(start_board(), 1.5, 1, -INF, INF),
            lambda: _flipcore.minimax_moves(start_board(), 1, 1, "a", INF),
            lambda: _flipcore.minimax_moves(start_board(), 1, 2**80, -INF, INF),
        ],
    )
    def test_unconvertible_arguments(self, call):
        with pytest.raises(TypeError):
            call()


def test_docstrings():
    assert _flipcore.init.__doc__.rstrip().endswith("Initialize Zobrist hash keys and clear the transposition table")
    doc = _flipcore.minimax_moves.__doc__.rstrip()
    assert doc.endswith('Run minimax. Returns {"moves": [(col, row), ...], "val": score}')
