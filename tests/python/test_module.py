"""The Python surface of tavrik: names, signatures, arguments, errors, notes, reprs."""
import os
import pathlib
import struct
import subprocess
import sys
import sysconfig
import traceback

import pytest
import tavrik

from testkit.layouts import gcms_file, gcms_profile_scan

RawReader, Spectrum = tavrik.RawReader, tavrik.Spectrum


@pytest.fixture
def path(write_file):
    scans = [gcms_profile_scan(312_467, [(1234, 1), (1235, 2)]), gcms_profile_scan(0, []),
             gcms_profile_scan(5, [(10, 65535)])]
    return write_file("run07.qgd", gcms_file(scans))


def notes(exc):
    return getattr(exc, "__notes__", [])


def test_module_attributes():
    assert tavrik.__all__ == ["RawReader", "Spectrum"]
    assert tavrik.__doc__ == ""
    public = sorted(n for n in vars(tavrik) if not n.startswith("__"))
    assert public == ["RawReader", "Spectrum"]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded interpreter")
def test_importing_leaves_the_gil_disabled():
    code = "import tavrik, sys; print(sys._is_gil_enabled())"
    out = subprocess.run([sys.executable, "-W", "error", "-c", code], capture_output=True, text=True)
    assert (out.stdout, out.stderr) == ("False\n", "")


def test_a_second_module_object_shares_the_classes():
    import importlib.util
    found = importlib.util.find_spec("tavrik")
    again = importlib.util.module_from_spec(found)
    found.loader.exec_module(again)
    assert again is not tavrik
    assert again.RawReader is RawReader and again.Spectrum is Spectrum
    assert again.__all__ == ["RawReader", "Spectrum"]


def test_class_shapes():
    for cls in (RawReader, Spectrum):
        assert cls.__module__ == "builtins"
        assert cls.__bases__ == (object,)
        assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
        assert "__weakref__" not in cls.__dict__
    assert RawReader.__text_signature__ == "(path)"
    assert RawReader.read_spectrum.__text_signature__ == "($self, scan_index)"
    assert Spectrum.__doc__ is None
    assert RawReader.scan_count.__doc__ is None and Spectrum.mz.__doc__ is None
    with pytest.raises(TypeError):
        Spectrum()
    for cls in (RawReader, Spectrum):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_objects_are_read_only_and_have_no_dict(path):
    reader = RawReader(path)
    s = reader.read_spectrum(0)
    with pytest.raises(AttributeError):
        s.mz = [1.0]
    with pytest.raises(AttributeError):
        del reader.scan_count
    with pytest.raises(AttributeError):
        reader.extra = 1
    with pytest.raises(AttributeError):
        s.__dict__


def test_path_argument(path):
    assert RawReader(path=path).scan_count == RawReader(path).scan_count == 3

    class Text(str):
        pass
    assert RawReader(Text(path)).scan_count == 3
    for bad, message in [(path.encode(), "'bytes' object is not an instance of 'str'"),
                         (pathlib.Path(path), "'PosixPath' object is not an instance of 'str'"),
                         (None, "'None' is not an instance of 'str'")]:
        with pytest.raises(TypeError) as caught:
            RawReader(bad)
        assert str(caught.value) == message
        assert notes(caught.value) == ["while processing 'path'"]
    with pytest.raises(UnicodeEncodeError) as caught:
        RawReader("\udcff.qgd")
    assert notes(caught.value) == ["while processing 'path'"]


@pytest.mark.parametrize("args, kwargs, text", [
    ((), {}, "RawReader.__new__() missing required argument 'path' (pos 1)"),
    (("a", "b"), {}, "RawReader.__new__() takes at most 1 argument (2 given)"),
    ((), {"name": "a"}, "'name' is an invalid keyword argument for RawReader.__new__()"),
    (("a",), {"path": "a"}, "argument for RawReader.__new__() given by name ('path') and position (1)"),
])
def test_constructor_argument_errors(args, kwargs, text):
    with pytest.raises(TypeError) as caught:
        RawReader(*args, **kwargs)
    assert str(caught.value) == text
    assert notes(caught.value) == []


