"""The evaluation's training pipeline (training/): features, symmetric weight
sharing, the weight file, and a small run from games to weights."""

from __future__ import annotations

import json
import random
import sys
from pathlib import Path

import numpy as np
import pytest

# The pipeline lives beside the package, not in it: importable from the
# repository's root however pytest is started.
sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

pytest.importorskip("scipy")
pytest.importorskip("pyarrow")

from flipcore import _rules  # noqa: E402

from training import export, features, fit, try_fit  # noqa: E402
from training.features import Group  # noqa: E402

# The pattern groups as written in the evaluation's contract (base squares);
# the engine's groups must be these, with instances kept as the contract says.
CONTRACT = [
    ("edge_x", [0, 1, 2, 3, 4, 5, 6, 7, 9, 14], 4),
    ("corner_3x3", [0, 1, 2, 8, 9, 10, 16, 17, 18], 4),
    ("corner_2x5", [0, 1, 2, 3, 4, 8, 9, 10, 11, 12], 8),
    ("row_2", list(range(8, 16)), 4),
    ("row_3", list(range(16, 24)), 4),
    ("row_4", list(range(24, 32)), 4),
    ("diag_8", [0, 9, 18, 27, 36, 45, 54, 63], 2),
    ("diag_7", [1, 10, 19, 28, 37, 46, 55], 4),
    ("diag_6", [2, 11, 20, 29, 38, 47], 4),
    ("diag_5", [3, 12, 21, 30, 39], 4),
    ("diag_4", [4, 13, 22, 31], 4),
]


def contract_groups() -> list[Group]:
    return [features.symmetric_group(name, base) for name, base, _ in CONTRACT]


def groups() -> list[Group]:
    try:
        return features.pattern_groups()
    except RuntimeError:
        return contract_groups()


