"""The server's side of the engine workers (flipcore.web.worker): a small
pool of worker processes, each running one job at a time, and the rules for
stopping a job.

A job ends in one of three ways: it finishes; the worker's own timer stops
it at its time limit; or the server stops it, because the page sent a newer
request (the asyncio task awaiting the job is cancelled) or because the job
overran its hard limit. The server stops a job with SIGINT, which the
engine notices within a millisecond or so; a worker that has not answered
a grace period later is killed and replaced, so no job outlives its limit
by more than that grace.

Workers run in a session of their own, so that a Ctrl-C at the terminal
reaches only the server, which then stops them itself; and each one ends
itself when the server is gone (flipcore.web.worker), even when the server
was killed outright.
"""

from __future__ import annotations

import asyncio
import json
import os
import signal
import sys
import time
from collections.abc import Callable, Coroutine
from typing import Any

from flipcore.table import ENV_VARIABLE, MIN_LIMIT, table_limit
from flipcore.web.worker import PARENT_VARIABLE

# How long a worker may take to stop after it is told to, before it is killed.
STOP_GRACE_SECONDS = 2.0
# How long a new worker may take to start (an interpreter and the package).
START_SECONDS = 30.0
# How long a job may wait for a free worker while other pages keep them all
# busy; then it is refused rather than left waiting without a bound.
QUEUE_SECONDS = 30.0


async def _through_cancels(cleanup: Coroutine[Any, Any, None]) -> None:
    """Runs `cleanup` to its end even if the awaiting task is cancelled
    meanwhile (the caller is already handling a cancel and re-raises it)."""
    running = asyncio.ensure_future(cleanup)
    while not running.done():
        try:
            await asyncio.shield(running)
        except asyncio.CancelledError:
            continue


class WorkerError(Exception):
    """The job failed in the worker (the message says why) or the worker died."""


class JobStopped(Exception):
    """The job ran out of time; .partial holds whatever it had sent."""


Progress = Callable[[dict[str, Any]], None]


class Worker:
    """One worker process and the job it runs."""

    def __init__(self, process: asyncio.subprocess.Process) -> None:
        self.process = process
        self.alive = True

    @classmethod
    async def start(cls, env: dict[str, str] | None = None) -> Worker:
        # -P keeps the current directory (perhaps a source tree) off sys.path.
        # A session of its own: the terminal's Ctrl-C is the server's to handle.
        try:
            process = await asyncio.create_subprocess_exec(
                sys.executable,
                "-P",
                "-m",
                "flipcore.web.worker",
                stdin=asyncio.subprocess.PIPE,
                stdout=asyncio.subprocess.PIPE,
                limit=1 << 24,
                env=env,
                start_new_session=True,
            )
        except OSError as err:
            raise WorkerError(f"the engine worker could not start: {err}") from None
        worker = cls(process)
        try:
            ready = await worker._read(time.monotonic() + START_SECONDS)
        except asyncio.CancelledError:
            # The page moved on while the worker started: end it, not leak it.
            await _through_cancels(worker.kill())
            raise
        if ready is None or ready.get("type") != "ready":
            await worker.kill()
            raise WorkerError("the engine worker did not start")
        return worker

    async def _read(self, deadline: float) -> dict[str, Any] | None:
        """The worker's next line; None when it died or the deadline passed."""
        assert self.process.stdout is not None
        # asyncio.timeout, not wait_for: on Python 3.11 wait_for swallows a
        # cancel that comes as the line arrives, and the job would run on.
        try:
            async with asyncio.timeout(max(deadline - time.monotonic(), 0.0)):
                raw = await self.process.stdout.readline()
        except TimeoutError:
            return None
        if not raw:
            self.alive = False
            return None
        try:
            message = json.loads(raw)
        except ValueError:
            message = None
        if not isinstance(message, dict):
            # Not the worker's protocol: something else wrote to its output.
            await self.kill()
            raise WorkerError(f"the engine worker sent {raw[:80]!r}; it was restarted")
        return message

    async def kill(self) -> None:
        self.alive = False
        if self.process.returncode is None:
            self.process.kill()
        await self.process.wait()

    async def close(self) -> None:
        """Ends an idle worker: closing its input ends its loop."""
        self.alive = False
        if self.process.returncode is None and self.process.stdin is not None:
            self.process.stdin.close()
            try:
                async with asyncio.timeout(STOP_GRACE_SECONDS):
                    await self.process.wait()
            except TimeoutError:
                pass
        await self.kill()

    async def run(self, job: dict[str, Any], seconds: float, progress: Progress | None) -> dict[str, Any]:
        """Runs `job` for at most `seconds` (the worker's own limit; the hard
        limit adds the grace), passing progress lines to `progress`. Returns
        the final "result" line; raises JobStopped when time ran out,
        WorkerError when the job failed, and CancelledError, after stopping
        the worker's job, when the awaiting task is cancelled."""
        assert self.process.stdin is not None
        line = dict(job, seconds_cap=seconds)
        self.process.stdin.write(json.dumps(line).encode() + b"\n")
        hard_deadline = time.monotonic() + seconds + STOP_GRACE_SECONDS
        started = False
        try:
            while True:
                message = await self._read(hard_deadline)
                if message is None:
                    break
                kind = message.get("type")
                if kind == "started":
                    started = True
                elif kind == "result":
                    return message
                elif kind == "stopped":
                    raise JobStopped(message.get("reason", "time"))
                elif kind == "error":
                    raise WorkerError(str(message.get("message")))
                elif progress is not None:
                    progress(message)
        except asyncio.CancelledError:
            await self._finish_stopping(started)
            raise
        # The worker died, or overran its own limit and the grace.
        await self.kill()
        raise WorkerError("the engine worker stopped answering; it was restarted")

    async def _finish_stopping(self, started: bool) -> None:
        """Stops the job and waits until it has stopped, even through further
        cancels (a page's new request and its dropped stream can both cancel
        the same job): until then the worker must take no other job, whose
        lines would mix with this one's."""
        await _through_cancels(self._stop(started))

    async def _stop(self, started: bool) -> None:
        """Stops the running job and reads up to its final line, so that the
        worker is ready for the next job; kills it if it does not answer."""
        deadline = time.monotonic() + STOP_GRACE_SECONDS
        try:
            while True:
                if started and self.process.returncode is None:
                    self.process.send_signal(signal.SIGINT)
                    started = False  # one signal is enough
                message = await self._read(deadline)
                if message is None:
                    break
                kind = message.get("type")
                if kind == "started":
                    started = True
                elif kind in ("result", "stopped", "error"):
                    return
        except (OSError, WorkerError):
            pass
        await self.kill()


