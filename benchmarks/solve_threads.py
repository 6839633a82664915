"""The solver with one and two threads, beside an earlier version, on the ten
standard endgame positions (solve_bench, exact score and every best move).

    python benchmarks/solve_threads.py [--base 3c54bec] [--only 40,41] [--rounds 1]

Builds solve_bench from the working tree (build/bench) and from the commit
--base (its files taken with git archive into build/bench-BASE; the working
tree is not touched), then, position by position:
  1. the base version and this one with one thread at once, one per core,
     so that both see the same machine (their ratio is the one-thread gain);
  2. this one with one thread alone, then with two threads alone (their
     ratio is what the second thread gives; both need the whole machine).
Times are wall-clock seconds of the solve; "cpu" is the processor time of
all the process's threads, "idle" the share of the two threads' time spent
waiting for work (for want of a split point, not of a core). The machine's load is printed before and after:
on a shared machine the wall-clock ratios move with it.
"""

from __future__ import annotations

import argparse
import os
import io
import re
import subprocess
import sys
import tarfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
POSITIONS = list(range(40, 50))


def run(cmd: list[str], **kw) -> str:
    return subprocess.run(cmd, check=True, capture_output=True, text=True, **kw).stdout


def build(source: Path, build_dir: Path) -> Path:
    run(["cmake", "-S", str(source), "-B", str(build_dir), "-DFLIPCORE_BUILD_BENCHMARKS=ON",
         "-DCMAKE_BUILD_TYPE=Release"])
    run(["cmake", "--build", str(build_dir), "--target", "solve_bench", "-j2"])
    return build_dir / "benchmarks" / "solve_bench"


def base_source(commit: str) -> Path:
    """The files of `commit`, unpacked under build/ (once)."""
    target = ROOT / "build" / f"bench-{commit}" / "src"
    if not (target / "CMakeLists.txt").exists():
        target.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", str(ROOT), "archive", commit], check=True, capture_output=True).stdout
        with tarfile.open(fileobj=io.BytesIO(archive)) as tar:
            tar.extractall(target)
    return target


def start(binary: Path, number: int, threads: int | None) -> subprocess.Popen[str]:
    cmd = [str(binary), "--only", str(number)]
    if threads is not None:
        cmd += ["--threads", str(threads)]
    return subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def result(proc: subprocess.Popen[str]) -> tuple[float, float, int, float]:
    """Seconds, processor seconds, nodes and the threads' idle share (0 for
    one thread) of the one position solved."""
    out, err = proc.communicate()
    if proc.returncode != 0:
        sys.exit(f"solve_bench failed ({proc.returncode}):\n{out}{err}")
    for line in out.splitlines():
        tokens = line.split()
        if tokens and tokens[0].isdigit() and "ok" in tokens:
            at = tokens.index("ok")
            idle = re.search(r"idle (\d+)%", line)
            return float(tokens[at - 4]), float(tokens[at - 3]), int(tokens[at - 2]), int(idle.group(1)) if idle else 0
    sys.exit(f"no result in:\n{out}")


def load() -> str:
    """The load averages over 1, 5 and 15 minutes."""
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--base", default="3c54bec", help="the earlier version's commit (default 3c54bec)")
    parser.add_argument("--only", help="position numbers, comma-separated (default: all ten)")
    parser.add_argument("--rounds", type=int, default=1, help="runs of each position (rows are the means)")
    args = parser.parse_args()
    numbers = [int(n) for n in args.only.split(",")] if args.only else POSITIONS

    new = build(ROOT, ROOT / "build" / "bench")
    old = build(base_source(args.base), ROOT / "build" / f"bench-{args.base}" / "build")
    print(f"load average before: {load()}", flush=True)
    print(f"{'#':>3} | {args.base + ' 1T':>10} {'now 1T':>8} {'gain':>6} | {'1T alone':>8} {'2T':>8} "
          f"{'2T/1T':>6} | {'2T cpu':>7} {'idle':>5} | {'nodes ' + args.base:>14} {'nodes 1T':>12} {'nodes 2T':>12}",
          flush=True)
    totals = [0.0] * 5
    node_totals = [0, 0, 0]
    for n in numbers:
        rows = []
        for _ in range(args.rounds):
            a, b = start(old, n, None), start(new, n, 1)
            (old_s, _, old_nodes, _), (new_s, _, one_nodes, _) = result(a), result(b)
            alone_s, _, _, _ = result(start(new, n, 1))
            two_s, two_cpu, two_nodes, idle = result(start(new, n, 2))
            rows.append((old_s, new_s, alone_s, two_s, two_cpu, old_nodes, one_nodes, two_nodes, idle))
        mean = [sum(r[i] for r in rows) / len(rows) for i in range(5)]
        nodes = [round(sum(r[i] for r in rows) / len(rows)) for i in range(5, 8)]
        idle = sum(r[8] for r in rows) / len(rows)
        totals = [t + m for t, m in zip(totals, mean)]
        node_totals = [t + m for t, m in zip(node_totals, nodes)]
        print(f"{n:>3} | {mean[0]:>10.2f} {mean[1]:>8.2f} {mean[0] / mean[1]:>5.2f}x | {mean[2]:>8.2f} {mean[3]:>8.2f} "
              f"{mean[2] / mean[3]:>5.2f}x | {mean[4]:>7.2f} {idle:>4.0f}% | {nodes[0]:>14,} {nodes[1]:>12,} {nodes[2]:>12,}",
              flush=True)
    t = totals
    print(f"all | {t[0]:>10.2f} {t[1]:>8.2f} {t[0] / t[1]:>5.2f}x | {t[2]:>8.2f} {t[3]:>8.2f} {t[2] / t[3]:>5.2f}x | "
          f"{t[4]:>7.2f} {'':>5} | {node_totals[0]:>14,} {node_totals[1]:>12,} {node_totals[2]:>12,}")
    print(f"load average after: {load()}")


if __name__ == "__main__":
    main()
