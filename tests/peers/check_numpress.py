"""Reads tavrik-convert's --numpress mzML with an independent MS-Numpress decoder (pynumpress,
on each array's bytes) and with pyteomics and pyOpenMS, and checks every value against the
reader's (as dumped by dump_raw.py) within the bounds the converter states: m/z and times within
(largest value of the array) / 2^31, and log(intensity + 1) within log(1 + log(largest + 1) /
130000); pyOpenMS keeps intensities as 32-bit floats, whose rounding is allowed for. Prints the
largest errors seen.

Then converts test-writer files of its own with tavrik-convert ($TAVRIK_CONVERT, or .venv's):
arrays at the borders of the encodings (values below 1, times below a second, m/z on either side
of 2^31 - 1, a residual of twice the largest value, intensities of 2^32 - 1), with --numpress and
without, with zlib and without. Every array stored with numpress must decode within the bounds,
and every other must be stored exactly as without --numpress; those the encodings cannot carry
within their bounds must be among the others. Last, a file whose name holds a control character,
a tab, a line break and a space: its records' identifiers must be the same text in mzML and MGF
(read by pyteomics) and in the Parquet spectra table (pyarrow).

    python check_numpress.py EXPECTED.json MZML_DIR...       (prints "N passed, M failed")
"""
import base64
import json
import math
import os
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

import numpy as np
import pyarrow.parquet as pq
import pynumpress
import pyopenms
from lxml import etree
from pyteomics import mgf, mzml

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT))
from testkit.layouts import (TtflLayout, gcms_file, gcms_mrm_scan, gcms_profile_scan, qtof_file,  # noqa: E402
                             qtof_scan, ttfl_file, ttfl_scan, tuning_result)

CONVERT = Path(os.environ.get("TAVRIK_CONVERT") or ROOT / ".venv" / "bin" / "tavrik-convert")
N = "{http://psi.hupo.org/ms/mzml}"
LINEAR = {"MS:1002746", "MS:1002312"}
SLOF = {"MS:1002748", "MS:1002314"}
passed = failed = 0
# Largest errors seen: of m/z and of times, relative to the largest value of the array; of
# intensity + 1, relative.
worst = {"m/z": 0.0, "time": 0.0, "intensity": 0.0}


def check(what: str, ok: bool) -> None:
    global passed, failed
    passed, failed = passed + ok, failed + (not ok)
    if not ok:
        print(f"FAIL {what}")


def within_linear(got, want, kind="m/z") -> bool:
    if len(want) == 0:
        return len(got) == 0
    want = np.asarray(want, dtype=float)
    top = want.max()
    error = np.abs(np.asarray(got, dtype=float) - want) if len(got) == len(want) else np.array([np.inf])
    if top > 0:
        worst[kind] = max(worst[kind], float(error.max() / top))
    # The stated bound, and the rounding of the decoder's division.
    return len(got) == len(want) and bool((error <= top * 2.0**-31 + top * 2.0**-52).all())


def within_slof(got, want) -> bool:
    if len(want) == 0:
        return len(got) == 0
    want = np.asarray(want, dtype=float)
    bound = math.log1p(math.log1p(want.max()) / 130000) + 1.2e-7
    got = np.asarray(got, dtype=float)
    error = np.abs(np.log1p(got) - np.log1p(want)) if len(got) == len(want) else np.array([np.inf])
    worst["intensity"] = max(worst["intensity"], float(np.expm1(error).max()))
    return len(got) == len(want) and bool((error <= bound).all())


