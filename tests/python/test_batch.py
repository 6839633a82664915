"""flipcore.batch and `flipcore batch`: records checked against the engine
called directly, the same records whatever the number of workers, resuming
after a stop, dead workers, and every kind of bad input."""

from __future__ import annotations

import functools
import json
import math
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import pytest
from _flipcore import _nodes, init, minimax_moves

import flipcore
from flipcore import Position, batch, square_name
from flipcore.cli import main
from flipcore.think import DEFAULT_SECONDS, think

DEPTH = 3
# Side 1 has no move and passes; side 2 has moves.
PASS_TEXT = "O" * 32 + "X" * 29 + "--- X"
OVER_TEXT = "X" * 40 + "O" * 24 + " O"


def random_texts(count: int, seed: int, low: int = 4, high: int = 40) -> list[str]:
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        position = Position.start()
        for _ in range(rng.randint(low, high)):
            if not position.legal_moves():
                break
            position = position.play(rng.choice(position.legal_moves()))
        out.append(position.text())
    return out


def reference(text: str, depth: int) -> dict[str, Any]:
    """The record fields of one position, straight from the engine."""
    position = Position.from_text(text.upper())  # the batch reads either case
    passed = not position.is_over() and not position.legal_moves()
    init()
    visited = _nodes()
    found = minimax_moves(position.board, position.player, depth, -math.inf, math.inf)
    if passed:
        init()
        after = position.pass_()
        found = minimax_moves(after.board, after.player, depth, -math.inf, math.inf)
    moves = [] if passed else [square_name(tuple(m)) for m in found["moves"]]
    return {
        "position": position.text(),
        "value": found["val"],
        "moves": moves,
        "passed": passed,
        "nodes": _nodes() - visited,
    }


def by_key(records: list[dict[str, Any]]) -> dict[tuple[int, int | None], dict[str, Any]]:
    """Records by (line, ply), without the time taken; fails on a key twice."""
    out: dict[tuple[int, int | None], dict[str, Any]] = {}
    for record in records:
        key = (record["line"], record["ply"])
        assert key not in out, f"record {key} twice"
        out[key] = {k: v for k, v in record.items() if k != "seconds"}
    return out


def assert_matches_engine(records: list[dict[str, Any]], texts: list[str], depth: int) -> None:
    keyed = by_key(records)
    assert set(keyed) == {(i, None) for i in range(1, len(texts) + 1)}
    for line, text in enumerate(texts, 1):
        record = keyed[(line, None)]
        assert {k: record[k] for k in ("position", "value", "moves", "passed", "nodes")} == reference(text, depth), line
        assert record["mode"] == "depth" and record["depth"] == depth and record["error"] is None


@pytest.fixture(scope="module")
def texts() -> list[str]:
    # Random positions, one whose side passes, a finished game, and a
    # position typed in lower case.
    base = random_texts(24, seed=5)
    return base + [PASS_TEXT, OVER_TEXT, base[0].lower()]


# --------------------------------------------------------------------------
# The records and their independence from the workers


