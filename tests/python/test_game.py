"""Games and their records: round trips, bad records, passes, set-up starts."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from pkg_cases import MUST_PASS_TEXT

from flipcore import Game, GameRecordError, Position, square_name


def replay(start, moves):
    """The positions a game goes through, by Position alone: the position
    each move is played in (after a pass if due), then the last one."""
    positions, position = [], start
    for move in moves:
        if not position.legal_moves():
            position = position.pass_()
        positions.append(position)
        position = position.play(move)
    return positions + [position]


def random_moves(rng, start=None, limit=60):
    """A random game's moves from `start`, up to `limit` of them."""
    position, moves = start or Position.start(), []
    while not position.is_over() and len(moves) < limit:
        if not position.legal_moves():
            position = position.pass_()
        move = rng.choice(position.legal_moves())
        moves.append(move)
        position = position.play(move)
    return moves


def game_with_pass(seed_from, where):
    """The first random game from seed `seed_from` on with a pass due
    before a move in its middle ("middle") or right before its last move
    ("end")."""
    for seed in range(seed_from, seed_from + 2000):
        game = Game(moves=random_moves(random.Random(seed)))
        plies = [ply for ply in range(len(game)) if game.passes_before(ply)]
        if where == "middle" and any(10 < ply < len(game) - 5 for ply in plies):
            return game, next(ply for ply in plies if 10 < ply < len(game) - 5)
        if where == "end" and len(game) - 1 in plies:
            return game, len(game) - 1
    raise AssertionError(f"no random game with a pass at its {where}")


def written_with_passes(game):
    """The record with every pass written out as an explicit token."""
    words = []
    for ply, move in enumerate(game.moves):
        if game.passes_before(ply):
            words.append("pass")
        words.append(square_name(move))
    return " ".join(words)


class TestRoundTrip:
    @settings(max_examples=60, deadline=None)
    @given(st.randoms(use_true_random=False), st.integers(0, 60))
    def test_record_reads_back_into_an_equal_game(self, rng, limit):
        moves = random_moves(rng, limit=limit)
        game = Game(moves=moves)
        again = Game.from_record(game.record())
        assert again == game and again.moves == tuple(moves)
        assert again.positions() == game.positions() == replay(Position.start(), moves)
        assert game.record() == "".join(square_name(m) for m in moves)
        assert again.is_over() == (len(moves) < limit or replay(Position.start(), moves)[-1].is_over())

    @settings(max_examples=30, deadline=None)
    @given(st.randoms(use_true_random=False), st.sampled_from([" ", ", ", " ,", "\n", "  "]), st.booleans())
    def test_case_separators_numbers_and_passes_read_alike(self, rng, sep, numbered):
        game = Game(moves=random_moves(rng))
        words = written_with_passes(game).split()
        words = [w.upper() if rng.random() < 0.5 else w for w in words]
        if numbered:
            words = [f"{i}. {w}" if i % 2 else w for i, w in enumerate(words, 1)]
        assert Game.from_record(sep.join(words)) == game

    def test_move_numbers_in_player_style(self):
        game = Game.from_record("1. f5 d6 2. c3 d3 3.c4 f4 4...f6")
        assert game.record() == "f5d6c3d3c4f4f6"
        assert Game.from_record("F5D6C3D3C4F4F6") == game

    def test_built_by_append_equals_built_at_once(self):
        moves = random_moves(random.Random(7))
        game = Game()
        for move in moves:
            game.append(square_name(move) if len(game) % 2 else move)
        assert game == Game(moves=moves) and len(game) == len(moves)
        assert game.is_over() and game.result() == game.positions()[-1].discs()
        assert sum(game.result()) <= 64

    def test_position_at_every_ply(self):
        moves = random_moves(random.Random(3), limit=30)
        game = Game(moves=moves)
        expected = replay(Position.start(), moves)
        assert [game.position_at(ply) for ply in range(31)] == expected
        assert game.result() is None and not game.is_over()
        for ply in (-1, 31, 1.0, "1"):
            with pytest.raises(ValueError, match="ply must be"):
                game.position_at(ply)
            with pytest.raises(ValueError, match="ply must be"):
                game.passes_before(ply)
        with pytest.raises(ValueError, match="ply must be"):
            game.passes_before(30)  # the final position has no move


