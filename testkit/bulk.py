"""Large raw files for benchmarks, shaped like real runs: tens of thousands of scans at realistic
peak densities. Scan payloads are drawn from a few dozen random templates so that writing a
gigabyte takes seconds; headers (retention times, levels) differ from scan to scan.

    gcms_bulk(500e6)   profile scans of about 2000 points (8 KB each)
    qtof_bulk(500e6)   cycles of one MS1 scan (2000 peaks) and five MS2 scans (300 peaks)
    ttfl_bulk(1e9)     run-length coded scans of 8000 points in runs of 16 channels
"""

from __future__ import annotations

import random
import struct

from .cfb import Storage, Stream, write
from .layouts import gcms_header, gcms_index, qtof_index, qtof_retention_times, qtof_scan, ttfl_index, tuning_result

TEMPLATES = 48


def _payloads(count: int, make) -> list[bytes]:
    rng = random.Random(count)
    return [make(rng) for _ in range(TEMPLATES)]


def gcms_bulk(target_bytes: float, points: int = 2000) -> bytes:
    def make(rng):
        mzs = sorted(rng.sample(range(300, 6000), points))
        return b"".join(struct.pack("<HH", m, rng.randrange(65536)) for m in mzs)
    payloads = _payloads(points, make)
    scan_bytes = 32 + 4 * points
    count = int(target_bytes // scan_bytes)
    parts = [gcms_header(60_000 + 300 * k, 2, points, 0, 0) + payloads[k % TEMPLATES] for k in range(count)]
    offsets = [scan_bytes * k for k in range(count)]
    root = Storage("Root Entry", [Storage("GCMS Raw Data", [
        Stream("Spectrum Index", gcms_index(offsets, "A")), Stream("MS Raw Data", b"".join(parts))])])
    return write(root, version=4).data


def qtof_bulk(target_bytes: float, ms1_peaks: int = 2000, ms2_peaks: int = 300, ms2_per_cycle: int = 5) -> bytes:
    def scan(rng, peaks, width):
        mzs = sorted(rng.uniform(100, 2000) for _ in range(peaks))
        return qtof_scan([round(m * 1e12) for m in mzs], [rng.randrange(256 ** width) for _ in mzs], width=width)
    ms1 = _payloads(ms1_peaks, lambda rng: scan(rng, ms1_peaks, 4))
    ms2 = _payloads(ms2_peaks, lambda rng: scan(rng, ms2_peaks, 2))
    cycle_bytes = len(ms1[0]) + ms2_per_cycle * len(ms2[0])
    cycles = int(target_bytes // cycle_bytes)
    parts, records, times, at = [], [], [], 0
    for c in range(cycles):
        for k in range(1 + ms2_per_cycle):
            s = ms1[c % TEMPLATES] if k == 0 else ms2[(c + k) % TEMPLATES]
            records.append((at, 0, 1 if k == 0 else 2))
            times.append(120_000 + 250 * len(times))
            parts.append(s)
            at += len(s)
    root = Storage("Root Entry", [Storage("QTFL RawData", [
        Stream("Centroid Index", qtof_index(records)), Stream("Centroid Data", b"".join(parts)),
        Stream("Retention Time", qtof_retention_times(times))])])
    return write(root, version=4).data


def ttfl_bulk(target_bytes: float, points: int = 8000, run: int = 16) -> bytes:
    def make(rng):
        words = []
        for _ in range(points // run):
            words += [0x8000 + run, rng.randrange(1, 40)] + [rng.randrange(65536) for _ in range(run)]
        return b"\x00" * 64 + struct.pack(f"<{len(words) + 1}H", *words, 0x8000)
    payloads = _payloads(points, make)
    scan_bytes = len(payloads[0])
    count = int(target_bytes // scan_bytes)
    records = [(scan_bytes * k, k // 4) for k in range(count)]
    times = struct.pack(f"<{(count + 3) // 4}I", *(100_000 + 400 * t for t in range((count + 3) // 4)))
    calibrants = [118.0863, 322.0481, 622.0290, 922.0098, 1221.9906]
    tuning = tuning_result(calibrants, [600.0 * m ** 0.5 + 50.0 for m in calibrants])
    root = Storage("Root Entry", [
        Storage("TTFL Raw Data", [Stream("Data Index", ttfl_index(records)),
                                  Stream("MS Raw Data", b"".join(payloads[k % TEMPLATES] for k in range(count))),
                                  Stream("Retention Time", times)]),
        Storage("TTFL Tuning", [Stream("Tuning Result 00", tuning)]),
    ])
    return write(root, version=4).data
