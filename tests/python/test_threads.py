"""Many threads at once on the free-threaded interpreter: shared readers and parallel opens."""
import collections
import random
import sys
import threading

import pytest
import tavrik

from testkit.bulk import gcms_bulk
from testkit.layouts import gcms_file, gcms_mrm_scan, gcms_profile_scan

THREADS = 8


def sample(seed: int) -> bytes:
    rng = random.Random(seed)
    scans = []
    for k in range(60):
        if k % 7 == 3:
            scans.append(gcms_mrm_scan(k * 500, [(rng.randrange(65536), rng.randrange(65536), rng.randrange(2**24))
                                                 for _ in range(3)], width=3))
        else:
            scans.append(gcms_profile_scan(k * 500, [(rng.randrange(65536), rng.randrange(65536))
                                                     for _ in range(rng.randrange(200))]))
    return gcms_file(scans)


def snapshot(reader):
    out = []
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        out.append((s.mz, s.intensity, s.ms_level, s.retention_time_sec, repr(s), len(s)))
    return out, repr(reader)


def run_all(work):
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(k):
        try:
            barrier.wait()
            results[k] = work(k)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


def test_shared_reader(write_file):
    reader = tavrik.RawReader(write_file("shared.qgd", sample(1)))
    expected = snapshot(reader)
    results = run_all(lambda k: [snapshot(reader) for _ in range(3)])
    assert all(r == expected for rs in results for r in rs)


def test_parallel_opens_and_failures(write_file):
    paths = [write_file(f"f{k}.qgd", sample(k)) for k in range(THREADS)]
    corrupt = [write_file(f"c{k}.qgd", bytearray(sample(k))[: 3000 + 700 * k]) for k in range(THREADS)]
    expected = [snapshot(tavrik.RawReader(p)) for p in paths]

    def outcome(path):
        try:
            return snapshot(tavrik.RawReader(path))
        except RuntimeError as e:
            return str(e)
    expected_corrupt = [outcome(p) for p in corrupt]

    results = run_all(lambda k: [(outcome(paths[(k + j) % THREADS]), outcome(corrupt[(k + j) % THREADS]))
                                 for j in range(THREADS)])
    for k, rows in enumerate(results):
        for j, (good, bad) in enumerate(rows):
            assert good == expected[(k + j) % THREADS]
            assert bad == expected_corrupt[(k + j) % THREADS]


def gil_enabled() -> bool:
    """Interpreters before 3.13 have no way to run without the GIL, nor to ask."""
    return getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.mark.skipif(gil_enabled(), reason="the GIL serialises threads on this interpreter")
def test_gil_stays_disabled_under_load(write_file):
    path = write_file("g.qgd", sample(3))
    run_all(lambda k: snapshot(tavrik.RawReader(path)))
    assert not gil_enabled()


def corrupted(data: bytes, seed: int) -> bytes:
    """The file with a few random bytes changed, or cut short."""
    rng = random.Random(seed)
    out = bytearray(data)
    if seed % 3 == 0:
        return bytes(out[: rng.randrange(len(out))])
    for _ in range(rng.randint(1, 20)):
        out[rng.randrange(len(out))] = rng.randrange(256)
    return bytes(out)


def test_stress_on_samples_and_corrupt_copies(write_file):
    from conftest import ROOT
    names = ["run-gcms.qgd", "run-qtof.lcd", "run-ttfl.lcd"]
    originals = {n: (ROOT / "samples" / n).read_bytes() for n in names}
    paths = [str(ROOT / "samples" / n) for n in names]
    for k in range(24):
        name = names[k % 3]
        paths.append(write_file(f"c{k}{name[-4:]}", corrupted(originals[name], k)))

    def outcome(path):
        try:
            return snapshot(tavrik.RawReader(path))
        except RuntimeError as e:
            return str(e)
    expected = {p: outcome(p) for p in paths}
    shared = tavrik.RawReader(paths[1])
    shared_expected = snapshot(shared)

    def work(k):
        order = paths[k:] + paths[:k]
        return [(p, outcome(p)) for p in order], snapshot(shared)
    for rows, shared_result in run_all(work):
        assert shared_result == shared_expected
        assert all(result == expected[p] for p, result in rows)


def test_readers_opened_and_dropped_at_once_keep_every_value(write_file):
    """Readers whose lists span several blocks are opened and dropped by every thread at once,
    while others stay open: the blocks a dropped reader gives up are kept and taken by the next
    opens on any thread, and must never be taken while a reader still open uses them."""
    paths = [write_file(f"b{k}.qgd", gcms_bulk(1.2e6, points=900 + 100 * k)) for k in range(4)]
    expected = [snapshot(tavrik.RawReader(p)) for p in paths]
    alive = collections.deque()  # readers open across other threads' opens, dropped by any thread
    lock = threading.Lock()

    def work(k):
        for j in range(4):
            i = (k + j) % len(paths)
            reader = tavrik.RawReader(paths[i])
            with lock:
                alive.append((i, reader))
                i, reader = alive.popleft() if len(alive) > THREADS // 2 else (None, None)
            if reader is not None:
                assert snapshot(reader) == expected[i]
            del reader  # the last reference, on this thread

    run_all(work)
    for i, reader in alive:
        assert snapshot(reader) == expected[i]
