"""Reads the same files converted with --centroid to mzML (pyteomics) and to Parquet (pyarrow)
and checks, for every spectrum, that both hold the same peaks, that these are the centroider's
peaks of the reader's profile points (the centroid_text tool, fed the values dump_raw.py gave),
that centroid spectra passed unchanged, that each mzML spectrum's figures are those of its
peaks, and that the TIC and BPC chromatograms stay those of the profile.

    python check_centroided.py EXPECTED.json MZML_DIR PARQUET_DIR TOOLS_DIR   (prints "N passed, M failed")
"""
import json
import math
import subprocess
import sys
from pathlib import Path

import pyarrow.parquet as pq
from pyteomics import mzml

passed = failed = 0


def check(what: str, ok: bool) -> None:
    global passed, failed
    passed, failed = passed + ok, failed + (not ok)
    if not ok:
        print(f"FAIL {what}")


def centroids(tools: str, spectra: list) -> list:
    """The centroider's peaks of each (m/z, intensity) profile, as the tool prints them."""
    text = "".join("".join(f"{x!r} {y!r}\n" for x, y in zip(mz, it)) + "\n" for mz, it in spectra)
    out = subprocess.run([f"{tools}/centroid_text"], input=text, capture_output=True, text=True, check=True).stdout
    blocks = out.split("\n\n")[: len(spectra)]
    return [[tuple(map(float, line.split())) for line in block.splitlines() if line] for block in blocks]


def close(a: list, b: list) -> bool:
    return len(a) == len(b) and all(math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-6) for x, y in zip(a, b))


def check_file(name: str, records: list, mzml_dir: Path, parquet_dir: Path, tools: str) -> None:
    stem = Path(name).stem
    records = [r for r in records if r["transition"] is None]
    profiles = [r for r in records if not r["centroid"]]
    picked = iter(centroids(tools, [(r["mz"], r["intensity"]) for r in profiles]))
    want = [list(zip(r["mz"], r["intensity"])) if r["centroid"] else next(picked) for r in records]
    with mzml.MzML(str(mzml_dir / f"{stem}.mzML"), use_index=False) as reader:
        spectra = list(reader)
        tic = reader.get_by_id("TIC")["intensity array"].tolist() if spectra else []
    got = [list(zip(s["m/z array"].tolist(), s["intensity array"].tolist())) for s in spectra]
    check(f"{stem}: mzML spectra are centroid spectra", all("centroid spectrum" in s for s in spectra))
    check(f"{stem}: mzML peaks are the centroider's",
          len(got) == len(want) and all(close([v for p in g for v in p], [v for p in w for v in p])
                                         for g, w in zip(got, want)))
    check(f"{stem}: mzML figures are those of the peaks",
          all(not g or (math.isclose(s["total ion current"], sum(i for _, i in g), rel_tol=1e-6) and
                        s["lowest observed m/z"] == g[0][0] and s["highest observed m/z"] == max(m for m, _ in g))
              for s, g in zip(spectra, got)))
    traced = [r for r in records if r["ms_level"] == 1] or records
    check(f"{stem}: TIC of the profile", close(tic, [math.fsum(r["intensity"]) for r in traced]))
    points = pq.read_table(parquet_dir / f"{stem}.points.parquet").to_pydict()
    rows = pq.read_table(parquet_dir / f"{stem}.spectra.parquet").to_pydict()
    from_parquet = [[] for _ in rows["native_id"]]
    for k, mz, intensity in zip(points["spectrum_index"], points["mz"], points["intensity"]):
        from_parquet[k].append((mz, intensity))
    # The tables hold MRM transitions as rows, which the mzML holds as chromatograms.
    spectrum_rows = [k for k, kind in enumerate(rows["spectrum_type"]) if kind != "SRM"]
    check(f"{stem}: the Parquet tables hold the mzML's peaks, exactly", [from_parquet[k] for k in spectrum_rows] == got)
    check(f"{stem}: Parquet representation", set(rows["representation"]) <= {"centroid"})
    check(f"{stem}: Parquet figures are the mzML's",
          [(rows["total_ion_current"][k], rows["base_peak_mz"][k]) for k in spectrum_rows if rows["point_count"][k]] ==
          [(s["total ion current"], s["base peak m/z"]) for s in spectra if len(s["m/z array"])])


def main() -> int:
    expected = json.loads(Path(sys.argv[1]).read_text())
    mzml_dir, parquet_dir, tools = Path(sys.argv[2]), Path(sys.argv[3]), sys.argv[4]
    for name, records in expected.items():
        try:
            check_file(name, records, mzml_dir, parquet_dir, tools)
        except Exception as e:  # a reader that gives up fails the file
            check(f"{name}: {e!r}", False)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
