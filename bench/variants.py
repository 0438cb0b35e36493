"""The converter's options against its default, on the large files of bench/run.py: the size of
the output (and its ratio to the raw file) and the time on one and two threads of the default
(zlib), --numpress, --numpress --strip-zeros and --gzip; writing into a pipe (-o -) against a
file (time and peak memory); MRM transitions as chromatograms against --srm-as-spectra, on a
GC-MS file with MRM scans and on a crafted 6.3 MB file of 1,048,560 transitions; and the share
of the time spent making the output durable (fsync). Run it through scripts/bench.sh
(`bash scripts/bench.sh --variants-only --scale 0.5`). With --centroid-only, only --centroid
against the plain conversion: time on one and two threads (best of two runs each) and the output
sizes of mzML, mzML with --numpress and Parquet, each with and without it.

    .venv/bin/python bench/variants.py [--scale 1.0] [--convert PATH] [--centroid-only]
"""
from __future__ import annotations

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402
from convert import converter, fmt_time, megabytes, spawn  # noqa: E402
from run import CACHE, ROOT  # noqa: E402

sys.path.insert(0, str(ROOT))
from testkit.layouts import gcms_file, gcms_mrm_scan  # noqa: E402

NAMES = {"gcms": "GC-MS", "qtof": "QTOF", "ttfl": "TTFL"}
VARIANTS = {"zlib (default)": [], "--numpress": ["--numpress"], "--numpress --strip-zeros": ["--numpress", "--strip-zeros"],
            "--gzip": ["--gzip"]}


def convert(program: Path, out: Path, path: Path, options: list[str], jobs: int) -> tuple[float, int, int]:
    """Seconds, peak memory and bytes written converting `path`; the output is removed after."""
    os.sync()
    elapsed, rss = spawn([str(program), "-q", "-j", str(jobs), "-o", str(out), *options, str(path)])
    outputs = [p for p in out.iterdir() if p.name.startswith(path.stem + ".")]
    size = sum(p.stat().st_size for p in outputs)
    for p in outputs:
        p.unlink()
    return elapsed, rss, size


def piped(program: Path, path: Path) -> tuple[float, int]:
    """Seconds and peak memory converting `path` into a pipe read by `cat > /dev/null`."""
    shell = f"exec '{program}' -q -o - '{path}' | cat > /dev/null"
    return spawn(["/bin/sh", "-c", shell])


def mrm_file(path: Path) -> Path:
    if not path.exists():
        transitions = [(1000 + k % 500, 500 + k % 700, k) for k in range(65535)]
        path.write_bytes(gcms_file([gcms_mrm_scan(1000 * (s + 1), transitions) for s in range(16)]))
    return path


def best(program: Path, out: Path, path: Path, options: list[str], jobs: int) -> tuple[float, int]:
    """The shorter time of two conversions (the machine is shared), and the output's size."""
    first, _, size = convert(program, out, path, options, jobs)
    second, _, _ = convert(program, out, path, options, jobs)
    return min(first, second), size


