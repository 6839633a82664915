"""How strong flipcore.think is, beside flipcore.analyse.

    python benchmarks/think_bench.py --only eval      # error in discs by stage
    python benchmarks/think_bench.py --only match --seconds 0.05 --openings 50
    python benchmarks/think_bench.py --only quality --count 20 --seconds 2
    python benchmarks/think_bench.py --only solved --low 20 --high 33
    python benchmarks/think_bench.py --only played --low 29 --high 30 --seconds 2
    python benchmarks/think_bench.py --only helpers --count 30 --helper-depth 16

eval: positions of games think played against itself at depth 6 for this
    benchmark alone (seed --seed, never trained on: the training games use
    other seeds), solved exactly, at 12,
    16, 20 and 24 empty squares (--stages); the mean absolute error in discs
    of the static evaluation, of think at --short seconds, and of a small
    model (the disc difference alone, scaled to the final score by least
    squares on the same positions: a bar any evaluation must clear).
match: think against analyse (or --opponent think-alone: think whose
    midgame search has no helper threads) with the same time a move, from --openings
    random openings of 8 moves, each played with both colours; points are
    1 a win and 1/2 a draw.
solved: every position solved so far (the file below), by number of
    empty squares from --low to --high: the static evaluation's and think's
    at --short seconds mean absolute error, and their mean error from the
    side to move's view (above 0: the side to move overrated), and the small
    model's as in eval; more positions than eval's at each stage, from games
    played on earlier weights; then the static error of all of them with its
    standard error, and all of them grouped by the size of the static value,
    with the mean of how far the exact score lies beyond it.
helpers: the midgame search's time to --helper-depth on --count positions
    after random openings, alone and with helper threads on every core, side
    by side, each from an empty table.
quality: positions of those games with --low to --high empty squares,
    solved in every_move mode; for think and for analyse at --seconds a
    position, the mean discs lost against the best move and how often the
    move was a best one.
played: like quality, on every solved position with --low to --high
    empty squares, where solving every move would cost too much: each
    engine's move is valued by solving the position after it (kept in the
    file below too), so a loss of 0 is a best move.

Solved positions are kept in benchmarks/data/think_solved.json (the same
seed on the same weights always makes the same positions: --games-weights
fixes them while --weights changes), so a rerun solves only what is new.
Every figure is checked as it is made: each solved score is the best of its
move scores, and every move either engine plays is legal.
"""

from __future__ import annotations

import argparse
import json
import random
import statistics
import time
from collections.abc import Callable
from pathlib import Path

from flipcore import Position, Square, analyse, solve, think
from flipcore.solve import check_threads
from flipcore.think import _think_module

CACHE = Path(__file__).resolve().parent / "data" / "think_solved.json"
# The depth at which think plays the games whose positions eval and quality
# measure on.
GAME_DEPTH = 6


def empties(p: Position) -> int:
    x, o = p.discs()
    return 64 - x - o


def random_opening(rng: random.Random, plies: int) -> Position:
    while True:
        p = Position.start()
        for _ in range(plies):
            moves = p.legal_moves()
            if not moves:
                break
            p = p.play(rng.choice(moves))
        if p.legal_moves():
            return p


def analyse_move(p: Position, seconds: float):
    """analyse's move at `seconds`: the first best move of its last depth."""
    last = None
    for result in analyse(p, seconds=seconds):
        last = result
    return last.moves[0] if last and last.moves else None


def think_move(p: Position, seconds: float):
    return think(p, seconds=seconds).move


