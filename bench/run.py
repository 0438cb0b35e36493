"""The benchmark: tavrik against the physical floor, and against the readers a user would pick
instead. Run it through scripts/bench.sh, which sets everything up.

    .venv/bin/python bench/run.py [--scale 1.0] [--peers PYTHON]

Large files are written once into ~/.cache/tavrik/bench (GC-MS and QTOF about 500 MB, TTFL
about 1 GB, times --scale). For each it prints open + decode against reading the file's bytes
plus filling arrays of the decoded size; reading every point from Python against building the
same lists from arrays; memory; and threads. With --peers, the same spectra are also written
as mzML and read by pyteomics and pyOpenMS under that interpreter (bench/peers.py).
"""

from __future__ import annotations

import argparse
import array
import json
import os
import platform
import shutil
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
import tavrik  # noqa: E402
from testkit import bulk  # noqa: E402

CACHE = Path(os.environ.get("TAVRIK_CACHE", Path.home() / ".cache" / "tavrik")) / "bench"
TOOLS = ROOT / "build" / "dev" / "tools"
FILES = [("gcms", "run-big.qgd", bulk.gcms_bulk, 500e6), ("qtof", "run-big.lcd", bulk.qtof_bulk, 500e6),
         ("ttfl", "run-big-ttfl.lcd", bulk.ttfl_bulk, 1e9)]


def best_of(n: int, fn) -> float:
    best = float("inf")
    for _ in range(n):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def make_files(scale: float) -> dict[str, Path]:
    CACHE.mkdir(parents=True, exist_ok=True)
    paths = {}
    for kind, name, make, size in FILES:
        path = CACHE / f"{scale:g}-{name}"
        if not path.exists():
            print(f"writing {path} ...", flush=True)
            tmp = path.with_suffix(".part")
            tmp.write_bytes(make(size * scale))
            tmp.rename(path)
        paths[kind] = path
    return paths


def count_points(reader) -> tuple[int, list[int]]:
    lengths = [len(reader.read_spectrum(i)) for i in range(reader.scan_count)]
    return sum(lengths), lengths


def python_access(reader) -> float:
    start = time.perf_counter()
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        s.mz
        s.intensity
    return time.perf_counter() - start


def list_floor(lengths: list[int]) -> float:
    arrays = {n: (array.array("d", bytes(8 * n)), array.array("f", bytes(4 * n))) for n in set(lengths)}
    start = time.perf_counter()
    for n in lengths:
        d, f = arrays[n]
        d.tolist()
        f.tolist()
    return time.perf_counter() - start


MEMORY_PROBE = """
import sys, tavrik
def status(key):
    for line in open('/proc/self/status'):
        if line.startswith(key):
            return int(line.split()[1]) * 1024
before = status('VmRSS:')
reader = tavrik.RawReader(sys.argv[1])
print(before, status('VmRSS:'), status('VmHWM:'))
"""


def memory(path: Path) -> tuple[int, int, int]:
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path)], capture_output=True, text=True, check=True)
    before, holding, peak = map(int, out.stdout.split())
    return before, holding, peak


def in_threads(jobs) -> float:
    threads = [threading.Thread(target=job) for job in jobs]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


def open_files(paths: list[str], threaded: bool) -> float:
    """Time to open every file, one after the other or each in a thread of its own; the readers
    are freed after the clock stops."""
    readers: list = [None] * len(paths)
    jobs = [lambda i=i: readers.__setitem__(i, tavrik.RawReader(paths[i])) for i in range(len(paths))]
    if threaded:
        elapsed = in_threads(jobs)
    else:
        start = time.perf_counter()
        for job in jobs:
            job()
        elapsed = time.perf_counter() - start
    return elapsed


