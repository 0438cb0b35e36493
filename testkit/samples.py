"""The bundled sample files: small runs that look like real ones, made the same way every time.

    python -m testkit.samples DIR      writes run-gcms.qgd, run-qtof.lcd and run-ttfl.lcd

GC-MS: profile scans in which a handful of compounds elute (their fragment ions rise and fall
over retention time above a noisy baseline), then an MRM section. QTOF: an MS1 survey scan
followed by data-dependent MS2 scans of its strongest peaks. TTFL: run-length coded profile
scans over detector channels, with a tuning result that calibrates them to m/z.
"""

from __future__ import annotations

import datetime as dt
import math
import random
import sys
from pathlib import Path

from .cfb import Storage, Stream, write
from .layouts import (gcms_index, gcms_mrm_scan, gcms_profile_scan, qtof_index,
                      qtof_retention_times, qtof_scan, rle_words, ttfl_index, tuning_result)

ACQUIRED = dt.datetime(2024, 3, 14, 9, 26, 53, 589000)

# Compounds: retention time (s), peak width (s), and fragment ions (m/z, relative abundance).
COMPOUNDS = [
    (95.0, 2.5, [(43.0, 100), (58.0, 45), (71.0, 20)]),
    (128.0, 3.0, [(91.1, 100), (92.1, 60), (65.0, 15)]),
    (151.5, 2.0, [(77.0, 40), (105.0, 100), (182.1, 55)]),
    (176.0, 4.0, [(57.1, 100), (85.1, 70), (113.1, 30), (226.3, 5)]),
]


def _gaussian(x: float, centre: float, width: float) -> float:
    return math.exp(-0.5 * ((x - centre) / width) ** 2)


def gcms_sample(seed: int = 1) -> bytes:
    rng = random.Random(seed)
    scans = []
    for k in range(320):
        rt = 60.0 + 0.45 * k
        points: dict[int, int] = {}
        for _ in range(rng.randint(60, 90)):  # baseline noise
            points[rng.randint(400, 3000)] = rng.randint(50, 400)
        for centre, width, ions in COMPOUNDS:
            height = 60000 * _gaussian(rt, centre, width)
            if height < 30:
                continue
            for mz, abundance in ions:
                for offset, shape in ((-1, 0.25), (0, 1.0), (1, 0.3)):  # a profile peak 0.3 wide
                    raw = round(mz * 10) + offset
                    value = height * abundance / 100 * shape * rng.uniform(0.95, 1.05)
                    points[raw] = min(65535, points.get(raw, 0) + int(value))
        scans.append(gcms_profile_scan(round(rt * 1000), sorted(points.items())))
    transitions = [(1311, 911, 0), (1311, 651, 0), (1821, 1051, 0), (2263, 571, 0)]
    for k in range(80):
        rt = 205.0 + 0.5 * k
        level = 5000 * _gaussian(rt, 220.0, 3.0)
        scans.append(gcms_mrm_scan(round(rt * 1000), [(p, q, int(level * (1 + i) + rng.randint(0, 200)))
                                                      for i, (p, q, _) in enumerate(transitions)],
                                   width=4, event_id=2))
    offsets, at = [], 0
    for s in scans:
        offsets.append(at)
        at += len(s)
    root = Storage("Root Entry", [Storage("GCMS Raw Data", [
        Stream("Spectrum Index", gcms_index(offsets, "B"), created=ACQUIRED),
        Stream("MS Raw Data", b"".join(scans), created=ACQUIRED),
    ], created=ACQUIRED)])
    return bytes(write(root, version=3).data)