class TestBadRecords:
    @pytest.mark.parametrize(
        "record, number, move, reason",
        [
            ("f5d6z9", 3, "z9", "not a square"),
            ("f5 d6 hello", 3, "hello", "not a square"),
            ("f5 i1", 2, "i1", "not a square"),
            ("f5 d6c33", 4, "3", "not a square"),  # c3, then a digit stuck to it
            ("f5 d6 c3 d0", 4, "d0", "not a square"),
            ("f5 f5", 2, "f5", "not a legal move for O (legal: f4 d6 f6)"),
            ("a1", 1, "a1", "not a legal move for X (legal: d3 c4 f5 e6)"),
            ("1. f5 2. d6 pass", 3, "pass", "X has a move and may not pass"),
            ("f5 pass", 2, "pass", "O has a move and may not pass"),
            ("pass", 1, "pass", "X has a move and may not pass"),
        ],
    )
    def test_refused_with_number_move_and_reason(self, record, number, move, reason):
        with pytest.raises(GameRecordError) as caught:
            Game.from_record(record)
        err = caught.value
        assert (err.move_number, err.move) == (number, move)
        assert reason in err.reason
        assert str(err).startswith(f"move {number} {move!r}: ")
        assert isinstance(err, ValueError)

    def test_moves_after_the_end(self):
        game = Game(moves=random_moves(random.Random(11)))
        assert game.is_over()
        for extra in ("a1", "pass"):
            with pytest.raises(GameRecordError, match="already over") as caught:
                Game.from_record(game.record() + " " + extra)
            assert caught.value.move_number == len(game) + 1
        with pytest.raises(GameRecordError, match="already over"):
            game.append(game.moves[0])

    def test_append_refused_leaves_the_game_as_it_was(self):
        game = Game.from_record("f5d6")
        before = game.positions()
        for bad in ("f5", "z1", (8, 0), (1,), 35, "pass"):
            with pytest.raises(GameRecordError):
                game.append(bad)
            assert game.positions() == before and game.record() == "f5d6"

    def test_not_a_record_at_all(self):
        with pytest.raises(TypeError):
            Game.from_record(None)
        with pytest.raises(TypeError, match="from_record"):
            Game(moves="f5d6")
        with pytest.raises(ValueError, match="position text 'start'"):
            Game(start="start")
        with pytest.raises(TypeError, match="start must be a flipcore.Position or its text form, got int 3"):
            Game(start=3)


class TestPasses:
    @pytest.mark.parametrize("where", ["middle", "end"])
    def test_implied_or_written_pass(self, where):
        game, ply = game_with_pass(0, where)
        positions = game.positions()
        # The same side moves twice running: the other one passed.
        assert positions[ply - 1].player == positions[ply].player
        assert positions[ply].legal_moves()
        written = written_with_passes(game)
        assert "pass" in written
        assert Game.from_record(written) == game
        assert Game.from_record(written.replace("pass", "--")) == game
        assert "pass" not in game.record() and Game.from_record(game.record()) == game

    def test_record_may_stop_where_a_pass_is_due(self):
        game, ply = game_with_pass(0, "middle")
        head = game.moves[:ply]
        stopped = Game(moves=head)
        after_last = stopped.positions()[-1]
        assert not after_last.legal_moves() and not after_last.is_over()
        written = Game.from_record(" ".join(square_name(m) for m in head) + " pass")
        assert written == stopped and written.positions()[-1] == after_last
        # Two passes running would end the game, which is not over.
        with pytest.raises(GameRecordError, match="may not pass"):
            Game.from_record(" ".join(square_name(m) for m in head) + " pass pass")
        stopped.append(game.moves[ply])
        assert stopped.positions()[-2] == after_last.pass_()


class TestSetUpStart:
    def test_start_in_the_record_or_given(self):
        start = Position.start().play("f5").play("d6").play("c3")
        moves = random_moves(random.Random(5), start=start, limit=20)
        game = Game(start, moves)
        record = game.record()
        assert record.startswith(start.text() + " ")
        assert Game.from_record(record) == game
        assert game.positions() == replay(start, moves)
        bare = "".join(square_name(m) for m in moves)
        assert Game.from_record(bare, start=start) == game
        assert Game.from_record(record, start=start) == game
        try:  # from the start the same moves are another game, or not legal at all
            assert Game.from_record(bare) != game
        except GameRecordError:
            pass
        with pytest.raises(GameRecordError, match="another position"):
            Game.from_record(record, start=Position.start())

    def test_start_that_must_pass(self):
        start = Position.from_text(MUST_PASS_TEXT)
        game = Game.from_record(MUST_PASS_TEXT + " c1")
        assert game.start == start and game.moves == ((2, 0),)
        assert game.positions()[0] == start.pass_() and game.passes_before(0)
        assert game.is_over() and Game.from_record(game.record()) == game
        assert Game.from_record(MUST_PASS_TEXT + " pass c1") == game
        assert Game(start).record() == MUST_PASS_TEXT

    def test_bad_start_position(self):
        board = "-" * 27 + "OX" + "-" * 6 + "XO" + "-" * 27
        with pytest.raises(GameRecordError) as caught:
            Game.from_record(board + " Y f5")
        assert caught.value.move_number == 0 and "side to move" in caught.value.reason
        with pytest.raises(GameRecordError):
            Game.from_record(board)
