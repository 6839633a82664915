"""The exact solver's binding (flipcore._solver): its answers on a known
position under colour swap, input checking, progress reports, Ctrl-C, and
solves in two threads at once."""

from __future__ import annotations

import os
import random
import signal
import threading
import time

import pytest

from flipcore import _rules, _solver

# Standard endgame position 40 (tests/data/endgame.txt): side 1 to move
# scores +38 with a2 (square 8) alone.
POSITION_40 = "O--OOOOX-OOOOOOXOOXXOOOXOOXOOOXXOOOOOOXX---OOOOX----O--X--------"


def masks(text: str) -> tuple[int, int]:
    black = sum(1 << i for i, c in enumerate(text) if c == "X")
    white = sum(1 << i for i, c in enumerate(text) if c == "O")
    return black, white


def random_position(seed: int, empties: int) -> tuple[int, int, int]:
    """(black, white, player) after random play from the start down to
    `empties` empty squares, with the side to move able to move."""
    rng = random.Random(seed)
    while True:
        black, white, player = (1 << 28) | (1 << 35), (1 << 27) | (1 << 36), 1
        while 64 - bin(black | white).count("1") > empties:
            moves = _rules.legal_moves(black, white, player)
            if not moves:
                player = 3 - player
                moves = _rules.legal_moves(black, white, player)
                if not moves:
                    break
            squares = [sq for sq in range(64) if moves >> sq & 1]
            black, white = _rules.play(black, white, player, rng.choice(squares))
            player = 3 - player
        if 64 - bin(black | white).count("1") == empties and _rules.legal_moves(black, white, player):
            return black, white, player


def test_known_position_in_every_mode_and_colour():
    black, white = masks(POSITION_40)
    for b, w, player in ((black, white, 1), (white, black, 2)):
        exact = _solver.solve(b, w, player, "exact")
        assert exact["score"] == 38 and exact["moves"] == [8] and exact["line"][0] == 8
        assert exact["nodes"] > 0
        every = _solver.solve(b, w, player, "every_move")
        scores = dict(every["move_scores"])
        assert scores[8] == 38 and max(scores.values()) == 38 and every["moves"] == [8]
        assert sorted(scores) == [sq for sq in range(64) if _rules.legal_moves(b, w, player) >> sq & 1]
        wld = _solver.solve(b, w, player, "wld")
        assert wld["score"] == 1 and wld["moves"] == sorted(sq for sq, v in scores.items() if v > 0)


def test_bad_input_names_what_is_wrong():
    with pytest.raises(ValueError, match="overlap"):
        _solver.solve(3, 1, 1, "exact")
    with pytest.raises(ValueError, match="player"):
        _solver.solve(1, 2, 0, "exact")
    with pytest.raises(ValueError, match="mode"):
        _solver.solve(1, 2, 1, "fast")
    for bad in ("1", -1, 1 << 64, 1.5):
        with pytest.raises(TypeError):
            _solver.solve(bad, 2, 1, "exact")
    with pytest.raises(TypeError):
        _solver.solve(1, 2, 1, "exact", 5)
    before = _solver.table_bytes()
    with pytest.raises(ValueError, match="1 MiB"):
        _solver.set_table_bytes((1 << 20) - 1)
    with pytest.raises(MemoryError):
        _solver.set_table_bytes(1 << 62)
    assert _solver.table_bytes() == before
    _solver.set_table_bytes(1 << 21)
    assert _solver.table_bytes() == 1 << 21
    assert _solver.solve(*masks(POSITION_40), 1, "exact")["score"] == 38
    _solver.set_table_bytes(before)


def test_progress_narrows_and_its_errors_stop_the_solve():
    black, white, player = random_position(7, 16)
    seen: list[tuple[int, int]] = []
    result = _solver.solve(black, white, player, "exact", lambda lo, hi: seen.append((lo, hi)))
    assert seen and seen[-1] == (result["score"], result["score"])
    assert all(a[0] <= b[0] and b[1] <= a[1] for a, b in zip(seen, seen[1:]))

    class Stop(Exception):
        pass

    def stop(lower: int, upper: int) -> None:
        raise Stop

    with pytest.raises(Stop):
        _solver.solve(black, white, player, "exact", stop)
    again = _solver.solve(black, white, player, "exact")
    assert (again["score"], again["moves"]) == (result["score"], result["moves"])


def test_ctrl_c_stops_a_long_solve_quickly():
    black, white, player = random_position(11, 30)  # far too deep to finish
    sent: list[float] = []

    def interrupt() -> None:
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.3, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            _solver.solve(black, white, player, "exact")
        stopped = time.monotonic()
    finally:
        timer.cancel()
    assert stopped - sent[0] < 0.1
    assert _solver.solve(*masks(POSITION_40), 1, "wld")["score"] == 1


def test_two_threads_solve_at_once_and_the_interpreter_runs():
    positions = [random_position(seed, 18) for seed in (1, 2)]
    expected = [_solver.solve(*p, "every_move") for p in positions]
    results: list[dict | None] = [None, None]

    def work(i: int) -> None:
        for _ in range(2):
            results[i] = _solver.solve(*positions[i], "every_move")

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    ticks = 0
    for t in threads:
        t.start()
    while any(t.is_alive() for t in threads):
        ticks += 1
        time.sleep(0.001)
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        assert got is not None
        assert (got["score"], got["moves"], got["move_scores"]) == (
            want["score"],
            want["moves"],
            want["move_scores"],
        )
    assert ticks > 5  # the main thread ran while both solved
