"""Batch analysis: values and best moves for many positions, on every core of
this machine or on a Dask cluster.

    >>> from flipcore import batch
    >>> for record in batch.run(["-" * 27 + "OX------XO" + "-" * 27 + " X"], depth=2, jobs=1):
    ...     print(record["line"], record["engine"], record["value"], record["moves"])
    1 think 3.125 ['d3']
    >>> for record in batch.run(["-" * 27 + "OX------XO" + "-" * 27 + " X"], depth=2, jobs=1, engine="minimax"):
    ...     print(record["line"], record["engine"], record["value"], record["moves"])
    1 minimax -14.566666666666666 ['d3', 'c4', 'f5', 'e6']

run() yields one record per position; run_file() reads a file, writes the
records to JSON Lines, CSV or Parquet as they finish, and resumes a run that
was stopped, searching only what the output does not hold yet.

A position is searched by flipcore.think (the default: values in discs, X
minus O, to a depth and/or for a time a position), by the engine's
depth-limited minimax (engine="minimax": values in its own units), or
solved by flipcore.solve (mode "exact" or "wld").

Every position is searched from an empty table: init() runs just before each
minimax search, think's table and the solver's are emptied just before each
think and each solve. A record therefore depends only on its position and
the settings, never on which worker took it or what that worker searched
before, so one job, many jobs and a cluster give the same records (apart
from `seconds`). think with a time limit is the exception: how deep it gets
in the time depends on the machine and its load, so its records vary from
run to run; with a depth alone they do not.

A record is a dict with the keys of FIELDS:

    line      the input line it came from (1-based)
    ply       for a game record, the number of moves played before the
              position (None for a line that holds a position)
    position  the position in the one-line text form
    mode      "depth" (searched by an engine), "exact" or "wld" (solved)
    engine    "think" or "minimax" ("depth" mode), "solve" when solved
    depth     the depth asked ("depth" mode; None for think by time alone,
              and when solved)
    time_limit  think's time a position in seconds (None: no limit)
    value     the search's value, side 1's (X's) view ("depth" mode): in
              discs (X minus O) for think, in the engine's units for minimax
    score     the exact score, X minus O, when solved (its sign in "wld"
              mode) or when think proved its value
    moves     every best move of the side to move, by name (think: its one
              best move); empty when it must pass or the game is over
    passed    True when the side to move had no move and passes: the value
              or score is that of the position after the pass
    depth_reached  the depth searched: think's deepest finished depth (the
              empty squares when it solved), minimax's depth, None when solved
    nodes     positions the search or the solver visited
    seconds   the time of the search itself, without the batch's overhead
    error     why the line gave no result; the fields above are then None

The batch's parts, one module each: inputs (reading the input lines),
records (the records, settings and errors), searching (one position, in a
worker), chunks (handing out work), local (the worker processes of this
machine), cluster (Dask), output (the output files and the resume checks).
This module holds the entry points and re-exports the public names.
"""

from __future__ import annotations

import contextlib
import importlib
import math
import os
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

from flipcore import table as _table
from flipcore.batch.chunks import CHUNK_SECONDS, MAX_ATTEMPTS, MAX_CHUNK
from flipcore.batch.cluster import _dask_client, _require_distributed, _run_dask
from flipcore.batch.inputs import _read_source, parse_lines
from flipcore.batch.local import MAX_WORKERS_PER_CORE, SearchFunction, _run_local, _workers
from flipcore.batch.output import (
    _RESUME_FIELDS,
    OUTPUT_FORMATS,
    _check_previous,
    _import_pyarrow,
    _json_line,  # noqa: F401 (flipcore.batch._json_line, as before the split)
    _ParquetWriter,
    _Writer,
    output_format,
    read_records,
)
from flipcore.batch.records import (
    DEFAULT_DEPTH,
    ENGINES,
    FIELDS,
    MODES,
    BatchError,
    Record,
    Settings,
    Summary,
    Task,
    _Failure,
)
from flipcore.batch.searching import search_chunk
from flipcore.position import Position
from flipcore.think import DEFAULT_SECONDS

