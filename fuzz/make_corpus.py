"""Writes the seed corpus of every fuzz target, made by the test-file writer.

    python fuzz/make_corpus.py DIR      writes DIR/<target>/<seed>
"""
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from testkit import samples  # noqa: E402
from testkit.layouts import (TtflLayout, gcms_file, gcms_index, gcms_mrm_scan,  # noqa: E402
                             gcms_profile_scan, qtof_file, qtof_index, qtof_retention_times,
                             qtof_scan, ttfl_file, ttfl_index, ttfl_scan, tuning_result)


def seeds() -> dict[str, list[bytes]]:
    profile = gcms_profile_scan(1500, [(1234, 65535), (500, 3), (501, 9)])
    mrm = [gcms_mrm_scan(2000, [(1000, 500, 60000), (1001, 501, 5)], width=w) for w in (2, 3, 4)]
    qscans = [qtof_scan([500123456789012, 10**12], [7, 9], width=w, header_value=3) for w in (1, 2, 4)]
    tscans = [ttfl_scan([(10, [5, 0, 7]), (2, [9])]), ttfl_scan([(0, [1] * 64)], filler=[0x8002, 1]),
              b"\x00" * 64, ttfl_scan([(65535, [65535] * 3)] * 5)]
    tuning = tuning_result([100, 400, 900, 1600], [25.0, 45.0, 65.0, 85.0])
    whole = [gcms_file([profile] + mrm), gcms_file([profile, mrm[0]], variant="B", version=4),
             qtof_file([(s, k % 3) for k, s in enumerate(qscans)], [1000, 2000]),
             ttfl_file(TtflLayout(scans=tscans, times_ms=[1, 2], tuning={"Tuning Result 00": tuning}))]
    return {
        "gcms_index": [gcms_index([0, 100, 50]), gcms_index([0, 2**40], "B"), b""],
        "gcms_scan": [profile, *mrm],
        "qtof_index": [qtof_index([(0, 1, 1), (100, 2, 2)]), qtof_retention_times([1, 2, 3])],
        "qtof_scan": qscans,
        "ttfl_index": [ttfl_index([(100, 0), (0, 1), (100, 2), (50, 3)])],
        "ttfl_scan": tscans,
        "calibration": [tuning, tuning[:3100]],
        "container": whole[:2],
        "open_file": [bytes([0]) + whole[0], bytes([0]) + whole[1], bytes([1]) + whole[2], bytes([1]) + whole[3],
                      bytes([0]) + samples.gcms_sample()[:60000]],
    }


def main() -> int:
    out = Path(sys.argv[1])
    for target, items in seeds().items():
        (out / target).mkdir(parents=True, exist_ok=True)
        for k, data in enumerate(items):
            (out / target / f"seed-{k}").write_bytes(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
