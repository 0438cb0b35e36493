"""tavrik-convert against hostile inputs and surroundings: memory from a small file, names that
are not XML text, signals, durability, long names, and a file replaced while it is converted."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from conftest import ROOT
from test_convert import CONVERT, N, WINDOWS, convert
from testkit.layouts import gcms_file, gcms_mrm_scan

SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def mrm_file(scans: int) -> bytes:
    """Scans of 65,535 transitions each, the most one scan can hold: six bytes a record."""
    transitions = [(1000 + k % 500, 500 + k % 700, k) for k in range(65535)]
    return gcms_file([gcms_mrm_scan(1000 * (s + 1), transitions) for s in range(scans)])


def temporaries(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name.startswith(".") or ".tmp-" in p.name)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers' shadow memory is not the converter's")
@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize("format", ["mzML", "parquet"])
def test_memory_is_bounded_by_the_file_size(tmp_path, jobs, format):
    # 262,140 one-point records from a 1.6 MB file; its mzML is 800 MB.
    source = tmp_path / "mrm.qgd"
    source.write_bytes(mrm_file(4))
    # Started by a small interpreter of its own: a child started from this process (by vfork)
    # would count this process's peak as its own.
    measure = ("import os, subprocess, sys; p = subprocess.Popen(sys.argv[1:]); _, s, u = os.wait4(p.pid, 0); "
               "print(os.waitstatus_to_exitcode(s), u.ru_maxrss)")
    run = subprocess.run([sys.executable, "-S", "-c", measure, str(CONVERT), "-q", "-j", jobs, "--format", format,
                          "-o", str(tmp_path / "out"), str(source)], capture_output=True, text=True, check=True)
    status, maxrss = map(int, run.stdout.split())
    assert status == 0
    size, peak = source.stat().st_size, maxrss * 1024
    # The bound the README states: 24 bytes a byte of the file, 64 MiB, and 40 MiB a thread.
    assert peak <= 24 * size + (64 + 40 * int(jobs)) * 2**20, f"{peak / 2**20:.0f} MiB for {size / 2**20:.1f} MiB"


@pytest.mark.skipif(WINDOWS, reason="a name that is not UTF-8 never reaches a Windows program")
def test_any_file_name_gives_well_formed_xml(tmp_path):
    names = {  # file name: the name the document must give
        "caf\udce9&<x>\"'.lcd": "caf\ufffd&<x>\"'.lcd",  # a byte that is not UTF-8, and markup
        "g\ufffe\uffff.qgd": "g\ufffd\ufffd.qgd",  # well-formed UTF-8 that XML does not allow
        "c\x01\x1f\x7f.qgd": "c\ufffd\ufffd\x7f.qgd",  # control characters
        "Probe_ä_µg 東.lcd": "Probe_ä_µg 東.lcd",  # valid, so unchanged
        "trunc\udce2\udc82.qgd": "trunc\ufffd.qgd",  # a sequence cut short: one replacement
    }
    (tmp_path / "in").mkdir()
    inputs = []
    for name in names:
        sample = "run-gcms.qgd" if name.endswith(".qgd") else "run-qtof.lcd"
        inputs.append(tmp_path / "in" / name)
        shutil.copy(ROOT / "samples" / sample, inputs[-1])
    run = convert("-o", tmp_path / "out", *inputs)
    assert run.returncode == 0, run.stderr
    for source, written in zip(inputs, names.values()):
        out = tmp_path / "out" / (source.stem + ".mzML")
        root = ET.parse(out).getroot()  # refuses a document that is not well-formed
        (src,) = root.iter(N + "sourceFile")
        assert src.get("name") == written
        stem = written.rsplit(".", 1)[0]
        if source.suffix == ".qgd":  # its spectrum identifiers hold the stem
            ids = [s.get("id") for s in root.iter(N + "spectrum")]
            assert ids and all(i.startswith(f"source={stem.replace(' ', '_')} ") for i in ids)
        lint = subprocess.run(["xmllint", "--noout", str(out)], capture_output=True, text=True)
        assert lint.returncode == 0, lint.stderr


def test_output_names_up_to_the_longest_the_directory_takes(tmp_path):
    # Wine 8 on this machine cuts a rename target of that many non-ASCII bytes short, with any
    # build of the converter (the file appears under a shorter name): not run under Wine.
    names = (("s" * 244, True), *(() if WINDOWS else (("é" * 123, True),)), ("s" * 251, False))
    for stem, fits in names:  # 249, 251, 256 bytes
        source = tmp_path / (stem + ".qgd")
        shutil.copy(ROOT / "samples" / "run-gcms.qgd", source)
        run = convert("-o", tmp_path / "out", source)
        target = tmp_path / "out" / (stem + ".mzML")
        if fits:
            assert (run.returncode, run.stderr, target.exists()) == (0, "", True)
        else:
            assert (run.returncode, run.stderr) == (1, f"tavrik-convert: {source}: cannot write {target}: "
                                                       "File name too long\n")
        assert temporaries(tmp_path / "out") == []
        source.unlink()


def traced_calls(text: str) -> list[str]:
    """The calls of an `strace -f` log in the order they started, each whole: a call that another
    thread's call interrupted (`<unfinished ...>`) is joined with its end (`<... resumed>`)."""
    calls, pending = [], {}
    for line in text.splitlines():
        pid, call = line.split(None, 1)
        if call.endswith("<unfinished ...>"):
            pending[pid] = len(calls)
            calls.append(call.removesuffix("<unfinished ...>").rstrip())
        elif "resumed>" in call:
            if pid in pending:
                calls[pending.pop(pid)] += call.split("resumed>", 1)[1]
        else:
            calls.append(call)
    return calls


