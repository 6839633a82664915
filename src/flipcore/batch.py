"""Batch analysis: values and best moves for many positions, on every core of
this machine or on a Dask cluster.

    >>> from flipcore import batch
    >>> for record in batch.run(["-" * 27 + "OX------XO" + "-" * 27 + " X"], depth=2, jobs=1):
    ...     print(record["line"], record["value"], record["moves"])
    1 -14.566666666666666 ['d3', 'c4', 'f5', 'e6']

run() yields one record per position; run_file() reads a file, writes the
records to JSON Lines, CSV or Parquet as they finish, and resumes a run that
was stopped, searching only what the output does not hold yet.

Every position is searched from an empty table: init() runs just before each
search, and the solver's table is emptied just before each solve. A record
therefore depends only on its position and the settings, never on which
worker took it or what that worker searched before, so one job, many jobs
and a cluster give the same records (apart from `seconds`).

A record is a dict with the keys of FIELDS:

    line      the input line it came from (1-based)
    ply       for a game record, the number of moves played before the
              position (None for a line that holds a position)
    position  the position in the one-line text form
    mode      "depth" (search to a fixed depth), "exact" or "wld" (solved)
    depth     the depth searched ("depth" mode; None when solved)
    value     the search's value, side 1's (X's) view ("depth" mode)
    score     the solved score, X minus O, or its sign in "wld" mode
    moves     every best move of the side to move, by name; empty when it
              must pass or the game is over
    passed    True when the side to move had no move and passes: the value
              or score is that of the position after the pass
    nodes     positions the search or the solver visited
    seconds   the time of the search itself, without the batch's overhead
    error     why the line gave no result; the fields above are then None
"""

from __future__ import annotations

import collections
import contextlib
import csv
import importlib
import io
import json
import math
import multiprocessing
import os
import re
import signal
import sys
import threading
import time
import warnings
from collections.abc import Callable, Generator, Iterable, Iterator, Sequence
from dataclasses import dataclass
from multiprocessing.connection import Connection, wait
from typing import IO, Any, TextIO

from _flipcore import _nodes, init, minimax_moves

from flipcore import table as _table
from flipcore.game import Game
from flipcore.position import Position, square_name

FIELDS = (
    "line",
    "ply",
    "position",
    "mode",
    "depth",
    "value",
    "score",
    "moves",
    "passed",
    "nodes",
    "seconds",
    "error",
)
MODES = ("depth", "exact", "wld")
# The depth searched when none is given, as in play and selfplay.
DEFAULT_DEPTH = 8

Record = dict[str, Any]
# One position to search: (input line, ply or None, position text in its
# canonical form: 64 of X, O and -, a space, X or O). Plain tuples keep the
# messages to the workers small.
Task = tuple[int, "int | None", str]

# A chunk of work aims at about this many seconds, so that tiny searches are
# sent by the thousand and the cost of a message disappears beside them, while
# an interrupted run loses little.
CHUNK_SECONDS = 0.1
MAX_CHUNK = 4000
# A position whose worker died is tried this many times before it is reported.
MAX_ATTEMPTS = 3

_POSITION_RE = re.compile(r"([XOxo-]{64})\s+([XOxo])")
_DIGIT = re.compile(r"[0-9]")
_CELL_CODES = bytes.maketrans(b"XOxo-", b"\x01\x02\x01\x02\x00")
_NAMES = {(col, row): square_name((col, row)) for col in range(8) for row in range(8)}


class BatchError(Exception):
    """A batch cannot run as asked: a missing input, an output that cannot be
    written or belongs to another run, a bad line under strict, and so on."""


class _Failure(dict):  # type: ignore[type-arg]
    """An error record for a position the batch could not finish (its worker
    died, its table ran out of memory). It is reported but not written to the
    output, so that running the same command again tries it once more."""


@dataclass(frozen=True)
class Settings:
    """What every worker needs to search a task."""

    mode: str = "depth"
    depth: int | None = 8
    # Bytes of search table allowed to each worker; None keeps the engine's
    # default, or on a Dask worker half the memory Dask allows that worker.
    table_limit: int | None = None


@dataclass
class Summary:
    """The outcome of run_file()."""

    done: int = 0  # positions searched in this run
    skipped: int = 0  # positions whose result the output already held
    # Input lines that give no position: counted on every run, their error
    # records written once.
    bad_lines: int = 0
    # Searches that did not finish (a worker died, the table's memory ran
    # out): reported, not written, and tried again by the next run.
    failed: int = 0
    seconds: float = 0.0
    interrupted: bool = False

    def describe(self) -> str:
        rate = f" ({self.done / self.seconds:.1f} positions/s)" if self.done and self.seconds > 0 else ""
        return (
            f"{self.done} searched, {self.skipped} skipped (already in the output), "
            f"{self.bad_lines} bad line{'' if self.bad_lines == 1 else 's'}, "
            f"{self.failed} failed (run again to retry), in {self.seconds:.1f} s{rate}"
        )


# --------------------------------------------------------------------------
# Reading the input


def _error_record(line: int, ply: int | None, settings: Settings, reason: str) -> Record:
    record: Record = dict.fromkeys(FIELDS)
    record.update(line=line, ply=ply, mode=settings.mode, depth=settings.depth, error=reason)
    return record


