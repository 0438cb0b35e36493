"""tavrik-convert.exe (scripts/test-windows.sh runs it under Wine): what only Windows has. Wildcards
the program expands itself, "\\" between components, non-ASCII and long paths, devices, Ctrl-C."""
import shutil
import signal
import subprocess
import time

import pytest

from conftest import ROOT
from test_convert import CONVERT, WINDOWS, check_mzml, convert

pytestmark = pytest.mark.skipif(not WINDOWS, reason="for tavrik-convert.exe (TAVRIK_CONVERT_WINDOWS)")


def test_wildcards_expand_to_the_matching_names(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for name, sample in (("b.lcd", "run-qtof.lcd"), ("a.lcd", "run-ttfl.lcd"), ("c.qgd", "run-gcms.qgd"),
                         ("d.lcdx", "run-qtof.lcd")):
        shutil.copy(ROOT / "samples" / sample, folder / name)
    run = convert("-o", tmp_path / "out", f"{folder}\\*.lcd", f"{folder}\\?.qgd", f"{folder}\\*.raw")
    assert (run.returncode, run.stderr) == \
        (1, f"tavrik-convert: {folder}\\*.raw: I/O error: No such file or directory (os error 2)\n")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["a.mzML", "b.mzML", "c.mzML"]
    check_mzml(str(folder / "a.lcd"), tmp_path / "out" / "a.mzML")
    # A name is given as the expansion wrote it, and an output with the directory's separator.
    run = convert("-o", f"{tmp_path}\\out", f"{folder}\\b*")
    assert (run.returncode, run.stderr) == \
        (1, f"tavrik-convert: {folder}\\b.lcd: {tmp_path}\\out\\b.mzML exists (use --overwrite to replace it)\n")


def test_non_ascii_and_long_paths(tmp_path):
    long = tmp_path.joinpath(*["Verzeichnis_mit_langem_Namen_%02d" % k for k in range(10)])
    for folder, name in ((tmp_path / "Messungen_ä", "Probe_ä_µg.lcd"), (long, "run-qtof.lcd")):
        folder.mkdir(parents=True)
        shutil.copy(ROOT / "samples" / "run-qtof.lcd", folder / name)
    assert len(str(long)) > 300
    for source, out in ((tmp_path / "Messungen_ä" / "Probe_ä_µg.lcd", tmp_path / "Ausgabe_ü"),
                        (long / "run-qtof.lcd", long / "out")):
        run = convert("-o", out, source)
        assert (run.returncode, run.stderr) == (0, "")
        target = out / (source.stem + ".mzML")
        assert convert("-o", out, source).stderr == \
            f"tavrik-convert: {source}: {target} exists (use --overwrite to replace it)\n"
    check_mzml(str(long / "run-qtof.lcd"), long / "out" / "run-qtof.mzML")
    # The same document as from an ASCII name, but for the names and what follows from them.
    text = (tmp_path / "Ausgabe_ü" / "Probe_ä_µg.mzML").read_text()
    assert 'location="file:///Z:%s/Messungen_%%C3%%A4"' % tmp_path in text and 'name="Probe_ä_µg.lcd"' in text
    assert text.count("<spectrum ") == (long / "out" / "run-qtof.mzML").read_text().count("<spectrum ") > 0


def test_devices_and_directories_are_refused(tmp_path):
    good = ROOT / "samples" / "run-qtof.lcd"
    run = convert("-o", tmp_path / "out", "NUL", tmp_path, good)
    assert (run.returncode, sorted(run.stderr.splitlines())) == (1, sorted([
        "tavrik-convert: NUL: I/O error: not a regular file but a character device",
        f"tavrik-convert: {tmp_path}: I/O error: not a regular file but a directory"]))
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["run-qtof.mzML"]


def test_ctrl_c_leaves_no_temporary_file(tmp_path):
    """Wine turns SIGINT into the console's Ctrl-C event, which the converter handles."""
    many = tmp_path / "many"
    many.mkdir()
    for k in range(40):
        shutil.copy(ROOT / "samples" / "run-qtof.lcd", many / f"r{k}.lcd")
    for delay in (0.5, 1, 1.5, 2):
        out = tmp_path / f"out-{delay}"
        process = subprocess.Popen([str(CONVERT), "-q", "-j", "8", "-o", out, *sorted(many.iterdir())],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        # Ended as Ctrl-C ends a process (STATUS_CONTROL_C_EXIT, of which the exit status keeps the
        # low byte), or before Wine set up its console, or done already.
        assert process.wait(timeout=120) in (0xC000013A & 0xFF, -signal.SIGINT, 0)
        assert not out.exists() or sorted(p.name for p in out.iterdir() if ".tmp-" in p.name) == []
