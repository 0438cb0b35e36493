"""Opening a raw file: extension, container, layout detection, streams, timestamp."""
import datetime as dt
import time

import pytest
import tavrik

from conftest import raw_dump
from testkit.cfb import Storage, Stream, write
from testkit.layouts import (TtflLayout, gcms_file, gcms_profile_scan, qtof_file, qtof_scan,
                             ttfl_file, ttfl_scan)

GCMS = gcms_file([gcms_profile_scan(1000, [(1234, 5)])])
TTFL = ttfl_file(TtflLayout(scans=[ttfl_scan([(3, [1])])], times_ms=[500]))


def fails_with(path: str, message: str) -> None:
    with pytest.raises(RuntimeError) as caught:
        tavrik.RawReader(path)
    assert caught.type is RuntimeError
    assert str(caught.value) == message
    assert caught.value.args == (message,)


def test_missing_file(tmp_path):
    fails_with(str(tmp_path / "absent.qgd"), "I/O error: No such file or directory (os error 2)")


def test_path_with_nul_byte(write_file):
    path = write_file("run.qgd", GCMS)
    fails_with(path + "\0.lcd", "I/O error: file name contained an unexpected NUL byte")


@pytest.mark.parametrize("name", ["RUN.QGD", "run.Qgd", "run.qgd"])
def test_extension_case_is_ignored(write_file, name):
    assert tavrik.RawReader(write_file(name, GCMS)).scan_count == 1


def test_lcd_extension_case_is_ignored(write_file):
    assert tavrik.RawReader(write_file("run.Lcd", TTFL)).scan_count == 1


@pytest.mark.parametrize("name, shown", [("run.QGDX", "qgdx"), ("noext", ""), (".qgd", ""),
                                         ("run.", ""), ("run.d.txt", "txt")])
def test_unsupported_extension(write_file, name, shown):
    fails_with(write_file(name, GCMS), f"parse error: unsupported file extension '.{shown}' (expected .qgd or .lcd)")


def test_container_is_judged_before_extension(write_file):
    path = write_file("notes.txt", b"plain text, not a container" * 40)
    with pytest.raises(RuntimeError, match="^parse error: not a valid OLE2/CFBF container: bad signature$"):
        tavrik.RawReader(path)
    with pytest.raises(RuntimeError, match="^parse error: not a valid OLE2/CFBF container: file of 3 bytes"):
        tavrik.RawReader(write_file("tiny.qgd", b"abc"))


def test_missing_storages(write_file):
    fails_with(write_file("run.qgd", TTFL), "parse error: 'GCMS Raw Data' storage not found in .qgd file")
    fails_with(write_file("run.lcd", GCMS),
               "parse error: neither 'TTFL Raw Data' nor 'QTFL RawData' storage found in .lcd file")


def test_storage_names_match_ignoring_case(write_file):
    data = write(Storage("Root Entry", [Storage("gcms RAW data", [
        Stream("SPECTRUM INDEX", b"\0\0\0\0"), Stream("ms raw data", gcms_profile_scan(5, [(10, 1)]))])])).data
    assert tavrik.RawReader(write_file("run.qgd", bytes(data))).scan_count == 1


def test_both_lcms_storages_read_as_ttfl(write_file):
    path = write_file("run.lcd", ttfl_file(TtflLayout(scans=[ttfl_scan([(3, [1])])]), qtof_too=True))
    head, records = raw_dump(path)
    assert head["variant"] == 1 and len(records) == 1


def test_missing_stream_is_reported_before_a_malformed_index(write_file):
    data = write(Storage("Root Entry", [Storage("TTFL Raw Data", [
        Stream("Data Index", b"x" * 20), Stream("MS Raw Data", b"")])])).data
    fails_with(write_file("run.lcd", bytes(data)),
               "parse error: stream 'TTFL Raw Data/Retention Time' not found: no entry at this path")
    data = write(Storage("Root Entry", [Storage("GCMS Raw Data", [
        Storage("Spectrum Index", []), Stream("MS Raw Data", b"")])])).data
    fails_with(write_file("run.qgd", bytes(data)),
               "parse error: stream 'GCMS Raw Data/Spectrum Index' not found: the entry is not a stream")


def test_malformed_indexes(write_file):
    data = write(Storage("Root Entry", [Storage("GCMS Raw Data", [
        Stream("Spectrum Index", b"123"), Stream("MS Raw Data", b"")])])).data
    fails_with(write_file("run.qgd", bytes(data)),
               "parse error: Spectrum Index stream size 3 matches neither Variant A (u32[N]) nor "
               "Variant B (2-byte header + u64[N])")
    fails_with(write_file("q.lcd", qtof_file([(qtof_scan([1], [1]), 1)], [1], index=b"x" * 30)),
               "parse error: Centroid Index stream size 30 is not a multiple of 24")


