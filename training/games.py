"""Games played by flipcore itself, with randomness, for training data.

Each game starts with a random number (0 to --max-random, uniform) of
uniformly random moves, then every move is chosen by a pluggable chooser:
by default a search of flipcore.search() at a depth drawn per game, which
now and then plays a random move or its second-best move instead of its best,
so that games spread over many positions and both sides' mistakes are seen.
Chunks from STRONG_FIRST_CHUNK (100) on are strong games instead: the learned
evaluation's search (on the package's weights) against itself at depth 5 to
8, with fewer random moves; from CLEAN_FIRST_CHUNK (300) on, clean games:
the same players after a random opening of 4 to 16 moves, with no random or
second-best moves at all (chunk_settings).

Games are written in chunks (training/data/games/games-NNNNN.parquet), each
from its own seed, so any chunk can be made again alone, in any process, and
a run cut short goes on where it stopped:

    nice -n 19 python -m training.games --seed 1 --chunks 0:40 --workers 2
"""

from __future__ import annotations

import argparse
import random
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from multiprocessing import get_context
from pathlib import Path

import pyarrow as pa

import flipcore
from flipcore import _rules

from training.common import BLACK, DATA, PASS, START_BLACK, START_WHITE, chunk_seed, parse_chunks, write_table

GAMES_DIR = DATA / "games"

# A chooser picks the move to play: (black, white, player, legal mask, rng) -> square.
Chooser = Callable[[int, int, int, int, random.Random], int]


def _squares(mask: int) -> list[int]:
    out = []
    while mask:
        low = mask & -mask
        out.append(low.bit_length() - 1)
        mask ^= low
    return out


ENGINES = ("search", "think")


@dataclass(frozen=True)
class NoisyChooser:
    """Plays the best move by `engine`, except: with probability p_random a
    uniformly random legal move, and with probability p_second the
    second-best move. Each move is valued by the engine on the position
    after it, one ply shallower than `depth`: flipcore.search() (the
    default), or flipcore._think.think() for "think" (the learned
    evaluation's search, at least one ply, `seconds` at most when above 0;
    the weights must be loaded). Ties are broken at random."""

    depth: int
    p_random: float = 0.08
    p_second: float = 0.12
    engine: str = "search"
    seconds: float = 0.0

    def __post_init__(self) -> None:
        if self.engine not in ENGINES:
            raise ValueError(f"engine must be one of {ENGINES}, got {self.engine!r}")

    def _value_after(self, black: int, white: int, player: int, sq: int) -> float:
        """The value of playing `sq`, from the mover's view (high is good)."""
        b, w = _rules.play(black, white, player, sq)
        if self.engine == "think":
            from flipcore import _think

            # think's value is the side to move's: the opponent's, after sq.
            # Without the table's older entries, so that a seeded game is
            # the same whatever was searched before it.
            value = _think.think(b, w, 3 - player, max(self.depth - 1, 1), self.seconds, reuse_table=False)["value"]
            return -value
        child = flipcore.Position._from_masks(b, w, 3 - player)
        # search's value is side 1's.
        sign = 1 if player == BLACK else -1
        return sign * flipcore.search(child, self.depth - 1).value

    def __call__(self, black: int, white: int, player: int, legal: int, rng: random.Random) -> int:
        moves = _squares(legal)
        draw = rng.random()
        if len(moves) == 1:
            return moves[0]
        if draw < self.p_random:
            return rng.choice(moves)
        scored = sorted(((self._value_after(black, white, player, sq), rng.random(), sq) for sq in moves), reverse=True)
        if draw < self.p_random + self.p_second:
            return scored[1][2]
        return scored[0][2]


def play_game(rng: random.Random, n_random: int, chooser: Chooser) -> list[int]:
    """One game: n_random random moves (fewer if the game ends), then the
    chooser's. Returns the moves by square, PASS for a pass."""
    black, white, player = START_BLACK, START_WHITE, BLACK
    moves: list[int] = []
    while True:
        legal = _rules.legal_moves(black, white, player)
        if not legal:
            if not _rules.legal_moves(black, white, 3 - player):
                return moves
            moves.append(PASS)
            player = 3 - player
            continue
        placed = sum(1 for m in moves if m != PASS)
        if placed < n_random:
            sq = rng.choice(_squares(legal))
        else:
            sq = chooser(black, white, player, legal, rng)
        black, white = _rules.play(black, white, player, sq)
        moves.append(sq)
        player = 3 - player


@dataclass(frozen=True)
class GameSettings:
    seed: int = 1
    chunk_size: int = 500
    min_random: int = 0
    max_random: int = 24
    depths: tuple[int, ...] = (2, 3, 4, 5, 6)
    p_random: float = 0.08
    p_second: float = 0.12
    out: Path = GAMES_DIR
    engine: str = "search"


