"""Writes the peers check's inputs into DIR (the bundled samples and a few test-writer files) and
prints, as JSON, what the reader returns for each: {file name: [{ms_level, rt, mz, intensity,
transition, native_id, centroid, precursor}]}, where `transition` is the precursor m/z of an
MRM transition record (else null) and `precursor` the record's precursor ({selected_mz,
isolation_target_mz, spectrum_ref}, or null), as the reader's raw_dump tool ($TAVRIK_TOOLS)
gives them. Runs under .venv (with the tavrik module); Python's float repr makes the values
round-trip exactly. With --all, DIR also gets a file with an index entry that cannot be
decoded, a file of no scans and one of 1.2 M points, which only the tables' check reads.

    python tests/peers/dump_raw.py [--all] DIR
"""
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import tavrik

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))
from testkit.layouts import (TtflLayout, gcms_file, gcms_header, gcms_mrm_scan, gcms_profile_scan,  # noqa: E402
                             qtof_file, qtof_scan, ttfl_file, ttfl_scan)

# An MS2 scan before any MS1, and an empty one.
EDGES = qtof_file([(qtof_scan([2 * 10**12 + 1], [5], width=2), 2), (qtof_scan([10**12, 3 * 10**12 + 7], [1, 9]), 1),
                   (qtof_scan([], [], declared=0), 2)], [1000, 2000, 2500])
# MRM only: a pair repeated in a scan, pairs interleaved, a scan earlier than the one before.
TRANSITIONS = gcms_file([gcms_mrm_scan(3000, [(1000, 505, 1), (1200, 601, 2), (1000, 505, 3)]),
                         gcms_mrm_scan(1000, [(1200, 601, 4), (1000, 700, 5)]), gcms_mrm_scan(3000, [(1000, 505, 6)])])
UNCALIBRATED = ttfl_file(TtflLayout(scans=[ttfl_scan([(10, [5, 0, 7])]), ttfl_scan([(3, [1])])], times_ms=[100, 200]))

PROFILE = gcms_profile_scan(1500, [(1000, 3), (1010, 65535)])
BROKEN = gcms_file([PROFILE, gcms_header(2, 1, 0, 0, 0) + b"\0" * 5, PROFILE])  # the second entry cut short
EMPTY = gcms_file([])
# 1.2 M points in spectra of unequal lengths: two row groups of the points table, and pages.
LONG = gcms_file([gcms_profile_scan(1000 + 50 * k, [(100 + 25 * j + k % 5, (31 * j + 17 * k) % 65536)
                                                    for j in range(2000 + k % 7)]) for k in range(600)])

everything = sys.argv[1] == "--all"
folder = Path(sys.argv[-1])
folder.mkdir(parents=True, exist_ok=True)
for sample in sorted((ROOT / "samples").iterdir()):
    shutil.copy(sample, folder)
(folder / "edges.lcd").write_bytes(EDGES)
(folder / "uncalibrated.lcd").write_bytes(UNCALIBRATED)
(folder / "transitions.qgd").write_bytes(TRANSITIONS)
if everything:
    (folder / "broken.qgd").write_bytes(BROKEN)
    (folder / "empty.qgd").write_bytes(EMPTY)
    (folder / "long.qgd").write_bytes(LONG)
tools = Path(os.environ.get("TAVRIK_TOOLS", ROOT / "build" / "dev" / "tools"))
dump = {}
for path in sorted(folder.iterdir()):
    reader = tavrik.RawReader(str(path))
    spectra = (reader.read_spectrum(i) for i in range(reader.scan_count))
    lines = subprocess.run([str(tools / "raw_dump"), str(path)], capture_output=True, check=True, text=True).stdout
    records = [json.loads(line) for line in lines.splitlines()[2:]]
    dump[path.name] = [dict(ms_level=s.ms_level, rt=s.retention_time_sec, mz=s.mz, intensity=s.intensity,
                            transition=r["precursor"]["selected_mz"] if r["acquisition_kind"] == 1 else None,
                            native_id=r["native_id"], centroid=r["representation"] == 0, precursor=r["precursor"])
                       for s, r in zip(spectra, records, strict=True)]
print(json.dumps(dump))