def think_alone_move(p: Position, seconds: float):
    """think's move with its midgame search in the calling thread alone (its
    exact solver still on every core): what the helper threads add."""
    found = _think_module().think(p._black, p._white, p.player, 0, seconds, threads=check_threads(None), search_threads=1)
    return None if found["move"] == -1 else (found["move"] % 8, found["move"] // 8)


ENGINES = {"think": think_move, "analyse": analyse_move, "think-alone": think_alone_move}


def play(p: Position, black: Callable[[Position], Square], white: Callable[[Position], Square]) -> tuple[int, list[Position]]:
    """Plays to the end, each side's move by its function; returns the final
    disc difference (X minus O) and the positions met with a move to play."""
    seen = []
    while not p.is_over():
        if not p.legal_moves():
            p = p.pass_()
            continue
        seen.append(p)
        move = (black if p.player == 1 else white)(p)
        assert move in p.legal_moves(), move
        p = p.play(move)
    x, o = p.discs()
    return x - o, seen


def game_positions(seed: int, games: int, depth: int = GAME_DEPTH) -> list[Position]:
    """Positions of games played by think from random openings, for eval
    and quality (not the match's). think plays them at a fixed depth, which
    gives the same answer on any machine under any load: the same seed
    makes the same positions."""
    rng = random.Random(seed)
    out = []
    mover = lambda p: think(p, depth=depth).move  # noqa: E731
    for _ in range(games):
        _, seen = play(random_opening(rng, rng.randrange(4, 14)), mover, mover)
        out.extend(seen)
    return out


def measured_positions(args, seed: int) -> list[Position]:
    """game_positions, played on --games-weights when given (then the
    weights measured are put back), so that two weight files can be
    compared on the same positions."""
    if not args.games_weights:
        return game_positions(seed, args.games)
    from flipcore import _think
    from flipcore.think import WEIGHTS_PATH

    _think.load_weights(args.games_weights)
    try:
        return game_positions(seed, args.games)
    finally:
        _think.load_weights(args.weights or str(WEIGHTS_PATH))


def load_cache() -> dict[str, dict]:
    return json.loads(CACHE.read_text()) if CACHE.exists() else {}


def save_cache(cache: dict[str, dict]) -> None:
    CACHE.parent.mkdir(exist_ok=True)
    CACHE.write_text(json.dumps(cache, indent=0, sort_keys=True))


def solved(p: Position, cache: dict[str, dict], every_move: bool) -> dict:
    key = p.text()
    entry = cache.get(key)
    if entry is None or (every_move and "moves" not in entry):
        r = solve(p, "every_move" if every_move else "exact")
        entry = {"score": r.score}
        if every_move:
            entry["moves"] = {f"{c},{rw}": s for (c, rw), s in r.move_scores.items()}
            best = max(r.move_scores.values()) if p.player == 1 else min(r.move_scores.values())
            assert best == r.score, (key, best, r.score)
        cache[key] = entry
        save_cache(cache)
    return entry


def small_model_error(chosen: list[Position], scores: list[int]) -> float:
    """The small model's mean absolute error: score = k * disc difference,
    k by least squares on the same positions."""
    diffs = [p.discs()[0] - p.discs()[1] for p in chosen]
    k = sum(d * s for d, s in zip(diffs, scores)) / max(1, sum(d * d for d in diffs))
    return statistics.fmean(abs(k * d - s) for d, s in zip(diffs, scores))


def bench_eval(args) -> None:
    cache = load_cache()
    positions = measured_positions(args, args.seed)
    print(f"{'empties':>7} {'count':>5} {'static':>7} {'think ' + str(args.short) + ' s':>12} {'small model':>11}")
    for e in args.stages:
        chosen = [p for p in positions if empties(p) == e][: args.count]
        scores = [solved(p, cache, False)["score"] for p in chosen]
        static = [think(p, depth=0).value for p in chosen]
        mae = lambda vals: statistics.fmean(abs(v - s) for v, s in zip(vals, scores))  # noqa: E731
        short = f"{mae([think(p, seconds=args.short).value for p in chosen]):12.2f}" if args.short > 0 else f"{'-':>12}"
        print(f"{e:7d} {len(chosen):5d} {mae(static):7.2f} {short} {small_model_error(chosen, scores):11.2f}")


def solved_positions(cache: dict[str, dict], low: int, high: int) -> list[Position]:
    """Every solved position with low..high empty squares, in the file's order."""
    return [p for p in map(Position.from_text, sorted(cache)) if low <= empties(p) <= high]


def error_columns(values: list[float], scores: list[int], sides: list[int]) -> str:
    """The mean absolute error, then the mean error from the side to move's view."""
    errors = [v - s for v, s in zip(values, scores)]
    mover = statistics.fmean(err * side for err, side in zip(errors, sides))
    return f"{statistics.fmean(map(abs, errors)):7.2f} {mover:+7.2f}"


def bench_solved(args) -> None:
    cache = load_cache()
    by_empties: dict[int, list[Position]] = {}
    for p in solved_positions(cache, args.low, args.high):
        by_empties.setdefault(empties(p), []).append(p)
    print(f"{'empties':>7} {'count':>5} {'static':>7} {'(mover)':>7} {'think ' + str(args.short) + ' s':>12} {'(mover)':>7}"
          f" {'small model':>11}")
    called: list[tuple[float, int]] = []  # (static value, exact score) of every position
    for e, chosen in sorted(by_empties.items()):
        scores = [cache[p.text()]["score"] for p in chosen]
        sides = [1 if p.player == 1 else -1 for p in chosen]
        static = [think(p, depth=0).value for p in chosen]
        called += zip(static, scores)
        short = (f"{'':5}" + error_columns([think(p, seconds=args.short).value for p in chosen], scores, sides)
                 if args.short > 0 else f"{'-':>12} {'-':>7}")
        print(f"{e:7d} {len(chosen):5d} {error_columns(static, scores, sides)} {short}"
              f" {small_model_error(chosen, scores):11.2f}", flush=True)
    # The goals are stated over ranges of empties, where one stage's few
    # dozen positions are noisy: the whole range, with the standard error.
    errors = [abs(v - s) for v, s in called]
    if len(errors) > 1:
        print(f"{'all':>7} {len(errors):5d} {statistics.fmean(errors):7.2f}"
              f" +- {statistics.stdev(errors) / len(errors) ** 0.5:.2f} (standard error)")
    # Grouped by how decided the static value calls the game, rather than by
    # how it ended: a position that ends lopsided is often one the evaluation
    # misjudged, so grouping by the exact score overstates the error there.
    print(f"\n{'|static|':>8} {'count':>5} {'static':>7} {'exact beyond it':>15}")
    for low, high in ((0, 8), (8, 16), (16, 24), (24, 32), (32, 65)):
        group = [(v, s) for v, s in called if low <= abs(v) < high]
        if group:
            beyond = statistics.fmean((s - v) * (1 if v > 0 else -1) for v, s in group)
            print(f"{low:>3}-{high:<4} {len(group):5d} {statistics.fmean(abs(v - s) for v, s in group):7.2f} {beyond:+15.2f}")


def move_value(p: Position, move: Square, entry: dict, cache: dict[str, dict]) -> int:
    """The exact value (X minus O) of playing `move` in `p`: from the
    position's every-move values when they are kept, else by solving the
    position after it, kept in the entry's "after" (not as a position of its
    own, which would count in solved's figures)."""
    key = f"{move[0]},{move[1]}"
    if "moves" in entry:
        return entry["moves"][key]
    after = entry.setdefault("after", {})
    if key not in after:
        after[key] = solve(p.play(move), "exact").score
        save_cache(cache)
    return after[key]


def losses(engine: Callable[[Position, float], Square], positions: list[Position],
           entry_of: Callable[[Position], dict], cache: dict[str, dict], seconds: float) -> list[int]:
    """The discs each move the engine plays at `seconds` loses against the
    position's exact score (0: a best move)."""
    out = []
    for p in positions:
        entry = entry_of(p)
        move = engine(p, seconds)
        assert move in p.legal_moves()
        got = move_value(p, move, entry, cache)
        loss = (entry["score"] - got) if p.player == 1 else (got - entry["score"])
        assert loss >= 0, (p.text(), move, got, entry["score"])
        out.append(loss)
    return out


def bench_played(args) -> None:
    cache = load_cache()
    chosen = solved_positions(cache, args.low, args.high)
    for name, engine in ENGINES.items():
        lost = losses(engine, chosen, lambda p: cache[p.text()], cache, args.seconds)
        print(f"{name:8s} at {args.seconds} s, {len(chosen)} solved positions with {args.low}-{args.high} empties: "
              f"mean loss {statistics.fmean(lost):.2f} discs, a best move in {lost.count(0)} of {len(chosen)}",
              flush=True)


def bench_match(args) -> None:
    rng = random.Random(args.seed + 1)
    points = games = 0.0
    began = time.perf_counter()
    for i in range(args.openings):
        opening = random_opening(rng, 8)
        for think_side in (1, 2):
            black, white = ("think", args.opponent) if think_side == 1 else (args.opponent, "think")
            diff, _ = play(opening, *(lambda p, e=ENGINES[name]: e(p, args.seconds) for name in (black, white)))
            mine = diff if think_side == 1 else -diff
            points += 1.0 if mine > 0 else 0.5 if mine == 0 else 0.0
            games += 1
        print(f"after {i + 1} openings: think {points:g} of {games:g} ({100 * points / games:.1f}%)", flush=True)
    print(f"match at {args.seconds} s a move against {args.opponent}: think scored {points:g} of {games:g} points "
          f"({100 * points / games:.1f}%) in {time.perf_counter() - began:.0f} s")


def bench_helpers(args) -> None:
    """The midgame search's time to --helper-depth, alone and with helper
    threads (every core), side by side position by position, each from an
    empty table."""
    module = _think_module()
    threads = check_threads(None)
    rng = random.Random(args.seed + 3)
    took = {1: 0.0, threads: 0.0}
    for _ in range(args.count):
        p = random_opening(rng, rng.randrange(14, 30))
        for n in took:
            module.clear_table()
            began = time.perf_counter()
            found = module.think(p._black, p._white, p.player, args.helper_depth, 0.0, threads=threads, search_threads=n)
            took[n] += time.perf_counter() - began
            assert found["depth"] == args.helper_depth and found["move"] in [r * 8 + c for c, r in p.legal_moves()], found
    print(f"depth {args.helper_depth}, {args.count} positions: alone {took[1]:.2f} s, with {threads} threads "
          f"{took[threads]:.2f} s: {took[1] / took[threads]:.2f} times as fast")


def bench_quality(args) -> None:
    cache = load_cache()
    positions = [p for p in measured_positions(args, args.seed + 2) if args.low <= empties(p) <= args.high]
    random.Random(args.seed).shuffle(positions)
    positions = positions[: args.count]
    for name, engine in ENGINES.items():
        lost = losses(engine, positions, lambda p: solved(p, cache, True), cache, args.seconds)
        print(f"{name:8s} at {args.seconds} s, {len(positions)} positions with {args.low}-{args.high} empties: "
              f"mean loss {statistics.fmean(lost):.2f} discs, best move in {lost.count(0)} of {len(positions)}")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--only", choices=["eval", "solved", "match", "quality", "played", "helpers"], action="append")
    ap.add_argument("--seed", type=int, default=9001)
    ap.add_argument("--games", type=int, default=60, help="games played for eval and quality positions")
    ap.add_argument("--stages", type=int, nargs="+", default=[12, 16, 20, 24])
    ap.add_argument("--count", type=int, default=30, help="positions per stage (eval) or in all (quality)")
    ap.add_argument("--short", type=float, default=0.5, help="eval and solved: think's time after the static value (0: the static value alone)")
    ap.add_argument("--openings", type=int, default=50)
    ap.add_argument("--helper-depth", type=int, default=16, help="helpers: the depth timed")
    ap.add_argument("--opponent", choices=["analyse", "think-alone"], default="analyse",
                    help="match: think's opponent (think-alone: think without helper threads)")
    ap.add_argument("--seconds", type=float, default=0.05, help="match and quality: time a move")
    ap.add_argument("--low", type=int, default=22)
    ap.add_argument("--high", type=int, default=24)
    ap.add_argument("--weights", help="an evaluation weight file to use instead of the package's")
    ap.add_argument("--games-weights", help="eval and quality: the weight file think plays their games on "
                    "(default: the one measured); the same file gives two runs the same positions")
    args = ap.parse_args()
    if args.weights:
        from flipcore import _think

        _think.load_weights(args.weights)
    for part in args.only or ["eval", "match", "quality"]:
        {"eval": bench_eval, "solved": bench_solved, "match": bench_match, "quality": bench_quality,
         "played": bench_played, "helpers": bench_helpers}[part](args)


if __name__ == "__main__":
    main()