def test_read_spectrum_arguments(path):
    reader = RawReader(path)
    assert reader.read_spectrum(scan_index=2).intensity == [65535.0]
    assert len(reader.read_spectrum(True)) == 0  # True is scan 1

    class Index:
        def __index__(self):
            return 2
    assert reader.read_spectrum(Index()).mz == [1.0]
    for bad, kind in [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError), ("0", TypeError)]:
        with pytest.raises(kind) as caught:
            reader.read_spectrum(bad)
        assert type(caught.value) is kind
        assert notes(caught.value) == ["while processing 'scan_index'"]

    class FailingIndex:
        def __index__(self):
            raise LookupError("no index")
    with pytest.raises(LookupError) as caught:
        reader.read_spectrum(FailingIndex())
    assert notes(caught.value) == ["while processing 'scan_index'"]
    # The note is added without losing where the error came from.
    assert [frame.f_code.co_name for frame, _ in traceback.walk_tb(caught.value.__traceback__)][-1] == "__index__"
    with pytest.raises(RuntimeError) as caught:
        reader.read_spectrum(3)
    assert str(caught.value) == "scan 3 out of range"
    with pytest.raises(RuntimeError, match="^scan 18446744073709551615 out of range$"):
        reader.read_spectrum(2**64 - 1)
    with pytest.raises(TypeError, match=r"RawReader.read_spectrum\(\) missing required argument 'scan_index'"):
        reader.read_spectrum()
    with pytest.raises(TypeError, match="invalid keyword argument for RawReader.read_spectrum"):
        reader.read_spectrum(index=0)
    with pytest.raises(TypeError, match=r"takes at most 1 argument \(2 given\)"):
        reader.read_spectrum(0, 1)


def test_reprs(path, write_file):
    reader = RawReader(path)
    assert repr(reader) == str(reader) == "RawReader('run07', 3 scans)"
    assert repr(reader.read_spectrum(0)) == "Spectrum(2 peaks, RT 312.47s)"
    assert str(reader.read_spectrum(1)) == "Spectrum(0 peaks, RT 0.00s)"
    quoted = RawReader(write_file("it's \"q\".qgd", gcms_file([])))
    assert repr(quoted) == "RawReader('it's \"q\"', 0 scans)"
    with pytest.raises(RuntimeError, match="^scan 0 out of range$"):
        quoted.read_spectrum(0)


@pytest.mark.parametrize("rt_ms, shown", [(312_466, "312.47"), (312_465, "312.46"), (1_005, "1.00"),
                                          (4_294_967_295, "4294967.29"), (125, "0.12")])
def test_retention_time_is_rounded_correctly(write_file, rt_ms, shown):
    # Decimal rounding of the stored double: 312.465 is stored just below .465, 0.125 is exact
    # and rounds half to even.
    reader = RawReader(write_file("r.qgd", gcms_file([gcms_profile_scan(rt_ms, [])])))
    assert repr(reader.read_spectrum(0)) == f"Spectrum(0 peaks, RT {format(rt_ms / 1000.0, '.2f')}s)"
    assert format(rt_ms / 1000.0, ".2f") == shown


def test_spectra_are_independent_copies(path):
    reader = RawReader(path)
    a, b = reader.read_spectrum(0), reader.read_spectrum(0)
    assert a is not b and a != b  # no comparison of their own: identity decides
    assert hash(a) == object.__hash__(a) and hash(reader) == object.__hash__(reader)
    assert a.mz == b.mz and a.intensity == b.intensity
    mz = a.mz
    assert mz is not a.mz
    mz.append(1.0)
    assert a.mz == [123.4, 123.5]
    del reader
    assert a.mz == [123.4, 123.5]


def test_len_truth_and_no_sequence_protocol(path):
    reader = RawReader(path)
    s, empty = reader.read_spectrum(0), reader.read_spectrum(1)
    assert len(s) == 2 and s and not empty
    for obj in (reader, s):
        with pytest.raises(TypeError):
            iter(obj)
        with pytest.raises(TypeError):
            obj[0]
    with pytest.raises(TypeError):
        len(reader)
    assert s.ms_level == 1 and isinstance(s.ms_level, int)


def test_intensity_widens_exactly(write_file):
    from testkit.layouts import qtof_file, qtof_scan
    tenth = struct.unpack("<f", struct.pack("<f", 0.1))[0]
    assert tenth == 0.10000000149011612
    # 32-bit intensities come from integers in every layout; widening must be exact for each.
    reader = RawReader(write_file("w.lcd", qtof_file([(qtof_scan([1], [16777217]), 1)], [0])))
    assert reader.read_spectrum(0).intensity == [16777216.0]


def test_no_file_stays_open(path):
    before = len(os.listdir("/proc/self/fd"))
    readers = [RawReader(path) for _ in range(50)]
    assert len(os.listdir("/proc/self/fd")) == before
    assert all(r.scan_count == 3 for r in readers)
