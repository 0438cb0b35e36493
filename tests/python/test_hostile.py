"""Files built to hurt the process rather than to hold data: index entries that name the same
bytes again and again, paths that would block or never end, MRM files of a million records."""
import os
import subprocess
import sys
import textwrap

import pytest
import tavrik

from testkit.layouts import TtflLayout, gcms_file, gcms_mrm_scan, gcms_profile_scan, ttfl_file, ttfl_index, ttfl_scan

# Opening in a process of its own, with another thread collecting garbage all along: an open that
# blocks while attached to the interpreter would stall that thread's collection, and the process.
PROBE = textwrap.dedent("""
    import gc, sys, threading, tavrik
    stop = threading.Event()
    def collect():
        while not stop.is_set():
            gc.collect()
    threading.Thread(target=collect, daemon=True).start()
    try:
        reader = tavrik.RawReader(sys.argv[1])
        print("opened", reader.scan_count)
    except RuntimeError as error:
        print("error", error)
    stop.set()
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            print("peak", int(line.split()[1]) * 1024)
""")


def probe(path: str) -> tuple[str, int]:
    """The first line the probe printed, and the process's peak memory in bytes."""
    done = subprocess.run([sys.executable, "-c", PROBE, path], capture_output=True, text=True, timeout=60)
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and len(lines) == 2, done.stderr
    return lines[0], int(lines[1].split()[1])


def amplifying_gcms(entries: int) -> bytes:
    """One profile scan of 256 KiB and an index whose offsets alternate 0, L, 0, L, ...: each
    pair names the whole scan again."""
    scan = gcms_profile_scan(1000, [(300 + k % 5000, k % 65536) for k in range(65535)])
    return gcms_file(data=scan, offsets=[0 if k % 2 == 0 else len(scan) for k in range(entries)])


def amplifying_ttfl(entries: int) -> bytes:
    """One profile scan of 512 KiB and subsets that all start at its offset."""
    scan = ttfl_scan([(1, list(range(4096)))] * 64)
    return ttfl_file(TtflLayout(scans=[scan], times_ms=[100]), index=ttfl_index([(0, 0)] * entries))


@pytest.mark.parametrize("make, name", [(amplifying_gcms, "run.qgd"), (amplifying_ttfl, "run.lcd")])
def test_overlapping_index_entries_are_refused_before_decoding(write_file, make, name):
    path = write_file(name, make(65536))
    assert 0.5e6 < os.path.getsize(path) < 2e6
    line, peak = probe(path)
    assert line.startswith("error parse error: scan ranges cover more than ") and "overlapping index entries?" in line
    assert peak < 100e6
    # The same shape with a few entries is an ordinary file.
    assert tavrik.RawReader(write_file("few-" + name, make(3))).scan_count == (2 if name.endswith("qgd") else 3)


@pytest.mark.parametrize("kind", ["fifo", "device", "directory"])
def test_only_regular_files_are_read(tmp_path, kind):
    path = {"fifo": tmp_path / "run.qgd", "device": "/dev/zero", "directory": tmp_path / "dir.qgd"}[kind]
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "directory":
        os.mkdir(path)
    line, _ = probe(str(path))
    what = {"fifo": "a FIFO", "device": "a character device", "directory": "a directory"}[kind]
    assert line == f"error I/O error: not a regular file but {what}"


def test_mrm_records_are_compact(write_file):
    # 100,000 one-point records from 6-byte transitions; what Python sees is unchanged.
    scans = [gcms_mrm_scan(1000 + k, [(1000 + i, 2000 + i, i) for i in range(1000)]) for k in range(100)]
    path = write_file("mrm.qgd", gcms_file(scans, version=4))
    reader = tavrik.RawReader(path)
    assert reader.scan_count == 100_000
    s = reader.read_spectrum(99_999)
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([2999 / 10], [999.0], 2, 1.099)
    if "ASAN_OPTIONS" in os.environ:
        pytest.skip("the sanitizers' allocator adds its own memory to every allocation")
    # What a second reader adds while the first is held: its records alone (its stream buffer
    # reuses the memory that the first one's gave back), once the C library has returned the
    # heap memory the decode used for a moment.
    held = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import ctypes, sys, tavrik
        def rss():
            ctypes.CDLL(None).malloc_trim(0)
            return next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmRSS:"))
        first = tavrik.RawReader(sys.argv[1])
        before = rss()
        second = tavrik.RawReader(sys.argv[1])
        print((rss() - before) / second.scan_count)
        """), path], capture_output=True, text=True, check=True)
    assert float(held.stdout) <= 128
