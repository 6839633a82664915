"""flipcore batch: values and best moves for a file of positions, on every
core or on a Dask cluster (see flipcore.batch)."""

from __future__ import annotations

import argparse
import importlib
import math
import signal
import sys
from types import FrameType

from flipcore.batch import DEFAULT_DEPTH, DEFAULT_SECONDS, BatchError, Record, Summary, run_file
from flipcore.cli.common import EXIT_INTERRUPTED, UsageError, depth_arg, seconds_arg
from flipcore.cli.engines import add_engine_option
from flipcore.table import parse_size


def _jobs_arg(text: str) -> int:
    try:
        jobs = int(text)
    except ValueError:
        jobs = 0
    if jobs < 1:
        raise argparse.ArgumentTypeError(f"jobs must be a whole number of at least 1, got {text!r}")
    return jobs


def _size_arg(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _stop_on_sigterm(signum: int, frame: FrameType | None) -> None:
    # A polite kill is handled like Ctrl-C: the output is closed whole.
    raise KeyboardInterrupt


def run_batch(args: argparse.Namespace) -> int:
    mode = "exact" if args.solve else "wld" if args.solve_wld else "depth"
    depth = args.depth if mode == "depth" else None
    if mode != "depth" and args.depth is not None:
        raise UsageError("--depth searches to a fixed depth; --solve and --solve-wld solve to the end: give one")
    if args.seconds is not None:
        if mode != "depth":
            raise UsageError("--seconds is think's time a position; --solve and --solve-wld solve to the end: give one")
        if args.engine == "minimax":
            raise UsageError("--seconds is think's time a position; --engine minimax searches to --depth")
        if args.seconds == math.inf:
            raise UsageError("--seconds must be finite in a batch; for no time limit give --depth alone")
    progress = sys.stderr.isatty() if args.progress is None else args.progress

    def report(record: Record) -> None:
        if record["error"] is not None:
            ply = "" if record["ply"] is None else f" ply {record['ply']}"
            message = f"line {record['line']}{ply}: {record['error']}"
            if progress:
                # Printed above the progress bar, which tqdm then redraws.
                importlib.import_module("tqdm").tqdm.write(message, file=sys.stderr)
            else:
                print(message, file=sys.stderr)

    previous = signal.signal(signal.SIGTERM, _stop_on_sigterm)
    try:
        summary: Summary = run_file(
            args.input,
            args.output,
            depth,
            seconds=args.seconds,
            engine=args.engine,
            mode=mode,
            jobs=args.jobs,
            dask=args.dask,
            every_ply=args.every_ply,
            strict=args.strict,
            progress=progress,
            table_limit=args.table_limit or None,
            on_record=report,
        )
    except BatchError as err:
        raise UsageError(str(err)) from None
    except KeyboardInterrupt as stop:
        part: Summary | None = getattr(stop, "summary", None)
        if part is not None:
            print(f"\nInterrupted: {part.describe()}.", file=sys.stderr)
            print(f"{args.output} holds every finished record; run the same command to resume.", file=sys.stderr)
            return EXIT_INTERRUPTED
        raise
    finally:
        signal.signal(signal.SIGTERM, previous)
    print(f"Done: {summary.describe()}.", file=sys.stderr)
    # The same on a rerun: bad lines stay bad, and failed searches are tried
    # again until they succeed.
    return 1 if summary.failed or summary.bad_lines else 0


def register(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    batch = commands.add_parser(
        "batch",
        help="search every position of a file, on all cores or a Dask cluster",
        description="Search every position of INPUT (one position text or game record a line; '-' for "
        "standard input) and write one record per position to OUTPUT as it finishes: JSON Lines, or CSV "
        "or Parquet by the name's ending. Positions are searched by think (values in discs, X minus O) unless "
        "--engine minimax (the engine's units) or --solve is given. Each position is searched from an empty "
        "table, so the records do not depend on the number of jobs (nor, at a fixed --depth, on the run; "
        "think within --seconds reaches a depth that depends on the machine's speed and load). Running the "
        "same command again resumes: only positions missing from OUTPUT are searched. Exit status 1 when "
        "some input lines are not positions (their error records are written once, counted as bad lines on "
        "every run) or some searches failed (not written, tried again by the next run).",
    )
    batch.add_argument("input", metavar="INPUT", help="file of positions or game records, or - for standard input")
    batch.add_argument("-o", "--output", metavar="OUTPUT", required=True, help="output file (.jsonl, .csv, .parquet)")
    how = batch.add_mutually_exclusive_group()
    how.add_argument(
        "--depth",
        metavar="N",
        type=depth_arg,
        help=f"search depth: think's deepest (default: none, only --seconds), minimax's exact depth "
        f"(default {DEFAULT_DEPTH})",
    )
    how.add_argument("--solve", action="store_true", help="solve exactly to the end of the game (score X minus O)")
    how.add_argument("--solve-wld", action="store_true", help="solve to the end for win, loss or draw only")
    batch.add_argument(
        "--seconds",
        metavar="S",
        type=seconds_arg,
        help=f"think's time a position (default {DEFAULT_SECONDS:g} without --depth, no limit with it)",
    )
    add_engine_option(batch)
    batch.add_argument("--jobs", "-j", metavar="J", type=_jobs_arg, help="worker processes (default: one per core)")
    batch.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="send the work to the Dask scheduler at ADDRESS (tcp://host:8786), or 'local' for a local cluster "
        "of --jobs workers (needs pip install 'flipcore[cluster]')",
    )
    batch.add_argument("--every-ply", action="store_true", help="a game record gives every position of the game")
    batch.add_argument("--strict", action="store_true", help="stop at the first bad line instead of recording it")
    batch.add_argument(
        "--table-limit",
        metavar="SIZE",
        type=_size_arg,
        help="search table memory per worker, like 2G or 10%% (default: the local workers share the "
        "ceiling of FLIPCORE_TABLE_LIMIT or half the memory; a Dask worker takes half of its memory limit)",
    )
    batch.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bar on stderr (default: when stderr is a terminal)",
    )
    batch.set_defaults(run=run_batch)