class TestRecords:
    def test_one_and_two_jobs_give_the_engines_records(self, texts: list[str]) -> None:
        one = list(batch.run(texts, DEPTH, engine="minimax", jobs=1))
        two = list(batch.run(texts, DEPTH, engine="minimax", jobs=2))
        assert_matches_engine(one, texts, DEPTH)
        assert by_key(one) == by_key(two)
        assert all(tuple(record) == batch.FIELDS for record in one + two)  # the columns' order
        # The JSON lines written for them are json.dumps's, character for character.
        for record in one + list(batch.run(["bad", OVER_TEXT], DEPTH, engine="minimax", jobs=1)):
            assert batch._json_line(record) == json.dumps(record) + "\n"
        keyed = by_key(one)
        assert keyed[(len(texts) - 2, None)]["passed"] is True
        assert keyed[(len(texts) - 1, None)]["value"] == 100016.0  # finished: X 40, O 24
        assert keyed[(len(texts), None)]["position"] == texts[0]

    def test_a_two_worker_dask_cluster_gives_the_same_records(self, texts: list[str]) -> None:
        distributed = pytest.importorskip("distributed")
        with (
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster,
            distributed.Client(cluster) as client,
        ):
            on_dask = list(batch.run(texts, DEPTH, engine="minimax", dask=cluster.scheduler_address))
            # A worker that searched keeps its table within half the memory
            # Dask allows it (one that did not still has the default).
            limits = set(client.run(flipcore.table_limit).values())
            allowed = {w["memory_limit"] for w in client.scheduler_info()["workers"].values()}
            # The default engine too: the workers load the evaluation themselves.
            thought = list(batch.run(texts[:8], 4, dask=cluster.scheduler_address))
        assert by_key(on_dask) == by_key(list(batch.run(texts, DEPTH, engine="minimax", jobs=1)))
        assert limits & {m // 2 for m in allowed}
        assert len(thought) == 8
        for record in thought:
            assert record["engine"] == "think" and record["error"] is None
            assert {k: record[k] for k in THINK_FIELDS} == think_reference(texts[record["line"] - 1], 4)

    def test_thousands_of_tiny_searches_pass_through_the_pipes(self, tmp_path: Path, texts: list[str]) -> None:
        # Chunks of thousands of depth-1 searches, hundreds of kilobytes each
        # way, more than a pipe holds: parent and workers must not both
        # wait to write. In a subprocess, so that a hang fails the test.
        source = search_lines(tmp_path / "in.txt", texts * 500)
        out = tmp_path / "out.jsonl"
        command = [sys.executable, "-m", "flipcore", "batch", str(source), "-o", str(out), "--depth", "1", "-j", "2"]
        command += ["--engine", "minimax"]
        done = subprocess.run(command, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        keyed = by_key(batch.read_records(out))
        assert len(keyed) == len(texts) * 500
        for line in (1, len(texts) * 250, len(texts) * 500):
            expected = reference(texts[(line - 1) % len(texts)], 1)
            assert {k: keyed[(line, None)][k] for k in ("position", "value", "moves", "passed", "nodes")} == expected

    def test_records_do_not_depend_on_what_the_worker_searched_before(self, texts: list[str]) -> None:
        # A deeper search first fills the worker's table; each position is
        # still searched from an empty one.
        settings = batch.Settings(depth=DEPTH, engine="minimax")
        deep = batch.Settings(depth=DEPTH + 3, engine="minimax")
        tasks = [(i, None, t) for i, t in enumerate(texts[:8], 1)]
        alone = batch.search_chunk(tasks, settings)
        batch.search_chunk(tasks, deep)
        after = batch.search_chunk(list(reversed(tasks)), settings)
        assert by_key(alone) == by_key(after)

    def test_game_records_give_their_positions(self) -> None:
        from flipcore.game import Game

        record = "f5d6c3d3c4f4"
        positions = [p.text() for p in Game.from_record(record).positions()]
        lines = [record, "f5 d6 zz", "f5f5"]
        every = by_key(list(batch.run(lines, 2, engine="minimax", jobs=1, every_ply=True)))
        assert {k for k in every if k[0] == 1} == {(1, ply) for ply in range(len(positions))}
        for ply, text in enumerate(positions):
            assert {k: every[(1, ply)][k] for k in ("position", "value", "moves", "passed", "nodes")} == reference(text, 2)
        assert "zz" in every[(2, None)]["error"] and every[(2, None)]["position"] is None
        assert "f5" in every[(3, None)]["error"]
        last = by_key(list(batch.run(lines[:1], 2, engine="minimax", jobs=1)))
        assert list(last) == [(1, len(positions) - 1)]
        assert last[(1, len(positions) - 1)]["position"] == positions[-1]

    @pytest.mark.parametrize("mode", ["exact", "wld"])
    def test_solving_modes_give_the_solvers_results(self, mode: str) -> None:
        solve_module = pytest.importorskip("flipcore.solve")
        ends = random_texts(6, seed=11, low=50, high=54)
        one = by_key(list(batch.run(ends, mode=mode, jobs=1)))
        assert one == by_key(list(batch.run(ends, mode=mode, jobs=2)))
        # Solving them again where they were all solved before changes nothing.
        tasks = [(line, None, text) for line, text in enumerate(ends, 1)]
        batch.search_chunk(tasks, batch.Settings(mode=mode, depth=None))
        assert by_key(batch.search_chunk(tasks, batch.Settings(mode=mode, depth=None))) == one
        for line, text in enumerate(ends, 1):
            record = one[(line, None)]
            position = Position.from_text(text)
            # A solve in a thread of its own starts from a new table; the
            # batch's, from an emptied one with one thread, visit the same nodes.
            box: list[Any] = []
            worker = threading.Thread(target=lambda: box.append(solve_module.solve(position, mode, threads=1)))
            worker.start()
            worker.join()
            expected = box[0]
            assert (record["score"], record["moves"], record["nodes"]) == (
                expected.score,
                expected.names(),
                expected.nodes,
            )
            assert record["value"] is None and record["depth"] is None and record["mode"] == mode

    def test_bad_arguments_are_refused_by_name(self) -> None:
        with pytest.raises(ValueError, match="depth"):
            batch.run(["x"], 0)
        with pytest.raises(ValueError, match="takes no depth"):
            batch.run(["x"], 4, mode="exact")
        with pytest.raises(ValueError, match="mode"):
            batch.run(["x"], mode="fast")
        with pytest.raises(ValueError, match="jobs"):
            batch.run(["x"], 2, jobs=0)


# --------------------------------------------------------------------------
# Output files and resuming


def search_lines(path: Path, texts: list[str]) -> Path:
    path.write_text("\n".join(texts) + "\n")
    return path


class StopAfter:
    """on_record that raises KeyboardInterrupt after `count` records, as a
    Ctrl-C at that point would."""

    def __init__(self, count: int) -> None:
        self.count = count

    def __call__(self, record: dict[str, Any]) -> None:
        self.count -= 1
        if self.count == 0:
            raise KeyboardInterrupt


class TestOutputAndResume:
    @pytest.mark.parametrize("suffix", [".jsonl", ".csv", ".parquet"])
    def test_an_interrupted_run_resumes_to_the_full_output(self, tmp_path: Path, texts: list[str], suffix: str) -> None:
        if suffix == ".parquet":
            pytest.importorskip("pyarrow")
        source = search_lines(tmp_path / "in.txt", texts + ["not a position"])
        out = tmp_path / ("out" + suffix)
        with pytest.raises(KeyboardInterrupt) as stopped:
            batch.run_file(source, out, DEPTH, engine="minimax", jobs=1, on_record=StopAfter(6))
        part = batch.read_records(out)
        assert stopped.value.summary.interrupted and 6 <= len(part) < len(texts) + 1  # type: ignore[attr-defined]
        summary = batch.run_file(source, out, DEPTH, engine="minimax", jobs=2)
        # The bad line's record is among those written by the first run.
        assert summary.skipped == len(part) - 1 and summary.done + summary.failed + summary.skipped == len(texts)
        assert summary.bad_lines == 1
        full = batch.read_records(out)
        keyed = by_key(full)  # no record twice
        bad = keyed.pop((len(texts) + 1, None))
        assert "board has 3 squares instead of 64" in bad["error"]
        assert_matches_engine([r for r in full if r["error"] is None], texts, DEPTH)
        again = batch.run_file(source, out, DEPTH, engine="minimax", jobs=2)
        assert (again.done, again.skipped, again.bad_lines, again.failed) == (0, len(texts), 1, 0)
        assert by_key(batch.read_records(out)) == by_key(full)

    def test_a_half_written_last_line_is_searched_again(self, tmp_path: Path, texts: list[str]) -> None:
        source = search_lines(tmp_path / "in.txt", texts[:6])
        out = tmp_path / "out.jsonl"
        batch.run_file(source, out, DEPTH, engine="minimax", jobs=1)
        whole = out.read_text().splitlines(keepends=True)
        out.write_text("".join(whole[:3]) + whole[3][:40])  # killed while writing
        summary = batch.run_file(source, out, DEPTH, engine="minimax", jobs=1)
        assert (summary.skipped, summary.done) == (3, 3)
        assert_matches_engine(batch.read_records(out), texts[:6], DEPTH)

    def test_sigint_to_the_command_leaves_a_valid_resumable_output(self, tmp_path: Path) -> None:
        texts = random_texts(300, seed=21, low=15, high=30)
        source = search_lines(tmp_path / "in.txt", texts)
        out = tmp_path / "out.jsonl"
        command = [sys.executable, "-m", "flipcore", "batch", str(source), "-o", str(out), "--depth", "6", "-j", "1"]
        command += ["--engine", "minimax"]
        process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not (out.exists() and out.read_text().count("\n") >= 3) and time.monotonic() < deadline:
            time.sleep(0.02)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=60)
        assert process.returncode == 130, err
        assert "resume" in err
        part = [json.loads(line) for line in out.read_text().splitlines()]
        assert 3 <= len(part) < len(texts)
        rerun = subprocess.run(command, stderr=subprocess.PIPE, text=True, timeout=120)
        assert rerun.returncode == 0, rerun.stderr
        assert f"{len(part)} skipped" in rerun.stderr
        assert_matches_engine(batch.read_records(out), texts, 6)

    def test_csv_and_parquet_hold_the_same_records_as_json_lines(self, tmp_path: Path, texts: list[str]) -> None:
        pytest.importorskip("pyarrow")
        source = search_lines(tmp_path / "in.txt", texts[:5] + [PASS_TEXT, "bad"])
        stored = {}
        for suffix in (".jsonl", ".csv", ".parquet"):
            batch.run_file(source, tmp_path / ("out" + suffix), DEPTH, engine="minimax", jobs=1)
            stored[suffix] = by_key(batch.read_records(tmp_path / ("out" + suffix)))
        assert stored[".jsonl"] == stored[".csv"] == stored[".parquet"]
        assert stored[".csv"][(6, None)]["moves"] == [] and stored[".csv"][(7, None)]["moves"] is None


# --------------------------------------------------------------------------
# Workers that die


def die_once(marker: Path, tasks: Any, settings: batch.Settings) -> Any:
    """Kills its worker the first time it meets line 2 (the marker file
    keeps count across processes), then searches as usual."""
    if any(line == 2 for line, _, _ in tasks) and not marker.exists():
        marker.write_text("died")
        os._exit(9)
    return batch.search_chunk(tasks, settings)


def die_on_line_2(tasks: Any, settings: batch.Settings) -> Any:
    if any(line == 2 for line, _, _ in tasks):
        os.kill(os.getpid(), signal.SIGKILL)
    return batch.search_chunk(tasks, settings)


class TestDeadWorkers:
    def test_a_worker_that_dies_once_has_its_positions_searched_again(self, tmp_path: Path, texts: list[str]) -> None:
        tasks = [(i, None, t) for i, t in enumerate(texts[:10], 1)]
        search = functools.partial(die_once, tmp_path / "marker")
        settings = batch.Settings(depth=DEPTH, engine="minimax")
        records = [r for chunk in batch._run_local(tasks, settings, 2, search) for r in chunk]
        assert (tmp_path / "marker").exists()
        assert_matches_engine(records, texts[:10], DEPTH)

    def test_workers_killed_from_outside_lose_no_position(self, tmp_path: Path) -> None:
        psutil = pytest.importorskip("psutil")
        texts = random_texts(40, seed=8, low=15, high=30)
        source = search_lines(tmp_path / "in.txt", texts)
        out = tmp_path / "out.jsonl"
        killed: list[int] = []

        def kill_the_workers(record: dict[str, Any]) -> None:
            if killed:
                return
            for child in psutil.Process().children(recursive=True):
                if any("forkserver" in word for word in child.parent().cmdline()):
                    child.kill()
                    killed.append(child.pid)

        summary = batch.run_file(source, out, 5, engine="minimax", jobs=2, on_record=kill_the_workers)
        assert len(killed) == 2
        assert (summary.done, summary.failed) == (len(texts), 0)
        assert_matches_engine(batch.read_records(out), texts, 5)

    def test_workers_that_cannot_start_end_the_run_with_the_reason(self) -> None:
        # A script read from standard input cannot be loaded again in the
        # workers: they die as they start, which ends the run, not loops.
        script = f"from flipcore import batch\nlist(batch.run([{PASS_TEXT!r}], 2, jobs=2))\n"
        done = subprocess.run([sys.executable, "-"], input=script, capture_output=True, text=True, timeout=60)
        assert done.returncode == 1
        assert "BatchError: the worker processes die as they start (exit status 1" in done.stderr

    def test_a_position_that_always_kills_its_worker_is_reported(self, texts: list[str]) -> None:
        tasks = [(i, None, t) for i, t in enumerate(texts[:6], 1)]
        settings = batch.Settings(depth=DEPTH, engine="minimax")
        records = [r for chunk in batch._run_local(tasks, settings, 2, die_on_line_2) for r in chunk]
        keyed = by_key(records)
        assert "died (killed by SIGKILL) on each of 3 tries" in keyed[(2, None)]["error"]
        assert keyed[(2, None)]["position"] == texts[1]
        others = [r for r in records if r["line"] != 2]
        assert len(others) == 5 and all(r["error"] is None for r in others)
        for record in others:
            assert record["value"] == reference(texts[record["line"] - 1], DEPTH)["value"]

    def test_a_failure_is_not_written_so_the_next_run_tries_it(self, tmp_path: Path, texts: list[str]) -> None:
        source = search_lines(tmp_path / "in.txt", texts[:4])
        out = tmp_path / "out.jsonl"
        failed: list[dict[str, Any]] = []
        real = batch._run_local
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(batch, "_run_local", lambda tasks, settings, jobs: real(tasks, settings, jobs, die_on_line_2))
            summary = batch.run_file(source, out, DEPTH, engine="minimax", jobs=2, on_record=failed.append)
        assert summary.failed == 1 and summary.done == 3
        assert [r["line"] for r in failed if r["error"]] == [2]
        assert sorted(r["line"] for r in batch.read_records(out)) == [1, 3, 4]
        summary = batch.run_file(source, out, DEPTH, engine="minimax", jobs=2)
        assert (summary.done, summary.skipped, summary.failed) == (1, 3, 0)
        assert_matches_engine(batch.read_records(out), texts[:4], DEPTH)


def worker_ceiling(tasks: Any, settings: batch.Settings) -> Any:
    """Searches, then hands back the worker's table ceiling in `nodes`."""
    records = batch.search_chunk(tasks, settings)
    return [{**record, "nodes": flipcore.table_limit()} for record in records]


class TestTableMemory:
    def test_each_local_worker_has_its_share_of_the_ceiling(self, texts: list[str]) -> None:
        tasks = [(1, None, texts[0])]
        for limit, expected in ((None, flipcore.table_limit() // 2), ("64M", 64 << 20)):
            settings = batch._settings(DEPTH, "depth", 2, limit, None, "minimax")
            [[record]] = list(batch._run_local(tasks, settings, 2, worker_ceiling))
            assert record["nodes"] == expected and record["error"] is None

    def test_a_search_past_the_ceiling_is_reported_not_written(self, tmp_path: Path) -> None:
        deep = "-------X------X--XXXXX----OXXX--OOOOXO----OOOX-----XX------X---- X"
        source = search_lines(tmp_path / "in.txt", [deep, PASS_TEXT])
        out = tmp_path / "out.jsonl"
        failed: list[dict[str, Any]] = []
        summary = batch.run_file(source, out, 11, engine="minimax", jobs=1, table_limit="1M", on_record=failed.append)
        assert (summary.done, summary.failed) == (1, 1)
        assert "memory ceiling of 1.0 MiB" in failed[0]["error"] and failed[0]["line"] == 1
        assert [r["line"] for r in batch.read_records(out)] == [2]


# --------------------------------------------------------------------------
# The command line and its mistakes


def run_cli(capsys: pytest.CaptureFixture[str], *args: str) -> tuple[int, str]:
    status = main(["batch", *args, "--no-progress"])
    return status, capsys.readouterr().err


class TestCommandLine:
    def test_a_run_writes_records_and_counts_them(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str], texts: list[str]
    ) -> None:
        source = search_lines(tmp_path / "in.txt", ["# a comment", "", *texts[:3], "XO- X"])
        out = tmp_path / "out.jsonl"
        status, err = run_cli(capsys, str(source), "-o", str(out), "--depth", "2", "--engine", "minimax", "-j", "2")
        assert status == 1  # one bad line
        assert "line 6: board has 3 squares" in err
        assert "3 searched, 0 skipped (already in the output), 1 bad line, 0 failed" in err
        keyed = by_key(batch.read_records(out))
        assert sorted(keyed) == [(3, None), (4, None), (5, None), (6, None)]
        assert keyed[(3, None)]["value"] == reference(texts[0], 2)["value"]

    def test_standard_input(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
    ) -> None:
        import io

        monkeypatch.setattr(sys, "stdin", io.StringIO(PASS_TEXT + "\n"))
        out = tmp_path / "out.csv"
        status, err = run_cli(capsys, "-", "-o", str(out), "--depth", "2", "--engine", "minimax", "-j", "1")
        assert status == 0, err
        assert batch.read_records(out)[0]["passed"] is True

    def test_standard_output(self, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
        source = search_lines(tmp_path / "in.txt", [PASS_TEXT, "X"])
        status = main(["batch", str(source), "-o", "-", "--depth", "2", "--engine", "minimax", "-j", "1",
                       "--no-progress"])
        out, err = capsys.readouterr()
        records = by_key([json.loads(line) for line in out.splitlines()])
        assert status == 1 and "1 searched" in err
        assert records[(1, None)]["passed"] is True
        assert "board has 1 square instead of 64" in records[(2, None)]["error"]

    @pytest.mark.parametrize(
        "args, message",
        [
            (["{tmp}/missing.txt", "-o", "{tmp}/o.jsonl"], "input file '{tmp}/missing.txt' not found"),
            (["{tmp}/empty.txt", "-o", "{tmp}/o.jsonl"], "no positions in the input"),
            (["{tmp}/in.txt", "-o", "{tmp}/nodir/o.jsonl"], "directory '{tmp}/nodir' does not exist"),
            (["{tmp}/in.txt", "-o", "{tmp}"], "it is a directory"),
            (["{tmp}/in.txt", "-o", "{tmp}/o.jsonl", "--strict"], "line 2: unknown character 'Q'"),
            (["{tmp}/in.txt", "-o", "{tmp}/o.jsonl", "--depth", "3", "--engine", "minimax", "--solve"],
             "not allowed with argument"),
            (["{tmp}/in.txt", "-o", "{tmp}/o.jsonl", "--jobs", "0"], "jobs must be a whole number"),
            (["{tmp}/in.txt", "-o", "{tmp}/o.jsonl", "--table-limit", "12"], "table limit must be at least 1M"),
            (["{tmp}/in.txt", "-o", "{tmp}/depth2.jsonl", "--depth", "3", "--engine", "minimax"],
             "holds results of minimax at depth 2, not minimax at depth 3"),
            (["{tmp}/other.txt", "-o", "{tmp}/depth2.jsonl", "--depth", "2", "--engine", "minimax"],
             "comes from another input"),
            (["{tmp}/in.txt", "-o", "{tmp}/error2.jsonl", "--depth", "2", "--engine", "minimax"],
             "holds a record for line 1 that this"),
            (["{tmp}/in.txt", "-o", "{tmp}/twice.jsonl", "--depth", "2", "--engine", "minimax"], "holds line 1 twice"),
            (["{tmp}/in.txt", "-o", "{tmp}/junk.jsonl"], "line 1 is not a flipcore batch record"),
            (["{tmp}/in.txt", "-o", "{tmp}/in.txt"], "is the input file"),
        ],
    )
    def test_mistakes_get_one_line_and_status_2(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str], args: list[str], message: str
    ) -> None:
        tmp = str(tmp_path)
        (tmp_path / "empty.txt").write_text("\n# nothing\n")
        (tmp_path / "in.txt").write_text(Position.start().text() + "\n" + "Q" * 64 + " X\n")
        (tmp_path / "other.txt").write_text(PASS_TEXT + "\n")
        (tmp_path / "junk.jsonl").write_text("hello\n")
        (tmp_path / "depth2.jsonl").write_text(
            json.dumps({**dict.fromkeys(batch.FIELDS), "line": 1, "mode": "depth", "depth": 2,
                        "position": Position.start().text()}) + "\n"
        )
        # Line 1's record twice, each alone one that resuming would take.
        (tmp_path / "twice.jsonl").write_text((tmp_path / "depth2.jsonl").read_text() * 2)
        # An error record for line 1, which now holds a position: the input changed.
        (tmp_path / "error2.jsonl").write_text(
            json.dumps({**dict.fromkeys(batch.FIELDS), "line": 1, "mode": "depth", "depth": 2, "error": "bad"}) + "\n"
        )
        status, err = run_cli(capsys, *[a.format(tmp=tmp) for a in args])
        assert status == 2
        assert err.startswith("flipcore: error: ") and err.count("\n") == 1
        assert message.format(tmp=tmp) in err

    def test_dask_without_distributed_says_how_to_get_it(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]
    ) -> None:
        monkeypatch.setitem(sys.modules, "distributed", None)  # import fails
        source = search_lines(tmp_path / "in.txt", [Position.start().text()])
        status, err = run_cli(capsys, str(source), "-o", str(tmp_path / "o.jsonl"), "--dask", "local")
        assert status == 2 and "pip install 'flipcore[cluster]'" in err


class TestInputOutputAndCounts:
    """What a new user meets: JSON Lines given as input, an output name of
    an unknown format, far more jobs than positions or cores, and counts
    that stay the same when the same command runs again."""

    def test_bad_lines_are_counted_apart_and_the_same_on_a_rerun(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str], texts: list[str]
    ) -> None:
        source = search_lines(tmp_path / "in.txt", [*texts[:4], "XO- X", "f5 z9"])
        out = tmp_path / "out.jsonl"
        first = run_cli(capsys, str(source), "-o", str(out), "--depth", "2", "--engine", "minimax", "-j", "2")
        again = run_cli(capsys, str(source), "-o", str(out), "--depth", "2", "--engine", "minimax", "-j", "2")
        assert first[0] == again[0] == 1
        assert "4 searched, 0 skipped (already in the output), 2 bad lines, 0 failed" in first[1]
        assert "0 searched, 4 skipped (already in the output), 2 bad lines, 0 failed" in again[1]
        for err in (first[1], again[1]):
            assert "line 5: board has 3 squares" in err and "line 6: bad game record" in err
        assert len(batch.read_records(out)) == 6  # the bad lines' records written once

    def test_json_lines_input_reads_the_position_field(self, tmp_path: Path, texts: list[str]) -> None:
        first = tmp_path / "first.jsonl"
        batch.run_file(search_lines(tmp_path / "in.txt", texts[:5]), first, DEPTH, engine="minimax", jobs=1)
        # The batch's own output, and a line without a position.
        source = tmp_path / "again.jsonl"
        source.write_text(first.read_text() + '{"value": 3}\n{not json\n')
        records = list(batch.run(source, DEPTH, engine="minimax", jobs=1))
        errors = {r["line"]: r["error"] for r in records if r["error"]}
        assert errors == {
            6: 'a JSON line needs a "position" field holding a position text',
            7: errors[7],
        } and errors[7].startswith("a line starting with '{' is read as JSON")
        # Each line of the output names its input line; their positions come back in that order.
        by_line = {r["line"]: r["position"] for r in batch.read_records(first)}
        searched = {r["line"]: r["position"] for r in records if r["error"] is None}
        assert searched == {line: by_line[line] for line in by_line}
        with pytest.raises(batch.BatchError, match="line 6: a JSON line needs"):
            list(batch.run(source, DEPTH, engine="minimax", jobs=1, strict=True))

    @pytest.mark.parametrize("name", ["x.xlsx", "x.json", "values"])
    def test_unknown_output_formats_are_refused(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str], texts: list[str], name: str
    ) -> None:
        source = search_lines(tmp_path / "in.txt", texts[:2])
        status, err = run_cli(capsys, str(source), "-o", str(tmp_path / name), "--depth", "1", "--engine", "minimax")
        assert status == 2 and "the file name must end in .jsonl, .csv or .parquet" in err
        assert sorted(p.name for p in tmp_path.iterdir()) == ["in.txt"]

    def test_workers_are_capped_and_share_the_ceiling(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, texts: list[str]
    ) -> None:
        started: list[tuple[int, int | None]] = []
        real = batch._run_local

        def spy(tasks: Any, settings: batch.Settings, jobs: int) -> Any:
            started.append((jobs, settings.table_limit))
            return real(tasks, settings, min(jobs, 2))  # the search itself on this machine's 2 cores

        monkeypatch.setattr(batch, "_run_local", spy)
        monkeypatch.setattr(batch.os, "cpu_count", lambda: 2)
        ceiling = flipcore.table_limit()
        source = search_lines(tmp_path / "in.txt", texts[:15])
        with pytest.warns(RuntimeWarning, match="10000 jobs asked on 2 cores: starting 8 worker processes"):
            summary = batch.run_file(source, tmp_path / "out.jsonl", 1, engine="minimax", jobs=10000)
        assert summary.done == 15 and started == [(8, ceiling // 8)]
        started.clear()
        # Fewer positions than jobs: no warning.
        assert len(list(batch.run(texts[:3], 1, engine="minimax", jobs=10))) == 3
        assert started == [(3, ceiling // 3)]


# --------------------------------------------------------------------------
# Thinking: the default engine


def think_reference(text: str, depth: int) -> dict[str, Any]:
    """The record fields of one position from flipcore.think itself, in a
    thread of its own: its tables are new, where the batch's are emptied."""
    position = Position.from_text(text.upper())
    box: list[Any] = []
    worker = threading.Thread(target=lambda: box.append(think(position, depth=depth, threads=1)))
    worker.start()
    worker.join()
    found = box[0]
    return {
        "position": position.text(),
        "value": found.value,
        "score": int(found.value) if found.exact else None,
        "moves": [] if found.move is None else [square_name(found.move)],
        "passed": not position.is_over() and not position.legal_moves(),
        "depth_reached": found.depth,
        "nodes": found.nodes,
    }


THINK_FIELDS = ("position", "value", "score", "moves", "passed", "depth_reached", "nodes")


class TestThink:
    """think searches by default: its records are think's own answers, in
    discs from X's side, the same with any number of workers; the output
    formats keep them; resuming refuses records of another engine or other
    settings; and the settings are checked by name."""

    def test_records_are_think_at_the_same_depth_in_discs_from_x_side(self, texts: list[str]) -> None:
        one = list(batch.run(texts, 4, jobs=1))
        two = list(batch.run(texts, 4, jobs=2))
        assert by_key(one) == by_key(two)
        for record in one:
            assert {k: record[k] for k in THINK_FIELDS} == think_reference(texts[record["line"] - 1], 4)
            settings = (record["mode"], record["engine"], record["depth"], record["time_limit"])
            assert settings == ("depth", "think", 4, None)
            assert tuple(record) == batch.FIELDS and record["error"] is None
        keyed = by_key(one)
        assert keyed[(len(texts) - 2, None)]["passed"] is True and keyed[(len(texts) - 2, None)]["moves"] == []
        assert keyed[(len(texts) - 1, None)]["value"] == 16.0 == keyed[(len(texts) - 1, None)]["score"]  # X 40, O 24
        # Few enough empty squares that depth 14 reaches the end: think's
        # value is then the exact score, checked against the solver.
        endgames = random_texts(4, seed=21, low=50, high=54)
        solve_module = pytest.importorskip("flipcore.solve")
        solved = by_key(list(batch.run(endgames, 14, jobs=2)))
        assert any(Position.from_text(t).player == 2 for t in endgames)  # O to move too: values stay X minus O
        for line, text in enumerate(endgames, 1):
            record = solved[(line, None)]
            assert record["score"] == record["value"] == solve_module.solve(Position.from_text(text)).score
            assert {k: record[k] for k in THINK_FIELDS} == think_reference(text, 14)

    def test_records_do_not_depend_on_what_the_worker_thought_before(self, texts: list[str]) -> None:
        # The same positions thought about first, deeper, in this thread;
        # then endgames of 15 and 16 empty squares, which think hands to
        # its exact solver, whose table must be emptied as well as think's.
        for lines, depth in ((texts[:8], 4), (random_texts(2, seed=21, low=44, high=46), 16)):
            tasks = [(i, None, t) for i, t in enumerate(lines, 1)]
            batch.search_chunk(tasks, batch.Settings(depth=depth + 3))
            batch.search_chunk(tasks, batch.Settings(depth=depth))
            for record in batch.search_chunk(list(reversed(tasks)), batch.Settings(depth=depth)):
                assert {k: record[k] for k in THINK_FIELDS} == think_reference(lines[record["line"] - 1], depth)

    def test_thinking_by_time_and_the_output_formats(self, tmp_path: Path, texts: list[str]) -> None:
        pytest.importorskip("pyarrow")
        source = search_lines(tmp_path / "in.txt", texts[:4] + [OVER_TEXT, "bad"])
        stored = {}
        for suffix in (".jsonl", ".csv", ".parquet"):
            # Depth 3 ends long before the time limit, so the three runs agree.
            out = tmp_path / ("out" + suffix)
            summary = batch.run_file(source, out, 3, seconds=5.0, jobs=2)
            assert (summary.done, summary.bad_lines) == (5, 1)
            stored[suffix] = by_key(batch.read_records(out))
            again = batch.run_file(source, out, 3, seconds=5.0, jobs=2)  # the same settings: nothing left to do
            assert (again.done, again.skipped) == (0, 5)
        assert stored[".jsonl"] == stored[".csv"] == stored[".parquet"]
        assert {r["time_limit"] for r in stored[".csv"].values()} == {5.0}
        timed_out = tmp_path / "timed.jsonl"
        batch.run_file(source, timed_out, seconds=0.05, jobs=2)
        timed = [r for r in batch.read_records(timed_out) if r["error"] is None]
        assert len(timed) == 5
        for record in timed:
            assert (record["engine"], record["depth"], record["time_limit"]) == ("think", None, 0.05)
            assert record["seconds"] < 0.05 + 0.1
            assert batch._json_line(record) == json.dumps(record) + "\n"
            if record["position"] == OVER_TEXT:  # proven: its score is there
                assert record["score"] == record["value"] == 16 and record["moves"] == []
            else:  # an estimate, from a search that got somewhere
                assert record["score"] is None and record["depth_reached"] >= 1 and len(record["moves"]) == 1

    def test_resuming_refuses_another_engine_or_other_settings(
        self, tmp_path: Path, capsys: pytest.CaptureFixture[str], texts: list[str]
    ) -> None:
        source = search_lines(tmp_path / "in.txt", texts[:3])
        thought, searched = tmp_path / "think.jsonl", tmp_path / "minimax.jsonl"
        batch.run_file(source, thought, 2, jobs=1)
        batch.run_file(source, searched, 2, engine="minimax", jobs=1)
        refusals = [
            (thought, dict(depth=2, engine="minimax"), "holds results of think at depth 2, not minimax at depth 2"),
            (thought, dict(depth=3), "holds results of think at depth 2, not think at depth 3"),
            (thought, dict(seconds=0.5), "not think for 0.5 s a position"),
            (thought, dict(mode="exact"), "not mode exact"),
            (searched, dict(depth=2), "holds results of minimax at depth 2, not think at depth 2"),
        ]
        for output, settings, message in refusals:
            before = output.read_text()
            with pytest.raises(batch.BatchError, match=message):
                batch.run_file(source, output, jobs=1, **settings)  # type: ignore[arg-type]
            assert output.read_text() == before
        assert batch.run_file(source, thought, 2, jobs=1).skipped == 3
        # Records written before they named their engine are minimax's.
        legacy = tmp_path / "legacy.jsonl"
        legacy.write_text("".join(
            json.dumps({k: v for k, v in record.items() if k not in ("engine", "time_limit", "depth_reached")}) + "\n"
            for record in batch.read_records(searched)
        ))
        with pytest.raises(batch.BatchError, match="holds results of minimax at depth 2, not think at depth 2"):
            batch.run_file(source, legacy, 2, jobs=1)
        assert batch.run_file(source, legacy, 2, engine="minimax", jobs=1).skipped == 3
        # CSV and Parquet outputs of then lack the columns: refused, not misread.
        pq = pytest.importorskip("pyarrow.parquet")
        for suffix in (".csv", ".parquet"):
            older = tmp_path / ("older" + suffix)
            batch.run_file(source, older, 2, engine="minimax", jobs=1)
            if suffix == ".csv":
                rows = [line.split(",") for line in older.read_text().splitlines()]
                keep = [i for i, key in enumerate(rows[0]) if key not in ("engine", "time_limit", "depth_reached")]
                older.write_text("".join(",".join(row[i] for i in keep) + "\n" for row in rows))
            else:
                pq.write_table(pq.read_table(older).drop(["engine", "time_limit", "depth_reached"]), older)
            with pytest.raises(batch.BatchError, match="written by an earlier flipcore, before records named"):
                batch.run_file(source, older, 2, engine="minimax", jobs=1)
        status, err = run_cli(capsys, str(source), "-o", str(searched), "--depth", "2")
        assert status == 2 and "holds results of minimax at depth 2, not think at depth 2" in err

    def test_settings_are_checked_by_name(self, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
        settings = batch._settings(None, "depth", 1, None, None)
        assert (settings.engine, settings.depth, settings.time_limit) == ("think", None, DEFAULT_SECONDS)
        settings = batch._settings(None, "depth", 1, None, None, "minimax")
        assert (settings.engine, settings.depth, settings.time_limit) == ("minimax", batch.DEFAULT_DEPTH, None)
        for kwargs, message in [
            (dict(engine="fast"), "engine must be one of think, minimax"),
            (dict(engine="minimax", seconds=1.0), "minimax searches to a depth"),
            (dict(mode="exact", seconds=1.0), "takes no seconds"),
            (dict(seconds=0), "seconds must be a finite number above 0"),
            (dict(seconds=math.inf), "seconds must be a finite number above 0"),
            (dict(seconds="1"), "seconds must be a finite number above 0"),
            (dict(depth=61), "depth must be a whole number from 1 to 60"),
        ]:
            with pytest.raises(ValueError, match=message):
                batch.run(["x"], **kwargs)  # type: ignore[arg-type]
        source = search_lines(tmp_path / "in.txt", [Position.start().text()])
        out = str(tmp_path / "o.jsonl")
        for args, message in [
            (["--seconds", "1", "--engine", "minimax"], "--engine minimax searches to --depth"),
            (["--seconds", "1", "--solve"], "--solve and --solve-wld solve to the end"),
            (["--seconds", "inf"], "--seconds must be finite in a batch"),
        ]:
            status, err = run_cli(capsys, str(source), "-o", out, *args)
            assert status == 2 and message in err, err
        assert not os.path.exists(out)
