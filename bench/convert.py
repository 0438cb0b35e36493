"""The conversion benchmark: tavrik-convert against its floor, against itself on two threads, and
against the writers a user would convert with today. Run it through scripts/bench.sh, which sets
everything up (`bash scripts/bench.sh --convert-only --scale 0.1` runs only this part).

    .venv/bin/python bench/convert.py [--scale 1.0] [--peers PYTHON] [--convert PATH] [--psims-budget 600]
                                      [--tables-python PYTHON] [--tables-only | --chromatogram-only]
                                      [--against OLD_CONVERTER [--rounds 3]]

On the large files of bench/run.py it prints, as Markdown tables:
- per file, the floor (tools/convert_floor: open, decode, zlib level 1 and base64 of every array
  on one thread; no XML, no checksums, nothing written), `tavrik-convert -j 1` and its ratio to the floor,
  `-j 2` and its speed-up over `-j 1`, the mzML's size, and the peak memory of a conversion
  (the larger of -j 1 and -j 2) against the file's size plus 1.2 times the decoded size (12 bytes a point);
- two GC-MS files (the file and a copy) converted by one command, `-j 2` against `-j 1`;
- with --peers, psims writing the same spectra as mzML and pyOpenMS storing an MSExperiment
  holding them (bench/peers.py), against `tavrik-convert -j 1`;
- per file, `--format parquet` (bench/tables.py) against the mzML conversion: -j 1 against
  mzML's -j 1, -j 2 against -j 1, the tables' size against the mzML's and the raw file's, peak
  memory against the bound the README states (24 S + 64 MiB + 40 MiB a thread); then an ion
  chromatogram of the TTFL file, DuckDB on its tables against a Python loop over RawReader
  (--tables-python: an interpreter with duckdb, default build/peers-venv; --tables-only skips
  everything before). The machine's load average is printed with the figures.
With --against, only the conversion times of two builds are printed, in one run: per file, mzML and
Parquet at -j 1 and -j 2, the older converter and this one alternated run by run (best of
--rounds each), and this one's time over the older one's.
Outputs go to a temporary directory beside the cached files and are removed after each run.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402
from run import CACHE, ROOT, TOOLS  # noqa: E402

import tavrik  # noqa: E402

NAMES = {"gcms": "GC-MS", "qtof": "QTOF", "ttfl": "TTFL"}
ROUNDS = 2
MB = 1e6


def converter() -> Path | None:
    for path in (ROOT / ".venv" / "bin" / "tavrik-convert", ROOT / "build" / "dev" / "convert" / "tavrik-convert"):
        if path.exists():
            return path
    return None


# Runs a program and prints its wall time and peak memory. It runs in a small process of its own:
# a child's peak memory counts the memory of the process it was started from, and this one holds
# the large files it wrote.
TRAMPOLINE = """
import os, sys, time
start = time.perf_counter()
pid = os.posix_spawn(sys.argv[1], sys.argv[1:], os.environ)
_, status, usage = os.wait4(pid, 0)
print(time.perf_counter() - start, usage.ru_maxrss * 1024, os.waitstatus_to_exitcode(status))
"""


def spawn(argv: list[str]) -> tuple[float, int]:
    """Runs a program; its wall time in seconds and its peak resident memory in bytes."""
    out = subprocess.run([sys.executable, "-c", TRAMPOLINE, *argv], capture_output=True, text=True, check=True)
    elapsed, rss, status = out.stdout.split()
    if int(status) != 0:
        raise RuntimeError(f"{' '.join(argv)} failed with status {status}")
    return float(elapsed), int(rss)


class Convert:
    """tavrik-convert into a scratch directory; outputs are measured and removed after each run."""

    def __init__(self, program: Path, out: Path):
        self.program, self.out = program, out

    def __call__(self, inputs: list[Path], jobs: int, tables: bool = False) -> tuple[float, int, int]:
        """Seconds, peak memory and output bytes of converting `inputs` with `-j jobs` (into
        Parquet tables when `tables` is set)."""
        os.sync()  # no one's earlier writes are flushed while the clock runs
        fmt = ["--format", "parquet"] if tables else []
        elapsed, rss = spawn([str(self.program), *fmt, "-o", str(self.out), "-j", str(jobs), "--quiet",
                              *map(str, inputs)])
        endings = [".spectra.parquet", ".points.parquet"] if tables else [".mzML"]
        outputs = [self.out / f"{p.stem}{e}" for p in inputs for e in endings]
        size = sum(p.stat().st_size for p in outputs)
        for p in outputs:
            p.unlink()
        return elapsed, rss, size

    def compare(self, inputs: list[Path], tables: bool = False) -> dict:
        """-j 1 against -j 2, alternated so that drift in the machine's load hits both alike."""
        one = two = float("inf")
        rss = 0
        for _ in range(ROUNDS):
            t, r, size = self(inputs, 1, tables)
            one, rss = min(one, t), max(rss, r)
            t, r, _ = self(inputs, 2, tables)
            two, rss = min(two, t), max(rss, r)
        return dict(one=one, two=two, rss=rss, size=size)


