"""The move-by-move review: values against search() and solve(), marks on
games with a known blunder, the summary, the value graph."""

import json
import random
import xml.etree.ElementTree as ElementTree

import pytest

from flipcore import Game, Position, init, review, search, solve
from flipcore.review import BLUNDER, EXACT_MARKS, INACCURACY, MIDGAME_MARKS, MISTAKE, exact_mark, midgame_mark


def empties(position):
    return 64 - sum(position.discs())


def random_game(seed, limit=60):
    rng, game = random.Random(seed), Game()
    while not game.is_over() and len(game) < limit:
        position = game.positions()[-1]
        if not position.legal_moves():
            position = position.pass_()
        game.append(rng.choice(position.legal_moves()))
    return game


def blunder_game(seed, exact_from):
    """A game played at random until `exact_from` empty squares, then
    perfectly (the solver's first best move) but for one move: the first
    chance to turn a won position into a draw or a loss, which is taken
    with the worst such move. Returns the game and the blunder's ply, or
    None when no such chance comes."""
    rng, game, blunder = random.Random(seed), Game(), None
    while not game.is_over():
        position = game.positions()[-1]
        if not position.legal_moves():
            position = position.pass_()
        if empties(position) > exact_from:
            game.append(rng.choice(position.legal_moves()))
            continue
        solved = solve(position, "every_move")
        view = 1 if position.player == 1 else -1
        losing = [m for m, score in solved.move_scores.items() if score * view <= 0]
        if blunder is None and solved.score * view > 0 and losing:
            blunder = len(game)
            game.append(min(losing, key=lambda m: solved.move_scores[m] * view))
        else:
            game.append(solved.moves[0])
    return (game, blunder) if blunder is not None else None


def blunder_games(count, exact_from):
    found = []
    seed = 0
    while len(found) < count:
        made = blunder_game(seed, exact_from)
        if made is not None:
            found.append(made)
        seed += 1
    return found


class TestMidgameValues:
    DEPTH = 3

    def test_values_are_the_engines_searches(self):
        game = random_game(4, limit=40)
        result = review(game, depth=self.DEPTH, exact_from=0, engine="minimax")
        assert len(result.moves) == len(game) == 40
        spurious = 0  # moves the engine listed as tied that are worse
        for move, position, played in zip(result.moves, game.positions(), game.moves):
            init()
            best = search(position, self.DEPTH)
            init()
            after = search(position.play(played), self.DEPTH - 1, play_pass=False)
            assert (move.position, move.move, move.player) == (position, played, position.player)
            assert move.best_value == best.value and move.value == after.value
            assert not move.exact and move.depth == self.DEPTH
            # The engine's tied moves that truly reach the best value, its
            # first (exact) one always among them.
            tied = []
            for m in best.moves:
                init()
                if search(position.play(m), self.DEPTH - 1, play_pass=False).value == best.value:
                    tied.append(m)
            assert move.best_moves == tuple(tied) and tied[0] == best.moves[0]
            spurious += len(best.moves) - len(tied)
            assert move.loss >= 0
            assert (move.loss == 0) == (played in move.best_moves)
            assert move.mark == midgame_mark(move.loss)
        assert spurious > 0, "the game should hold a tie that is only a bound"

    def test_move_that_makes_the_other_side_pass(self):
        # Valued as the engine's own search values it: a finished game.
        for seed in range(500):
            game = random_game(seed)
            plies = [p for p in range(1, len(game)) if game.passes_before(p)]
            if plies:
                break
        result = review(game, depth=2, exact_from=0, engine="minimax")
        for ply in plies:
            before = result.moves[ply - 1]
            x, o = game.positions()[ply].discs()
            assert before.value == (x - o) + 100000.0 * ((x > o) - (x < o))
            assert result.moves[ply].player == before.player
        assert all(move.loss >= 0 for move in result.moves)

    def test_review_ignores_what_the_table_held(self):
        game = random_game(9, limit=30)
        fresh = review(game, depth=self.DEPTH, exact_from=0, engine="minimax")
        # Deeper results of the very positions, stored in the table, would
        # answer shallower searches if the review did not empty it.
        for position in game.positions():
            if position.legal_moves():
                search(position, self.DEPTH + 2)
        again = review(game, depth=self.DEPTH, exact_from=0, engine="minimax")
        assert again.moves == fresh.moves

    def test_progress_and_arguments(self):
        game = random_game(2, limit=12)
        calls = []
        review(game, depth=1, exact_from=0, progress=lambda done, total: calls.append((done, total)))
        assert calls == [(k, 12) for k in range(1, 13)]
        assert review(game.record(), depth=1, exact_from=0).moves == review(game, 1, 0).moves
        for bad in ({"depth": 0}, {"depth": 61}, {"depth": 2.0}, {"exact_from": -1}, {"exact_from": 61}):
            with pytest.raises(ValueError):
                review(game, **{"depth": 1, "exact_from": 0, **bad})
        with pytest.raises(TypeError):
            review(None)


