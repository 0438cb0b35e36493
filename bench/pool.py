"""The thread-pool benchmark: many files opened the way a user writes it, with
concurrent.futures.ThreadPoolExecutor, one worker against two. Run it through scripts/bench.sh
(`bash scripts/bench.sh --pool-only --scale 0.2` runs only this part).

    .venv/bin/python bench/pool.py [--scale 1.0] [--rounds 5] [--layouts gcms,qtof,ttfl]

On the large files of bench/run.py, read once first so that the page cache is warm, it prints a
Markdown table of, per layout:
- a pool over 8 files of that layout (hard links to the large file: one inode, so the page cache
  holds its bytes once, as it would hold 8 files read before): each file opened, its intensities
  summed from Python, the reader dropped. Each round is a fresh process that runs the pool twice:
  the first pass is cold (nothing kept yet), the second is the steady state;
- two files (the file and a copy, as bench/open.py uses) opened by two threads against one after
  the other, opened and dropped only: the first pass in a fresh process (cold) and the second.
Figures are the median and the worst of the rounds (1 and 2 workers alternated, so that drift in
the machine's load hits both alike). Then the memory of the 2-worker pool: what the process
still holds once every reader is dropped (VmRSS after the second pass minus VmRSS before the
first) against the most it held at once (VmHWM minus the same), and how much of what it holds
the kernel may take back without writing it anywhere (LazyFree, a few seconds later).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402
from open import NAMES, read_through, twin  # noqa: E402

FILES = 8
MB = 1e6

# Runs the pool twice in this fresh process; prints the two passes' times and the memory figures.
PROBE = """
import concurrent.futures, json, sys, time
import tavrik
workers, summing, paths = int(sys.argv[1]), sys.argv[2] == "sum", sys.argv[3:]
def status(key, name="/proc/self/status"):
    for line in open(name):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
    return 0
def work(path):
    reader = tavrik.RawReader(path)
    total = 0.0
    if summing:
        for i in range(reader.scan_count):
            total += sum(reader.read_spectrum(i).intensity)
    del reader
    return total
before = status("VmRSS:")
passes, totals = [], []
with concurrent.futures.ThreadPoolExecutor(workers) as pool:
    for _ in range(2):
        start = time.perf_counter()
        totals.append(list(pool.map(work, paths)))
        passes.append(time.perf_counter() - start)
held, peak = status("VmRSS:") - before, status("VmHWM:") - before
time.sleep(3)
print(json.dumps(dict(passes=passes, totals=totals, held=held, peak=peak,
                      lazy=status("LazyFree:", "/proc/self/smaps_rollup"))))
"""


def probe(workers: int, summing: bool, paths: list[Path]) -> dict:
    out = subprocess.run([sys.executable, "-c", PROBE, str(workers), "sum" if summing else "open", *map(str, paths)],
                         capture_output=True, text=True, check=True).stdout
    result = json.loads(out)
    if result["totals"][0] != result["totals"][1]:
        raise RuntimeError(f"the two passes summed different intensities: {result['totals']}")
    return result


def links(path: Path, count: int) -> list[Path]:
    """`count` hard links to the file, beside it, made once."""
    made = []
    for k in range(count):
        link = path.with_name(f"{path.stem}-pool{k}{path.suffix}")
        if not link.exists():
            os.link(path, link)
        made.append(link)
    return made


def secs(t: float) -> str:
    return f"{t:.3f}" if t < 1 else f"{t:.2f}"


def spread(values: list[float]) -> str:
    return f"{secs(statistics.median(values))} / {secs(max(values))} s"


def compare(rounds: int, summing: bool, paths: list[Path]) -> tuple[dict, dict]:
    """Per worker count, the cold and steady times of every round, and the rounds' results."""
    times = {w: {"cold": [], "steady": []} for w in (1, 2)}
    results = {1: [], 2: []}
    for _ in range(rounds):
        for w in (1, 2):
            r = probe(w, summing, paths)
            times[w]["cold"].append(r["passes"][0])
            times[w]["steady"].append(r["passes"][1])
            results[w].append(r)
    if results[1][0]["totals"] != results[2][0]["totals"]:
        raise RuntimeError("one worker and two workers summed different intensities")
    return times, results


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--layouts", default="gcms,qtof,ttfl")
    args = parser.parse_args()
    files = run.make_files(args.scale)
    kinds = [k for k in args.layouts.split(",") if k in files]
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; "
          f"Python {platform.python_version()} (free-threaded: {not sys._is_gil_enabled()}); "
          f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print(f"\n== a thread pool over {FILES} files (open, sum the intensities in Python, drop), and two files "
          f"opened by two threads; median / worst of {args.rounds} rounds, each a fresh process\n")
    print("| file | size | pool: 1 worker, steady | 2 workers, steady | speed-up | 1 worker, cold | 2 workers, cold "
          "| speed-up | two files: one after the other, cold | two threads, cold | speed-up "
          "| one after the other, warm | two threads, warm | speed-up |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    memory = []
    for kind in kinds:
        path = files[kind]
        pool_paths = links(path, FILES)
        pair = [path, twin(path)]
        for p in pair:
            read_through(p)
        pool, pool_results = compare(args.rounds, True, pool_paths)
        two, _ = compare(args.rounds, False, pair)

        def gain(t: dict, phase: str) -> str:
            return f"{statistics.median(t[1][phase]) / statistics.median(t[2][phase]):.2f}"
        print(f"| {NAMES[kind]} | {path.stat().st_size / MB:.0f} MB "
              f"| {spread(pool[1]['steady'])} | {spread(pool[2]['steady'])} | {gain(pool, 'steady')} "
              f"| {spread(pool[1]['cold'])} | {spread(pool[2]['cold'])} | {gain(pool, 'cold')} "
              f"| {spread(two[1]['cold'])} | {spread(two[2]['cold'])} | {gain(two, 'cold')} "
              f"| {spread(two[1]['steady'])} | {spread(two[2]['steady'])} | {gain(two, 'steady')} |", flush=True)
        last = pool_results[2][-1]
        memory.append((kind, last))
    print(f"\nmemory of the 2-worker pool once every reader is dropped (last round), against the most it "
          f"held at once:")
    for kind, r in memory:
        print(f"  {NAMES[kind]}: held {r['held'] / MB:.0f} MB, most at once {r['peak'] / MB:.0f} MB, "
              f"ratio {r['held'] / r['peak']:.2f}; of what the process holds, {r['lazy'] / MB:.0f} MB the "
              f"kernel may take back under pressure")
    print(f"load average after: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
    print("targets: pool 1.8x faster with 2 workers (steady), 1.6x cold; two files in two threads 1.8x faster")
    return 0


if __name__ == "__main__":
    sys.exit(main())