def _json_position(text: str) -> str:
    """The "position" field of a JSON Lines input line; ValueError saying
    what is missing."""
    try:
        item = json.loads(text)
    except json.JSONDecodeError as err:
        raise ValueError(f"a line starting with '{{' is read as JSON, and this one is not: {err}") from None
    position = item.get("position") if isinstance(item, dict) else None
    if not isinstance(position, str):
        raise ValueError('a JSON line needs a "position" field holding a position text')
    return position.strip()


def parse_lines(lines: Iterable[str], settings: Settings, every_ply: bool = False) -> tuple[list[Task], list[Record]]:
    """The tasks of the input lines, and an error record for each bad line.

    A line whose first word has no digit is a position; any other line is a
    game record, standing for the position at its end, or with
    every_ply for every position of the game (ply 0 to the end). A line
    starting with "{" is a JSON object (JSON Lines, such as this batch's own
    output) whose "position" field holds the position text. Blank lines
    and lines starting with # are skipped.
    """
    tasks: list[Task] = []
    errors: list[Record] = []
    for number, raw in enumerate(lines, 1):
        if not isinstance(raw, str):
            raise TypeError(f"input line {number} must be a string, got {type(raw).__name__}")
        text = raw.strip()
        if not text or text.startswith("#"):
            continue
        if text.startswith("{"):
            try:
                text = _json_position(text)
            except ValueError as err:
                errors.append(_error_record(number, None, settings, str(err)))
                continue
        match = _POSITION_RE.fullmatch(text)
        if match:
            tasks.append((number, None, f"{match[1].upper()} {match[2].upper()}"))
            continue
        # Square names hold digits and boards do not: a line without a digit
        # in its first word is read as a position, typos and all.
        if not _DIGIT.search(text.split(None, 1)[0]):
            try:
                tasks.append((number, None, Position.from_text(text).text()))
            except ValueError as err:
                errors.append(_error_record(number, None, settings, str(err)))
            continue
        try:
            game = Game.from_record(text)
        except ValueError as err:
            errors.append(_error_record(number, None, settings, f"bad game record: {err}"))
            continue
        positions = game.positions()
        plies = range(len(positions)) if every_ply else (len(positions) - 1,)
        tasks.extend((number, ply, positions[ply].text()) for ply in plies)
    return tasks, errors


def _read_source(source: str | os.PathLike[str] | Iterable[str | Position]) -> list[str]:
    if isinstance(source, (str, os.PathLike)):
        if os.fspath(source) == "-":
            return sys.stdin.read().splitlines()
        try:
            with open(source, encoding="utf-8") as file:
                return file.read().splitlines()
        except FileNotFoundError:
            raise BatchError(f"input file {os.fspath(source)!r} not found") from None
        except IsADirectoryError:
            raise BatchError(f"input {os.fspath(source)!r} is a directory, not a file") from None
        except (OSError, UnicodeDecodeError) as err:
            raise BatchError(f"cannot read input {os.fspath(source)!r}: {err}") from None
    return [item.text() if isinstance(item, Position) else item for item in source]


# --------------------------------------------------------------------------
# Searching (in the workers)

# The engine's table is one per process: a worker with several threads (as a
# Dask worker may have) searches one task at a time, so that no search sees
# another's table between its init() and its end.
_ENGINE_LOCK = threading.Lock()


