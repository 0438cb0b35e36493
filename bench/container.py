"""Benchmark: reading a 500 MB stream through the container reader against a plain read.

    .venv/bin/python bench/container.py [--size-mb 500]

Writes the containers once into ~/.cache/tavrik/bench (version 3 with 512-byte sectors and a
DIFAT chain, and version 4 with 4096-byte sectors), then runs build/dev/tools/cfb_bench on each.
"""
import argparse
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from testkit.cfb import Storage, Stream, write  # noqa: E402

CACHE = Path(os.environ.get("TAVRIK_CACHE", Path.home() / ".cache" / "tavrik")) / "bench"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=int, default=500)
    args = parser.parse_args()
    CACHE.mkdir(parents=True, exist_ok=True)
    payload = None
    for version in (3, 4):
        path = CACHE / f"stream-{args.size_mb}mb-v{version}.cfb"
        if not path.exists():
            if payload is None:
                payload = os.urandom(args.size_mb * 1_000_000)
            built = write(Storage("Root Entry", [Storage("Data", [Stream("Big", payload)])]), version=version)
            path.write_bytes(built.data)
        print(f"== version {version}: {path}", flush=True)
        subprocess.run([str(ROOT / "build" / "dev" / "tools" / "cfb_bench"), str(path)], check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
