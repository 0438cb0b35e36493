"""The conversion workflow's check, run by scripts/test-workflow.sh with the tavrik interpreter.

    check_workflow.py make DIR        writes 50 raw files (three of them unreadable) and a text file
    check_workflow.py check DIR OUT   checks OUT/summary.tsv and every converted file

Each summary row is compared with the reader (spectrum counts, retention times, total ion current)
and with its output (size, SHA-1), and every mzML is read back with xml.etree, base64 and zlib
alone (the spectrum count, the values of a few spectra); an unreadable file has no output and
its row carries the reader's message.
"""
import base64
import csv
import hashlib
import math
import struct
import sys
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import tavrik

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from testkit.bulk import gcms_bulk
from testkit.layouts import TtflLayout, gcms_file, gcms_header, gcms_profile_scan, ttfl_file, ttfl_scan
from testkit.samples import ACQUIRED, gcms_sample, qtof_sample, ttfl_sample

N = "{http://psi.hupo.org/ms/mzml}"
PROFILE = gcms_profile_scan(1500, [(1000, 3), (1010, 65535)])
WARNINGS = {"nocal.lcd": "warning: no usable mass calibration", "broken.qgd": "warning: 1 of 3 index entries"}
UNDATED = {"bulk.qgd", *WARNINGS}  # written without the streams' creation times


def make(directory: Path) -> None:
    directory.mkdir(parents=True)
    files = {f"gc-{k:02}.qgd": gcms_sample(k) for k in range(15)}
    files |= {f"qtof-{k:02}.lcd": qtof_sample(k) for k in range(14)} | {"QTOF-14.LCD": qtof_sample(14)}
    files |= {f"ttfl-{k:02}.lcd": ttfl_sample(k) for k in range(14)}
    files["bulk.qgd"] = gcms_bulk(1.5e6)  # over 1 MB: Snakemake reconverts it when touched, unchanged
    files["nocal.lcd"] = ttfl_file(TtflLayout(scans=[ttfl_scan([(10, [5, 0, 7])])] * 2, times_ms=[100, 200]))
    files["broken.qgd"] = gcms_file([PROFILE, gcms_header(2, 1, 0, 0, 0) + b"\0" * 5, PROFILE])
    files |= {"bad-garbage.qgd": bytes(range(256)) * 40, "bad-truncated.lcd": files["qtof-00.lcd"][:70000],
              "bad-empty.qgd": b"", "notes.txt": b"not a raw file\n"}
    for name, data in files.items():
        (directory / name).write_bytes(data)


def values(spectrum, accession: str, fmt: str) -> list[float]:
    array = spectrum.find(f".//{N}binaryDataArray/{N}cvParam[@accession='{accession}']/..")
    raw = zlib.decompress(base64.b64decode(array.findtext(N + "binary") or ""))
    return list(struct.unpack(f"<{len(raw) // struct.calcsize(fmt)}{fmt}", raw))


def check_converted(reader, name: str, out: Path, row: dict) -> None:
    data = out.read_bytes()
    assert (int(row["output_bytes"]), row["output_sha1"]) == (len(data), hashlib.sha1(data).hexdigest())
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    levels, times = [s.ms_level for s in spectra], [s.retention_time_sec for s in spectra]
    assert [int(row[c]) for c in ("scans", "ms1", "ms2")] == [len(spectra), levels.count(1), levels.count(2)]
    assert (float(row["rt_first_sec"]), float(row["rt_last_sec"])) == (min(times), max(times))
    traced = [s for s in spectra if s.ms_level == 1] or spectra
    assert math.isclose(sum(sum(s.intensity) for s in traced), float(row["tic"]), rel_tol=1e-9)
    # A GC-MS file's MS2 records are MRM transitions, written as chromatograms.
    kept = [s for s in spectra if not (name.lower().endswith(".qgd") and s.ms_level == 2)]
    written = ET.fromstring(data).findall(f"{N}mzML/{N}run/{N}spectrumList/{N}spectrum")
    assert len(written) == len(kept)
    for i in {0, len(kept) // 2, len(kept) - 1} if kept else ():
        assert values(written[i], "MS:1000514", "d") == kept[i].mz
        assert values(written[i], "MS:1000515", "f") == kept[i].intensity
    assert row["message"].startswith(WARNINGS.get(name, "")) and bool(row["message"]) == (name in WARNINGS), row
    assert row["acquired"] == ("" if name in UNDATED else ACQUIRED.isoformat(timespec="milliseconds") + "Z"), row


def check(directory: Path, out: Path) -> None:
    with open(out / "summary.tsv", newline="") as f:
        rows = {row["file"]: row for row in csv.DictReader(f, delimiter="\t")}
    raws = sorted(p for p in directory.iterdir() if p.suffix.lower() in (".qgd", ".lcd"))
    assert sorted(rows) == [p.name for p in raws]
    failed = []
    for raw in raws:
        row, converted = rows[raw.name], out / (raw.stem + ".mzML")
        try:
            reader = tavrik.RawReader(str(raw))
        except RuntimeError as e:
            assert (row["status"], row["message"], row["scans"]) == ("failed", str(e), ""), row
            assert not converted.exists()
            failed.append(raw.name)
            continue
        assert (row["status"], row["output"]) == ("ok", converted.name), row
        check_converted(reader, raw.name, converted, row)
    assert sorted(failed) == ["bad-empty.qgd", "bad-garbage.qgd", "bad-truncated.lcd"]
    assert sorted(p.name for p in out.glob("*.*")) == sorted([p.stem + ".mzML" for p in raws
                                                               if p.name not in failed] + ["summary.tsv"])
    print(f"workflow: {len(raws) - len(failed)} files converted and read back, {len(failed)} failures reported")


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(Path(sys.argv[2]))
    else:
        check(Path(sys.argv[2]), Path(sys.argv[3]))