def centroid_tables(program: Path, out: Path, paths: dict) -> None:
    print("\n== --centroid against the plain conversion (mzML, zlib): time, best of two\n")
    print("| file | plain -j 1 | --centroid -j 1 | ratio | --centroid -j 2 | -j 2 speed-up |")
    print("|---|---|---|---|---|---|")
    for kind in ("ttfl", "gcms"):
        path = paths[kind]
        plain, _ = best(program, out, path, [], 1)
        one, _ = best(program, out, path, ["--centroid"], 1)
        two, _ = best(program, out, path, ["--centroid"], 2)
        print(f"| {NAMES[kind]}, {megabytes(path.stat().st_size)} | {fmt_time(plain)} | {fmt_time(one)} | "
              f"{one / plain:.2f}x | {fmt_time(two)} | {one / two:.2f}x |")
    print(f"\nload {os.getloadavg()[0]:.1f}")
    print("\n== output size, without / with --centroid (ratio to the raw file)\n")
    formats = {"mzML": [], "mzML --numpress": ["--numpress"], "Parquet": ["--format", "parquet"]}
    print("| file | " + " | ".join(formats) + " |")
    print("|---|" + "---|" * len(formats))
    for kind in ("ttfl", "gcms"):
        path = paths[kind]
        raw = path.stat().st_size
        cells = []
        for options in formats.values():
            _, _, plain = convert(program, out, path, options, 2)
            _, _, picked = convert(program, out, path, [*options, "--centroid"], 2)
            cells.append(f"{megabytes(plain)} ({plain / raw:.2f}x) / {megabytes(picked)} ({picked / raw:.2f}x)")
        print(f"| {NAMES[kind]}, {megabytes(raw)} | " + " | ".join(cells) + " |")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--convert", type=Path, help="the tavrik-convert to time (default: the one in .venv)")
    parser.add_argument("--centroid-only", action="store_true")
    args = parser.parse_args()
    paths = run.make_files(args.scale)
    program = args.convert or converter()
    out = Path(tempfile.mkdtemp(prefix="variants-", dir=CACHE))
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, {platform.platform()}; load {os.getloadavg()[0]:.1f}")
    try:
        if args.centroid_only:
            centroid_tables(program, out, paths)
            return 0
        print("\n== output size (ratio to the raw file) and time, -j 1 / -j 2\n")
        print("| file | " + " | ".join(VARIANTS) + " |")
        print("|---|" + "---|" * len(VARIANTS))
        for kind, path in paths.items():
            raw = path.stat().st_size
            cells = []
            for options in VARIANTS.values():
                one, _, size = convert(program, out, path, options, 1)
                two, _, _ = convert(program, out, path, options, 2)
                cells.append(f"{megabytes(size)} ({size / raw:.2f}x), {fmt_time(one)} / {fmt_time(two)}")
            print(f"| {NAMES[kind]}, {megabytes(raw)} | " + " | ".join(cells) + " |")

        print("\n== into a pipe (-o -) against a file, -j 2: time and peak memory\n")
        print("| file | file | pipe | time ratio | memory ratio |")
        print("|---|---|---|---|---|")
        for kind, path in paths.items():
            file_time, file_rss, _ = convert(program, out, path, [], 2)
            pipe_time, pipe_rss = piped(program, path)
            print(f"| {NAMES[kind]} | {fmt_time(file_time)}, {megabytes(file_rss)} | {fmt_time(pipe_time)}, "
                  f"{megabytes(pipe_rss)} | {pipe_time / file_time:.2f} | {pipe_rss / file_rss:.2f} |")

        print("\n== MRM transitions: chromatograms (default) against --srm-as-spectra, -j 2\n")
        print("| file | chromatograms | --srm-as-spectra | output ratio |")
        print("|---|---|---|---|")
        for name, path in (("GC-MS", paths["gcms"]), ("1,048,560 transitions, 6.3 MB", mrm_file(CACHE / "mrm-1m.qgd"))):
            t1, r1, s1 = convert(program, out, path, [], 2)
            t2, r2, s2 = convert(program, out, path, ["--srm-as-spectra"], 2)
            print(f"| {name} | {megabytes(s1)}, {fmt_time(t1)}, {megabytes(r1)} | {megabytes(s2)}, {fmt_time(t2)}, "
                  f"{megabytes(r2)} | {s2 / s1:.0f}x |")

        print("\n== making outputs durable: time in fsync (strace -T) against the whole conversion, -j 2\n")
        if shutil.which("strace"):
            print("| file | conversion | fsync | share |")
            print("|---|---|---|---|")
            for kind, path in paths.items():
                trace = out / "trace"
                elapsed, _ = spawn(["/usr/bin/strace", "-f", "-qq", "-T", "-e", "trace=fsync", "-o", str(trace),
                                    str(program), "-q", "-j", "2", "-o", str(out), str(path)])
                synced = sum(float(line.rsplit("<", 1)[1].rstrip(">\n")) for line in trace.read_text().splitlines()
                             if "<" in line)
                for p in out.iterdir():
                    p.unlink()
                print(f"| {NAMES[kind]} | {fmt_time(elapsed)} | {fmt_time(synced)} | {synced / elapsed:.1%} |")
    finally:
        shutil.rmtree(out, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
