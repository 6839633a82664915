"""Output files: records written to JSON Lines, CSV or Parquet as they
finish, read back, and checked before a run resumes into them."""

from __future__ import annotations

import csv
import importlib
import io
import json
import math
import os
import sys
import time
from collections.abc import Iterator, Sequence
from typing import Any, TextIO

from flipcore.batch.records import FIELDS, BatchError, Record, Settings, Task, describe_settings

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
        if key in ("line", "ply", "depth", "score", "depth_reached", "nodes"):
            record[key] = int(cell)
        elif key in ("value", "time_limit", "seconds"):
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
            ("engine", pa.string()),
            ("depth", pa.int64()),
            ("time_limit", pa.float64()),
            ("value", pa.float64()),
            ("score", pa.int64()),
            ("moves", pa.list_(pa.string())),
            ("passed", pa.bool_()),
            ("depth_reached", pa.int64()),
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


# The fields records gained when think became the batch's engine. A CSV or
# Parquet output written before has none of their columns, and cannot be
# read as today's, nor resumed (JSON Lines can, each record being whole).
_ENGINE_FIELDS = ("engine", "time_limit", "depth_reached")
_EARLIER = "was written by an earlier flipcore, before records named their engine: name another output file"


def read_records(path: str | os.PathLike[str], fields: Sequence[str] = FIELDS) -> list[Record]:
    """The records of a batch output file, in the order they were written,
    with only the given fields (resuming needs a few of a large file's)."""
    name = os.fspath(path)
    kind = output_format(name)
    if kind == "parquet":
        pq = _import_pyarrow()
        try:
            missing = set(FIELDS) - set(pq.read_schema(name).names)
            if missing == set(_ENGINE_FIELDS):
                raise BatchError(f"output {name!r} {_EARLIER}")
            table = pq.read_table(name, columns=list(fields))
        except BatchError:
            raise
        except Exception as err:
            raise BatchError(f"cannot read {name!r} as Parquet: {err}") from None
        records: list[Record] = table.to_pylist()
        return records
    lines = _whole_lines(name)
    if kind == "csv":
        header = next(lines, None)
        if header is None:
            return []
        columns = header.rstrip("\r\n").split(",")
        if columns == [key for key in FIELDS if key not in _ENGINE_FIELDS]:
            raise BatchError(f"output {name!r} {_EARLIER}")
        if columns != list(FIELDS):
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
    value, limit = record["value"], record["time_limit"]
    if (
        record["error"] is None
        and record["mode"] == "depth"
        and record["engine"] in ("think", "minimax")
        and type(value) is float
        and math.isfinite(value)
        and (limit is None or type(limit) is float)
    ):
        ply = "null" if record["ply"] is None else int(record["ply"])
        depth = "null" if record["depth"] is None else int(record["depth"])
        time_limit = "null" if limit is None else repr(limit)
        score = "null" if record["score"] is None else int(record["score"])
        moves = ", ".join([f'"{name}"' for name in record["moves"]])
        passed = "true" if record["passed"] else "false"
        reached = "null" if record["depth_reached"] is None else int(record["depth_reached"])
        # Positions, engines and square names hold no character that JSON escapes.
        return (
            f'{{"line": {int(record["line"])}, "ply": {ply}, "position": "{record["position"]}", "mode": "depth", '
            f'"engine": "{record["engine"]}", "depth": {depth}, "time_limit": {time_limit}, "value": {value!r}, '
            f'"score": {score}, "moves": [{moves}], "passed": {passed}, "depth_reached": {reached}, '
            f'"nodes": {int(record["nodes"])}, "seconds": {float(record["seconds"])!r}, "error": null}}\n'
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
_RESUME_FIELDS = ("line", "ply", "position", "mode", "engine", "depth", "time_limit", "error")


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
        mode = record.get("mode")
        # Records written before they named their engine came from minimax
        # (the only engine then) or the solver.
        engine = record.get("engine") or ("minimax" if mode == "depth" else "solve")
        made = (mode, engine, record.get("depth"), record.get("time_limit"))
        if made != (settings.mode, settings.engine_name(), settings.depth, settings.time_limit):
            raise BatchError(
                f"output {output!r} holds results of {describe_settings(*made)}, not {settings.describe()}: "
                "name another output file to keep both"
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
