"""TTFL profile files end to end: data index, run-length scans, mass calibration."""
import struct

import tavrik

from conftest import raw_dump
from testkit.layouts import TtflLayout, ttfl_file, ttfl_index, ttfl_scan, tuning_result

EXAMPLE = ttfl_scan([(10, [5, 0, 7]), (2, [9])])  # channels 10, 11, 12, 15
GOOD_TUNING = tuning_result([100, 400, 900], [25.0, 45.0, 65.0])  # slope 2, intercept 5


def test_uncalibrated_channels(write_file):
    path = write_file("t.lcd", ttfl_file(TtflLayout(scans=[EXAMPLE], times_ms=[1500])))
    s = tavrik.RawReader(path).read_spectrum(0)
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([10.0, 11.0, 12.0, 15.0], [5.0, 0.0, 7.0, 9.0],
                                                                      1, 1.5)
    head, (r,) = raw_dump(path)
    assert head["calibration"] is None
    assert (r["native_id"], r["representation"], r["acquisition_kind"], r["header_value"]) == \
        ("source=t start=1 end=1", 1, 3, None)


def test_calibrated_mz(write_file):
    layout = TtflLayout(scans=[ttfl_scan([(45, [1]), (19, [2])])], times_ms=[0],
                        tuning={"Tuning Result 00": GOOD_TUNING})
    head, (r,) = raw_dump(write_file("t.lcd", ttfl_file(layout)))
    slope, intercept = head["calibration"]
    assert abs(slope - 2.0) < 1e-12 and abs(intercept - 5.0) < 1e-12
    assert [round(m, 9) for m in r["mz"]] == [400.0, 900.0]  # channels 45 and 65
    assert r["mz"] == [((x - intercept) / slope) ** 2 for x in (45.0, 65.0)]


def test_first_readable_tuning_result_decides(write_file):
    unusable = tuning_result([100, 400, 900], [25.0, 45.0, 65.0], size=3030)
    layout = TtflLayout(scans=[EXAMPLE], tuning={"Tuning Result 00": unusable, "Tuning Result 01": GOOD_TUNING})
    head, _ = raw_dump(write_file("a.lcd", ttfl_file(layout)))
    assert head["calibration"] is None
    layout.tuning = {"Tuning Result 02": GOOD_TUNING}
    head, _ = raw_dump(write_file("b.lcd", ttfl_file(layout)))
    assert head["calibration"] is not None


def test_bounds_time_indexes_and_skips(write_file):
    empty = b"\x77" * 64
    layout = TtflLayout(scans=[EXAMPLE, b"\x77" * 66, empty, EXAMPLE], time_index=[1, 0, 9, 2], times_ms=[100, 200])
    _, records = raw_dump(write_file("t.lcd", ttfl_file(layout, retention=struct.pack("<I", 100) +
                                                          struct.pack("<I", 200) + b"\x01\x02\x03")))
    # The 66-byte scan is dropped; time index 9 and 2 fall past the list and read 0.0.
    assert [(r["scan_number"], len(r["mz"]), r["retention_time_sec"]) for r in records] == \
        [(1, 4, 0.2), (2, 0, 0.0), (3, 4, 0.0)]


def test_shared_and_out_of_range_offsets(write_file):
    n = len(EXAMPLE)
    # Two subsets share offset 0. The greatest offset lies past the data, so (10n, end) is
    # skipped, and so is (n, 10n), which now reaches past the data too.
    index = ttfl_index([(0, 0), (10 * n, 0), (0, 0), (n, 0)])
    layout = TtflLayout(scans=[EXAMPLE, ttfl_scan([(0, [4])])], times_ms=[0])
    _, records = raw_dump(write_file("t.lcd", ttfl_file(layout, index=index)))
    assert [r["mz"] for r in records] == [[10.0, 11.0, 12.0, 15.0]] * 2


def test_malformed_data_index(write_file):
    path = write_file("t.lcd", ttfl_file(TtflLayout(scans=[EXAMPLE]), index=b"\0" * 20))
    try:
        tavrik.RawReader(path)
    except RuntimeError as e:
        assert str(e) == "parse error: Data Index stream size 20 is not a whole number of 16-byte subsets"
    else:
        raise AssertionError("opened")
