"""The Parquet tables' part of bench/convert.py: `tavrik-convert --format parquet` against the
mzML conversion on the same files, and an ion chromatogram read from the tables by DuckDB
against a Python loop over RawReader.read_spectrum. Run through bench/convert.py
(`--tables-only` runs this part alone).
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import tavrik

ROOT = Path(__file__).resolve().parents[1]
NAMES = {"gcms": "GC-MS", "qtof": "QTOF", "ttfl": "TTFL"}
ROUNDS = 2
MB = 1e6
MiB = 2**20

# The README's query: an ion chromatogram, the intensity within an m/z window summed per
# retention time over the MS1 spectra (0 where a spectrum has no point in the window).
XIC_SQL = """
SELECT s.retention_time_sec AS rt, coalesce(sum(p.intensity), 0) AS intensity
FROM read_parquet('{stem}.spectra.parquet') AS s
LEFT JOIN (SELECT spectrum_index, intensity FROM read_parquet('{stem}.points.parquet')
           WHERE mz BETWEEN {low} AND {high}) AS p ON p.spectrum_index = s.index
WHERE s.ms_level = 1
GROUP BY rt ORDER BY rt
"""

# Runs the query under an interpreter with duckdb; prints its seconds and rows as JSON.
DUCKDB = """
import json, sys, time
import duckdb
connection = duckdb.connect()
connection.execute("SET enable_progress_bar = false")
start = time.perf_counter()
rows = connection.sql(sys.argv[1]).fetchall()
print(json.dumps({"seconds": time.perf_counter() - start, "rows": rows}))
"""


def load() -> str:
    one, five, _ = os.getloadavg()
    return f"load {one:.1f}/{five:.1f}"


def xic_python(reader, low: float, high: float) -> dict:
    """The same chromatogram by a loop over every spectrum, as a Python user would write it."""
    out = {}
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        if s.ms_level != 1:
            continue
        rt = s.retention_time_sec
        out[rt] = out.get(rt, 0.0) + sum(v for m, v in zip(s.mz, s.intensity) if low <= m <= high)
    return out


def run(convert, paths: dict, python: str | None, out: Path, conversions: bool = True) -> None:
    python = python or str(ROOT / "build" / "peers-venv" / "bin" / "python")
    if conversions:
        compare(convert, paths)
    chromatogram(convert, paths, python, out)


def compare(convert, paths: dict) -> None:
    print(f"\n== Parquet tables (zstd) against indexed mzML (zlib), best of {ROUNDS} runs, {load()}\n")
    print("| file | mzML -j 1 | tables -j 1 | mzML / tables | tables -j 2 | speed-up | mzML | tables | / mzML "
          "| / raw | peak memory: mzML / tables | README bound | load |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for kind, path in paths.items():
        size = path.stat().st_size
        mzml_one, mzml_rss = float("inf"), 0
        one = two = float("inf")
        rss = 0
        for _ in range(ROUNDS):  # alternated, so that drift in the machine's load hits all alike
            t, r, mzml_size = convert([path], 1)
            mzml_one, mzml_rss = min(mzml_one, t), max(mzml_rss, r)
            t, r, tables_size = convert([path], 1, tables=True)
            one, rss = min(one, t), max(rss, r)
            t, r, _ = convert([path], 2, tables=True)
            two, rss = min(two, t), max(rss, r)
        bound = 24 * size + (64 + 40 * 2) * MiB
        print(f"| {NAMES[kind]} | {mzml_one:.2f} s | {one:.2f} s | {mzml_one / one:.2f} | {two:.2f} s "
              f"| {one / two:.2f} | {mzml_size / MB:.0f} MB | {tables_size / MB:.0f} MB "
              f"| {tables_size / mzml_size:.2f} | {tables_size / size:.2f} "
              f"| {mzml_rss / MB:.0f} / {rss / MB:.0f} MB | {bound / MB:.0f} MB | {load()} |", flush=True)
    print("\ntargets: tables -j 1 at least as fast as mzML -j 1; -j 2 1.8x faster; at most half the mzML's size; "
          "peak memory within the README's bound for 2 threads")


def chromatogram(convert, paths: dict, python: str, out: Path) -> None:

    path = paths["ttfl"]
    tables_dir = out / "xic"
    subprocess.run([str(convert.program), "--format", "parquet", "-q", "-o", str(tables_dir), str(path)], check=True)
    stem = tables_dir / path.stem
    start = time.perf_counter()
    reader = tavrik.RawReader(str(path))
    opened = time.perf_counter() - start
    middle = reader.read_spectrum(reader.scan_count // 2)
    centre = middle.mz[len(middle) // 2]
    low, high = centre - 0.25, centre + 0.25
    start = time.perf_counter()
    mine = xic_python(reader, low, high)
    looped = time.perf_counter() - start
    del reader
    print(f"\n== an ion chromatogram of the TTFL file ({path.stat().st_size / MB:.0f} MB), m/z {low:.4f} to "
          f"{high:.4f}, {len(mine)} retention times, {load()}\n")
    print("| reader | seconds | faster by |")
    print("|---|---|---|")
    print(f"| Python loop over RawReader.read_spectrum (open {opened:.2f} s not counted) | {looped:.2f} s | 1.0 |",
          flush=True)
    if not Path(python).exists():
        print(f"\n{python} is missing (scripts/test-peers.sh makes it): no DuckDB figure")
        return
    sql = XIC_SQL.format(stem=stem, low=repr(low), high=repr(high))
    done = subprocess.run([python, "-c", DUCKDB, sql], capture_output=True, text=True, check=True)
    result = json.loads(done.stdout.strip().splitlines()[-1])
    theirs = dict(result["rows"])
    same = theirs.keys() == mine.keys() and all(abs(theirs[k] - v) <= 1e-9 * max(1.0, abs(v)) for k, v in mine.items())
    print(f"| DuckDB on the Parquet tables (one query, {'same' if same else 'DIFFERENT'} sums) "
          f"| {result['seconds']:.2f} s | {looped / result['seconds']:.1f}x |")
    print(f"| ... counting the open as well | {opened + looped:.2f} s / {result['seconds']:.2f} s "
          f"| {(opened + looped) / result['seconds']:.1f}x |", flush=True)
    if not same:
        sys.exit("the chromatograms differ")