class EnginePool:
    """At most `size` workers, started when first needed; a job waits for a
    free worker, up to `queue_seconds`. Workers outlive jobs, so the
    interpreter and the package load once, not per job. Each worker's
    search table stops growing at `table_bytes` (see _worker_environment)."""

    def __init__(self, size: int, queue_seconds: float = QUEUE_SECONDS, table_bytes: int | None = None) -> None:
        if size < 1:
            raise ValueError(f"the pool needs at least one worker, got {size}")
        self.size = size
        self.queue_seconds = queue_seconds
        self.table_bytes = table_bytes
        self._idle: list[Worker] = []
        self._free: asyncio.Semaphore | None = None
        self._busy: set[Worker] = set()
        self.jobs_run = 0

    async def run(
        self,
        job: dict[str, Any],
        seconds: float,
        progress: Progress | None = None,
    ) -> dict[str, Any]:
        """Runs `job` on a free worker; see Worker.run."""
        if self._free is None:
            self._free = asyncio.Semaphore(self.size)
        try:
            async with asyncio.timeout(self.queue_seconds):
                await self._free.acquire()
        except TimeoutError:
            raise WorkerError("the engine is busy with other pages; try again shortly") from None
        try:
            # An idle worker that died meanwhile (killed from outside, say)
            # is dropped rather than handed a job it cannot answer.
            while self._idle and self._idle[-1].process.returncode is not None:
                self._idle.pop()
            worker = self._idle.pop() if self._idle else await Worker.start(self._worker_environment())
            self._busy.add(worker)
            try:
                self.jobs_run += 1
                return await worker.run(job, seconds, progress)
            finally:
                self._busy.discard(worker)
                if worker.alive:
                    self._idle.append(worker)
        finally:
            self._free.release()

    def _worker_environment(self) -> dict[str, str]:
        """The environment of a new worker: its search table's memory
        ceiling (table_bytes, by default an equal share of this process's
        ceiling, since the server itself never searches), and the server's
        process id, whose end ends the worker."""
        share = self.table_bytes or max(table_limit() // self.size, MIN_LIMIT)
        return dict(os.environ, **{ENV_VARIABLE: str(share), PARENT_VARIABLE: str(os.getpid())})

    def pids(self) -> list[int]:
        return [w.process.pid for w in self._idle + list(self._busy)]

    async def close(self) -> None:
        """Ends every worker."""
        idle, self._idle = self._idle, []
        busy = list(self._busy)
        for worker in idle:
            await worker.close()
        for worker in busy:
            await worker.kill()
