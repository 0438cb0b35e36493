"""The opening benchmark: what `RawReader(path)` costs, cold and warm, against the floor. Run it
through scripts/bench.sh, which sets everything up (`bash scripts/bench.sh --open-only --scale 0.1`
runs only this part).

    .venv/bin/python bench/open.py [--scale 1.0] [--layouts gcms,qtof,ttfl]

On the large files of bench/run.py, each read once first so that the page cache is warm, it
prints a Markdown table of, per file (times: wall, with user + system time beside it):
- cold open: the first open in a fresh process (median of 3 processes), against the cold floor
  (tools/floor_bench --split: the file read and 12 bytes a point written into freshly mapped
  memory, median of 3 rounds in a fresh process);
- warm open: the fifth of five opens in this process, against the warm floor (the fifth of five
  rounds writing into memory the four before it touched);
- the median and the worst of 20 more opens;
- the file and a copy of it opened by two threads at once, against one after the other (median
  and worst of 5 runs each, alternated).
Every reader is dropped before the next open. Then: the memory this process still holds after
all of them (VmRSS after the opens minus VmRSS before the first), against the most it held at once
(VmHWM minus the same): what is kept is bounded by the most in use at once.
"""

from __future__ import annotations

import argparse
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402
from run import TOOLS  # noqa: E402

import tavrik  # noqa: E402

NAMES = {"gcms": "GC-MS", "qtof": "QTOF", "ttfl": "TTFL"}
MB = 1e6

# The first open in a fresh process: wall, user and system seconds, scans, and (with a second
# argument) the number of points.
COLD_PROBE = """
import resource, sys, time
import tavrik
def now():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return time.perf_counter(), r.ru_utime, r.ru_stime
start = now()
reader = tavrik.RawReader(sys.argv[1])
end = now()
points = sum(len(reader.read_spectrum(i)) for i in range(reader.scan_count)) if len(sys.argv) > 2 else 0
print(*(b - a for a, b in zip(start, end)), reader.scan_count, points)
"""

Times = tuple[float, float, float]  # wall, user, system seconds


def now() -> Times:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return time.perf_counter(), r.ru_utime, r.ru_stime


def open_once(path: Path) -> Times:
    start = now()
    reader = tavrik.RawReader(str(path))
    end = now()
    del reader
    return tuple(b - a for a, b in zip(start, end))


def cold_open(path: Path, count: bool) -> tuple[Times, int, int]:
    out = subprocess.run([sys.executable, "-c", COLD_PROBE, str(path), *(["count"] if count else [])],
                         capture_output=True, text=True, check=True).stdout.split()
    return tuple(map(float, out[:3])), int(out[3]), int(out[4])


def floors(path: Path, points: int) -> tuple[Times, Times]:
    """The cold floor (median of 3 rounds) and the warm floor."""
    out = subprocess.run([str(TOOLS / "floor_bench"), "--split", str(path), str(points), "3"], capture_output=True,
                         text=True, check=True).stdout.splitlines()
    rows = {kind: [tuple(map(float, line.split()[1:])) for line in out if line.startswith(kind)]
            for kind in ("cold", "warm")}
    return median(rows["cold"]), rows["warm"][-1]


def median(runs: list[Times]) -> Times:
    return sorted(runs)[len(runs) // 2]


def twin(path: Path) -> Path:
    """A copy of the file beside it, made once."""
    copy = path.with_name(f"{path.stem}-twin{path.suffix}")
    if not copy.exists():
        part = copy.with_name(copy.name + ".part")
        shutil.copyfile(path, part)
        part.rename(copy)
    return copy


def read_through(path: Path) -> None:
    """Reads the file once, so that it is in the page cache."""
    buffer = bytearray(1 << 24)
    with open(path, "rb", buffering=0) as f:
        while f.readinto(buffer):
            pass


def vm_rss(key: str = "VmRSS:") -> int:
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {key}")


def secs(t: float) -> str:
    return f"{t:.3f}" if t < 1 else f"{t:.2f}"


def split(t: Times) -> str:
    return f"{secs(t[0])} s ({secs(t[1])} + {secs(t[2])})"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--layouts", default="gcms,qtof,ttfl")
    args = parser.parse_args()
    kinds = args.layouts.split(",")
    paths = {kind: (path, twin(path)) for kind, path in run.make_files(args.scale).items() if kind in kinds}
    for pair in paths.values():
        for path in pair:
            read_through(path)
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; "
          f"Python {platform.python_version()} (free-threaded: {not sys._is_gil_enabled()})")
    print("\n== opening a file, page cache warm; times: wall s (user + system s)\n")
    print("| file | size | points | cold open | cold floor | ratio | warm open | warm floor | ratio "
          "| 20 opens: median / worst | one after the other: median / worst | two threads: median / worst "
          "| speed-up |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    rss_before = None
    largest = (0, "")
    for kind, (path, copy) in paths.items():
        first, _, points = cold_open(path, count=True)
        cold = median([first] + [cold_open(path, count=False)[0] for _ in range(2)])
        cold_floor, warm_floor = floors(path, points)
        largest = max(largest, (12 * points, NAMES[kind]))

        if rss_before is None:
            rss_before = vm_rss()
        warm = [open_once((path, copy)[i % 2]) for i in range(5)][-1]
        twenty = [open_once((path, copy)[i % 2])[0] for i in range(20)]
        serial, parallel = [], []
        for _ in range(5):  # alternated, so that drift in the machine's load hits both alike
            serial.append(run.open_files([str(path), str(copy)], False))
            parallel.append(run.open_files([str(path), str(copy)], True))

        print(f"| {NAMES[kind]} | {path.stat().st_size / MB:.0f} MB | {points / 1e6:.1f} M "
              f"| {split(cold)} | {split(cold_floor)} | {cold[0] / cold_floor[0]:.2f} "
              f"| {split(warm)} | {split(warm_floor)} | {warm[0] / warm_floor[0]:.2f} "
              f"| {secs(statistics.median(twenty))} / {secs(max(twenty))} s "
              f"| {secs(statistics.median(serial))} / {secs(max(serial))} s "
              f"| {secs(statistics.median(parallel))} / {secs(max(parallel))} s "
              f"| {statistics.median(serial) / statistics.median(parallel):.2f} |", flush=True)

    held = vm_rss() - rss_before
    most = vm_rss("VmHWM:") - rss_before
    print(f"\nmemory held after every reader is dropped: {held / MB:.0f} MB (VmRSS after all the opens above "
          f"minus before the first); the most held at once {most / MB:.0f} MB (VmHWM, the same way), ratio "
          f"{held / most:.2f}; largest decoded size {largest[0] / MB:.0f} MB ({largest[1]})")
    print("targets: warm open within 2.5x of the warm floor; cold open within 1.0x of the cold floor; "
          "two threads 1.8x faster (medians); memory held at most 1.1x the most held at once")
    return 0


if __name__ == "__main__":
    sys.exit(main())