def broken_gcms(kind: str) -> bytes:
    """A .qgd file of a few KiB whose container is broken in one way."""
    built = write(Storage("Root Entry", [Storage("GCMS Raw Data", [
        Stream("Spectrum Index", b"\0\0\0\0"), Stream("MS Raw Data", gcms_profile_scan(5, [(1, 1)] * 2000))])]),
                  version=4 if kind == "mini stream near 2**64" else 3)
    data_id = built.entry_id["GCMS Raw Data/MS Raw Data"]
    sectors = built.stream_sectors["GCMS Raw Data/MS Raw Data"]
    if kind == "mini stream near 2**64":  # the root entry's size, rounded up to sectors, would wrap around
        built.set_u64(built.entry_offset(0) + 120, 2**64 - 1)
    elif kind == "4 GiB stream":
        built.set_u32(built.entry_offset(data_id) + 120, 0xFFFFFFFF)
    elif kind == "FAT loop":
        built.set_u32(built.fat_entry_offset(sectors[5]), sectors[2])
    elif kind == "children point back":
        storage = built.entry_id["GCMS Raw Data"]
        built.set_u32(built.entry_offset(data_id) + 76, storage)  # a stream's child: never followed
        built.set_u32(built.entry_offset(data_id) + 72, storage)  # a sibling back to the parent
    return bytes(built.data)


@pytest.mark.parametrize("kind, message", [
    ("4 GiB stream", "I/O error: stream of 4294967295 bytes cannot fit in a file of"),
    ("mini stream near 2**64", "I/O error: mini stream of 18446744073709551615 bytes cannot fit in a file of"),
    ("FAT loop", "I/O error: stream chain loops at sector"),
    ("children point back", "parse error: not a valid OLE2/CFBF container: directory entry 1 is linked"),
])
def test_broken_containers_give_a_clean_error_quickly(write_file, kind, message):
    path = write_file("run.qgd", broken_gcms(kind))
    started = time.monotonic()
    with pytest.raises(RuntimeError) as caught:
        tavrik.RawReader(path)
    assert str(caught.value).startswith(message)
    assert time.monotonic() - started < 5  # a hang guard, not a speed test


# --- acquisition timestamp ------------------------------------------------------------------

EPOCH_TICKS = 116_444_736_000_000_000


def stamped(times: dict) -> bytes:
    """A .qgd file whose entries carry the given creation times (root, storage, streams)."""
    root = Storage("Root Entry", [Storage("GCMS Raw Data", [
        Stream("Spectrum Index", b"", created=times.get("index", 0)),
        Stream("MS Raw Data", b"", created=times.get("data", 0))], created=times.get("storage", 0))],
        created=times.get("root", 0))
    return bytes(write(root).data)


@pytest.mark.parametrize("times, expected", [
    ({}, None),
    ({"storage": EPOCH_TICKS}, None),
    ({"storage": EPOCH_TICKS + 1}, "1970-01-01T00:00:00Z"),
    ({"storage": EPOCH_TICKS - 10, "index": EPOCH_TICKS + 1}, "1970-01-01T00:00:00Z"),
    ({"storage": dt.datetime(2019, 7, 4, 9, 15, 3), "data": dt.datetime(2019, 7, 4, 9, 15, 2, 40000)},
     "2019-07-04T09:15:02.040Z"),
    ({"root": dt.datetime(2001, 1, 1), "data": dt.datetime(2019, 1, 1)}, "2001-01-01T00:00:00Z"),
    ({"index": dt.datetime(2019, 7, 4, 9, 15, 2, 999999)}, "2019-07-04T09:15:02.999Z"),
    ({"index": 0x7FFFFFFFFFFFFFFF}, "30828-09-14T02:48:05.477Z"),
])
def test_acquisition_timestamp(write_file, times, expected):
    head, _ = raw_dump(write_file("t.qgd", stamped(times)))
    assert head["acquired_at"] == expected


def test_source_name_is_the_stem(write_file):
    head, records = raw_dump(write_file("run01.x.qgd", gcms_file([gcms_profile_scan(1, [(1, 1)])])))
    assert head["source_name"] == "run01.x"
    assert records[0]["native_id"] == "source=run01.x start=1 end=1"