class TestExactPart:
    EXACT_FROM = 12

    def test_values_are_the_solvers(self):
        game = random_game(21)
        result = review(game, depth=2, exact_from=self.EXACT_FROM)
        positions = game.positions()
        exact = [move for move in result.moves if move.exact]
        assert exact and exact == list(result.moves[-len(exact) :])
        for move in result.moves:
            assert move.exact == (empties(positions[move.ply]) <= self.EXACT_FROM)
        for move in exact:
            best = solve(positions[move.ply])
            after = solve(positions[move.ply + 1])
            assert (move.best_value, move.best_moves) == (best.score, best.moves)
            assert move.value == after.score and move.depth is None
            assert move.loss == (best.score - after.score) * (1 if move.player == 1 else -1) >= 0
        assert result.final_score == solve(positions[-1]).score
        x, o = game.result()
        assert result.final_score == (x - o) + (64 - x - o) * ((x > o) - (x < o))
        # Cut short inside the exact part, and before it.
        cut = Game(moves=game.moves[:-3])
        assert review(cut, depth=2, exact_from=self.EXACT_FROM).final_score == solve(positions[-4]).score
        early = review(Game(moves=game.moves[:20]), depth=1, exact_from=self.EXACT_FROM)
        assert early.final_score is None and early.first_exact() is None
        assert early.summary(1).first_exact is None and early.summary(1).exact_moves == 0

    def test_known_blunders_marked_and_nothing_else(self):
        for game, ply in blunder_games(3, self.EXACT_FROM):
            result = review(game, depth=1, exact_from=self.EXACT_FROM)
            blunder = result.moves[ply]
            assert blunder.exact and blunder.mark == BLUNDER
            view = 1 if blunder.player == 1 else -1
            assert blunder.best_value * view > 0 >= blunder.value * view
            assert blunder.move not in blunder.best_moves
            marked = [move.ply for move in result.moves if move.exact and move.mark]
            assert marked == [ply]
            summary = result.summary(blunder.player)
            assert summary.marks[BLUNDER] == 1 + sum(
                m.mark == BLUNDER for m in result.moves if not m.exact and m.player == blunder.player
            )
            assert summary.exact_loss == blunder.loss
            first = result.first_exact()
            assert summary.first_exact == (first.ply, first.best_value)
            assert result.summary(3 - blunder.player).exact_loss == 0

    def test_game_shorter_than_the_exact_part(self):
        start = Position.from_text("OOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOOO-XXXXXX--------- X")
        game = Game(start)
        while not game.is_over():
            position = game.positions()[-1]
            if not position.legal_moves():
                position = position.pass_()
            game.append(solve(position).moves[0])
        result = review(game, depth=2, exact_from=60)
        assert all(move.exact and move.loss == 0 and move.mark is None for move in result.moves)
        assert result.final_score == solve(start).score


class TestMarks:
    def test_exact_thresholds(self):
        assert exact_mark(10, 8, 1) == INACCURACY
        assert exact_mark(10, 10, 1) is None
        assert exact_mark(-10, -4, 2) == MISTAKE
        assert exact_mark(40, 28, 1) == BLUNDER
        assert exact_mark(40, 30, 1) == MISTAKE
        # A result thrown away is a blunder whatever the discs.
        assert exact_mark(2, 0, 1) == BLUNDER
        assert exact_mark(0, 2, 2) == BLUNDER
        assert exact_mark(-2, 0, 2) == BLUNDER
        assert exact_mark(-2, -4, 1) == INACCURACY  # lost already, a bit more
        assert [least for _, least in EXACT_MARKS] == sorted((least for _, least in EXACT_MARKS), reverse=True)

    def test_midgame_thresholds(self):
        (blunder, b), (mistake, m), (inaccuracy, i) = MIDGAME_MARKS
        assert midgame_mark(i - 0.01) is None and midgame_mark(i) == inaccuracy == INACCURACY
        assert midgame_mark(m) == mistake == MISTAKE and midgame_mark(b) == blunder == BLUNDER
        assert midgame_mark(200000.0) == BLUNDER


