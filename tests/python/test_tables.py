"""tavrik_tables: every scan as a buffer over the run's memory and the run as Arrow tables, read
back by numpy and pyarrow and compared, bit for bit, with what tavrik.RawReader returns, with the
records the raw_dump tool prints and with the Parquet tables of tavrik-convert; the memory stays
alive as long as anything handed out refers to it, on any thread. polars and DuckDB read the
same tables in test_tables_consumers.py."""
import array
import gc
import json
import subprocess
import sys
import threading
from pathlib import Path

import pytest
import tavrik
import tavrik_tables

from conftest import ROOT, raw_dump
from test_convert import MADE, convert
from testkit.layouts import gcms_file, gcms_profile_scan

# 1.2 M points in spectra of unequal lengths: more than one block of the run's memory.
LONG = gcms_file([gcms_profile_scan(1000 + 50 * k, [(100 + 25 * j + k % 5, (31 * j + 17 * k) % 65536)
                                                    for j in range(2000 + k % 7)]) for k in range(600)])

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

THREADS = 8


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The samples, the converter tests' test-writer files (an MRM file and one with an entry that
    cannot be decoded among them) and a file of no scans, with their Parquet tables."""
    base = tmp_path_factory.mktemp("tables")
    (base / "in").mkdir()
    paths = [ROOT / "samples" / n for n in sorted(p.name for p in (ROOT / "samples").iterdir())]
    for name, (data, _) in {**MADE, "empty.qgd": (gcms_file([]), None), "long.qgd": (LONG, None)}.items():
        (base / "in" / name).write_bytes(data)
        paths.append(base / "in" / name)
    run = convert("--quiet", "--format", "parquet", "-o", base / "out", *paths)
    assert run.returncode == 0, run.stderr
    return [(str(p), base / "out" / f"{p.stem}.spectra.parquet", base / "out" / f"{p.stem}.points.parquet")
            for p in paths]


def expected_chromatograms(records):
    """The MRM transitions grouped by (precursor m/z, product m/z) in order of first appearance,
    each pair's measurements in retention-time order (stable), as rows."""
    pairs = {}
    for r in records:
        if r["acquisition_kind"] == 1 and r["mz"]:
            pairs.setdefault((r["precursor"]["selected_mz"], r["mz"][0]), []).append(
                (r["retention_time_sec"], r["intensity"][0]))
    rows = []
    for k, ((precursor, product), measurements) in enumerate(pairs.items()):
        rows += [(k, precursor, product, t, i) for t, i in sorted(measurements, key=lambda m: m[0])]
    return rows


def test_every_value_equals_the_readers_and_the_parquet_tables(inputs):
    kinds = set()
    for path, spectra_parquet, points_parquet in inputs:
        reader, run = tavrik.RawReader(path), tavrik_tables.open(path)
        head, records = raw_dump(path)
        assert (len(run), run.name, repr(run)) == \
            (reader.scan_count, head["source_name"], repr(reader).replace("RawReader(", "Run(", 1))
        for i in range(len(run)):
            s = reader.read_spectrum(i)
            mz, intensity = np.asarray(run.mz(i)), np.asarray(run.intensity(i))
            assert (mz.dtype, intensity.dtype) == (np.float64, np.float32)
            assert mz.tobytes() == array.array("d", s.mz).tobytes()
            assert intensity.tobytes() == array.array("f", s.intensity).tobytes()
        if len(run):
            assert bytes(run.mz(-1)) == bytes(run.mz(len(run) - 1))
        # The tables are the converter's, schema and values, nullability included.
        spectra, points = pa.table(run.spectra), pa.table(run.points)
        stored_spectra, stored_points = pq.read_table(spectra_parquet), pq.read_table(points_parquet)
        assert spectra.schema.equals(stored_spectra.schema) and points.schema.equals(stored_points.schema)
        assert spectra.equals(stored_spectra) and points.equals(stored_points)
        assert (len(run.spectra), len(run.points)) == (spectra.num_rows, points.num_rows)
        facts = json.loads(stored_spectra.schema.metadata[b"tavrik"])
        assert run.layout == facts["layout"]
        assert run.mz_are_channel_indices == any("channel indices" in w for w in facts["warnings"])
        assert (run.acquired_at.isoformat(timespec="milliseconds").replace("+00:00", "Z").replace(".000Z", "Z")
                if run.acquired_at else None) == facts["acquired_at"]
        chromatograms = pa.table(run.chromatograms)
        assert chromatograms.schema.names == \
            ["chromatogram_index", "precursor_mz", "product_mz", "retention_time_sec", "intensity"]
        assert list(zip(*(c.to_pylist() for c in chromatograms.columns))) == expected_chromatograms(records)
        kinds.add((len(run) > 0, chromatograms.num_rows > 0))
    assert kinds == {(True, True), (True, False), (False, False)}  # MRM runs, others and an empty run


def test_centroided_tables_are_the_converters(tmp_path):
    """open(centroid=True) centroids with the converter's code: its tables are those of
    tavrik-convert --centroid, peaks left out below the same least intensity."""
    samples = sorted((ROOT / "samples").iterdir())
    done = convert("--quiet", "--format", "parquet", "--centroid", "--centroid-min-intensity", "50",
                   "-o", tmp_path, *samples)
    assert done.returncode == 0, done.stderr
    for path in samples:
        run = tavrik_tables.open(str(path), centroid=True, centroid_min_intensity=50)
        assert pa.table(run.spectra).equals(pq.read_table(tmp_path / f"{path.stem}.spectra.parquet"))
        assert pa.table(run.points).equals(pq.read_table(tmp_path / f"{path.stem}.points.parquet"))
        profile = tavrik_tables.open(str(path))
        assert (len(run.points) < len(profile.points)) == (run.layout != "QTOF")  # QTOF is centroid data


