"""The web page's engine worker: a separate process that runs searches,
solves and reviews for the server, one job at a time.

The engine holds the interpreter lock for a whole search, so a search in a
thread of the server would stall every other page; in a process of its own
it stalls nothing. The server talks to the worker over its standard input
and output, one JSON object a line: a job in, progress lines and one final
line out. First "started", then progress lines, then one final line, whose "type"
is "result", "stopped" (with "reason": "cancelled" or "time") or "error"
(with "message").

Stopping: the worker limits each job's time itself with a timer (SIGALRM),
and the server stops a job early with SIGINT. Both signals raise Stop only
while a job computes; one that arrives while the worker writes a line is
remembered and raised as soon as the computing goes on, so that no line is
ever cut in half and no stop is lost. The engine and the solver check for
signals as they run, so a stop takes effect within a millisecond or so.

Engines: a job names its engine, "think" (the search on the learned
evaluation, values in discs; the default) or "minimax" (the depth-limited
search, values in its own units). Every line that carries a value says
which with "units": "discs" or "engine". think is stopped by the same
signals as the other searches: it checks for them every few milliseconds.

Memory: after a job, a worker gives back a search table larger than
KEEP_TABLE_BYTES (a long analysis grows it to gigabytes) and think's
tables (whose size the table ceiling bounds too), so that an open page
costs little while nobody searches; the next job's tables grow anew.

The server: a worker ends itself when the server that started it is gone
(on Linux the kernel kills it at once, even amid a job; elsewhere it ends
when its input closes).
"""

from __future__ import annotations

import ctypes
import json
import math
import os
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any, BinaryIO

from _flipcore import init

from flipcore.cli.engines import ENGINES, engine_move, think_deeper
from flipcore.position import Position, Square, parse_square, square_name
from flipcore.search import search
from flipcore.solve import EXACT_EMPTIES, SolveResult, describe_score, solve
from flipcore.table import MIN_LIMIT, table_limit, table_memory

# Engine values at or beyond this size score a finished game: the disc
# difference pushed past it.
FINAL_VALUE = 100000.0
# Engine values below this size read as an even game, and from the second
# as one side clearly better (a corner early in the game is about 1000).
EVEN_BELOW = 40.0
CLEARLY_BETTER_FROM = 400.0
# The depth of the quick searches that show a first opinion at once, and
# that stand in when the exact solve runs out of time.
QUICK_DEPTH = 6
# An idle worker keeps a search table up to this size; a larger one is given
# back after its job.
KEEP_TABLE_BYTES = 32 << 20
# The server's process id, set in a worker's environment by the server.
PARENT_VARIABLE = "FLIPCORE_WORKER_PARENT"
# prctl(2): the signal a process gets when its parent ends.
_PR_SET_PDEATHSIG = 1


class Stop(Exception):
    """The job must end now: reason "cancelled" (by the server) or "time"."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


class _Signals:
    """Turns SIGINT and SIGALRM into Stop, only inside computing()."""

    def __init__(self) -> None:
        self.busy = False
        self.pending: str | None = None

    def install(self) -> None:
        signal.signal(signal.SIGINT, self._on_signal)
        signal.signal(signal.SIGALRM, self._on_signal)

    def _on_signal(self, signum: int, frame: FrameType | None) -> None:
        reason = "cancelled" if signum == signal.SIGINT else "time"
        if self.pending is None:
            self.pending = reason
        if self.busy:
            raise Stop(reason)

    def begin_job(self, seconds: float) -> None:
        self.pending = None
        signal.setitimer(signal.ITIMER_REAL, max(seconds, 0.001))

    def end_job(self) -> None:
        signal.setitimer(signal.ITIMER_REAL, 0)
        self.busy = False

    @contextmanager
    def computing(self) -> Iterator[None]:
        if self.pending is not None:
            raise Stop(self.pending)
        self.busy = True
        try:
            yield
        finally:
            self.busy = False


_signals = _Signals()


def describe_value(value: float) -> str:
    """An engine value in words, from X's point of view."""
    if abs(value) >= FINAL_VALUE:
        margin = int(abs(value) - FINAL_VALUE)
        winner = "X" if value > 0 else "O"
        return f"{winner} wins by {margin}" if margin else "a draw"
    side = "X" if value > 0 else "O"
    # Engine units: a corner early in the game is worth about 1000.
    if abs(value) < EVEN_BELOW:
        return "about even"
    if abs(value) < CLEARLY_BETTER_FROM:
        return f"{side} is a little better"
    return f"{side} is better"


