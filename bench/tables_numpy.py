"""The arrays benchmark: a raw file's scans as numpy arrays and its points as a polars frame
through tavrik_tables, against RawReader's open alone, against today's lists turned into numpy
arrays, against the floor of writing the same bytes into fresh numpy arrays, and (with --peers)
against pyteomics and pyOpenMS reading the same run's mzML into numpy.

    python bench/tables_numpy.py [--scale 0.2,1] [--layouts gcms,qtof,ttfl] [--peers PYTHON]

Runs under any interpreter with numpy (polars too for its rows: the ordinary CPython 3.13, see
requirements-tables-gil.txt); the files are bench/run.py's large files (GC-MS and QTOF 500 MB,
TTFL 1 GB, times each of --scale's factors: by default the 100 MB ones and the large ones
themselves), written once into ~/.cache/tavrik/bench. Each step is the best of
three runs, every object dropped before the next; the memory of the polars frame is measured in
a fresh process (VmRSS after the frame minus VmRSS after the open). Prints a Markdown table.
"""
from __future__ import annotations

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run as bench_run  # noqa: E402

import numpy as np  # noqa: E402
import tavrik  # noqa: E402
import tavrik_tables  # noqa: E402

try:
    import polars as pl
except ImportError:
    pl = None

NAMES = {"gcms": "GC-MS", "qtof": "QTOF", "ttfl": "TTFL"}


def best_of(n, fn):
    best = float("inf")
    for _ in range(n):
        gc.collect()
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def open_reader(path):
    tavrik.RawReader(path)


def arrays(path):
    run = tavrik_tables.open(path)
    out = [(np.asarray(run.mz(i)), np.asarray(run.intensity(i))) for i in range(len(run))]
    return out


def lists_to_numpy(path):
    reader = tavrik.RawReader(path)
    out = []
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        out.append((np.array(s.mz), np.array(s.intensity, dtype=np.float32)))
    return out


def polars_frame(path):
    run = tavrik_tables.open(path)
    return pl.DataFrame(run.points)


FRAME_MEMORY = """
import sys, tavrik_tables, polars as pl
def rss():
    for line in open('/proc/self/status'):
        if line.startswith('VmRSS:'):
            return int(line.split()[1]) * 1024
run = tavrik_tables.open(sys.argv[1])
before = rss()
frame = pl.DataFrame(run.points)
print(rss() - before, len(run.points))
"""

PEERS = """
import sys, time, json
import numpy as np
from pyteomics import mzml
import pyopenms
path = sys.argv[1]
start = time.perf_counter()
with mzml.read(path) as reader:  # in file order, as bench/peers.py reads
    out = [(np.asarray(s['m/z array']), np.asarray(s['intensity array'])) for s in reader]
pyteomics_seconds = time.perf_counter() - start
start = time.perf_counter()
experiment = pyopenms.MSExperiment()
pyopenms.MzMLFile().load(path, experiment)
out = [spectrum.get_peaks() for spectrum in experiment]
print(json.dumps({"pyteomics": pyteomics_seconds, "pyopenms": time.perf_counter() - start}))
"""