__all__ = [
    "FIELDS",
    "MODES",
    "DEFAULT_DEPTH",
    "DEFAULT_SECONDS",
    "ENGINES",
    "Record",
    "Task",
    "CHUNK_SECONDS",
    "MAX_CHUNK",
    "MAX_ATTEMPTS",
    "BatchError",
    "Settings",
    "Summary",
    "parse_lines",
    "search_chunk",
    "SearchFunction",
    "run",
    "run_file",
    "MAX_WORKERS_PER_CORE",
    "OUTPUT_FORMATS",
    "output_format",
    "read_records",
]


def _settings(
    depth: int | None,
    mode: str,
    jobs: int,
    limit: int | str | None,
    dask: str | None,
    engine: str = "think",
    seconds: float | None = None,
) -> Settings:
    if not isinstance(mode, str) or mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
    if not isinstance(engine, str) or engine not in ENGINES:
        raise ValueError(f"engine must be one of {', '.join(ENGINES)}, got {engine!r}")
    if seconds is not None:
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or not 0 < seconds < math.inf:
            raise ValueError(f"seconds must be a finite number above 0, got {seconds!r}")
        if mode != "depth":
            raise ValueError(f"mode {mode!r} solves to the end of the game and takes no seconds, got {seconds!r}")
        if engine == "minimax":
            raise ValueError(f"seconds is think's time a position; minimax searches to a depth, got {seconds!r}")
        seconds = float(seconds)
    if mode == "depth":
        if depth is None and engine == "minimax":
            depth = DEFAULT_DEPTH
        elif depth is None and seconds is None:
            seconds = DEFAULT_SECONDS
        if depth is not None and (type(depth) is not int or not 1 <= depth <= 60):
            raise ValueError(f"depth must be a whole number from 1 to 60, got {depth!r}")
        if engine == "think":
            try:
                importlib.import_module("flipcore.think")._think_module()
            except (ImportError, RuntimeError) as err:
                raise BatchError(f"think cannot run in this installation: {err}") from None
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
    if mode != "depth":
        return Settings(mode=mode, depth=None, table_limit=per_worker)
    return Settings(mode=mode, depth=depth, table_limit=per_worker, engine=engine, time_limit=seconds)


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
    seconds: float | None = None,
    engine: str = "think",
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
    depth: the deepest depth searched in mode "depth"; None in the solving
        modes. minimax searches to exactly this depth (default
        DEFAULT_DEPTH); think searches at most this deep, within `seconds`.
    seconds: think's time a position (default: DEFAULT_SECONDS when no
        depth is given, else no limit); not for minimax.
    engine: "think" (flipcore.think, values in discs, X minus O) or
        "minimax" (the engine's depth-limited search, values in its own
        units, side 1's view), for mode "depth".
    mode: "depth" (a search by `engine`), "exact" (flipcore.solve's exact
        score) or "wld".
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
    settings = _settings(depth, mode, jobs, table_limit, dask, engine, seconds)
    tasks, errors = parse_lines(_read_source(source), settings, every_ply)
    if strict and errors:
        raise BatchError(f"line {errors[0]['line']}: {errors[0]['error']}")
    # The table's ceiling is shared by the workers actually started.
    jobs = _workers(jobs, len(tasks), dask)
    settings = _settings(depth, mode, jobs, table_limit, dask, engine, seconds)

    def generate() -> Iterator[Record]:
        yield from errors
        with _work(tasks, settings, jobs, dask) as chunks:
            for chunk in chunks:
                for record in chunk:
                    if strict and record["error"] is not None:
                        raise BatchError(f"line {record['line']}: {record['error']}")
                    yield record

    return generate()


def run_file(
    input: str | os.PathLike[str],
    output: str | os.PathLike[str],
    depth: int | None = None,
    *,
    seconds: float | None = None,
    engine: str = "think",
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

    The arguments are run()'s. When `output` already holds records of the
    same input and settings (engine, depth and time limit), only
    the positions it lacks are searched: a stopped run resumes. Failures that
    another try may cure (a worker that died, memory) are counted and passed
    to on_record but not written, so the next run tries them again. Ctrl-C
    (KeyboardInterrupt) leaves the output whole; the summary of the part
    done is then attached to the exception as `.summary`.
    """
    began = time.perf_counter()
    jobs = _check_jobs(jobs)
    settings = _settings(depth, mode, jobs, table_limit, dask, engine, seconds)
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
    settings = _settings(depth, mode, workers, table_limit, dask, engine, seconds)

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
