"""GC-MS files end to end: the spectrum index, profile and MRM scans, and their records."""
import struct

import pytest
import tavrik

from conftest import raw_dump
from testkit.layouts import gcms_file, gcms_header, gcms_mrm_scan, gcms_profile_scan


def open_records(write_file, data: bytes, name: str = "run01.qgd"):
    path = write_file(name, data)
    return tavrik.RawReader(path), raw_dump(path)[1]


def test_profile_values(write_file):
    reader, records = open_records(write_file, gcms_file([gcms_profile_scan(312_467, [(1234, 65535), (1, 0)])]))
    s = reader.read_spectrum(0)
    assert s.mz == [123.4, 0.1] and s.mz[0] == 1234 / 10.0
    assert s.intensity == [65535.0, 0.0]
    assert s.ms_level == 1 and s.retention_time_sec == 312.467
    r = records[0]
    assert (r["index"], r["scan_number"], r["native_id"]) == (0, 1, "source=run01 start=1 end=1")
    assert (r["representation"], r["acquisition_kind"], r["mode_code"]) == (1, 2, 2)
    assert r["precursor"] is None and r["header_value"] is None


@pytest.mark.parametrize("width, raw, value", [(2, 0xFFFF, 65535.0), (3, 0x030201, 197121.0),
                                               (4, 0xFFFFFFFF, 4294967296.0)])
def test_mrm_intensity_widths(write_file, width, raw, value):
    scan = gcms_mrm_scan(2000, [(1000, 505, raw)], width=width)
    reader, records = open_records(write_file, gcms_file([scan]))
    s = reader.read_spectrum(0)
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([50.5], [value], 2, 2.0)
    r = records[0]
    assert r["precursor"] == {"selected_mz": 100.0, "isolation_target_mz": 100.0, "spectrum_ref": None}
    assert (r["representation"], r["acquisition_kind"]) == (0, 1)


def test_mrm_transitions_then_profile_are_numbered_in_turn(write_file):
    scans = [gcms_mrm_scan(7000, [(1000, 500, 1), (1001, 501, 2), (1002, 502, 3)], width=4),
             gcms_profile_scan(8000, [(2000, 9)])]
    reader, records = open_records(write_file, gcms_file(scans))
    assert reader.scan_count == 4
    assert [r["scan_number"] for r in records] == [1, 2, 3, 4]
    assert [r["ms_level"] for r in records] == [2, 2, 2, 1]
    assert {r["retention_time_sec"] for r in records[:3]} == {7.0}
    assert [r["native_id"] for r in records][2:] == ["source=run01 start=3 end=3", "source=run01 start=4 end=4"]


def test_overlapping_and_out_of_order_offsets(write_file):
    # Offsets 0, 100, 50: scans [0, 100) and [50, end) are decoded, [100, 50) is skipped. The
    # second scan's header lies inside the first scan's points.
    data = bytearray(302)
    data[0:32] = gcms_header(1000, 2, 17, 0, 0)
    for k in range(17):
        struct.pack_into("<HH", data, 32 + 4 * k, 100 + k, k)
    data[50:82] = gcms_header(2000, 2, 55, 0, 0)  # 252 bytes: 55 points
    reader, records = open_records(write_file, gcms_file(offsets=[0, 100, 50], data=bytes(data)))
    assert [r["scan_number"] for r in records] == [1, 2]
    first = [struct.unpack_from("<HH", data, 32 + 4 * k) for k in range(17)]
    assert records[0]["mz"] == [m / 10.0 for m, _ in first]
    assert records[0]["intensity"] == [float(i) for _, i in first]
    assert records[1]["retention_time_sec"] == 2.0 and len(records[1]["mz"]) == 55
    # Over 300 bytes the second range holds 218 data bytes, which fit neither layout.
    _, records = open_records(write_file, gcms_file(offsets=[0, 100, 50], data=bytes(data[:300])), "b.qgd")
    assert [r["retention_time_sec"] for r in records] == [1.0]


def test_failed_scans_take_no_number(write_file):
    good = gcms_profile_scan(1, [(10, 1)])
    bad = gcms_header(2, 1, 0, 0, 0) + b"\0" * 5  # neither layout
    scans = [good, bad, good, b"short", good]
    _, records = open_records(write_file, gcms_file(scans))
    assert [r["scan_number"] for r in records] == [1, 2, 3]
    assert records[2]["native_id"] == "source=run01 start=3 end=3"


def test_offsets_past_the_data_are_skipped(write_file):
    scan = gcms_profile_scan(1, [(10, 1)])
    reader, _ = open_records(write_file, gcms_file(offsets=[0, 10_000], data=scan))
    assert reader.scan_count == 0  # [0, 10000) reaches past the data; [10000, 36) is out of order


@pytest.mark.parametrize("variant", ["A", "B"])
def test_index_variants(write_file, variant):
    scans = [gcms_profile_scan(1000 * k, [(k, k)]) for k in range(1, 4)]
    reader, records = open_records(write_file, gcms_file(scans, variant=variant))
    assert [r["retention_time_sec"] for r in records] == [1.0, 2.0, 3.0]


def test_empty_index_and_empty_scan(write_file):
    reader, records = open_records(write_file, gcms_file([]))
    assert reader.scan_count == 0 and records == []
    reader, _ = open_records(write_file, gcms_file([gcms_profile_scan(0, [])]), "e.qgd")
    assert reader.scan_count == 1 and len(reader.read_spectrum(0)) == 0
