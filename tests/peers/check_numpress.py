"""Reads tavrik-convert's --numpress mzML with an independent MS-Numpress decoder (pynumpress,
on each array's bytes) and with pyteomics and pyOpenMS, and checks every value against the
reader's (as dumped by dump_raw.py) within the bounds the converter states: m/z within
(largest value) / 2^31 at worst (a prediction residual can be twice the largest value), and
log(intensity + 1) within 0.5 / floor(65535 / log(largest + 1)); pyOpenMS keeps intensities as
32-bit floats, whose rounding is allowed for. Prints the largest errors seen.

    python check_numpress.py EXPECTED.json MZML_DIR...       (prints "N passed, M failed")
"""
import base64
import json
import math
import sys
import zlib
from pathlib import Path

import numpy as np
import pynumpress
import pyopenms
from lxml import etree
from pyteomics import mzml

N = "{http://psi.hupo.org/ms/mzml}"
passed = failed = 0
worst = {"m/z": 0.0, "intensity": 0.0}  # largest relative errors seen: of m/z, of intensity + 1


def check(what: str, ok: bool) -> None:
    global passed, failed
    passed, failed = passed + ok, failed + (not ok)
    if not ok:
        print(f"FAIL {what}")


def within_linear(got, want) -> bool:
    if len(want) == 0:
        return len(got) == 0
    want = np.asarray(want, dtype=float)
    bound = 0.5 / math.floor(2147483647 / (2 * want.max() + 1)) * (1 + 1e-9) + 1e-12 * want.max()
    error = np.abs(np.asarray(got, dtype=float) - want)
    worst["m/z"] = max(worst["m/z"], float((error / np.maximum(want, 1e-300)).max()))
    return len(got) == len(want) and bool((error <= bound).all())


def within_slof(got, want) -> bool:
    if len(want) == 0:
        return len(got) == 0
    want = np.asarray(want, dtype=float)
    top = math.log(want.max() + 1)
    bound = (0.5 / math.floor(65535 / top) if top > 0 else 0.0) * (1 + 1e-9) + 1.2e-7
    error = np.abs(np.log(np.asarray(got, dtype=float) + 1) - np.log(want + 1))
    worst["intensity"] = max(worst["intensity"], float(np.expm1(error).max()))
    return len(got) == len(want) and bool((error <= bound).all())


def arrays_by_pynumpress(spectrum) -> dict:
    out = {}
    for array in spectrum.iter(N + "binaryDataArray"):
        terms = {p.get("accession") for p in array.iter(N + "cvParam")}
        data = base64.b64decode(array.findtext(N + "binary") or "")
        if terms & {"MS:1002746", "MS:1002748", "MS:1000574"}:
            data = zlib.decompress(data)
        kind = "mz" if terms & {"MS:1000514", "MS:1000595"} else "intensity"
        if terms & {"MS:1002746", "MS:1002312"}:
            out[kind] = pynumpress.decode_linear(np.frombuffer(data, dtype=np.uint8))
        elif terms & {"MS:1002748", "MS:1002314"}:
            out[kind] = pynumpress.decode_slof(np.frombuffer(data, dtype=np.uint8))
        else:  # an array of one value is stored as it is
            out[kind] = np.frombuffer(data, dtype="<f8" if "MS:1000523" in terms else "<f4")
    return out


def check_file(path: Path, records: list) -> None:
    records = [r for r in records if r["transition"] is None]  # transitions are chromatograms
    spectra = etree.parse(str(path)).getroot().iter(N + "spectrum")
    decoded = [arrays_by_pynumpress(s) for s in spectra]
    check(f"{path}: pynumpress", len(decoded) == len(records) and all(
        within_linear(d["mz"], r["mz"]) and within_slof(d["intensity"], r["intensity"]) for d, r in zip(decoded, records)))
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


def main() -> int:
    expected = json.loads(Path(sys.argv[1]).read_text())
    for folder in sys.argv[2:]:
        for name, records in expected.items():
            path = Path(folder) / (Path(name).stem + ".mzML")
            try:
                check_file(path, records)
            except Exception as e:  # a reader that gives up fails the file
                check(f"{path}: {e!r}", False)
    print(f"numpress: largest relative error seen: m/z {worst['m/z']:.3g}, intensity + 1 {worst['intensity']:.3g}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
