"""Times the readers a user would pick instead on the same spectra, as mzML. Runs under an
ordinary interpreter with psims, pyteomics and pyopenms (bench/requirements-peers.txt).

    python bench/peers.py POINTS_FILE MZML_FILE

Writes MZML_FILE from POINTS_FILE once (zlib, 64-bit m/z, 32-bit intensity; the points file is
removed afterwards), then prints one JSON line: for each reader, the time to open and decode
every spectrum into arrays, and the time to open and turn every point into Python floats.
"""
import json
import os
import struct
import sys
import time

import numpy as np


def write_mzml(points_path: str, mzml_path: str) -> None:
    from psims.mzml.writer import MzMLWriter
    with open(points_path, "rb") as src:
        (count,) = struct.unpack("<Q", src.read(8))
        tmp = mzml_path + ".part"
        with MzMLWriter(open(tmp, "wb"), close=True) as out:
            out.controlled_vocabularies()
            out.file_description(["MS1 spectrum", "MSn spectrum"])
            out.software_list([{"id": "bench", "version": "0", "params": ["custom unreleased software tool"]}])
            out.instrument_configuration_list([out.InstrumentConfiguration(id="ic", component_list=[])])
            out.data_processing_list([out.DataProcessing([out.ProcessingMethod(
                order=1, software_reference="bench", params=["Conversion to mzML"])], id="dp")])
            with out.run(id="run", instrument_configuration="ic"):
                with out.spectrum_list(count=count):
                    for i in range(count):
                        n, rt, level = struct.unpack("<QdI", src.read(20))
                        mz = np.frombuffer(src.read(8 * n), dtype=np.float64)
                        intensity = np.frombuffer(src.read(4 * n), dtype=np.float32)
                        out.write_spectrum(mz, intensity, id=f"scan={i + 1}", centroided=True,
                                           scan_start_time=rt / 60.0, params=[{"ms level": level}],
                                           compression="zlib",
                                           encoding={"m/z array": np.float64, "intensity array": np.float32})
        os.rename(tmp, mzml_path)
    os.remove(points_path)


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
    points_path, mzml_path = sys.argv[1], sys.argv[2]
    if not os.path.exists(mzml_path):
        write_mzml(points_path, mzml_path)
    results = {"pyteomics": time_pyteomics(mzml_path), "pyopenms": time_pyopenms(mzml_path)}
    print(json.dumps(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