def export_points(reader, path: Path) -> None:
    """Every spectrum as (n, rt, level, mz f64[n], intensity f32[n]), for the mzML writer."""
    with open(path, "wb") as out:
        out.write(struct.pack("<Q", reader.scan_count))
        for i in range(reader.scan_count):
            s = reader.read_spectrum(i)
            out.write(struct.pack("<QdI", len(s), s.retention_time_sec, s.ms_level))
            out.write(array.array("d", s.mz).tobytes())
            out.write(array.array("f", s.intensity).tobytes())


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--peers", help="interpreter with psims, pyteomics and pyopenms installed")
    args = parser.parse_args()
    paths = make_files(args.scale)
    mb = 1e6
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; "
          f"Python {platform.python_version()} (free-threaded: {not sys._is_gil_enabled()})\n")
    results = {}
    for kind, path in paths.items():
        size = path.stat().st_size
        tavrik.RawReader(str(path))  # warm the page cache
        open_time = best_of(3, lambda: tavrik.RawReader(str(path)))
        reader = tavrik.RawReader(str(path))
        points, lengths = count_points(reader)
        floor = float(subprocess.run([str(TOOLS / "floor_bench"), str(path), str(points)], capture_output=True,
                                     text=True, check=True).stdout)
        access = min(python_access(reader) for _ in range(2))
        access_floor = min(list_floor(lengths) for _ in range(2))
        before, holding, peak = memory(path)
        decoded = 12 * points
        results[kind] = dict(open=open_time, access=access, points=points, scans=reader.scan_count)
        print(f"== {kind}: {path.name}, {size / mb:.0f} MB, {reader.scan_count} scans, {points / 1e6:.1f} M points")
        print(f"  open + decode      {open_time:8.3f} s  {size / mb / open_time:7.0f} MB/s  "
              f"{points / open_time / 1e6:6.1f} M points/s   floor {floor:.3f} s   ratio {open_time / floor:.2f}")
        print(f"  every point (Py)   {access:8.3f} s   list floor {access_floor:.3f} s   "
              f"ratio {access / access_floor:.2f}")
        print(f"  memory holding     {(holding - before) / mb:8.0f} MB   decoded {decoded / mb:.0f} MB   "
              f"ratio {(holding - before) / decoded:.2f}")
        print(f"  memory peak (open) {(peak - before) / mb:8.0f} MB   file + 2 x decoded "
              f"{(size + 2 * decoded) / mb:.0f} MB   ratio {(peak - before) / (size + 2 * decoded):.2f}")
        del reader

    # Threads: two files opened at once against one after the other. Two files of equal work (the
    # GC-MS file and a copy) show what two threads gain; a GC-MS and a QTOF file cannot gain more
    # than (a + b) / max(a, b), printed beside them.
    a, b = str(paths["gcms"]), str(paths["qtof"])
    twin = paths["gcms"].with_name(paths["gcms"].stem + "-twin.qgd")
    if not twin.exists():
        shutil.copyfile(paths["gcms"], twin)
    print("\n== threads")
    for label, (x, y) in (("two GC-MS files", (a, str(twin))), ("GC-MS + QTOF", (a, b))):
        tavrik.RawReader(y)  # warm the page cache
        each = [min(open_files([p], False) for _ in range(2)) for p in (x, y)]
        serial = parallel = float("inf")
        for _ in range(3):  # alternated, so that drift in the machine's load hits both alike
            serial = min(serial, open_files([x, y], False))
            parallel = min(parallel, open_files([x, y], True))
        print(f"  {label}, one after the other {serial:.3f} s; in two threads {parallel:.3f} s; "
              f"speed-up {serial / parallel:.2f} (at most {sum(each) / max(each):.2f})")
    floors = [[str(TOOLS / "floor_bench"), p, str(results[k]["points"]), "1"] for k, p in (("gcms", a), ("gcms", str(twin)))]
    floor_serial = min(sum(float(subprocess.run(f, capture_output=True, text=True, check=True).stdout)
                           for f in floors) for _ in range(2))
    floor_parallel = min(max(float(p.communicate()[0]) for p in
                             [subprocess.Popen(f, stdout=subprocess.PIPE, text=True) for f in floors])
                         for _ in range(2))
    print(f"  the floor of two GC-MS files in two processes: speed-up {floor_serial / floor_parallel:.2f}")
    shared = tavrik.RawReader(a)
    n = shared.scan_count

    def part(j: int, k: int) -> None:  # every k-th spectrum from j on, every point
        for i in range(j, n, k):
            s = shared.read_spectrum(i)
            s.mz
            s.intensity
    one = min(in_threads([lambda: part(0, 1)]) for _ in range(2))
    for k in (2, 4):
        many = min(in_threads([lambda j=j: part(j, k) for j in range(k)]) for _ in range(2))
        print(f"  one shared reader, every point: 1 thread {one:.3f} s; {k} threads {many:.3f} s; "
              f"speed-up {one / many:.2f}")
    del shared

    if args.peers:
        print("\n== the readers a user would pick instead (same spectra as mzML, zlib, 64-bit m/z, 32-bit "
              "intensity)")
        for kind, path in paths.items():
            points_file = CACHE / f"{path.name}.points"
            if not points_file.exists() and not (CACHE / f"{path.name}.mzML").exists():
                export_points(tavrik.RawReader(str(path)), points_file)
            out = subprocess.run([args.peers, str(ROOT / "bench" / "peers.py"), str(points_file),
                                  str(CACHE / f"{path.name}.mzML")], capture_output=True, text=True)
            if out.returncode != 0:
                print(f"  {kind}: peers failed: {out.stderr.strip()[-500:]}")
                continue
            peer = json.loads(out.stdout.strip().splitlines()[-1])
            mine = results[kind]
            for name in ("pyteomics", "pyopenms"):
                if name not in peer:
                    continue
                p = peer[name]
                mine_all = mine["open"] + mine["access"]
                print(f"  {kind} {name:9s}: open + decode {p['open']:8.3f} s, tavrik {p['open'] / mine['open']:6.1f}x "
                      f"faster; open + every point in Python {p['access']:8.3f} s, tavrik "
                      f"{p['access'] / mine_all:6.1f}x faster")
    return 0


if __name__ == "__main__":
    sys.exit(main())