@pytest.mark.skipif(not shutil.which("strace") or WINDOWS, reason="needs strace, and the converter's own system calls")
def test_input_opened_once_and_output_durable_before_its_name(tmp_path):
    source = tmp_path / "run.qgd"
    shutil.copy(ROOT / "samples" / "run-gcms.qgd", source)
    for jobs in ("1", "2"):
        trace = tmp_path / f"trace-{jobs}"
        run = convert("-j", jobs, "-o", tmp_path / jobs, source,
                      prefix=["strace", "-f", "-qq", "-o", str(trace), "-e", "trace=open,openat,fsync,rename,renameat2"])
        assert run.returncode == 0, run.stderr
        calls = traced_calls(trace.read_text())
        # The input's checksum describes the bytes decoded: it is never opened a second time.
        assert sum(f'"{source}"' in c for c in calls) == 1
        opens = ("open(", "openat(")  # a static converter's C library may call either
        temp_fd = next(re.search(r"= (\d+)$", c)[1] for c in calls if c.startswith(opens) and ".tmp-" in c)
        rename = next(i for i, c in enumerate(calls) if c.startswith("rename"))
        syncs = [i for i, c in enumerate(calls) if c.startswith("fsync(")]
        assert [i for i in syncs if i < rename] and calls[syncs[0]].startswith(f"fsync({temp_fd})")
        # The directory, opened before the rename (when descriptors cannot have run out since),
        # is synced after it.
        dir_fd = next(re.search(r"= (\d+)$", c)[1] for c in calls[:rename]
                      if c.startswith(opens) and f'"{tmp_path / jobs}"' in c)
        assert any(c.startswith(f"fsync({dir_fd})") for c in calls[rename:])


def start(args, **kw) -> subprocess.Popen:
    return subprocess.Popen([str(CONVERT), *map(str, args)], stdout=subprocess.DEVNULL, **kw)


@pytest.mark.skipif(WINDOWS, reason="POSIX signals; test_convert_windows.py interrupts the Windows converter")
def test_signals(tmp_path):
    source = tmp_path / "mrm.qgd"
    source.write_bytes(mrm_file(4))  # a few seconds' conversion
    # Under nohup a hang-up is ignored, and the conversion goes on to the end.
    ignored = start(["-o", tmp_path / "nohup", source], stderr=subprocess.DEVNULL,
                    preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
    time.sleep(0.5)
    ignored.send_signal(signal.SIGHUP)
    assert ignored.wait(timeout=120) == 0 and (tmp_path / "nohup" / "mrm.mzML").exists()
    # A message into a pipe nobody reads is a failed write, not the end of the process.
    read, write = os.pipe()
    os.close(read)
    closed = start(["-o", tmp_path / "pipe", tmp_path / "absent.qgd", ROOT / "samples" / "run-qtof.lcd"], stderr=write)
    os.close(write)
    assert closed.wait(timeout=120) == 1
    assert sorted(p.name for p in (tmp_path / "pipe").iterdir()) == ["run-qtof.mzML"]
    # Interrupted at any moment, many conversions at once leave no temporary file behind.
    many = tmp_path / "many"
    many.mkdir()
    for k in range(40):
        shutil.copy(ROOT / "samples" / "run-qtof.lcd", many / f"r{k}.lcd")
    for delay in (0.01, 0.03, 0.06, 0.1, 0.15, 0.2, 0.3):
        out = tmp_path / f"out-{delay}"
        process = start(["-q", "-j", "8", "-o", out, *sorted(many.iterdir())], stderr=subprocess.DEVNULL)
        time.sleep(delay)
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=120) in (-signal.SIGINT, 0)
        assert not out.exists() or temporaries(out) == []