def floor(path: Path) -> dict:
    out = subprocess.run([str(TOOLS / "convert_floor"), str(path), str(ROUNDS)], capture_output=True, text=True,
                         check=True).stdout.split()
    return dict(seconds=float(out[0]), scans=int(out[1]), points=int(out[2]))


def peers(python: str, path: Path, out: Path, budget: float) -> dict:
    """psims and pyOpenMS writing the spectra of `path` (through a points file, removed after)."""
    points_file = out / f"{path.name}.points"
    run.export_points(tavrik.RawReader(str(path)), points_file)
    try:
        done = subprocess.run([python, str(ROOT / "bench" / "peers.py"), "--write", str(points_file), str(out),
                               str(budget)], capture_output=True, text=True)
    finally:
        points_file.unlink()
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip()[-500:])
    return json.loads(done.stdout.strip().splitlines()[-1])


def fmt_time(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds:.2f} s" if seconds < 100 else f"{seconds:.0f} s"


def megabytes(n: float | None) -> str:
    return "-" if n is None else f"{n / MB:.0f} MB"


def ratio(a: float | None, b: float | None, digits: int = 2, suffix: str = "") -> str:
    return "-" if a is None or b is None else f"{a / b:.{digits}f}{suffix}"


def against(old: Convert, new: Convert, paths: dict[str, Path], rounds: int) -> None:
    """The conversion times of two builds, alternated run by run so that drift in the machine's
    load hits both alike."""
    print(f"\n== {new.program} against {old.program}, best of {rounds} runs each, alternated\n")
    print("| file | format | -j | before | after | after / before | load (1 min) |")
    print("|---|---|---|---|---|---|---|")
    for kind, path in paths.items():
        for tables in (False, True):
            for jobs in (1, 2):
                best = {"old": float("inf"), "new": float("inf")}
                for _ in range(rounds):
                    for name, convert in (("old", old), ("new", new)):
                        best[name] = min(best[name], convert([path], jobs, tables)[0])
                print(f"| {NAMES[kind]} | {'Parquet' if tables else 'mzML'} | {jobs} | {fmt_time(best['old'])} "
                      f"| {fmt_time(best['new'])} | {ratio(best['new'], best['old'], 3)} | {os.getloadavg()[0]:.1f} |",
                      flush=True)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--peers", help="interpreter with psims and pyopenms installed")
    parser.add_argument("--convert", type=Path, help="the tavrik-convert to time (default: the one in .venv, "
                        "else the one in build/dev)")
    parser.add_argument("--psims-budget", type=float, default=600.0,
                        help="seconds after which psims stops, its time writing spectra then scaled up by points")
    parser.add_argument("--tables-python", help="interpreter with duckdb installed (default: build/peers-venv's)")
    parser.add_argument("--tables-only", action="store_true", help="only the Parquet tables' figures")
    parser.add_argument("--chromatogram-only", action="store_true", help="only the ion chromatogram's figures")
    parser.add_argument("--against", type=Path, help="an older tavrik-convert: only both builds' conversion times")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each build per row, with --against")
    args = parser.parse_args()
    paths = run.make_files(args.scale)
    twin = paths["gcms"].with_name(paths["gcms"].stem + "-twin.qgd")
    if not twin.exists():
        shutil.copyfile(paths["gcms"], twin)
    program = args.convert or converter()
    out = Path(tempfile.mkdtemp(prefix="convert-", dir=CACHE))
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; "
          f"Python {platform.python_version()} (free-threaded: {not sys._is_gil_enabled()})")
    if program is None:
        print("tavrik-convert is not built yet: its columns are left empty")
    try:
        convert = Convert(program, out) if program else None
        if args.against:
            if not convert:
                return 1
            print(f"load average at start: {os.getloadavg()[0]:.1f}")
            against(Convert(args.against, out), convert, paths, args.rounds)
            return 0
        if args.tables_only or args.chromatogram_only:
            if not convert:
                return 1
            import tables
            tables.run(convert, paths, args.tables_python, out, conversions=not args.chromatogram_only)
            return 0
        rows = {}
        print("\n== conversion to indexed mzML (zlib, base64), best of 2 runs, output written to disk\n")
        print("| file | size | scans | points | floor | -j 1 | / floor | -j 2 | speed-up | mzML | peak memory "
              "| file + 1.2 x decoded | ratio |")
        print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
        for kind, path in paths.items():
            size = path.stat().st_size
            f = floor(path)
            c = convert.compare([path]) if convert else dict(one=None, two=None, rss=None, size=None)
            bound = size + 1.2 * 12 * f["points"]
            rows[kind] = dict(c, floor=f["seconds"])
            print(f"| {NAMES[kind]} | {size / MB:.0f} MB | {f['scans']:,} | {f['points'] / 1e6:.1f} M "
                  f"| {fmt_time(f['seconds'])} | {fmt_time(c['one'])} | {ratio(c['one'], f['seconds'])} "
                  f"| {fmt_time(c['two'])} | {ratio(c['one'], c['two'])} "
                  f"| {megabytes(c['size'])} | {megabytes(c['rss'])} | {megabytes(bound)} "
                  f"| {ratio(c['rss'], bound)} |", flush=True)
        print("\ntargets: -j 1 within 1.3x of the floor; -j 2 at least 1.8x faster; peak memory within the bound")
        if convert:
            c = convert.compare([paths["gcms"], twin])
            print(f"two GC-MS files (the file and a copy) in one command: -j 1 {fmt_time(c['one'])}, "
                  f"-j 2 {fmt_time(c['two'])}, speed-up {ratio(c['one'], c['two'])} (target 1.8)", flush=True)

        if args.peers:
            print("\n== the writers a user would pick instead, on the same spectra (zlib, 64-bit m/z, 32-bit "
                  "intensity)\n")
            print("| file | tavrik-convert -j 1 / -j 2 | psims | tavrik faster by: -j 1 / -j 2 (floor) "
                  "| pyOpenMS store | tavrik faster by: -j 1 / -j 2 (floor) | mzML size: tavrik / psims / pyOpenMS |")
            print("|---|---|---|---|---|---|---|")
            notes = []
            for kind, path in paths.items():
                p = peers(args.peers, path, out, args.psims_budget)
                mine = rows[kind]
                psims, share = p["psims"]["seconds"], p["psims"]["share"]
                if share < 1:
                    notes.append(f"{NAMES[kind]}: psims stopped after {p['psims']['measured']:.0f} s, having written "
                                 f"{100 * share:.0f}% of the points; its time writing spectra and its size are "
                                 f"scaled up by points")
                sizes = " / ".join(map(megabytes, (mine["size"], p["psims"]["bytes"], p["pyopenms"]["bytes"])))
                pyopenms = p["pyopenms"]["seconds"]
                print(f"| {NAMES[kind]} | {fmt_time(mine['one'])} / {fmt_time(mine['two'])} "
                      f"| {fmt_time(psims)}{'*' if share < 1 else ''} "
                      f"| {ratio(psims, mine['one'], 1, 'x')} / {ratio(psims, mine['two'], 1, 'x')} "
                      f"({ratio(psims, mine['floor'], 1, 'x')}) "
                      f"| {fmt_time(pyopenms)} | {ratio(pyopenms, mine['one'], 1, 'x')} / "
                      f"{ratio(pyopenms, mine['two'], 1, 'x')} ({ratio(pyopenms, mine['floor'], 1, 'x')}) "
                      f"| {sizes} |", flush=True)
            version = subprocess.run([args.peers, "-c", "import platform; print(platform.python_version())"],
                                     capture_output=True, text=True).stdout.strip()
            print("\ntargets: 20x faster than psims, 3x faster than pyOpenMS; (floor) is the speed-up the floor "
                  "would have. tavrik-convert's time includes opening and decoding the raw file and writing TIC and "
                  f"base peak chromatograms; the peers' times cover only the writing, under CPython {version}:")
            print("- psims: MzMLWriter (indexed mzML) from NumPy arrays, each spectrum with its id, MS level and "
                  "scan start time, arrays compressed by Python's zlib (its default level 6) and base64-encoded;")
            print("- pyOpenMS: MzMLFile().store of an MSExperiment loaded beforehand (untimed), zlib, index written.")
            for note in notes:
                print(f"* {note}")
        if convert:
            import tables
            tables.run(convert, paths, args.tables_python, out)
    finally:
        shutil.rmtree(out, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