def qtof_sample(seed: int = 2) -> bytes:
    rng = random.Random(seed)
    peptides = [rng.uniform(400, 1200) for _ in range(25)]
    data, records, times = b"", [], []
    k = 0
    while len(records) < 240:
        rt = 300.0 + 1.2 * k
        k += 1
        survey = {}
        for _ in range(250):
            survey[rng.uniform(150, 1500)] = rng.randint(50, 2000)
        for i, mz in enumerate(peptides):
            height = 2_000_000 * _gaussian(rt, 310 + 12 * i, 8.0)
            for isotope in range(3):
                survey[mz + isotope * 1.00336] = int(height / (1 + isotope) + rng.randint(0, 500))
        mzs = sorted(survey)
        scan = qtof_scan([round(m * 1e12) for m in mzs], [survey[m] for m in mzs], width=4,
                         header_value=len(records))
        records.append((len(data), 0, 1))
        data += scan
        times.append(round(rt * 1000))
        for precursor in sorted(survey, key=survey.get, reverse=True)[:3]:
            fragments = sorted(rng.uniform(100, precursor) for _ in range(rng.randint(20, 60)))
            scan = qtof_scan([round(m * 1e12) for m in fragments], [rng.randint(10, 60000) for _ in fragments],
                             width=2, header_value=len(records))
            records.append((len(data), 0, 2))
            data += scan
            times.append(round((rt + 0.2) * 1000))
    root = Storage("Root Entry", [Storage("QTFL RawData", [
        Stream("Centroid Index", qtof_index(records), created=ACQUIRED),
        Stream("Centroid Data", data, created=ACQUIRED),
        Stream("Retention Time", qtof_retention_times(times), created=ACQUIRED),
    ], created=ACQUIRED)])
    return bytes(write(root, version=4).data)


TTFL_SLOPE, TTFL_INTERCEPT = 980.0, 120.0


def ttfl_channel(mz: float) -> float:
    return TTFL_SLOPE * math.sqrt(mz) + TTFL_INTERCEPT


def ttfl_sample(seed: int = 3) -> bytes:
    rng = random.Random(seed)
    ions = [rng.uniform(100, 1000) for _ in range(30)]
    scans, index, at = b"", [], 0
    times = []
    for t in range(60):
        rt = 120.0 + 2.0 * t
        times.append(round(rt * 1000))
        for subset in range(4):  # four subsets per retention time
            peaks = sorted(set(int(ttfl_channel(mz)) for mz in rng.sample(ions, 12)))
            runs, last = [], 0
            for channel in peaks:
                start = channel - 4
                if start < last:
                    continue
                height = rng.randint(200, 40000) * _gaussian(rt, 160 + subset * 10, 30)
                values = [int(height * _gaussian(c, channel, 1.5)) for c in range(start, start + 9)]
                runs.append((start - last, values))
                last = start + 9
            scan = b"\x00" * 64 + b"".join(w.to_bytes(2, "little") for w in rle_words(runs))
            index.append((at, t))
            scans += scan
            at += len(scan)
    calibrants = [118.0863, 322.0481, 622.0290, 922.0098, 1221.9906]
    tuning = tuning_result(calibrants, [ttfl_channel(m) + rng.uniform(-0.01, 0.01) for m in calibrants])
    times_bytes = b"".join(t.to_bytes(4, "little") for t in times)
    root = Storage("Root Entry", [
        Storage("TTFL Raw Data", [Stream("Data Index", ttfl_index(index), created=ACQUIRED),
                                  Stream("MS Raw Data", scans, created=ACQUIRED),
                                  Stream("Retention Time", times_bytes, created=ACQUIRED)], created=ACQUIRED),
        Storage("TTFL Tuning", [Stream("Tuning Result 00", tuning, created=ACQUIRED)], created=ACQUIRED),
    ])
    return bytes(write(root, version=3).data)


SAMPLES = {"run-gcms.qgd": gcms_sample, "run-qtof.lcd": qtof_sample, "run-ttfl.lcd": ttfl_sample}


def main(argv: list[str]) -> int:
    out = Path(argv[1] if len(argv) > 1 else "samples")
    out.mkdir(parents=True, exist_ok=True)
    for name, make in SAMPLES.items():
        (out / name).write_bytes(make())
        print(f"wrote {out / name}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
