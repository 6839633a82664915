"""Searching the positions, in the worker processes (local or Dask): with
flipcore.think, the engine's minimax or the exact solver, each position from
an empty table, so that its record depends on nothing else."""

from __future__ import annotations

import math
import sys
import threading
import time
from collections.abc import Sequence
from typing import Any

from _flipcore import _nodes, init, minimax_moves

from flipcore import table as _table
from flipcore.batch.records import Record, Settings, Task, _error_record, _Failure
from flipcore.position import Position, square_name

_CELL_CODES = bytes.maketrans(b"XOxo-", b"\x01\x02\x01\x02\x00")
_NAMES = {(col, row): square_name((col, row)) for col in range(8) for row in range(8)}


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


def _search_think(text: str, depth: int | None, seconds: float | None) -> tuple[Any, Position]:
    """flipcore.think from an empty table: its table is one per thread and
    carries over from one think to the next, which would make a record
    depend on what its worker thought before."""
    from flipcore.think import clear_think_table, think

    position = Position.from_text(text)
    clear_think_table()
    # One thread for the solver it may hand over to, as for solves.
    return think(position, depth=depth, seconds=seconds, threads=1), position


def _search_task(task: Task, settings: Settings) -> Record:
    line, ply, text = task
    try:
        if settings.mode == "depth" and settings.engine == "minimax":
            assert settings.depth is not None
            value, moves, passed, nodes, seconds = _search_depth(text, settings.depth)
            score, reached = None, settings.depth
        elif settings.mode == "depth":
            found, position = _search_think(text, settings.depth, settings.time_limit)
            value, moves, nodes, seconds, reached = found.value, [], found.nodes, found.seconds, found.depth
            if found.move is not None:
                moves = [_NAMES[found.move]]
            # A proven value is the final score, X minus O, as the solver gives it.
            score = int(value) if found.exact else None
            passed = not position.is_over() and not position.legal_moves()
        else:
            position = Position.from_text(text)
            result = _fresh_solve(position, settings.mode)
            value, moves, seconds, score, nodes = None, result.names(), result.seconds, result.score, result.nodes
            reached = None
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
        "engine": settings.engine_name(),
        "depth": settings.depth,
        "time_limit": settings.time_limit,
        "value": value,
        "score": score,
        "moves": moves,
        "passed": passed,
        "depth_reached": reached,
        "nodes": nodes,
        "seconds": seconds,
        "error": None,
    }


def search_chunk(tasks: Sequence[Task], settings: Settings) -> list[Record]:
    """Searches each task from an empty table; the records in task order."""
    with _ENGINE_LOCK:
        _apply_table_limit(settings.table_limit)
        return [_search_task(task, settings) for task in tasks]