# think's values below this many discs read as an even game.
EVEN_DISCS_BELOW = 1.0


def describe_discs(value: float) -> str:
    """think's value (expected final disc difference, X's view) in words."""
    if abs(value) < EVEN_DISCS_BELOW:
        return "about even"
    side = "X" if value > 0 else "O"
    return f"{side} is ahead by about {abs(value):.1f} discs"


def _engine_of(job: dict[str, Any]) -> str:
    engine = job.get("engine", "think")
    if engine not in ENGINES:
        raise ValueError(f"unknown engine {engine!r}")
    return str(engine)


def _empties(position: Position) -> int:
    x, o = position.discs()
    return 64 - x - o


def send_inside(send: Callable[[dict[str, Any]], None], message: dict[str, Any]) -> None:
    """Sends a line from a callback inside computing(): stops are held back
    while it is written, and one that came meanwhile is raised right after."""
    _signals.busy = False
    try:
        send(message)
    finally:
        _signals.busy = True
    if _signals.pending is not None:
        raise Stop(_signals.pending)


def _depth_line(result_depth: int, value: float, moves: tuple[Square, ...], seconds: float) -> dict[str, Any]:
    return {
        "type": "depth",
        "depth": result_depth,
        "value": value if math.isfinite(value) else 0.0,
        "units": "engine",
        "words": describe_value(value),
        "moves": [square_name(m) for m in moves],
        "seconds": round(seconds, 4),
    }


def _think_line(depth: int, value: float, line: list[str], seconds: float) -> dict[str, Any]:
    """A depth line of think's: its value in discs and its expected line."""
    return {
        "type": "depth",
        "depth": depth,
        "value": value,
        "units": "discs",
        "words": describe_discs(value),
        "moves": line,
        "seconds": round(seconds, 4),
    }


def _think_exact_line(score: int, line: list[str], seconds: float) -> dict[str, Any]:
    """think's exact answer, as the solver's line reads."""
    return {
        "type": "exact",
        "score": score,
        "words": describe_score(score),
        "moves": line[:1],
        "line": line,
        "seconds": round(seconds, 4),
    }


def _solve_line(found: SolveResult) -> dict[str, Any]:
    return {
        "type": "exact",
        "score": found.score,
        "words": found.describe(),
        "moves": found.names(),
        "line": found.line_names(),
        "seconds": round(found.seconds, 4),
    }


def _deepen(position: Position, max_depth: int, send: Callable[[dict[str, Any]], None]) -> tuple[dict[str, Any] | None, str]:
    """Searches depth 1, 2, ... max_depth, sending each depth's line.
    Returns the deepest finished line and why the deepening ended: "depth"
    (max_depth reached), "time", or "memory" (the search table is full at
    its memory ceiling)."""
    best: dict[str, Any] | None = None
    init()
    try:
        for depth in range(1, max_depth + 1):
            with _signals.computing():
                found = search(position, depth)
            best = _depth_line(depth, found.value, found.moves, found.seconds)
            send(best)
    except Stop as stop:
        if stop.reason != "time":
            raise
        return best, "time"
    except MemoryError:
        # The table keeps what it holds; the next job's init() empties it.
        return best, "memory"
    return best, "depth"


def _think_move(job: dict[str, Any]) -> dict[str, Any]:
    """think's move, to `depth` plies if given, for at most `seconds`
    (think's own limit, which it keeps within a tenth; the worker's timer,
    a little later, is only the backstop)."""
    position = Position.from_text(job["position"])
    depth = job.get("depth")
    # Without a time of its own, the job's whole time (think may then run
    # into the timer, and answers at depth 1).
    seconds = float(job.get("seconds") or job["seconds_cap"])
    began = time.monotonic()
    try:
        with _signals.computing():
            found = engine_move(position, "think", depth=depth, seconds=seconds)
        timed_out = depth is not None and found.depth < depth and not found.exact
    except Stop as stop:
        if stop.reason != "time":
            raise
        # Past the backstop: the static choice of depth 1, a millisecond.
        _signals.pending = None
        found = engine_move(position, "think", depth=1, seconds=None)
        timed_out = True
    line = ["pass" if move is None else square_name(move) for move in found.line]
    move = square_name(found.move) if found.move is not None else line[0]
    took = time.monotonic() - began
    if found.exact:
        exact = _think_exact_line(int(found.value), line, took)
        return {"type": "result", "move": move, "exact": exact, "depth": None}
    depth_line = _think_line(found.depth, found.value, line, took)
    return {"type": "result", "move": move, "exact": None, "depth": depth_line, "timed_out": timed_out}


