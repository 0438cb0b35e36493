"""How long a garbage collection started by one thread waits while another thread opens a file.

Opening a file keeps the opening thread attached to the interpreter for the whole decode, so a
collection (which stops every attached thread) waits until the open is done.

    .venv/bin/python bench/gc_pause.py [--mb 100]

Writes a TTFL file of about that many MB once into ~/.cache/tavrik/bench, then prints, over 5
rounds, the open's time and the time `gc.collect()` took when called just after the open began,
against `gc.collect()` with no open under way.
"""
import argparse
import gc
import os
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import tavrik  # noqa: E402
from testkit.bulk import ttfl_bulk  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=100)
    args = parser.parse_args()
    cache = Path(os.environ.get("TAVRIK_CACHE", Path.home() / ".cache" / "tavrik")) / "bench"
    path = cache / f"gc-pause-ttfl-{args.mb}mb.lcd"
    if not path.exists():
        cache.mkdir(parents=True, exist_ok=True)
        path.write_bytes(ttfl_bulk(args.mb * 1e6))
    tavrik.RawReader(str(path))  # page cache and kept memory warm

    def collect_seconds() -> float:
        start = time.perf_counter()
        gc.collect()
        return time.perf_counter() - start

    opens, during, idle = [], [], []
    for _ in range(5):
        idle.append(collect_seconds())
        started = threading.Event()

        def open_file() -> None:
            started.set()
            start = time.perf_counter()
            tavrik.RawReader(str(path))
            opens.append(time.perf_counter() - start)

        thread = threading.Thread(target=open_file)
        thread.start()
        started.wait()
        time.sleep(0.01)
        during.append(collect_seconds())
        thread.join()
    size = path.stat().st_size / 1e6
    print(f"{size:.0f} MB TTFL file, median of 5: open {statistics.median(opens):.3f} s; "
          f"gc.collect() during the open {statistics.median(during):.3f} s, "
          f"with no open {statistics.median(idle) * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
