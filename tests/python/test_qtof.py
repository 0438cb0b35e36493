"""QTOF centroid files end to end: levels, precursor references, retention times."""
import tavrik

from conftest import raw_dump
from testkit.layouts import qtof_file, qtof_scan

MS1, MS2 = 1, 2


def test_values_and_record_fields(write_file):
    scans = [(qtof_scan([500123456789012, 10**12], [0xFFFFFFFF, 7], width=4, header_value=42), 0)]
    path = write_file("q.lcd", qtof_file(scans, [61_500]))
    s = tavrik.RawReader(path).read_spectrum(0)
    assert s.mz == [500123456789012 / 1e12, 1.0] and abs(s.mz[0] - 500.123456789012) < 1e-12
    assert s.intensity == [4294967296.0, 7.0] and s.retention_time_sec == 61.5 and s.ms_level == 1
    _, (r,) = raw_dump(path)
    assert (r["native_id"], r["header_value"], r["representation"], r["acquisition_kind"]) == ("scan=1", 42.0, 0, 3)
    assert r["precursor"] is None


def test_levels_and_spectrum_refs(write_file):
    good = qtof_scan([10**12], [1], width=2)
    bad = qtof_scan([], [], width=3, declared=11)  # unsupported width
    scans = [(good, MS2), (good, MS1), (good, MS2), (bad, MS1), (good, 7), (good, 0), (good, MS2)]
    _, records = raw_dump(write_file("q.lcd", qtof_file(scans, [1000 * k for k in range(7)])))
    assert [r["ms_level"] for r in records] == [2, 1, 2, 2, 1, 2]
    refs = [r["precursor"] and r["precursor"]["spectrum_ref"] for r in records]
    # The failed MS1 scan takes no number and never becomes the reference.
    assert refs == [None, None, "scan=2", "scan=2", None, "scan=5"]
    assert all(r["precursor"] is None or r["precursor"]["selected_mz"] is None for r in records)
    # Retention times follow the index position, not the record number.
    assert [r["retention_time_sec"] for r in records] == [0.0, 1.0, 2.0, 4.0, 5.0, 6.0]


def test_fewer_retention_times_than_scans(write_file):
    scan = qtof_scan([10**12], [1], width=1)
    reader = tavrik.RawReader(write_file("q.lcd", qtof_file([(scan, 1)] * 3, [2500])))
    assert [reader.read_spectrum(i).retention_time_sec for i in range(3)] == [2.5, 0.0, 0.0]


def test_empty_and_short_payload_scans(write_file):
    empty = qtof_scan([], [], width=3, declared=0)
    short = qtof_scan([1, 2], [1, 2], width=4, declared=48)
    sized = qtof_scan([10**12, 2 * 10**12], [3, 4], width=2, trailing=b"\xFF" * 9)
    _, records = raw_dump(write_file("q.lcd", qtof_file([(empty, 1), (short, 1), (sized, 1)], [])))
    assert [(r["mz"], r["header_value"]) for r in records] == [([], None), ([1.0, 2.0], 0.0)]
    assert records[1]["intensity"] == [3.0, 4.0]