def random_positions(n: int, seed: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Positions along random games, both sides to move, every stage."""
    rng = random.Random(seed)
    black, white, player = [], [], []
    while len(black) < n:
        b, w, p = 0x810000000, 0x1008000000, 1
        while True:
            legal = _rules.legal_moves(b, w, p)
            if not legal:
                if not _rules.legal_moves(b, w, 3 - p):
                    break
                p = 3 - p
                continue
            squares = [s for s in range(64) if legal >> s & 1]
            b, w = _rules.play(b, w, p, rng.choice(squares))
            p = 3 - p
            black.append(b)
            white.append(w)
            player.append(p)
    return (np.array(black[:n], dtype=np.uint64), np.array(white[:n], dtype=np.uint64), np.array(player[:n]))


def test_groups_follow_the_contract():
    got = contract_groups()
    assert [len(g.instances) for g in got] == [k for _, _, k in CONTRACT]
    assert sum(len(g.instances) for g in got) == 46
    try:
        engine = features.pattern_groups()
    except RuntimeError:
        pytest.skip("flipcore._think is not built")
    assert [(g.name, g.size, g.instances) for g in engine] == [(g.name, g.size, g.instances) for g in got]


def test_features_equal_a_square_by_square_count():
    gs = groups()
    black, white, player = random_positions(300, 1)
    idx = features.pattern_indices(gs, black, white, player)
    glob = features.global_features(black, white, player)
    for i in range(len(black)):
        b, w, p = int(black[i]), int(white[i]), int(player[i])
        own, opp = (b, w) if p == 1 else (w, b)
        expected = []
        for g in gs:
            for inst in g.instances:
                expected.append(sum((1 if own >> sq & 1 else 2 if opp >> sq & 1 else 0) * 3**j
                                    for j, sq in enumerate(inst)))
        assert idx[i].tolist() == expected
        mobility = _rules.legal_moves(b, w, p).bit_count() - _rules.legal_moves(b, w, 3 - p).bit_count()
        empties = 64 - (b | w).bit_count()
        assert glob[i].tolist() == [1.0, float(mobility), float(empties % 2)]


def _symmetric_tables(gs: list[Group], rng: np.random.Generator) -> list[np.ndarray]:
    """Random int16 weights shared as the fit shares them."""
    return [rng.integers(-2000, 2000, 3**g.size).astype(np.int16)[g.canonical] for g in gs]


def test_shared_weights_give_the_same_value_in_all_orientations():
    # The engine's groups and the candidates that training.try_fit adds.
    gs = groups() + [features.symmetric_group(name, squares) for name, squares in try_fit.EXTRA_GROUPS.items()]
    rng = np.random.default_rng(2)
    black, white, player = random_positions(200, 2)
    shared = _symmetric_tables(gs, rng)
    free = [rng.integers(-2000, 2000, 3**g.size).astype(np.int16) for g in gs]
    g16 = np.array([5, 70, -30], dtype=np.int16)
    values = [fit.evaluate(gs, shared, g16, features.orient(t, black), features.orient(t, white), player)
              for t in range(8)]
    for t in range(1, 8):
        assert np.array_equal(values[t], values[0])
    # Weights without the sharing differ between orientations: the check above
    # can tell them apart.
    unshared = [fit.evaluate(gs, free, g16, features.orient(t, black), features.orient(t, white), player)
                for t in range(8)]
    assert any(not np.array_equal(unshared[t], unshared[0]) for t in range(1, 8))


def _file(gs: list[Group], n_stages: int, seed: int) -> export.WeightFile:
    rng = np.random.default_rng(seed)
    return export.WeightFile(
        scale=fit.SCALE,
        stage_of_empties=np.array([min(e, 59) * n_stages // 60 for e in range(61)]),
        group_sizes=[g.size for g in gs],
        weights=[[rng.integers(-32767, 32768, 3**g.size).astype(np.int16) for g in gs] for _ in range(n_stages)],
        globals_=rng.integers(-32767, 32768, (n_stages, fit.N_GLOBAL)).astype(np.int16),
    )


def test_weight_file_round_trips_and_refuses_damage(tmp_path: Path):
    gs = groups()
    wf = _file(gs, 2, 3)
    path = tmp_path / "eval.bin"
    export.write(wf, path)
    data = path.read_bytes()
    assert len(data) == 136 + 2 * (167265 + 3) * 2 + 8
    assert data[:8] == b"FCEVAL\x00\x01"
    back = export.read(path)
    assert back.stage_of_empties.tolist() == wf.stage_of_empties.tolist()
    assert back.group_sizes == [10, 9, 10, 8, 8, 8, 8, 7, 6, 5, 4]
    assert np.array_equal(back.globals_, wf.globals_)
    for s in range(2):
        for a, b in zip(back.weights[s], wf.weights[s]):
            assert np.array_equal(a, b)
    # FNV-1a 64 of known inputs.
    assert export.fnv1a64(b"") == 0xCBF29CE484222325
    assert export.fnv1a64(b"a") == 0xAF63DC4C8601EC8C
    damaged = bytearray(data)
    damaged[1000] ^= 1
    with pytest.raises(ValueError, match="checksum"):
        export.parse(bytes(damaged), "eval.bin")
    with pytest.raises(ValueError, match="bytes, expected"):
        export.parse(data[:-2], "eval.bin")
    with pytest.raises(ValueError, match="not a weight file"):
        export.parse(b"XXXXXXXX" + data[8:], "eval.bin")


def test_fit_recovers_a_planted_symmetric_evaluation():
    """Labels made by a known shared-weight evaluation: the fit reproduces
    them on its rows, and its exported fixed-point tables give what the
    sparse model gives (so the columns map back to the right indices)."""
    gs = groups()
    columns = fit.Columns(gs)
    black, white, player = random_positions(400, 4)
    rng = np.random.default_rng(4)
    planted = [t.astype(np.float64) / 64 for t in _symmetric_tables(gs, rng)]
    idx = features.pattern_indices(gs, black, white, player)
    k, y = 0, np.zeros(len(black))
    for g, table in zip(gs, planted):
        for _ in g.instances:
            y += table[idx[:, k]]
            k += 1
    empties = 64 - np.bitwise_count(black | white).astype(np.int64)
    data = fit.Data(black, white, player, empties, y, np.arange(len(y)) * fit.HOLDOUT_MOD)  # none held out
    stages = np.zeros(61, dtype=np.int64)
    result = fit.fit_stage(data, columns, stages, 0, damp=1e-6, iterations=2000)
    a = columns.design(black, white, player)
    solution = np.concatenate([np.zeros(columns.n_pattern), result.globals_])
    for g, column, table in zip(gs, columns.to_column, result.tables):
        solution[column] = table
    assert np.max(np.abs(a @ solution - y)) < 0.05
    exported = fit.evaluate(gs, [fit.quantise(t) for t in result.tables], fit.quantise(result.globals_),
                            black, white, player)
    assert np.max(np.abs(exported - a @ solution)) <= (46 * 0.5 + 3 * 0.5 * 30) / fit.SCALE


def test_small_run_from_games_to_weight_file(tmp_path: Path):
    from training import games, label
    from training.dataset import load

    settings = games.GameSettings(seed=7, chunk_size=8, out=tmp_path / "games")
    for chunk in range(2):
        label.exact_chunk(chunk, label.ExactSettings(settings, 10, tmp_path / "exact"))
    # A chunk is the same when played again.
    again = games.GameSettings(seed=7, chunk_size=8, out=tmp_path / "again")
    import pyarrow.parquet as pq

    assert pq.read_table(games.make_chunk(1, again)).equals(pq.read_table(games.chunk_path(settings.out, 1)))
    data, counts = load(tmp_path)
    assert counts["exact"] > 100 and counts["outcome"] > counts["exact"]
    # Exact labels agree with the game's own end where play was perfect: a
    # position with one empty square is scored by playing it out.
    exact = data.take(np.arange(counts["exact"]))  # the loader puts them first
    one = np.flatnonzero(exact.empties == 1)
    assert len(one)
    for i in one:
        b, w, p = int(exact.black[i]), int(exact.white[i]), int(exact.player[i])
        legal = _rules.legal_moves(b, w, p)
        mover = p
        if not legal:
            p = 3 - p
            legal = _rules.legal_moves(b, w, p)
        if legal:
            b, w = _rules.play(b, w, p, legal.bit_length() - 1)
        x, o = _rules.discs(b, w)
        diff = x - o
        diff = diff + (64 - x - o) * (diff > 0) - (64 - x - o) * (diff < 0)
        assert exact.score[i] == (diff if mover == 1 else -diff)
    columns = fit.Columns(groups())
    stages = fit.default_stages(30)
    fits = [fit.fit_stage(data, columns, stages, s, iterations=50) for s in range(2)]
    # The pipeline's fits on two processes are the serial ones, in stage order.
    from training.pipeline import fit_all

    serial, forked = (fit_all(data, columns, stages, 3.0, 2, log=lambda _: None, workers=n) for n in (1, 2))
    assert [f.stage for f in forked] == [0, 1]
    assert all(np.array_equal(a, b) for f, g in zip(serial, forked) for a, b in zip(f.tables, g.tables))
    wf = export.WeightFile(fit.SCALE, stages, [g.size for g in columns.groups],
                           [[fit.quantise(t) for t in f.tables] for f in fits],
                           np.stack([fit.quantise(f.globals_) for f in fits]))
    export.write(wf, tmp_path / "eval.bin")
    assert export.read(tmp_path / "eval.bin").n_stages == 2
    assert all(f.train_rows > 0 for f in fits)


def test_strong_chunks_are_think_games_played_the_same_again(tmp_path: Path):
    """Strong chunks are think's games; they must not depend on what think
    searched before in the process (its table), or a chunk could not be made
    again from its seed."""
    import pyarrow.parquet as pq

    import flipcore
    from training import games

    settings = games.GameSettings(seed=7, chunk_size=2, out=tmp_path / "first")
    chunk = games.STRONG_FIRST_CHUNK
    first = pq.read_table(games.make_chunk(chunk, settings))
    assert set(first.column("depth").to_pylist()) <= {5, 6, 7, 8}
    # Deeper searches of the first game's positions fill think's table with
    # entries a game played again would find.
    from training.common import replay

    for ply, black, white, player in replay(first.column("moves")[0].as_py()):
        if 10 <= ply < 40:
            flipcore._think.think(black, white, player, 9, 0.0)
    again = games.GameSettings(seed=7, chunk_size=2, out=tmp_path / "again")
    assert pq.read_table(games.make_chunk(chunk, again)).equals(first)


def test_clean_chunks_play_think_best_move_after_the_opening(tmp_path: Path):
    """Clean chunks are the strong players with no noise: after the random
    opening, every move is one of the best by the players' own valuation."""
    import pyarrow.parquet as pq

    from flipcore import _rules
    from training import games
    from training.common import PASS, replay

    settings = games.GameSettings(seed=5, chunk_size=2, out=tmp_path)
    table = pq.read_table(games.make_chunk(games.CLEAN_FIRST_CHUNK, settings)).to_pylist()
    checked = 0
    for game in table:
        assert 4 <= game["n_random"] <= 16
        chooser = games.NoisyChooser(game["depth"], 0.0, 0.0, engine="think")
        placed = 0
        for (ply, black, white, player), move in zip(replay(game["moves"]), game["moves"]):
            if move == PASS:
                continue
            legal = _rules.legal_moves(black, white, player)
            if placed >= game["n_random"] and legal.bit_count() > 1:
                values = {sq: chooser._value_after(black, white, player, sq) for sq in range(64) if legal >> sq & 1}
                assert values[move] == max(values.values()), (game["game"], ply)
                checked += 1
            placed += 1
    assert checked > 40


def test_searched_labels_take_think_values_from_the_mover_view(tmp_path: Path):
    """The searched-label step on a stand-in for think() that returns a value
    computed from the position: each row gets that value, rounded and held
    to -64..64, for the positions in the asked range."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    from training import games, label

    calls = []

    def stand_in(black: int, white: int, player: int, depth: int, seconds: float) -> dict:
        calls.append(depth)
        own = black if player == 1 else white
        return {"value": own.bit_count() * 3.4 - 60.0}

    settings = label.SearchSettings(games.GameSettings(seed=3, chunk_size=4, out=tmp_path / "games"),
                                    low=40, high=44, depth=5, every=1, out=tmp_path / "search")
    from training.dataset import load

    path = label.search_chunk(0, settings, think=stand_in)
    data, counts = load(tmp_path, [0])
    assert len(data) and len(calls) == len(data) == pq.read_table(path).num_rows and set(calls) == {5}
    for b, w, p, e, score in zip(data.black, data.white, data.player, data.empties, data.score):
        assert 40 <= e <= 44 and 64 - int(b | w).bit_count() == e
        own = int(b if p == 1 else w)
        assert score == max(-64, min(64, round(own.bit_count() * 3.4 - 60.0)))
    # A label whose game has no such ply is named, not read as another position.
    table = pq.read_table(path)
    bad = tmp_path / "bad" / "search" / path.name
    bad.parent.mkdir(parents=True)
    pq.write_table(table.set_column(1, "ply", pa.array([99] * table.num_rows, pa.int16())), bad)
    (tmp_path / "bad" / "games").symlink_to(tmp_path / "games")
    with pytest.raises(ValueError, match="not in its games: game 0, ply 99"):
        load(tmp_path / "bad", [0])

    # A deeper search over part of the range: the loader keeps one label a
    # position, the deepest search's.
    deeper = label.SearchSettings(settings.games, low=42, high=46, depth=7, every=1, out=tmp_path / "search")
    label.search_chunk(0, deeper, think=lambda b, w, p, d, s: {"value": 50.0})
    data, counts = load(tmp_path, [0])
    assert counts["search"] == len(data) == len(set(zip(data.game, data.black, data.white, data.player)))
    assert set(data.empties) == set(range(40, 47))
    assert all((score == 50) == (e >= 42) for score, e in zip(data.score, data.empties))


def test_engine_reads_the_exported_weights_as_the_fit_does(tmp_path: Path):
    """The engine's indices and static evaluation equal the pipeline's on
    the same file, position by position."""
    think = pytest.importorskip("flipcore._think")
    gs = features.pattern_groups()
    wf = _file(gs, 3, 5)
    # Weights within a range whose sums stay far from overflow, shared as
    # the fit shares them.
    rng = np.random.default_rng(5)
    wf.weights = [_symmetric_tables(gs, rng) for _ in range(3)]
    path = tmp_path / "eval.bin"
    export.write(wf, path)
    black, white, player = random_positions(200, 6)
    idx = features.pattern_indices(gs, black, white, player)
    try:
        think.load_weights(str(path))
        for i in range(len(black)):
            b, w, p = int(black[i]), int(white[i]), int(player[i])
            assert think.features(b, w, p) == idx[i].tolist()
            stage = wf.stage_of_empties[64 - (b | w).bit_count()]
            ours = fit.evaluate(gs, wf.weights[stage], wf.globals_[stage], black[i:i + 1], white[i:i + 1],
                                player[i:i + 1])[0]
            assert think.evaluate(b, w, p) == ours
    finally:
        if export.WEIGHT_FILE.exists():
            think.load_weights(str(export.WEIGHT_FILE))


def test_the_noisy_chooser_plays_each_engines_best_or_second_move(monkeypatch):
    from flipcore import Position, _think, init, search, think
    from training import games

    rng = random.Random(3)
    position = Position.start()
    while 64 - sum(position.discs()) > 44 or len(position.legal_moves()) < 4:
        legal = position.legal_moves()
        position = position.play(rng.choice(legal)) if legal else position.pass_()
    black, white, player = position._black, position._white, position.player
    legal = _rules.legal_moves(black, white, player)
    squares = [r * 8 + c for c, r in position.legal_moves()]

    # Values from the mover's view: the engine's value of the position after
    # the move, from a fresh table.
    think(position, depth=0)  # loads the weights
    for sq in squares[:2]:
        child = position.play((sq % 8, sq // 8))
        _think.clear_table()
        mover = games.NoisyChooser(4, engine="think")._value_after(black, white, player, sq)
        _think.clear_table()
        assert mover == -think(child, depth=3).value_for_mover()
        init()
        mover = games.NoisyChooser(4)._value_after(black, white, player, sq)
        init()
        assert mover == (1 if player == 1 else -1) * search(child, 3).value

    # What each chooser plays, against the values it saw itself.
    seen: dict[int, float] = {}
    value_after = games.NoisyChooser._value_after
    monkeypatch.setattr(
        games.NoisyChooser, "_value_after", lambda self, b, w, p, sq: seen.setdefault(sq, value_after(self, b, w, p, sq))
    )
    for engine in games.ENGINES:
        for p_random, p_second, rank in ((0.0, 0.0, 0), (0.0, 1.0, 1)):
            seen.clear()
            move = games.NoisyChooser(4, p_random, p_second, engine)(black, white, player, legal, random.Random(1))
            assert sorted(seen) == sorted(squares)
            assert seen[move] == sorted(seen.values(), reverse=True)[rank], (engine, rank)
        seen.clear()
        assert games.NoisyChooser(4, 1.0, 0.0, engine)(black, white, player, legal, random.Random(1)) in squares
        assert not seen  # a random move values nothing
    with pytest.raises(ValueError, match="engine must be one of"):
        games.NoisyChooser(4, engine="minimax")


def test_weighted_repeats_strong_and_clean_training_rows_apart():
    """Each kind of game counts as asked; held-out games count once, so that
    held-out errors stay plain means."""
    from training.games import CLEAN_FIRST_CHUNK, STRONG_FIRST_CHUNK
    from training.pipeline import weighted

    size = 10
    chunks = np.array([0, STRONG_FIRST_CHUNK, CLEAN_FIRST_CHUNK + 2])
    games = np.concatenate([c * size + np.arange(size) for c in chunks])  # one game per row, ids 0-9 in a chunk
    n = len(games)
    data = fit.Data(np.zeros(n, np.uint64), np.zeros(n, np.uint64), np.ones(n, np.int64),
                    np.full(n, 30, np.int64), np.zeros(n), games)
    for strong, clean, expect in ((3, None, (10, 28, 28)), (3, 5, (10, 28, 46)), (1, 1, (10, 10, 10))):
        counts = np.bincount(weighted(data, size, strong, clean).game // size, minlength=CLEAN_FIRST_CHUNK + 3)
        assert tuple(counts[chunks]) == expect


def test_try_fit_takes_solved_positions_from_the_movers_view(tmp_path: Path):
    """The benchmark's file keys positions by their text and scores them X
    minus O; try_fit must read the same boards and turn the scores to the
    side to move's view, as the fit's labels are, keeping only its range."""
    black, white, player = random_positions(120, 7)
    cases = {}
    for i, (b, w, p) in enumerate(zip(black.tolist(), white.tolist(), player.tolist())):
        board = "".join("X" if b >> sq & 1 else "O" if w >> sq & 1 else "-" for sq in range(64))
        cases[f"{board} {'XO'[p - 1]}"] = (b, w, p, 64 - board.count("X") - board.count("O"), 2 * (i % 9) - 8)
    path = tmp_path / "solved.json"
    path.write_text(json.dumps({text: {"score": case[4]} for text, case in cases.items()}))
    data = try_fit.solved_positions(str(path), 20, 30)
    wanted = sorted((b, w, p, e, s if p == 1 else -s) for b, w, p, e, s in cases.values() if 20 <= e <= 30)
    assert 0 < len(wanted) < len(cases)
    got = sorted(zip(data.black.tolist(), data.white.tolist(), data.player.tolist(), data.empties.tolist(),
                     data.score.tolist()))
    assert got == wanted
