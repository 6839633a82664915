"""The batch's records, its settings and its errors: what every other part of
the batch hands around."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

FIELDS = (
    "line",
    "ply",
    "position",
    "mode",
    "engine",
    "depth",
    "time_limit",
    "value",
    "score",
    "moves",
    "passed",
    "depth_reached",
    "nodes",
    "seconds",
    "error",
)
MODES = ("depth", "exact", "wld")
# The engines that search in "depth" mode: flipcore.think, values in discs,
# or the engine's depth-limited minimax, values in its own units.
ENGINES = ("think", "minimax")
# The depth minimax searches when none is given, as in play and selfplay.
DEFAULT_DEPTH = 8

Record = dict[str, Any]
# One position to search: (input line, ply or None, position text in its
# canonical form: 64 of X, O and -, a space, X or O). Plain tuples keep the
# messages to the workers small.
Task = tuple[int, "int | None", str]


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
    # The engine that searches in "depth" mode (the solving modes use the
    # solver), and think's time per position in seconds (None: no limit).
    engine: str = "think"
    time_limit: float | None = None

    def engine_name(self) -> str:
        """What makes the records: "think", "minimax" or "solve"."""
        return self.engine if self.mode == "depth" else "solve"

    def describe(self) -> str:
        """The settings as a resume message names them: "minimax at depth 8",
        "think at depth 8", "think for 0.5 s a
        position", "mode exact"."""
        return describe_settings(self.mode, self.engine_name(), self.depth, self.time_limit)


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


def describe_settings(mode: Any, engine: Any, depth: Any, time_limit: Any) -> str:
    if mode != "depth":
        return f"mode {mode}"
    if engine == "minimax":
        return f"minimax at depth {depth}"
    within = f"for {time_limit:g} s a position" if isinstance(time_limit, (int, float)) else ""
    if depth is None:
        return f"{engine} {within}".rstrip()
    return f"{engine} at depth {depth}" + (f", at most {time_limit:g} s a position" if within else "")


def _error_record(line: int, ply: int | None, settings: Settings, reason: str) -> Record:
    record: Record = dict.fromkeys(FIELDS)
    record.update(
        line=line,
        ply=ply,
        mode=settings.mode,
        engine=settings.engine_name(),
        depth=settings.depth,
        time_limit=settings.time_limit,
        error=reason,
    )
    return record


def _failure_records(chunk: Sequence[Task], settings: Settings, reason: str) -> list[Record]:
    out: list[Record] = []
    for line, ply, text in chunk:
        failure = _Failure(_error_record(line, ply, settings, reason))
        failure["position"] = text
        out.append(failure)
    return out
