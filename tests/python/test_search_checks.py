"""search() and analyse(): their own argument checks, the forced pass, and
the results they report beside the engine's."""

import math

import _flipcore
import pytest
from pkg_cases import MUST_PASS_TEXT

from flipcore import Position, SearchResult, analyse, search

INF = math.inf
# O has the upper half, X most of the rest; X to move has no move, O has
# three, and the game is not over.
X_MUST_PASS = Position.from_text("O" * 32 + "X" * 29 + "--- X")


def engine(pos, depth, alpha=-INF, beta=INF):
    _flipcore.init()
    found = _flipcore.minimax_moves(pos.board, pos.player, depth, alpha, beta)
    return found["val"], tuple(found["moves"])


class Index:
    """An integer type of some other library (as numpy's are): has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class TestArguments:
    @pytest.mark.parametrize("depth", [1.5, "3", 10**10, True, -1, 61, None, 2.0])
    def test_bad_depth_is_named_in_the_package_own_words(self, depth):
        with pytest.raises(ValueError) as err:
            search(Position.start(), depth)
        assert str(err.value) == f"depth must be a whole number from 0 to 60, got {depth!r}"

    def test_integer_types_and_number_windows_are_taken(self):
        _flipcore.init()
        result = search(Position.start(), Index(2), -100, 100.5)
        assert result.depth == 2 and type(result.depth) is int
        assert (result.value, result.moves) == engine(Position.start(), 2, -100, 100.5)

    @pytest.mark.parametrize(
        "args, message",
        [
            (("d3", 2), "board has 2 squares instead of 64 in position text 'd3'"),
            ((None, 2), "position must be a flipcore.Position or its text form, got NoneType None"),
            ((Position.start(), 2, math.nan), "alpha must be a number, not NaN"),
            ((Position.start(), 2, -INF, "1"), "beta must be a number (float or int), got '1'"),
            ((Position.start(), 2, False), "alpha must be a number (float or int), got False"),
            ((Position.start(), 2, -(10**400)), "alpha is too large for a float: -1000"),
        ],
    )
    def test_bad_position_or_window(self, args, message):
        # A position that is not one is a TypeError; a text that does not read
        # and a bad window are ValueErrors.
        with pytest.raises(TypeError if args[0] is None else ValueError) as err:
            search(*args)
        assert str(err.value).startswith(message)

    def test_play_pass_must_be_a_bool(self):
        with pytest.raises(ValueError, match="play_pass must be True or False, got 1"):
            search(X_MUST_PASS, 2, play_pass=1)

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"max_depth": 0}, "max_depth must be a whole number of at least 1"),
            ({"max_depth": 61}, "max_depth must be a whole number from 1 to 60"),
            ({"max_depth": 3, "seconds": 0}, "seconds must be above 0"),
            ({"max_depth": 3, "seconds": INF}, "seconds must be above 0 and finite"),
            ({"max_depth": 3, "seconds": "1"}, "seconds must be a number"),
        ],
    )
    def test_bad_analyse_arguments(self, kwargs, message):
        with pytest.raises(ValueError, match=message):
            analyse(Position.start(), **kwargs)


class TestPass:
    @pytest.mark.parametrize("text", [X_MUST_PASS.text(), MUST_PASS_TEXT])
    @pytest.mark.parametrize("depth", [1, 3])
    def test_forced_pass_is_played_and_said(self, text, depth):
        pos = Position.from_text(text)
        after = pos.pass_()
        result = search(pos, depth)
        assert result.passed
        assert (result.value, result.moves) == engine(after, depth)
        assert result.moves and set(result.moves) <= set(after.legal_moves())
        # Without the pass, as the engine itself scores it: a finished game.
        x, o = pos.discs()
        kept = search(pos, depth, play_pass=False)
        assert not kept.passed and kept.moves == ()
        assert kept.value == (x - o) + (x > o) * 100000 - (x < o) * 100000 == engine(pos, depth)[0]

    def test_no_pass_when_there_is_a_move_or_the_game_is_over(self):
        assert not search(Position.start(), 2).passed
        over = Position.from_text("O" + "-" * 63 + " X")
        result = search(over, 3)
        assert (result.value, result.moves, result.passed) == (-100001.0, (), False)

    def test_analyse_passes_at_every_depth(self):
        results = list(analyse(X_MUST_PASS, 3))
        assert [r.passed for r in results] == [True] * 3
        assert [r.value for r in results] == [engine(X_MUST_PASS.pass_(), d)[0] for d in (1, 2, 3)]


def test_result_is_a_frozen_value_like_one_built_by_hand():
    _flipcore.init()
    found = search(Position.start(), 1)
    built = SearchResult(found.value, found.moves, 1, found.seconds)
    assert found == built and not built.passed
    with pytest.raises(AttributeError):
        found.value = 0.0  # type: ignore[misc]
    assert repr(found).startswith("SearchResult(value=-35.5")


def test_board_rows_match_the_board_on_random_games():
    # The engine reads the board from shared row tuples; they must spell
    # out the same board as the square-by-square text form.
    import random

    rng = random.Random(5)
    for _ in range(30):
        pos = Position.start()
        while not pos.is_over():
            moves = pos.legal_moves()
            pos = pos.play(rng.choice(moves)) if moves else pos.pass_()
            rows = pos._rows()
            text = "".join("-XO"[code] for row in rows for code in row)
            assert text == pos.text()[:64] and [list(r) for r in rows] == pos.board
