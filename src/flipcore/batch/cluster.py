"""Running on a Dask cluster: a scheduler's address, or a local cluster
started for the run."""

from __future__ import annotations

import importlib
import os
import time
from collections.abc import Generator, Sequence
from typing import Any

from flipcore.batch.chunks import _Chunker
from flipcore.batch.records import BatchError, Record, Settings, Task, _failure_records
from flipcore.batch.searching import search_chunk

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