def decode_array(array) -> tuple:
    """(kind, terms, values) of a <binaryDataArray>: kind is "m/z", "time" or "intensity"; numpress
    arrays decoded by pynumpress, the others as the floats they hold."""
    terms = {p.get("accession") for p in array.iter(N + "cvParam")}
    data = base64.b64decode(array.findtext(N + "binary") or "")
    if terms & {"MS:1002746", "MS:1002748", "MS:1000574"}:
        data = zlib.decompress(data)
    kind = "m/z" if "MS:1000514" in terms else "time" if "MS:1000595" in terms else "intensity"
    if terms & LINEAR:
        values = pynumpress.decode_linear(np.frombuffer(data, dtype=np.uint8))
    elif terms & SLOF:
        values = pynumpress.decode_slof(np.frombuffer(data, dtype=np.uint8))
    else:  # stored as it is: an array of one value, or one the encodings cannot carry within their bounds
        values = np.frombuffer(data, dtype="<f8" if "MS:1000523" in terms else "<f4")
    return kind, terms, values


def within(kind: str, got, want) -> bool:
    return within_slof(got, want) if kind == "intensity" else within_linear(got, want, kind)


def check_file(path: Path, records: list) -> None:
    records = [r for r in records if r["transition"] is None]  # transitions are chromatograms
    spectra = etree.parse(str(path)).getroot().iter(N + "spectrum")
    decoded = [{kind: values for kind, _, values in map(decode_array, s.iter(N + "binaryDataArray"))} for s in spectra]
    check(f"{path}: pynumpress", len(decoded) == len(records) and all(
        within_linear(d["m/z"], r["mz"]) and within_slof(d["intensity"], r["intensity"]) for d, r in zip(decoded, records)))
    with mzml.MzML(str(path), use_index=False) as reader:
        spectra = list(reader)
    check(f"{path}: pyteomics", len(spectra) == len(records) and all(
        within_linear(s["m/z array"], r["mz"]) and within_slof(s["intensity array"], r["intensity"])
        for s, r in zip(spectra, records)))
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(str(path), experiment)
    peaks = [s.get_peaks() for s in experiment]
    check(f"{path}: pyOpenMS", len(peaks) == len(records) and all(
        within_linear(mz, r["mz"]) and within_slof(i, r["intensity"]) for (mz, i), r in zip(peaks, records)))


# Files at the borders of the encodings, and the arrays in them that must be stored as without
# --numpress: {name: (bytes, {(spectrum id, kind)})}. Every other array but those of one value
# must be stored with numpress, empty ones and zeros too.
def border_files() -> dict:
    # QTOF m/z are the raw values / 1e12; the times are milliseconds.
    small = qtof_file([(qtof_scan([10**k for k in range(7)], [1] * 7), 1),  # m/z 1e-12 to 1e-6
                       (qtof_scan([5 * 10**11, 6 * 10**11, 7 * 10**11], [0, 2**32 - 1, 5]), 1),
                       (qtof_scan([8 * 10**11, 9 * 10**11], [0, 0]), 1), (qtof_scan([], [], declared=0), 1)],
                      [1, 2, 4, 4])  # times of 0.001 to 0.004 s in the chromatograms
    # Times of 4, 0 and 4 s: a residual of twice the largest value.
    backwards = gcms_file([gcms_profile_scan(t, [(1000, 3), (1010, 5)]) for t in (4000, 0, 4000)])
    # A calibration of slope 0.001: m/z = (1000 channel + 1)^2, 46001^2 = 2116092001 just below
    # 2^31 - 1 and 47001^2 above it.
    calibration = tuning_result([1, 4, 9], [0, 0.001, 0.002])
    huge = ttfl_file(TtflLayout(scans=[ttfl_scan([(44, [1, 2, 3])]), ttfl_scan([(46, [4, 5])])], times_ms=[100, 200],
                                tuning={"Tuning Result 00": calibration}))
    return {"small.lcd": (small, set()), "huge.lcd": (huge, {("source=huge start=2 end=2", "m/z")}),
            "backwards.qgd": (backwards, {("TIC", "time"), ("BPC", "time")})}


def convert(*args) -> None:
    run = subprocess.run([str(CONVERT), "--quiet", *map(str, args)], capture_output=True, text=True)
    check(f"tavrik-convert {' '.join(map(str, args))}: {run.stderr}", run.returncode == 0)