def floor(lengths):
    """Writing the decoded bytes into fresh numpy arrays, scan by scan."""
    mz_source = [np.ones(n) for n in set(lengths)]
    by_length = {len(a): (a, a.astype(np.float32)) for a in mz_source}

    def fill():
        out = []
        for n in lengths:
            d, f = by_length[n]
            a, b = np.empty(n), np.empty(n, dtype=np.float32)
            a[:] = d
            b[:] = f
            out.append((a, b))
        return out
    return best_of(3, fill)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", default="0.2,1", help="the files' sizes, as factors of the large ones")
    parser.add_argument("--layouts", default="gcms,qtof,ttfl")
    parser.add_argument("--peers", help="interpreter with pyteomics and pyopenms (build/peers-venv)")
    parser.add_argument("--peer-layouts", default="qtof",
                        help="the layouts the peers read (pyteomics takes minutes on a 100 MB GC-MS file)")
    args = parser.parse_args()
    scales = [float(s) for s in args.scale.split(",")]
    files = [(scale, kind, str(bench_run.make_files(scale)[kind])) for scale in scales for kind in args.layouts.split(",")]
    print(f"{sys.version.split()[0]}{' free-threaded' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}, "
          f"{os.cpu_count()} cores, load {os.getloadavg()[0]:.1f}, --scale {args.scale}")
    print("| layout | MB | scans | points | open | tables open | open + numpy | lists to numpy | numpy floor | polars frame "
          "| frame memory | pyteomics | pyOpenMS | load |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for scale, kind, path in files:
        run = tavrik_tables.open(path)
        lengths = [len(run.mz(i)) for i in range(len(run))]
        del run
        opened = best_of(3, lambda: open_reader(path))
        tables_open = best_of(3, lambda: tavrik_tables.open(path))
        numpy_path = best_of(3, lambda: arrays(path))
        lists = best_of(1, lambda: lists_to_numpy(path))
        fill = floor(lengths)
        cells = [NAMES[kind], f"{os.path.getsize(path) / 1e6:.0f}", f"{len(lengths)}", f"{sum(lengths) / 1e6:.2f} M",
                 f"{opened:.3f} s", f"{tables_open:.3f} s ({tables_open / opened:.2f}x)",
                 f"{numpy_path:.3f} s ({numpy_path / opened:.2f}x)",
                 f"{lists:.2f} s ({lists / opened:.1f}x)", f"{fill:.3f} s"]
        if pl is not None:
            frame = best_of(3, lambda: polars_frame(path))
            added, rows = map(int, subprocess.run([sys.executable, "-c", FRAME_MEMORY, path], capture_output=True,
                                                  text=True, check=True).stdout.split())
            cells += [f"{frame:.3f} s ({frame / opened:.2f}x)", f"{added / 1e6:.1f} MB ({100 * added / (12 * rows):.0f} %)"]
        else:
            cells += ["—", "—"]
        if args.peers and kind in args.peer_layouts.split(","):
            with tempfile.TemporaryDirectory() as work:
                convert = Path(sys.executable).with_name("tavrik-convert")
                convert = os.environ.get("TAVRIK_CONVERT", str(convert))
                subprocess.run([convert, "--quiet", "-o", work, path], check=True)
                mzml_file = next(Path(work).glob("*.mzML"))
                peer = json.loads(subprocess.run([args.peers, "-c", PEERS, str(mzml_file)], capture_output=True,
                                                 text=True, check=True).stdout)
            cells += [f"{peer['pyteomics']:.1f} s ({peer['pyteomics'] / numpy_path:.0f}x slower)",
                      f"{peer['pyopenms']:.2f} s ({peer['pyopenms'] / numpy_path:.0f}x slower)"]
        else:
            cells += ["—", "—"]
        cells.append(f"{os.getloadavg()[0]:.1f}")
        print("| " + " | ".join(cells) + " |", flush=True)
    print("open: RawReader(path) alone; tables open: tavrik_tables.open(path) alone; open + numpy: tavrik_tables.open, then np.asarray of every scan's mz and "
          "intensity; lists to numpy: RawReader, then np.array of every scan's lists (today's path); numpy floor: "
          "the same bytes written into fresh numpy arrays; polars frame: tavrik_tables.open, then "
          "pl.DataFrame(run.points); frame memory: what the frame adds, against 12 bytes a decoded point; "
          "pyteomics, pyOpenMS: the same run's mzML into numpy arrays, against open + numpy.")
    print("targets: open + numpy at most 1.5x, polars frame at most 1.2x, frame memory at most 5 %, pyteomics at "
          "least 100x and pyOpenMS at least 20x slower; load: the machine's 1-minute load average after the row.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