def job_move(job: dict[str, Any], send: Callable[[dict[str, Any]], None]) -> dict[str, Any]:
    """The engine's move: think's (see _think_move), or minimax's: the exact
    solver's near the end, else the best move of the deepest search that
    finished in time."""
    if _engine_of(job) == "think":
        return _think_move(job)
    position = Position.from_text(job["position"])
    depth = min(int(job["depth"]), _empties(position))
    if _empties(position) <= EXACT_EMPTIES:
        try:
            with _signals.computing():
                found = solve(position)
            if found.moves:
                return {"type": "result", "move": found.names()[0], "exact": _solve_line(found), "depth": None}
        except Stop as stop:
            if stop.reason != "time":
                raise
        # Out of time: a quick search without the timer, a few milliseconds.
        _signals.pending = None
        init()
        found_search = search(position, min(QUICK_DEPTH, depth))
        line = _depth_line(found_search.depth, found_search.value, found_search.moves, found_search.seconds)
        return {"type": "result", "move": line["moves"][0], "exact": None, "depth": line, "timed_out": True}
    best, _ = _deepen(position, depth, send)
    if best is None or not best["moves"]:
        # Not even depth 1 finished (only under a tiny time limit).
        _signals.pending = None
        init()
        found_search = search(position, 1)
        best = _depth_line(1, found_search.value, found_search.moves, found_search.seconds)
    return {"type": "result", "move": best["moves"][0], "exact": None, "depth": best, "timed_out": best["depth"] < depth}


def _think_deepen(position: Position, max_depth: int, send: Callable[[dict[str, Any]], None]) -> str:
    """think at depth 1, 2, ... max_depth, sending each depth's line (and
    its exact line once the search reaches the end). Returns why it ended:
    "depth", "exact" or "time"."""
    began = time.monotonic()
    deeper = think_deeper(position, max_depth, None)
    try:
        while True:
            with _signals.computing():
                answer = next(deeper, None)
            if answer is None:
                return "depth"
            line = ["pass" if move is None else square_name(move) for move in answer.line]
            if answer.exact:
                send(_think_exact_line(int(answer.value), line, time.monotonic() - began))
                return "exact"
            send(_think_line(answer.depth, answer.value, line, time.monotonic() - began))
    except Stop as stop:
        if stop.reason != "time":
            raise
        return "time"
    finally:
        deeper.close()


def job_analyse(job: dict[str, Any], send: Callable[[dict[str, Any]], None]) -> dict[str, Any]:
    """Deepening lines, then near the end the exact solve with its proven
    bounds as they narrow."""
    position = Position.from_text(job["position"])
    empties = _empties(position)
    by_think = _engine_of(job) == "think"
    if empties <= EXACT_EMPTIES:
        quick_depth = min(QUICK_DEPTH, empties, int(job["max_depth"]))
        if by_think:
            # Short of the end: the exact line is the solver's, with its bounds.
            reason = _think_deepen(position, min(quick_depth, empties - 1), send)
            if reason in ("time", "exact"):
                return {"type": "result", "reason": reason}
        else:
            _deepen(position, quick_depth, send)

        def bounds(lower: int, upper: int) -> None:
            send_inside(send, {"type": "bounds", "lower": lower, "upper": upper})

        try:
            with _signals.computing():
                found = solve(position, progress=bounds)
        except Stop as stop:
            if stop.reason != "time":
                raise
            return {"type": "result", "reason": "time"}
        send(_solve_line(found))
        return {"type": "result", "reason": "exact"}
    if by_think:
        return {"type": "result", "reason": _think_deepen(position, min(int(job["max_depth"]), empties), send)}
    _, reason = _deepen(position, min(int(job["max_depth"]), max(empties, 1)), send)
    return {"type": "result", "reason": reason}


