"""Times the readers a user would pick instead on the same spectra, as mzML. Runs under an
ordinary interpreter with psims, pyteomics and pyopenms (bench/requirements-peers.txt).

    python bench/peers.py POINTS_FILE MZML_FILE
    python bench/peers.py --write POINTS_FILE DIR [BUDGET_SECONDS]

The first form writes MZML_FILE from POINTS_FILE once (zlib, 64-bit m/z, 32-bit intensity; the
points file is removed afterwards), then prints one JSON line: for each reader, the time to open
and decode every spectrum into arrays, and the time to open and turn every point into Python
floats.

The second form times the writers a user would convert with: psims writing the spectra of
POINTS_FILE as mzML into DIR (stopping after BUDGET_SECONDS, default 600, and then scaling its
time and size up by points), and pyOpenMS storing an MSExperiment that holds them (loaded first,
untimed). It prints one JSON line with the seconds and output bytes of each; the outputs are
removed.
"""
import json
import mmap
import os
import struct
import sys
import time

import numpy as np


def read_points(points_path: str):
    """The spectra of a points file: (rt, level, mz, intensity) with NumPy views of the mapped file."""
    with open(points_path, "rb") as src:
        data = mmap.mmap(src.fileno(), 0, access=mmap.ACCESS_READ)
    (count,) = struct.unpack_from("<Q", data, 0)
    at = 8
    for _ in range(count):
        n, rt, level = struct.unpack_from("<QdI", data, at)
        at += 20
        mz = np.frombuffer(data, dtype=np.float64, count=n, offset=at)
        intensity = np.frombuffer(data, dtype=np.float32, count=n, offset=at + 8 * n)
        at += 12 * n
        yield rt, level, mz, intensity


def psims_write(spectra, count: int, path: str, deadline: float = float("inf")) -> tuple[int, float]:
    """Writes the spectra as indexed mzML with psims, stopping after the first one that ends past
    `deadline` (a perf_counter time); returns the number of points written and the seconds spent
    writing spectra (the rest is the document around them)."""
    from psims.controlled_vocabulary.controlled_vocabulary import OBOCache
    from psims.mzml.writer import MzMLWriter
    points, spent = 0, 0.0
    # The vocabulary psims ships with, rather than a download on every run.
    with MzMLWriter(open(path, "wb"), close=True,
                    vocabulary_resolver=OBOCache(enabled=False, use_remote=False)) as out:
        out.controlled_vocabularies()
        out.file_description(["MS1 spectrum", "MSn spectrum"])
        out.software_list([{"id": "bench", "version": "0", "params": ["custom unreleased software tool"]}])
        out.instrument_configuration_list([out.InstrumentConfiguration(id="ic", component_list=[])])
        out.data_processing_list([out.DataProcessing([out.ProcessingMethod(
            order=1, software_reference="bench", params=["Conversion to mzML"])], id="dp")])
        with out.run(id="run", instrument_configuration="ic"):
            with out.spectrum_list(count=count):
                start = time.perf_counter()
                for i, (rt, level, mz, intensity) in enumerate(spectra):
                    out.write_spectrum(mz, intensity, id=f"scan={i + 1}", centroided=True,
                                       scan_start_time=rt / 60.0, params=[{"ms level": level}],
                                       compression="zlib",
                                       encoding={"m/z array": np.float64, "intensity array": np.float32})
                    points += len(mz)
                    if time.perf_counter() > deadline:
                        break
                spent = time.perf_counter() - start
    return points, spent


def write_mzml(points_path: str, mzml_path: str) -> None:
    with open(points_path, "rb") as src:
        (count,) = struct.unpack("<Q", src.read(8))
    tmp = mzml_path + ".part"
    psims_write(read_points(points_path), count, tmp)
    os.rename(tmp, mzml_path)
    os.remove(points_path)


def time_writers(points_path: str, out_dir: str, budget: float) -> dict:
    with open(points_path, "rb") as src:
        (count,) = struct.unpack("<Q", src.read(8))
    total = sum(len(mz) for _, _, mz, _ in read_points(points_path))
    results = {}

    # psims: when it stops at the budget, the time spent on spectra is scaled up by points.
    import psims.mzml.writer  # noqa: F401  (imported before the clock starts)
    path = os.path.join(out_dir, "psims.mzML")
    start = time.perf_counter()
    written, spent = psims_write(read_points(points_path), count, path, start + budget)
    elapsed = time.perf_counter() - start
    share = written / max(total, 1)
    results["psims"] = {"seconds": elapsed - spent + spent / share, "measured": elapsed, "share": share,
                        "bytes": os.path.getsize(path) / share}
    os.remove(path)

    import pyopenms
    experiment = pyopenms.MSExperiment()
    for i, (rt, level, mz, intensity) in enumerate(read_points(points_path)):
        spectrum = pyopenms.MSSpectrum()
        spectrum.set_peaks((mz.copy(), intensity.copy()))  # aligned copies
        spectrum.setRT(rt)
        spectrum.setMSLevel(level)
        spectrum.setNativeID(f"scan={i + 1}")
        experiment.addSpectrum(spectrum)
    writer = pyopenms.MzMLFile()
    options = writer.getOptions()
    options.setCompression(True)  # zlib
    options.setZstdCompression(False)
    options.setMz32Bit(False)
    options.setIntensity32Bit(True)
    options.setWriteIndex(True)
    writer.setOptions(options)
    path = os.path.join(out_dir, "pyopenms.mzML")
    start = time.perf_counter()
    writer.store(path, experiment)
    results["pyopenms"] = {"seconds": time.perf_counter() - start, "bytes": os.path.getsize(path)}
    os.remove(path)
    return results


def time_pyteomics(path: str) -> dict:
    from pyteomics import mzml
    # mzml.read walks the file in order, as a user reading every spectrum would.
    start = time.perf_counter()
    with mzml.read(path) as reader:
        for spectrum in reader:
            spectrum["m/z array"], spectrum["intensity array"]
    decoded = time.perf_counter() - start
    start = time.perf_counter()
    with mzml.read(path) as reader:
        for spectrum in reader:
            spectrum["m/z array"].tolist(), spectrum["intensity array"].tolist()
    return {"open": decoded, "access": time.perf_counter() - start}


def time_pyopenms(path: str) -> dict:
    import pyopenms
    start = time.perf_counter()
    experiment = pyopenms.MSExperiment()
    pyopenms.MzMLFile().load(path, experiment)
    loaded = time.perf_counter() - start
    for spectrum in experiment:
        mz, intensity = spectrum.get_peaks()
        mz.tolist(), intensity.tolist()
    return {"open": loaded, "access": time.perf_counter() - start}


def main() -> int:
    if sys.argv[1] == "--write":
        budget = float(sys.argv[4]) if len(sys.argv) > 4 else 600.0
        print(json.dumps(time_writers(sys.argv[2], sys.argv[3], budget)))
        return 0
    points_path, mzml_path = sys.argv[1], sys.argv[2]
    if not os.path.exists(mzml_path):
        write_mzml(points_path, mzml_path)
    results = {"pyteomics": time_pyteomics(mzml_path), "pyopenms": time_pyopenms(mzml_path)}
    print(json.dumps(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