# Chunks from this number on hold strong games: the learned evaluation's
# search against itself, deeper and with little noise, so that the fit also
# sees positions like those of good play, where the evaluation is used most
# (the noisy games above are lopsided: a mean final margin of about 24 discs).
STRONG_FIRST_CHUNK = 100

# Chunks from this number on hold clean games: the strong players without
# any random or second-best move after the opening, so that the fit also
# sees positions of play without mistakes, like the games users analyse
# (even the strong games' few mistakes shift what positions are worth: a
# mistake favours the side that moves next).
CLEAN_FIRST_CHUNK = 300


def chunk_settings(chunk: int, settings: GameSettings) -> GameSettings:
    """The settings a chunk's games are played with: `settings` for the
    noisy chunks, think's strong players from STRONG_FIRST_CHUNK on, and
    the same without noise from CLEAN_FIRST_CHUNK on."""
    if chunk < STRONG_FIRST_CHUNK:
        return settings
    strong = replace(settings, engine="think", max_random=20, depths=(5, 6, 7, 8), p_random=0.03, p_second=0.07)
    if chunk < CLEAN_FIRST_CHUNK:
        return strong
    return replace(strong, min_random=4, max_random=16, p_random=0.0, p_second=0.0)


def strong_chunks(count: int) -> range:
    return range(STRONG_FIRST_CHUNK, STRONG_FIRST_CHUNK + count)


def clean_chunks(count: int) -> range:
    return range(CLEAN_FIRST_CHUNK, CLEAN_FIRST_CHUNK + count)


def chunk_path(out: Path, chunk: int) -> Path:
    return out / f"games-{chunk:05d}.parquet"


def make_chunk(chunk: int, settings: GameSettings, chooser_of: Callable[[int], Chooser] | None = None) -> Path:
    """Plays and writes one chunk of games (skipped when its file exists).
    chooser_of(depth) gives the chooser of a game; by default a NoisyChooser
    on the chunk's engine."""
    path = chunk_path(settings.out, chunk)
    if path.exists():
        return path
    settings = chunk_settings(chunk, settings)
    rng = random.Random(chunk_seed(settings.seed, "games", chunk))
    # The search's table lives on between calls and its contents change what
    # a search returns: emptied per chunk so that a chunk is the same
    # whichever process plays it after whatever else.
    flipcore.init()
    if settings.engine == "think":
        # think's games depend on the weights: the package's, whatever this
        # process searched on before.
        from flipcore import _think
        from flipcore.think import WEIGHTS_PATH

        _think.load_weights(str(WEIGHTS_PATH))
    ids, openings, depths, move_lists = [], [], [], []
    for i in range(settings.chunk_size):
        n_random = rng.randint(settings.min_random, settings.max_random)
        depth = rng.choice(settings.depths)
        chooser = (
            chooser_of(depth)
            if chooser_of is not None
            else NoisyChooser(depth, settings.p_random, settings.p_second, engine=settings.engine)
        )
        ids.append(chunk * settings.chunk_size + i)
        openings.append(n_random)
        depths.append(depth)
        move_lists.append(play_game(rng, n_random, chooser))
    table = pa.table(
        {
            "game": pa.array(ids, pa.int64()),
            "n_random": pa.array(openings, pa.int8()),
            "depth": pa.array(depths, pa.int8()),
            "moves": pa.array(move_lists, pa.list_(pa.int8())),
        }
    )
    write_table(table, path)
    return path


def _work(args: tuple[int, GameSettings]) -> tuple[int, float]:
    began = time.perf_counter()
    make_chunk(*args)
    return args[0], time.perf_counter() - began


def run(chunks: range, settings: GameSettings, workers: int = 2) -> None:
    todo = [c for c in chunks if not chunk_path(settings.out, c).exists()]
    if workers <= 1:
        for c in todo:
            print("games chunk %d: %.1f s" % _work((c, settings)), flush=True)
        return
    with get_context("spawn").Pool(workers) as pool:
        for c, seconds in pool.imap_unordered(_work, [(c, settings) for c in todo]):
            print(f"games chunk {c}: {seconds:.1f} s", flush=True)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--chunks", default="0:40", help="chunk range, e.g. 0:40")
    parser.add_argument("--chunk-size", type=int, default=500)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--out", type=Path, default=GAMES_DIR)
    args = parser.parse_args(argv)
    run(parse_chunks(args.chunks), GameSettings(seed=args.seed, chunk_size=args.chunk_size, out=args.out), args.workers)


if __name__ == "__main__":
    main()