def job_review(job: dict[str, Any], send: Callable[[dict[str, Any]], None]) -> dict[str, Any]:
    """The review of a finished game, as its to_dict()."""
    from flipcore.game import Game
    from flipcore.review import review

    start = Position.from_text(job["start"])
    game = Game(start, [parse_square(m) for m in job["moves"]])

    def progress(done: int, total: int) -> None:
        send_inside(send, {"type": "progress", "done": done, "total": total})

    with _signals.computing():
        done = review(game, depth=int(job["depth"]), engine=_engine_of(job), progress=progress)
    return {"type": "result", "review": done.to_dict()}


def job_sleep(job: dict[str, Any], send: Callable[[dict[str, Any]], None]) -> dict[str, Any]:
    """Busy for a while in Python, sending a line every `tick` seconds if
    given: lets tests stop a job at a known moment, or amid its lines."""
    until = time.monotonic() + float(job["seconds"])
    tick = job.get("tick")
    next_tick = time.monotonic()
    with _signals.computing():
        while (now := time.monotonic()) < until:
            if tick is not None and now >= next_tick:
                send_inside(send, {"type": "tick"})
                next_tick = now + float(tick)
    return {"type": "result"}


JOBS: dict[str, Callable[[dict[str, Any], Callable[[dict[str, Any]], None]], dict[str, Any]]] = {
    "move": job_move,
    "analyse": job_analyse,
    "review": job_review,
    "sleep": job_sleep,
}


def give_back_table() -> None:
    """Gives think's tables back, and empties the search table and returns
    its memory to the system when it holds more than KEEP_TABLE_BYTES. The
    table keeps its arrays through init() unless they exceed the ceiling, so
    the ceiling is lowered for that one init() and then restored."""
    # Only if this worker has thought: no weights are loaded just for this.
    thinking = sys.modules.get("flipcore._think")
    gave_think = False
    if thinking is not None and thinking.table_bytes() > 0:
        thinking.release_table()
        gave_think = True
    if table_memory().used > KEEP_TABLE_BYTES:
        ceiling = table_limit()
        try:
            table_limit(MIN_LIMIT)
            init()
        finally:
            table_limit(ceiling)
    elif not gave_think:
        return
    try:
        # The lists of tied moves were small blocks of the C heap.
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def end_with_parent() -> None:
    """Asks the kernel to kill this worker when the server ends (Linux), and
    ends now if the server is already gone. (The kernel watches the thread
    that started the worker: the server's event loop thread, which lives as
    long as the server.)"""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except (OSError, AttributeError):
        pass  # not Linux: the worker ends when its input closes
    parent = os.environ.get(PARENT_VARIABLE)
    if parent and parent.isdigit() and os.getppid() != int(parent):
        sys.exit(0)


def serve(jobs_in: BinaryIO, lines_out: BinaryIO) -> None:
    """Runs jobs from `jobs_in` until it closes, answering on `lines_out`."""

    def send(message: dict[str, Any]) -> None:
        lines_out.write(json.dumps(message).encode() + b"\n")
        lines_out.flush()

    _signals.install()
    send({"type": "ready"})
    for raw in iter(jobs_in.readline, b""):
        final: dict[str, Any]
        try:
            job = json.loads(raw)
            _signals.begin_job(float(job["seconds_cap"]))
            # The server signals a job only once it has started, so that no
            # stop meant for this job can come before begin_job forgets old ones.
            send({"type": "started"})
            final = JOBS[job["kind"]](job, send)
        except Stop as stop:
            final = {"type": "stopped", "reason": stop.reason}
        except Exception as err:  # reported to the server, which answers the page
            final = {"type": "error", "message": f"{type(err).__name__}: {err}"}
        finally:
            _signals.end_job()
        send(final)
        give_back_table()


def main() -> None:
    end_with_parent()
    # The protocol owns the real standard output; anything else printed
    # (a stray print, a library's message) goes to standard error.
    lines_out = os.fdopen(os.dup(sys.stdout.fileno()), "wb")
    os.dup2(sys.stderr.fileno(), sys.stdout.fileno())
    serve(sys.stdin.buffer, lines_out)


if __name__ == "__main__":
    main()