def _dask_worker_share() -> int | None:
    """Half the memory Dask allows this worker process, when it is one and
    Dask sets a limit: several workers on one machine then keep together
    within its memory, where each would otherwise allow itself half of it."""
    distributed = sys.modules.get("distributed")  # a Dask worker has it loaded
    try:
        memory = distributed.get_worker().memory_manager.memory_limit if distributed is not None else None
    except (ValueError, AttributeError):
        return None
    return max(int(memory) // 2, _table.MIN_LIMIT) if memory else None


def _apply_table_limit(limit: int | None) -> None:
    limit = limit if limit is not None else _dask_worker_share()
    if limit is not None and _table.table_limit() != limit:
        _table.table_limit(limit)


def _board(text: str) -> tuple[list[list[int]], int]:
    """The engine's board and player of a canonical position text."""
    cells = text[:64].encode("ascii").translate(_CELL_CODES)
    return [list(cells[i : i + 8]) for i in range(0, 64, 8)], 1 if text[65] == "X" else 2


def _search_depth(text: str, depth: int) -> tuple[float, list[str], bool, int, float]:
    """(value, best moves, whether a pass was played, nodes, seconds)."""
    board, player = _board(text)
    init()
    visited = _nodes()
    began = time.perf_counter()
    found = minimax_moves(board, player, depth, -math.inf, math.inf)
    seconds = time.perf_counter() - began
    if found["moves"]:
        return found["val"], [_NAMES[move] for move in found["moves"]], False, _nodes() - visited, seconds
    # No move: the game is over, or the side to move passes. The engine
    # scores both as a finished game; a pass is played and searched on.
    position = Position.from_text(text)
    if position.is_over() or position.legal_moves():
        return found["val"], [], False, _nodes() - visited, seconds
    after = position.pass_()
    init()
    began = time.perf_counter()
    found = minimax_moves(after.board, after.player, depth, -math.inf, math.inf)
    return found["val"], [], True, _nodes() - visited, seconds + time.perf_counter() - began


def _fresh_solve(position: Position, mode: str) -> Any:
    """flipcore.solve from an empty table. The solver keeps one table per
    thread, and its node count depends on what that table holds; emptying it
    takes constant time, where a new table costs its allocation and the
    page faults of filling it again, the bulk of a small solve."""
    from flipcore.solve import clear_solve_table, solve

    clear_solve_table()
    # One thread: the batch runs its jobs side by side, one per core.
    return solve(position, mode, threads=1)


def _search_task(task: Task, settings: Settings) -> Record:
    line, ply, text = task
    try:
        if settings.mode == "depth":
            assert settings.depth is not None
            value, moves, passed, nodes, seconds = _search_depth(text, settings.depth)
            score = None
        else:
            position = Position.from_text(text)
            result = _fresh_solve(position, settings.mode)
            value, moves, seconds, score, nodes = None, result.names(), result.seconds, result.score, result.nodes
            passed = not position.is_over() and not position.legal_moves()
    except MemoryError as err:
        failure = _Failure(_error_record(line, ply, settings, f"out of memory: {err}" if str(err) else "out of memory"))
        failure["position"] = text
        return failure
    except (ValueError, TypeError, ImportError) as err:
        # Not written either: the position is good, so the next run tries it
        # again rather than keeping an error for it.
        failure = _Failure(_error_record(line, ply, settings, f"{type(err).__name__}: {err}"))
        failure["position"] = text
        return failure
    # Spelled out in FIELDS order: at depth 1 making the record is a fair
    # part of the batch's cost per position.
    return {
        "line": line,
        "ply": ply,
        "position": text,
        "mode": settings.mode,
        "depth": settings.depth,
        "value": value,
        "score": score,
        "moves": moves,
        "passed": passed,
        "nodes": nodes,
        "seconds": seconds,
        "error": None,
    }


def search_chunk(tasks: Sequence[Task], settings: Settings) -> list[Record]:
    """Searches each task from an empty table; the records in task order."""
    with _ENGINE_LOCK:
        _apply_table_limit(settings.table_limit)
        return [_search_task(task, settings) for task in tasks]


def _failure_records(chunk: Sequence[Task], settings: Settings, reason: str) -> list[Record]:
    out: list[Record] = []
    for line, ply, text in chunk:
        failure = _Failure(_error_record(line, ply, settings, reason))
        failure["position"] = text
        out.append(failure)
    return out


# --------------------------------------------------------------------------
# Handing out work


class _Chunker:
    """Cuts the tasks into chunks sized from the time chunks have taken so
    far, retried chunks first. Near the end chunks shrink, so that the
    workers finish together."""

    def __init__(self, tasks: Sequence[Task], workers: int) -> None:
        self.tasks = tasks
        self.workers = workers
        self.next = 0
        self.retry: collections.deque[tuple[list[Task], int]] = collections.deque()
        self.per_task: float | None = None  # seconds, smoothed

    def take(self) -> tuple[list[Task], int] | None:
        """The next chunk and how many times it was tried already."""
        if self.retry:
            return self.retry.popleft()
        if self.next >= len(self.tasks):
            return None
        size = 1
        if self.per_task is not None:
            remaining = len(self.tasks) - self.next
            size = int(CHUNK_SECONDS / max(self.per_task, 1e-7))
            size = max(1, min(size, MAX_CHUNK, -(-remaining // (2 * self.workers))))
        chunk = list(self.tasks[self.next : self.next + size])
        self.next += len(chunk)
        return chunk, 0

    def timed(self, size: int, seconds: float) -> None:
        per = seconds / size
        self.per_task = per if self.per_task is None else 0.5 * (self.per_task + per)

    def failed(self, chunk: list[Task], attempts: int) -> bool:
        """Queues a chunk whose worker died; False when it has had its tries.
        A chunk of several tasks is retried one task at a time, to find the
        one that kills its worker without blaming the others."""
        if len(chunk) > 1:
            self.retry.extend(([task], attempts + 1) for task in chunk)
            return True
        if attempts + 1 < MAX_ATTEMPTS:
            self.retry.appendleft((chunk, attempts + 1))
            return True
        return False


def _exit_reason(code: int | None) -> str:
    if code is not None and code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit status {code}"


SearchFunction = Callable[[Sequence[Task], Settings], list[Record]]


def _worker_main(conn: Connection, settings: Settings, search: SearchFunction) -> None:
    # Ctrl-C reaches every process of the terminal's group: the parent
    # decides what happens, the workers carry on until told.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    conn.send(("ready", None))
    while True:
        try:
            chunk = conn.recv()
        except EOFError:
            return
        if chunk is None:
            return
        try:
            conn.send(("ok", search(chunk, settings)))
        except Exception as err:
            conn.send(("error", f"{type(err).__name__}: {err}"))


class _Worker:
    def __init__(self, context: Any, settings: Settings, search: SearchFunction) -> None:
        self.conn, child = context.Pipe()
        self.process = context.Process(target=_worker_main, args=(child, settings, search), daemon=True)
        self.process.start()
        child.close()
        self.chunk: tuple[list[Task], int] | None = None
        self.sent = 0.0
        self.ready = False  # it has started and said so

    def give(self, chunk: tuple[list[Task], int]) -> None:
        self.chunk = chunk
        self.sent = time.perf_counter()
        try:
            self.conn.send(chunk[0])
        except OSError:
            pass  # it died while idle: the wait for replies finds it dead, with this chunk

    def stop(self, now: bool) -> None:
        if not now:
            try:
                self.conn.send(None)
            except OSError:
                pass
            self.process.join(timeout=2)
        if self.process.is_alive():
            self.process.terminate()
            self.process.join(timeout=2)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.conn.close()


def _run_local(
    tasks: Sequence[Task], settings: Settings, jobs: int, search: SearchFunction = search_chunk
) -> Generator[list[Record], None, None]:
    """Searches the tasks in `jobs` worker processes, yielding each chunk's
    records as it comes back. A worker that dies is replaced and its chunk
    tried again; a task that kills its worker MAX_ATTEMPTS times comes back
    as a failure record."""
    context = multiprocessing.get_context("forkserver")
    chunker = _Chunker(tasks, jobs)
    workers = [_Worker(context, settings, search) for _ in range(min(jobs, len(tasks)))]
    clean = False
    failed_starts = 0
    try:
        while True:
            for worker in workers:
                if worker.chunk is None and (item := chunker.take()) is not None:
                    worker.give(item)
            busy = [worker for worker in workers if worker.chunk is not None]
            if not busy:
                break
            ready = set(wait([w.conn for w in busy] + [w.process.sentinel for w in busy]))
            for i, worker in enumerate(workers):
                if worker.chunk is None or (worker.conn not in ready and worker.process.sentinel not in ready):
                    continue
                chunk, attempts = worker.chunk
                reply: tuple[str, Any] | None = None
                try:
                    if worker.conn.poll():
                        reply = worker.conn.recv()
                except (EOFError, OSError):
                    reply = None
                if reply is None:
                    if worker.process.is_alive():  # woken by a partial message: wait for the rest
                        continue
                    worker.process.join()
                    reason = _exit_reason(worker.process.exitcode)
                    worker.stop(now=True)
                    if not worker.ready:
                        # It died before reading its chunk, which is not to blame.
                        failed_starts += 1
                        if failed_starts >= MAX_ATTEMPTS:
                            raise BatchError(
                                f"the worker processes die as they start ({reason}; their error is on stderr): "
                                "a script that runs the batch must be a file, not standard input, and keep "
                                "its top level under if __name__ == '__main__':"
                            )
                        chunker.retry.appendleft((chunk, attempts))
                        workers[i] = _Worker(context, settings, search)
                        continue
                    workers[i] = _Worker(context, settings, search)
                    if not chunker.failed(chunk, attempts):
                        why = f"the worker process searching it died ({reason}) on each of {MAX_ATTEMPTS} tries"
                        yield _failure_records(chunk, settings, why)
                    continue
                status, payload = reply
                if status == "ready":
                    worker.ready = True
                    failed_starts = 0
                    continue
                worker.chunk = None
                if status == "ok":
                    chunker.timed(len(chunk), time.perf_counter() - worker.sent)
                # The worker's next chunk goes out before this one's records
                # are handed on, so that it searches while they are written.
                if (item := chunker.take()) is not None:
                    worker.give(item)
                if status == "ok":
                    yield payload
                else:
                    yield _failure_records(chunk, settings, f"the worker failed: {payload}")
        clean = True
    finally:
        for worker in workers:
            worker.stop(now=not clean)


def _require_distributed() -> None:
    try:
        importlib.import_module("distributed")
    except ImportError:
        raise BatchError(
            "--dask needs dask.distributed: pip install 'flipcore[cluster]' (or pip install 'dask[distributed]')"
        ) from None


def _dask_client(address: str, jobs: int | None) -> tuple[Any, Any]:
    import logging

    # The optional libraries are loaded by name: they come without types.
    distributed = importlib.import_module("distributed")
    Client, LocalCluster = distributed.Client, distributed.LocalCluster

    if address == "local":
        cluster = LocalCluster(
            n_workers=jobs or os.cpu_count() or 1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        )
        return Client(cluster), cluster
    try:
        return Client(address, timeout="10s"), None
    except (OSError, TimeoutError, ValueError) as err:
        raise BatchError(f"cannot reach the Dask scheduler at {address!r}: {err}") from None


def _run_dask(tasks: Sequence[Task], settings: Settings, client: Any) -> Generator[list[Record], None, None]:
    """Searches the tasks on a Dask cluster: a few chunks in flight per worker
    thread, each chunk's records yielded as it finishes. Dask itself retries
    a chunk whose worker died; one that keeps killing workers is split and
    its tasks reported as failures."""
    as_completed = importlib.import_module("distributed").as_completed
    slots = max(1, sum(client.nthreads().values()))
    chunker = _Chunker(tasks, slots)
    futures = as_completed()
    meta: dict[Any, tuple[list[Task], int, float]] = {}

    def submit() -> bool:
        item = chunker.take()
        if item is None:
            return False
        future = client.submit(search_chunk, item[0], settings, pure=False, retries=0)
        meta[future] = (item[0], item[1], time.perf_counter())
        futures.add(future)
        return True

    try:
        while len(meta) < 2 * slots and submit():
            pass
        for future in futures:
            chunk, attempts, sent = meta.pop(future)
            if future.status == "finished":
                # Two chunks wait per thread: about half the time was queueing.
                chunker.timed(len(chunk), (time.perf_counter() - sent) / 2)
                yield future.result()
            else:
                try:
                    err = future.exception()
                except Exception as lost:  # cancelled, say by a scheduler that went away
                    err = lost
                name = type(err).__name__
                if name in ("ModuleNotFoundError", "ImportError"):
                    raise BatchError(f"a Dask worker cannot import flipcore ({err}): install flipcore on every worker")
                if name != "KilledWorker" or not chunker.failed(chunk, attempts):
                    yield _failure_records(chunk, settings, f"the Dask worker failed: {name}: {err}")
            future.release()
            while len(meta) < 2 * slots and submit():
                pass
    finally:
        if meta:
            client.cancel(list(meta))


# --------------------------------------------------------------------------
# The public entry points


def _settings(depth: int | None, mode: str, jobs: int, limit: int | str | None, dask: str | None) -> Settings:
    if not isinstance(mode, str) or mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
    if mode == "depth":
        depth = DEFAULT_DEPTH if depth is None else depth
        if type(depth) is not int or not 1 <= depth <= 60:
            raise ValueError(f"depth must be a whole number from 1 to 60, got {depth!r}")
    elif depth is not None:
        raise ValueError(f"mode {mode!r} solves to the end of the game and takes no depth, got depth={depth!r}")
    else:
        try:
            importlib.import_module("flipcore.solve")._solver()
        except ImportError as err:
            raise BatchError(f"mode {mode!r} needs the compiled solver, which this installation lacks: {err}") from None
    if dask is not None:
        if not isinstance(dask, str) or not dask:
            raise ValueError(f"dask must be a scheduler address or 'local', got {dask!r}")
        _require_distributed()
    if limit is not None:
        per_worker: int | None = _table.parse_size(limit) or None
    elif dask is None:
        # The local workers share this process's ceiling (its default, or
        # what FLIPCORE_TABLE_LIMIT or table_limit() made it).
        per_worker = max(_table.table_limit() // jobs, _table.MIN_LIMIT)
    else:
        per_worker = None  # the cluster's machines are not this one
    return Settings(mode=mode, depth=depth if mode == "depth" else None, table_limit=per_worker)


# Searches use the processor only, so more workers than cores gain nothing;
# a few times more are allowed (a machine may have more cores than it shows
# this process), beyond that each worker only costs memory and its share of
# the table's ceiling.
MAX_WORKERS_PER_CORE = 4


def _workers(jobs: int, tasks: int, dask: str | None) -> int:
    """The local worker processes to start for `tasks` tasks when `jobs` are
    asked: no more than the tasks, nor than MAX_WORKERS_PER_CORE per core
    (with a warning)."""
    if dask is not None:
        return jobs
    cap = MAX_WORKERS_PER_CORE * (os.cpu_count() or 1)
    if jobs > cap and tasks > cap:
        warnings.warn(
            f"{jobs} jobs asked on {os.cpu_count() or 1} cores: starting {cap} worker processes "
            f"({MAX_WORKERS_PER_CORE} per core), since more would only share the cores and the memory",
            RuntimeWarning,
            stacklevel=3,
        )
    return max(1, min(jobs, tasks, cap))


def _check_jobs(jobs: int | None) -> int:
    if jobs is None:
        return os.cpu_count() or 1
    if type(jobs) is not int or jobs < 1:
        raise ValueError(f"jobs must be a whole number of at least 1, got {jobs!r}")
    return jobs


@contextlib.contextmanager
def _work(tasks: Sequence[Task], settings: Settings, jobs: int, dask: str | None) -> Iterator[Iterator[list[Record]]]:
    """The chunks of records of the tasks as they finish, from local workers
    or a Dask cluster (connected on entry, so that a scheduler out of reach
    is reported before anything is written). Leaving stops the workers."""
    if not tasks:
        yield iter(())
    elif dask is None:
        chunks = _run_local(tasks, settings, jobs)
        try:
            yield chunks
        finally:
            chunks.close()
    else:
        client, cluster = _dask_client(dask, jobs)
        try:
            chunks = _run_dask(tasks, settings, client)
            try:
                yield chunks
            finally:
                chunks.close()
        finally:
            client.close()
            if cluster is not None:
                cluster.close()


def run(
    source: str | os.PathLike[str] | Iterable[str | Position],
    depth: int | None = None,
    *,
    mode: str = "depth",
    jobs: int | None = None,
    dask: str | None = None,
    every_ply: bool = False,
    strict: bool = False,
    table_limit: int | str | None = None,
) -> Iterator[Record]:
    """Searches every position of `source`, yielding one record per position.

    source: a file name ("-" for standard input), or an iterable of lines
        (position texts or game records) or of Positions.
    depth: the search depth in mode "depth" (default DEFAULT_DEPTH); None
        in the solving modes.
    mode: "depth", "exact" (flipcore.solve's exact score) or "wld".
    jobs: worker processes (default: one per core); with `dask`, the
        number of workers of a local cluster.
    dask: a Dask scheduler's address ("tcp://host:8786"), or "local" for a
        cluster on this machine.
    every_ply: a game record stands for every position of the game.
    strict: a bad line raises BatchError instead of yielding an error record.
    table_limit: the search table's memory ceiling per worker, in bytes or
        as a text like "2G" (see flipcore.table_limit). Default: each local
        worker an equal share of this process's ceiling; each Dask worker
        half the memory Dask allows it.

    Error records of bad lines come first, then the records of the searches
    as they finish, which is not input order with several workers: each
    record carries its line (and ply).
    """
    jobs = _check_jobs(jobs)
    settings = _settings(depth, mode, jobs, table_limit, dask)
    tasks, errors = parse_lines(_read_source(source), settings, every_ply)
    if strict and errors:
        raise BatchError(f"line {errors[0]['line']}: {errors[0]['error']}")
    # The table's ceiling is shared by the workers actually started.
    jobs = _workers(jobs, len(tasks), dask)
    settings = _settings(depth, mode, jobs, table_limit, dask)

    def generate() -> Iterator[Record]:
        yield from errors
        with _work(tasks, settings, jobs, dask) as chunks:
            for chunk in chunks:
                for record in chunk:
                    if strict and record["error"] is not None:
                        raise BatchError(f"line {record['line']}: {record['error']}")
                    yield record

    return generate()


# --------------------------------------------------------------------------
# Output files


OUTPUT_FORMATS = {".jsonl": "jsonl", ".csv": "csv", ".parquet": "parquet"}


def output_format(path: str | os.PathLike[str]) -> str:
    """"parquet", "csv" or "jsonl", by the file name's ending; BatchError
    for any other ending, rather than a format the name does not say."""
    name = os.fspath(path)
    kind = OUTPUT_FORMATS.get(os.path.splitext(name)[1].lower())
    if kind is None:
        raise BatchError(
            f"output {name!r}: the file name must end in .jsonl, .csv or .parquet (the format written)"
        )
    return kind


def _csv_cell(key: str, value: Any) -> str:
    if value is None:
        return ""
    if key == "moves":
        return " ".join(value)
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


def _from_csv(row: dict[str, str]) -> Record:
    record: Record = dict.fromkeys(FIELDS)
    for key in FIELDS:
        cell = row.get(key)
        if cell is None or cell == "":
            if key == "moves" and row.get("error", "") == "" and cell == "":
                record[key] = []
            continue
        if key in ("line", "ply", "depth", "score", "nodes"):
            record[key] = int(cell)
        elif key in ("value", "seconds"):
            record[key] = float(cell)
        elif key == "passed":
            record[key] = cell == "true"
        elif key == "moves":
            record[key] = cell.split()
        else:
            record[key] = cell
    return record


def _parquet_schema() -> Any:
    pa = importlib.import_module("pyarrow")
    return pa.schema(
        [
            ("line", pa.int64()),
            ("ply", pa.int64()),
            ("position", pa.string()),
            ("mode", pa.string()),
            ("depth", pa.int64()),
            ("value", pa.float64()),
            ("score", pa.int64()),
            ("moves", pa.list_(pa.string())),
            ("passed", pa.bool_()),
            ("nodes", pa.int64()),
            ("seconds", pa.float64()),
            ("error", pa.string()),
        ]
    )


def _import_pyarrow() -> Any:
    try:
        pq = importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise BatchError(
            "Parquet output needs pyarrow: pip install 'flipcore[batch]' (or pip install pyarrow)"
        ) from None
    return pq


def _whole_end(path: str) -> int:
    """The length of a text output's complete lines. A run killed while
    writing can leave a last line without its newline: it is not a whole
    record, and is cut off before appending."""
    with open(path, "rb") as file:
        end = file.seek(0, os.SEEK_END)
        while end > 0:
            start = max(0, end - 65536)
            file.seek(start)
            block = file.read(end - start)
            newline = block.rfind(b"\n")
            if newline >= 0:
                return start + newline + 1
            end = start
    return 0


def _whole_lines(path: str) -> Iterator[str]:
    """The complete lines of a text output, read as they are needed."""
    left = _whole_end(path)
    with open(path, "rb") as file:
        for raw in file:
            left -= len(raw)
            if left < 0:
                return
            try:
                yield raw.decode("utf-8")  # the newline kept for csv's quoted fields
            except UnicodeDecodeError:
                raise BatchError(f"output {path!r} is not a flipcore batch output (not UTF-8 text)") from None


def read_records(path: str | os.PathLike[str], fields: Sequence[str] = FIELDS) -> list[Record]:
    """The records of a batch output file, in the order they were written,
    with only the given fields (resuming needs a few of a large file's)."""
    name = os.fspath(path)
    kind = output_format(name)
    if kind == "parquet":
        pq = _import_pyarrow()
        try:
            table = pq.read_table(name, columns=list(fields))
        except Exception as err:
            raise BatchError(f"cannot read {name!r} as Parquet: {err}") from None
        records: list[Record] = table.to_pylist()
        return records
    lines = _whole_lines(name)
    if kind == "csv":
        header = next(lines, None)
        if header is None:
            return []
        if header.rstrip("\r\n").split(",") != list(FIELDS):
            raise BatchError(f"output {name!r} is not a flipcore batch output (its header is not {','.join(FIELDS)})")
        rows = (_from_csv(row) for row in csv.DictReader(lines, fieldnames=FIELDS))
    else:
        rows = (_from_json(name, number, text) for number, text in enumerate(lines, 1))
    if tuple(fields) == FIELDS:
        return list(rows)
    return [{key: row.get(key) for key in fields} for row in rows]


def _from_json(name: str, number: int, text: str) -> Record:
    try:
        record = json.loads(text)
        if not isinstance(record, dict) or "line" not in record:
            raise ValueError("not a record")
    except ValueError:
        raise BatchError(f"output {name!r} line {number} is not a flipcore batch record: {text[:60]!r}") from None
    return record


def _json_line(record: Record) -> str:
    """A record as one line of JSON, as json.dumps writes it (every record is
    made with its keys in FIELDS order). A search's record, by far the most
    common, is spelled out directly: json.dumps takes several times as long,
    which at depth 1 made writing the records the batch's slowest step."""
    value = record["value"]
    if record["error"] is None and record["mode"] == "depth" and type(value) is float and math.isfinite(value):
        ply = "null" if record["ply"] is None else int(record["ply"])
        moves = ", ".join([f'"{name}"' for name in record["moves"]])
        passed = "true" if record["passed"] else "false"
        # Positions and square names hold no character that JSON escapes.
        return (
            f'{{"line": {int(record["line"])}, "ply": {ply}, "position": "{record["position"]}", "mode": "depth", '
            f'"depth": {int(record["depth"])}, "value": {value!r}, "score": null, "moves": [{moves}], '
            f'"passed": {passed}, "nodes": {int(record["nodes"])}, "seconds": {float(record["seconds"])!r}, "error": null}}\n'
        )
    return json.dumps(record) + "\n"


class _Writer:
    """Appends records to an output file, each one whole, flushed as it is
    written (Parquet: written out on close, see _ParquetWriter)."""

    def __init__(self, path: str, kind: str) -> None:
        self.path = path
        self.kind = kind
        end = _whole_end(path) if os.path.exists(path) else 0
        try:
            self.file: TextIO = open(path, "r+" if os.path.exists(path) else "w", encoding="utf-8", newline="")
            self.file.truncate(end)
            self.file.seek(end)
        except OSError as err:
            raise BatchError(f"cannot write output {path!r}: {err.strerror or err}") from None
        if kind == "csv" and end == 0:
            self.file.write(",".join(FIELDS) + "\n")

    @classmethod
    def stdout(cls) -> _Writer:
        """JSON Lines on standard output, which is left open."""
        writer = cls.__new__(cls)
        writer.path, writer.kind, writer.file = "-", "jsonl", sys.stdout
        return writer

    def write(self, records: Sequence[Record]) -> None:
        if self.kind == "csv":
            buffer = io.StringIO()
            writer = csv.writer(buffer, lineterminator="\n")
            for record in records:
                writer.writerow([_csv_cell(key, record[key]) for key in FIELDS])
            text = buffer.getvalue()
        else:
            text = "".join([_json_line(record) for record in records])
        self.file.write(text)
        self.file.flush()

    def close(self) -> None:
        if self.file is not sys.stdout:
            self.file.close()


class _ParquetWriter:
    """A Parquet file cannot be appended to, and is readable only once its
    footer is written. So the new file is built beside the old one (its
    records first), in row groups written every few seconds, and replaces it
    on close, which also runs on Ctrl-C. A run killed outright leaves the
    previous output as it was."""

    FLUSH_SECONDS = 5.0
    FLUSH_RECORDS = 20000

    def __init__(self, path: str) -> None:
        self.pq = _import_pyarrow()
        self.pa = importlib.import_module("pyarrow")
        self.path = path
        self.partial = path + ".partial"
        self.schema = _parquet_schema()
        try:
            self.writer = self.pq.ParquetWriter(self.partial, self.schema)
        except OSError as err:
            raise BatchError(f"cannot write output {path!r}: {err}") from None
        if os.path.exists(path) and os.path.getsize(path) > 0:
            # The old records, copied a row group at a time.
            for group in self.pq.ParquetFile(path).iter_batches():
                self.writer.write_batch(group.cast(self.schema))
        self.pending: list[Record] = []
        self.flushed = time.monotonic()

    def _flush(self) -> None:
        if self.pending:
            columns = {key: [record[key] for record in self.pending] for key in FIELDS}
            self.writer.write_table(self.pa.Table.from_pydict(columns, schema=self.schema))
            self.pending = []
        self.flushed = time.monotonic()

    def write(self, records: Sequence[Record]) -> None:
        self.pending.extend(records)
        if len(self.pending) >= self.FLUSH_RECORDS or time.monotonic() - self.flushed >= self.FLUSH_SECONDS:
            self._flush()

    def close(self) -> None:
        self._flush()
        self.writer.close()
        os.replace(self.partial, self.path)


# What resuming reads of the records an output already holds.
_RESUME_FIELDS = ("line", "ply", "position", "mode", "depth", "error")


def _check_previous(
    previous: list[Record], tasks: list[Task], errors: list[Record], settings: Settings, output: str
) -> set[tuple[int, int | None]]:
    """The keys (line, ply) the output already holds. Refuses an output
    written with other settings or from another input, whose records resuming
    would mix up with this run's."""
    done: set[tuple[int, int | None]] = set()
    if not previous:
        return done
    expected: dict[tuple[int, int | None], str | None] = {(line, ply): text for line, ply, text in tasks}
    expected.update(((e["line"], e["ply"]), None) for e in errors)
    for record in previous:
        key = (record.get("line"), record.get("ply"))
        if record.get("mode") != settings.mode or record.get("depth") != settings.depth:
            made = f"depth {record.get('depth')}" if record.get("mode") == "depth" else f"mode {record.get('mode')}"
            wanted = f"depth {settings.depth}" if settings.mode == "depth" else f"mode {settings.mode}"
            raise BatchError(
                f"output {output!r} holds results of {made}, not {wanted}: name another output file to keep both"
            )
        # A result must be for the same position; an error record for a line
        # that still gives no position.
        held = record.get("position") if record.get("error") is None else None
        if key not in expected or expected[key] != held:
            where = f"line {key[0]}" + ("" if key[1] is None else f" ply {key[1]}")
            raise BatchError(
                f"output {output!r} holds a record for {where} that this input does not give: "
                "it comes from another input; name another output file"
            )
        if key in done:
            raise BatchError(f"output {output!r} holds line {key[0]} twice: it is not one run's output")
        done.add(key)
    return done


def run_file(
    input: str | os.PathLike[str],
    output: str | os.PathLike[str],
    depth: int | None = None,
    *,
    mode: str = "depth",
    jobs: int | None = None,
    dask: str | None = None,
    every_ply: bool = False,
    strict: bool = False,
    table_limit: int | str | None = None,
    progress: bool = False,
    on_record: Callable[[Record], None] | None = None,
) -> Summary:
    """Searches the positions of `input` and writes their records to `output`
    (JSON Lines; CSV or Parquet by the name's ending; "-" for JSON Lines on
    standard output, which cannot resume) as they finish.

    When `output` already holds records of the same input and settings, only
    the positions it lacks are searched: a stopped run resumes. Failures that
    another try may cure (a worker that died, memory) are counted and passed
    to on_record but not written, so the next run tries them again. Ctrl-C
    (KeyboardInterrupt) leaves the output whole; the summary of the part
    done is then attached to the exception as `.summary`.
    """
    began = time.perf_counter()
    jobs = _check_jobs(jobs)
    settings = _settings(depth, mode, jobs, table_limit, dask)
    out = os.fspath(output)
    to_stdout = out == "-"
    kind = "jsonl"
    if not to_stdout:
        if os.path.isdir(out):
            raise BatchError(f"cannot write output {out!r}: it is a directory")
        parent = os.path.dirname(os.path.abspath(out))
        if not os.path.isdir(parent):
            raise BatchError(f"cannot write output {out!r}: directory {parent!r} does not exist")
        source = os.fspath(input) if isinstance(input, (str, os.PathLike)) else "-"
        if source != "-" and os.path.exists(source) and os.path.exists(out) and os.path.samefile(source, out):
            raise BatchError(f"output {out!r} is the input file")
        kind = output_format(out)
        if kind == "parquet":
            _import_pyarrow()

    lines = _read_source(input)
    tasks, errors = parse_lines(lines, settings, every_ply)
    if not tasks and not errors:
        raise BatchError(
            f"no positions in the input {os.fspath(input)!r}: it is empty (blank lines and # comments only)"
        )
    if strict and errors:
        raise BatchError(f"line {errors[0]['line']}: {errors[0]['error']}")

    has_records = not to_stdout and os.path.exists(out) and os.path.getsize(out) > 0
    previous = read_records(out, _RESUME_FIELDS) if has_records else []
    done = _check_previous(previous, tasks, errors, settings, out)
    summary = Summary(skipped=sum(1 for line, ply, _ in tasks if (line, ply) in done), bad_lines=len(errors))
    todo = [task for task in tasks if (task[0], task[1]) not in done]
    new_errors = [e for e in errors if (e["line"], e["ply"]) not in done]
    workers = _workers(jobs, len(todo), dask)
    settings = _settings(depth, mode, workers, table_limit, dask)

    with contextlib.ExitStack() as stack:
        chunks = stack.enter_context(_work(todo, settings, workers, dask))
        writer: _Writer | _ParquetWriter
        if to_stdout:
            writer = _Writer.stdout()
        elif kind == "parquet":
            writer = _ParquetWriter(out)
        else:
            writer = _Writer(out, kind)
        stack.callback(writer.close)
        bar = _progress_bar(len(todo), progress)
        if bar is not None:
            stack.callback(bar.close)
        try:
            if new_errors:
                writer.write(new_errors)
            for record in errors:
                if on_record is not None:
                    on_record(record)
            for chunk in chunks:
                writer.write([record for record in chunk if not isinstance(record, _Failure)])
                for record in chunk:
                    if record["error"] is None:
                        summary.done += 1
                    else:
                        summary.failed += 1
                    if on_record is not None:
                        on_record(record)
                    if strict and record["error"] is not None:
                        raise BatchError(f"line {record['line']}: {record['error']}")
                if bar is not None:
                    bar.update(len(chunk))
        except KeyboardInterrupt as stop:
            summary.interrupted = True
            summary.seconds = time.perf_counter() - began
            stop.summary = summary  # type: ignore[attr-defined]
            raise
    summary.seconds = time.perf_counter() - began
    return summary


def _progress_bar(total: int, enabled: bool) -> Any:
    if not enabled or total == 0:
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="pos", file=sys.stderr, dynamic_ncols=True, smoothing=0.1)
