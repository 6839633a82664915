"""Handing out work: the tasks cut into chunks sized by the time they take,
for the local workers and for a Dask cluster alike."""

from __future__ import annotations

import collections
from collections.abc import Sequence

from flipcore.batch.records import Task

# A chunk of work aims at about this many seconds, so that tiny searches are
# sent by the thousand and the cost of a message disappears beside them, while
# an interrupted run loses little.
CHUNK_SECONDS = 0.1
MAX_CHUNK = 4000
# A position whose worker died is tried this many times before it is reported.
MAX_ATTEMPTS = 3


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
