"""The conversion workflow's overhead: workflows/convert under Snakemake (`--cores 2`, one job per
file, each with its record of the file) against one `tavrik-convert -j 2` over the same files.

    .venv/bin/python bench/workflow.py [--files 200] [--size 5e6] [--rounds 2] [--snakemake PATH]

The files (GC-MS, QTOF and TTFL in turn, of about --size bytes, from testkit.bulk) are written
once into ~/.cache/tavrik/bench/workflow; outputs go to a temporary directory beside them. The
fastest of --rounds runs of each counts. Snakemake
comes from build/workflow-venv (`bash scripts/workflow-venv.sh` makes it).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CACHE = Path(os.environ.get("TAVRIK_CACHE", Path.home() / ".cache" / "tavrik")) / "bench" / "workflow"
sys.path.insert(0, str(ROOT))
from testkit.bulk import gcms_bulk, qtof_bulk, ttfl_bulk  # noqa: E402

KINDS = {"gcms.qgd": gcms_bulk, "qtof.lcd": qtof_bulk, "ttfl.lcd": ttfl_bulk}


def inputs(count: int, size: float) -> Path:
    directory = CACHE / f"{count}x{size:g}"
    if not directory.exists():  # written whole into a scratch directory, then renamed
        CACHE.mkdir(parents=True, exist_ok=True)
        scratch = Path(tempfile.mkdtemp(dir=CACHE))
        made = {kind: make(size) for kind, make in KINDS.items()}
        for k in range(count):
            kind = list(KINDS)[k % len(KINDS)]
            (scratch / f"{k:04}-{kind}").write_bytes(made[kind])
        scratch.rename(directory)
    return directory


def timed(argv: list[str]) -> float:
    os.sync()
    start = time.perf_counter()
    run = subprocess.run(argv, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if run.returncode != 0:
        sys.exit(f"{' '.join(argv[:3])} ... failed ({run.returncode}):\n{run.stdout}{run.stderr}")
    return elapsed


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--size", type=float, default=5e6)
    parser.add_argument("--rounds", type=int, default=2, help="runs of each; the fastest counts")
    parser.add_argument("--snakemake", default=str(ROOT / "build" / "workflow-venv" / "bin" / "snakemake"))
    args = parser.parse_args()
    convert = Path(sys.executable).with_name("tavrik-convert")
    directory = inputs(args.files, args.size)
    files = sorted(directory.iterdir())
    megabytes = sum(p.stat().st_size for p in files) / 1e6
    single, flow = [], []
    for _ in range(args.rounds):  # alternately, each from nothing: outputs are removed after each run
        work = Path(tempfile.mkdtemp(dir=CACHE))
        try:
            single.append(timed([str(convert), "-j", "2", "--quiet", "-o", str(work / "single"), *map(str, files)]))
            flow.append(timed([args.snakemake, "-s", str(ROOT / "workflows" / "convert" / "Snakefile"),
                               "--cores", "2", "--directory", str(work), "--config", f"input={directory}",
                               f"output={work / 'flow'}", f"python={sys.executable}"]))
        finally:
            shutil.rmtree(work)
    single, flow = min(single), min(flow)
    print(f"{len(files)} files, {megabytes:.0f} MB, 2 cores")
    print(f"tavrik-convert -j 2:            {single:7.2f} s")
    print(f"Snakemake workflow, --cores 2:  {flow:7.2f} s  ({flow / single:.2f}x, "
          f"{(flow - single) / len(files) * 1000:.0f} ms more a file)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