# One review shared by TestOutput's tests: a module-level fixture, since a
# class-scoped fixture written as a method is deprecated from pytest 9 on.
@pytest.fixture(scope="class")
def result():
    game, _ = blunder_games(1, 12)[0]
    return review(game, depth=2, exact_from=12)


class TestOutput:

    def test_to_dict_is_json(self, result):
        data = json.loads(json.dumps(result.to_dict()))
        assert data["record"] == result.game.record()
        assert len(data["moves"]) == len(result.moves)
        for row, move in zip(data["moves"], result.moves):
            assert (row["move"], row["value"], row["mark"], row["exact"]) == (
                move.name(),
                move.value,
                move.mark,
                move.exact,
            )
            assert Position.from_text(row["position"]) == move.position
        assert data["summary"]["X"]["marks"] == result.summary(1).marks
        assert data["summary"]["O"]["exact_loss"] == result.summary("O").exact_loss
        with pytest.raises(ValueError):
            result.summary(0)

    def test_figure_has_one_point_per_move(self, result):
        fig = result.plot()
        lines = [line for ax in fig.axes for line in ax.get_lines() if line.get_gid() == "value"]
        xs = [x for line in lines for x in line.get_xdata()]
        assert sorted(xs) == [move.number for move in result.moves]
        exact_line = next(line for line in lines if line.get_label() == "exact")
        assert list(exact_line.get_ydata()) == [move.value for move in result.moves if move.exact]
        marked = {
            int(x) for ax in fig.axes for c in ax.collections if c.get_gid() == BLUNDER for x, _ in c.get_offsets()
        }
        assert marked == {move.number for move in result.moves if move.mark == BLUNDER}
        labels = {t.get_text() for ax in fig.axes for t in ax.texts}
        for move in result.moves:
            assert (f"{move.number}. {move.side} {move.name()}" in labels) == (move.mark == BLUNDER)

    def test_the_graph_depends_on_the_review_not_the_reverse(self):
        # review.py names no plotting module, not even inside a function;
        # the graph is handed over by flipcore.plot, and importing flipcore
        # (which registers it) loads no matplotlib until a graph is drawn.
        import ast
        import inspect
        import subprocess
        import sys

        import flipcore.review

        tree = ast.parse(inspect.getsource(flipcore.review))
        imported = {node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)}
        imported |= {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import) for alias in node.names}
        assert not any(name == "flipcore.plot" or name.startswith("matplotlib") for name in imported if name)
        code = (
            "import sys, flipcore\n"
            "assert 'matplotlib' not in sys.modules\n"
            "r = flipcore.review('f5d6c3', depth=1)\n"
            "print(type(r.plot()).__name__, 'matplotlib' in sys.modules)\n"
        )
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert done.stdout.split() == ["Figure", "True"]

    def test_png_and_svg_files(self, result, tmp_path):
        from flipcore.plot import save_plot

        png = save_plot(result, tmp_path / "graph.png").read_bytes()
        assert png[:8] == b"\x89PNG\r\n\x1a\n" and png[12:16] == b"IHDR" and png.endswith(b"IEND\xaeB`\x82")
        import matplotlib.image

        assert matplotlib.image.imread(tmp_path / "graph.png").shape[2] in (3, 4)
        root = ElementTree.parse(save_plot(result, tmp_path / "graph.SVG")).getroot()
        assert root.tag.endswith("svg")
        with pytest.raises(ValueError, match=".png or .svg"):
            save_plot(result, tmp_path / "graph.jpg")


class TestThinkReview:
    """The default review values the midgame with think, in discs."""

    def test_values_are_fresh_think_searches_and_repeat(self):
        from flipcore import _think, think

        game = random_game(6, limit=16)
        result = review(game, depth=3, exact_from=0)
        assert result.engine == "think" and result.to_dict()["engine"] == "think"
        for move, position in zip(result.moves, game.positions()):
            _think.clear_table()
            best = think(position, depth=3)
            _think.clear_table()
            after = best.value if move.move == best.move else think(position.play(move.move), depth=2).value
            assert (move.best_value, move.best_moves, move.value) == (best.value, (best.move,), after)
            assert move.loss >= 0 and move.mark == midgame_mark(move.loss, discs=True)
        assert review(game, depth=3, exact_from=0).moves == result.moves