def test_refusals_are_the_readers(tmp_path):
    (tmp_path / "x.qgd").write_bytes(b"not a container")
    for path in [str(tmp_path / "x.qgd"), str(tmp_path / "missing.lcd"), str(tmp_path), "run.txt", None, 7,
                 "\udc80.qgd", b"run.qgd"]:
        with pytest.raises(Exception) as ours:
            tavrik_tables.open(path)
        with pytest.raises(Exception) as theirs:
            tavrik.RawReader(path)
        assert (type(ours.value), str(ours.value), getattr(ours.value, "__notes__", None)) == \
            (type(theirs.value), str(theirs.value), getattr(theirs.value, "__notes__", None))
    for call in [lambda: tavrik_tables.open(), lambda: tavrik_tables.open("a", "b"),
                 lambda: tavrik_tables.open(paths="a")]:
        with pytest.raises(TypeError):
            call()
    run = tavrik_tables.open(str(ROOT / "samples" / "run-qtof.lcd"))
    for index, error in [(len(run), IndexError), (-len(run) - 1, IndexError), (2**70, IndexError), (1.0, TypeError)]:
        with pytest.raises(error):
            run.mz(index)
        with pytest.raises(error):
            run.intensity(index)


def test_no_copies_and_memory_outlives_the_run(inputs):
    run = tavrik_tables.open(next(path for path, _, _ in inputs if path.endswith("long.qgd")))
    first, again = np.asarray(run.mz(5)), np.asarray(run.mz(5))
    assert np.shares_memory(first, again) and not first.flags.writeable
    with pytest.raises(TypeError):
        memoryview(run.intensity(5))[0] = 1.0
    with pytest.raises(ValueError):
        first[0] = 1.0
    # The points table's first batch is the block scan 0 lies in: its m/z buffer starts at scan
    # 0's m/z values, and every scan's values lie inside the batch that holds it.
    batches = list(pa.RecordBatchReader.from_stream(run.points))
    assert batches[0].column(1).buffers()[1].address == np.asarray(run.mz(0)).ctypes.data
    placed = 0
    for b in batches:
        start, end = b.column(1).buffers()[1].address, b.column(1).buffers()[1].address + 8 * b.num_rows
        for i in np.unique(b.column(0).to_numpy()):
            mz = np.asarray(run.mz(i))
            assert start <= mz.ctypes.data and mz.ctypes.data + mz.nbytes <= end
            placed += 1
    assert len(batches) > 1 and placed == sum(1 for i in range(len(run)) if len(run.mz(i)))
    copies = [(np.array(run.mz(i)), np.array(run.intensity(i))) for i in range(len(run))]
    views = [(run.mz(i), np.asarray(run.intensity(i))) for i in range(len(run))]
    capsule = run.points.__arrow_c_stream__()
    reader = pa.RecordBatchReader.from_stream(run.spectra)
    spectra = pa.table(run.spectra)
    del run, batches
    gc.collect()
    for k, ((mz, intensity), (mz_copy, intensity_copy)) in enumerate(zip(views, copies)):
        assert bytes(mz) == mz_copy.tobytes() and intensity.tobytes() == intensity_copy.tobytes()
        if k % 200 == 0:
            gc.collect()
    assert reader.read_all().equals(spectra)
    gc.collect()

    class Holder:  # hands the capsule on as the interface's stream source
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule
    points = pa.table(Holder())
    assert points.column("mz").to_numpy().tobytes() == b"".join(m.tobytes() for m, _ in copies)


def test_streams_left_unreleased_at_exit_are_harmless():
    script = ("import sys, tavrik_tables\n"
              f"run = tavrik_tables.open({str(ROOT / 'samples' / 'run-ttfl.lcd')!r})\n"
              "sys.kept = [run.points.__arrow_c_stream__(), run.spectra.__arrow_c_schema__(), run.mz(0)]\n"
              "import pyarrow as pa\n"
              "sys.reader = pa.RecordBatchReader.from_stream(run.points)\n"
              "sys.reader.read_next_batch()\n"
              "del run\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")


def test_threads_share_a_run_and_its_streams():
    run = tavrik_tables.open(str(ROOT / "samples" / "run-qtof.lcd"))
    expected = pa.table(run.points), [bytes(run.mz(i)) + bytes(run.intensity(i)) for i in range(len(run))]
    readers = [pa.RecordBatchReader.from_stream(run.points) for _ in range(THREADS)]
    scans = len(run)
    del run  # the readers and the shared object below keep it alive
    shared = tavrik_tables.open(str(ROOT / "samples" / "run-qtof.lcd"))
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(k):
        try:
            barrier.wait()
            own = readers[k].read_all()
            tables = [pa.table(shared.points) for _ in range(3)]
            arrays = [bytes(shared.mz(i)) + bytes(shared.intensity(i)) for i in range(scans)]
            results[k] = own, tables, arrays
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for own, tables, arrays in results:
        assert own.equals(expected[0]) and all(t.equals(expected[0]) for t in tables) and arrays == expected[1]
