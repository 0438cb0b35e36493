"""The conversion workflow's check, run by scripts/test-workflow.sh with the tavrik interpreter.

    check_workflow.py make DIR                   writes 50 raw files (three of them unreadable) and a
                                                 text file
    check_workflow.py make-few DIR SHEET         writes five raw files (one unreadable, one named
                                                 with braces) and a sample sheet of them that also
                                                 names a file that is not there
    check_workflow.py check DIR OUT [KIND SHEET] checks OUT/summary.tsv and every converted file

KIND is what the run wrote: mzML (the default), gzip (options="--gzip --metadata") or parquet.
The summary's rows must be those of the raw files (of DIR, or of SHEET) in their order. Each row of
a converted file is compared with the reader (spectrum counts, retention times, total ion
current) and with the files it names (size, SHA-1), which must be the ones the run wrote, and
every mzML document is read back with xml.etree, base64 and zlib alone (the spectrum count, the
values of a few spectra); an unreadable file has no output and its row carries the reader's
message, and a file that is not there or whose name has braces has a row and no output.
"""
import base64
import csv
import gzip
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


def make_few(directory: Path, sheet: Path) -> None:
    directory.mkdir(parents=True)
    files = {"gc-00.qgd": gcms_sample(0), "qtof-00.lcd": qtof_sample(0), "ttfl-00.lcd": ttfl_sample(0),
             "bad-empty.qgd": b"", "r{1}.qgd": gcms_sample(1)}
    for name, data in files.items():
        (directory / name).write_bytes(data)
    sheet.write_text("file\tnote\n" + "".join(f"{name}\t\n" for name in [*files, "gone.qgd"]))


def check_file(row: dict, column: str, path: Path) -> None:
    """The row names this file, with its size and SHA-1."""
    data = path.read_bytes()
    assert (row[column], int(row[column + "_bytes"]), row[column + "_sha1"]) == \
        (path.name, len(data), hashlib.sha1(data).hexdigest()), row


def check_document(reader, name: str, data: bytes, row: dict) -> None:
    """The row's figures against the reader, and the mzML document read back."""
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


def check_tables(reader, spectra: Path, points: Path, row: dict) -> None:
    """Of the Parquet tables, the row gives the records written (every one of the reader's) and no
    figure it cannot read."""
    assert all(p.read_bytes()[:4] == p.read_bytes()[-4:] == b"PAR1" for p in (spectra, points))
    assert int(row["scans"]) == reader.scan_count, row
    assert [row[c] for c in ("ms1", "ms2", "rt_first_sec", "rt_last_sec", "tic")] == [""] * 5, row


def check(directory: Path, out: Path, kind: str = "mzML", sheet: Path | None = None) -> None:
    with open(out / "summary.tsv", newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    if sheet:
        with open(sheet, newline="") as f:
            raws = [directory / row["file"] for row in csv.DictReader(f, delimiter="\t")]
    else:
        raws = sorted(p for p in directory.iterdir() if p.suffix.lower() in (".qgd", ".lcd"))
    assert [row["file"] for row in rows] == [p.name for p in raws]
    suffixes = {"mzML": [".mzML"], "gzip": [".mzML.gz", ".metadata.json"],
                "parquet": [".spectra.parquet", ".points.parquet"]}[kind]
    failed, unconverted = [], []
    for raw, row in zip(raws, rows):
        outputs = [out / (raw.stem + suffix) for suffix in suffixes]
        if not raw.exists() or "{" in raw.name:
            assert row["status"] == ("missing" if not raw.exists() else "skipped") and row["message"], row
            assert not any(p.exists() for p in outputs) and not row["output"], row
            unconverted.append(raw.name)
            continue
        try:
            reader = tavrik.RawReader(str(raw))
        except RuntimeError as e:
            assert (row["status"], row["message"], row["scans"], row["output"]) == ("failed", str(e), "", ""), row
            assert not any(p.exists() for p in outputs)
            failed.append(raw.name)
            continue
        assert row["status"] == "ok", row
        for column, path in zip(["output", "points_table" if kind == "parquet" else "metadata"], outputs):
            check_file(row, column, path)
        if kind == "parquet":
            check_tables(reader, *outputs, row)
        else:
            data = outputs[0].read_bytes()
            check_document(reader, raw.name, gzip.decompress(data) if kind == "gzip" else data, row)
        assert row["message"].startswith(WARNINGS.get(raw.name, "")) and bool(row["message"]) == (raw.name in WARNINGS), row
        assert row["acquired"] == ("" if raw.name in UNDATED else ACQUIRED.isoformat(timespec="milliseconds") + "Z"), row
    assert failed == [p.name for p in raws if p.name.startswith("bad-")]
    if kind == "mzML" and not sheet:  # the run wrote nothing else
        assert sorted(p.name for p in out.glob("*.*")) == sorted([p.stem + ".mzML" for p in raws
                                                                   if p.name not in failed] + ["summary.tsv"])
    print(f"workflow: {len(raws) - len(failed) - len(unconverted)} files converted ({kind}) and read back; "
          f"reported: unreadable {len(failed)}, without a job {len(unconverted)}")


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(Path(sys.argv[2]))
    elif sys.argv[1] == "make-few":
        make_few(Path(sys.argv[2]), Path(sys.argv[3]))
    else:
        check(Path(sys.argv[2]), Path(sys.argv[3]), *sys.argv[4:5], *map(Path, sys.argv[5:6]))
