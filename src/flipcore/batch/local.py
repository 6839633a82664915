"""Running on this machine: worker processes fed chunks through pipes, a
worker that dies replaced and its chunk tried again."""

from __future__ import annotations

import multiprocessing
import os
import signal
import time
import warnings
from collections.abc import Callable, Generator, Sequence
from multiprocessing.connection import Connection, wait
from typing import Any

from flipcore.batch.chunks import MAX_ATTEMPTS, _Chunker
from flipcore.batch.records import BatchError, Record, Settings, Task, _failure_records
from flipcore.batch.searching import search_chunk

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