def check_borders(work: Path) -> None:
    (work / "in").mkdir()
    files = border_files()
    for name, (data, _) in files.items():
        (work / "in" / name).write_bytes(data)
    inputs = sorted((work / "in").iterdir())
    for variant, options in (("zlib", []), ("no-zlib", ["--no-zlib"])):
        convert(*options, "-o", work / f"plain-{variant}", *inputs)
        convert(*options, "--numpress", "-o", work / f"numpress-{variant}", *inputs)
        for name, (_, stored_plain) in files.items():
            stem = Path(name).stem
            packed_path = work / f"numpress-{variant}" / f"{stem}.mzML"
            plain_path = work / f"plain-{variant}" / f"{stem}.mzML"
            packed = list(etree.parse(str(packed_path)).getroot().iter(N + "binaryDataArray"))
            plain = list(etree.parse(str(plain_path)).getroot().iter(N + "binaryDataArray"))
            check(f"{packed_path}: as many arrays as without --numpress", len(packed) == len(plain))
            for a, b in zip(packed, plain):
                kind, terms, got = decode_array(a)
                where = (a.getparent().getparent().get("id"), kind)
                want = decode_array(b)[2]
                if terms & (LINEAR | SLOF):
                    check(f"{packed_path}: {where} within the bound", where not in stored_plain and within(kind, got, want))
                else:
                    check(f"{packed_path}: {where} stored as without --numpress",
                          (where in stored_plain or len(want) == 1) and etree.tostring(a) == etree.tostring(b))
            # Every decoder, on every spectrum, against the values stored without numpress.
            records = [{"transition": None, "mz": list(s["m/z array"]), "intensity": list(s["intensity array"])}
                       for s in mzml.MzML(str(plain_path), use_index=False)]
            check_file(packed_path, records)


def check_identifiers(work: Path) -> None:
    name = "a\x01\tb c\nä\x7f"
    source = work / "in" / f"{name}.qgd"
    source.parent.mkdir(exist_ok=True)
    source.write_bytes(gcms_file([gcms_profile_scan(1000, [(1000, 3)]), gcms_mrm_scan(2000, [(1000, 505, 9)])]))
    # The one rule: white space inside a value becomes "_", what XML cannot carry U+FFFD, the rest stays.
    wanted = [f"source=a\ufffd_b_c_ä\x7f start={k} end={k}" for k in (1, 2)]
    convert("--srm-as-spectra", "-o", work / "ids", source)
    convert("--format", "mgf", "-o", work / "ids", source)
    convert("--format", "parquet", "-o", work / "ids", source)
    with mzml.MzML(str(work / "ids" / f"{name}.mzML"), use_index=False) as reader:
        in_mzml = [s["id"] for s in reader]
    with mgf.MGF(str(work / "ids" / f"{name}.mgf"), encoding="utf-8") as reader:
        in_mgf = [s["params"]["title"] for s in reader]
    in_table = pq.read_table(work / "ids" / f"{name}.spectra.parquet").column("native_id").to_pylist()
    check(f"identifiers: mzML {in_mzml!r}, MGF {in_mgf!r}, Parquet {in_table!r}",
          in_mzml == in_table == wanted and in_mgf == wanted[1:])


def main() -> int:
    expected = json.loads(Path(sys.argv[1]).read_text())
    for folder in sys.argv[2:]:
        for name, records in expected.items():
            path = Path(folder) / (Path(name).stem + ".mzML")
            try:
                check_file(path, records)
            except Exception as e:  # a reader that gives up fails the file
                check(f"{path}: {e!r}", False)
    with tempfile.TemporaryDirectory() as work:
        for part in (check_borders, check_identifiers):
            try:
                part(Path(work))
            except Exception as e:
                check(f"{part.__name__}: {e!r}", False)
    print(f"numpress: largest error seen: m/z {worst['m/z']:.3g} and times {worst['time']:.3g} of the array's "
          f"largest value, intensity + 1 {worst['intensity']:.3g} relative")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
