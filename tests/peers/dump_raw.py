"""Writes the peers check's inputs into DIR (the bundled samples and a few test-writer files) and
prints, as JSON, what the reader returns for each: {file name: [{ms_level, rt, mz, intensity,
transition}]}, where `transition` is the precursor m/z of an MRM transition record (else null),
as the reader's raw_dump tool ($TAVRIK_TOOLS) gives it. Runs under .venv (with the tavrik
module); Python's float repr makes the values round-trip exactly.

    python tests/peers/dump_raw.py DIR
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
from testkit.layouts import (TtflLayout, gcms_file, gcms_mrm_scan, qtof_file, qtof_scan, ttfl_file,  # noqa: E402
                             ttfl_scan)

# An MS2 scan before any MS1, and an empty one.
EDGES = qtof_file([(qtof_scan([2 * 10**12 + 1], [5], width=2), 2), (qtof_scan([10**12, 3 * 10**12 + 7], [1, 9]), 1),
                   (qtof_scan([], [], declared=0), 2)], [1000, 2000, 2500])
# MRM only: a pair repeated in a scan, pairs interleaved, a scan earlier than the one before.
TRANSITIONS = gcms_file([gcms_mrm_scan(3000, [(1000, 505, 1), (1200, 601, 2), (1000, 505, 3)]),
                         gcms_mrm_scan(1000, [(1200, 601, 4), (1000, 700, 5)]), gcms_mrm_scan(3000, [(1000, 505, 6)])])
UNCALIBRATED = ttfl_file(TtflLayout(scans=[ttfl_scan([(10, [5, 0, 7])]), ttfl_scan([(3, [1])])], times_ms=[100, 200]))

folder = Path(sys.argv[1])
folder.mkdir(parents=True, exist_ok=True)
for sample in sorted((ROOT / "samples").iterdir()):
    shutil.copy(sample, folder)
(folder / "edges.lcd").write_bytes(EDGES)
(folder / "uncalibrated.lcd").write_bytes(UNCALIBRATED)
(folder / "transitions.qgd").write_bytes(TRANSITIONS)
tools = Path(os.environ.get("TAVRIK_TOOLS", ROOT / "build" / "dev" / "tools"))
dump = {}
for path in sorted(folder.iterdir()):
    reader = tavrik.RawReader(str(path))
    spectra = (reader.read_spectrum(i) for i in range(reader.scan_count))
    lines = subprocess.run([str(tools / "raw_dump"), str(path)], capture_output=True, check=True, text=True).stdout
    records = [json.loads(line) for line in lines.splitlines()[2:]]
    dump[path.name] = [dict(ms_level=s.ms_level, rt=s.retention_time_sec, mz=s.mz, intensity=s.intensity,
                            transition=r["precursor"]["selected_mz"] if r["acquisition_kind"] == 1 else None)
                       for s, r in zip(spectra, records, strict=True)]
print(json.dumps(dump))
