"""tavrik-convert commits what one input produces as one unit (the two Parquet tables; an mzML
file and its metadata): a fault or a signal at any step of the commit leaves, under the final
names, the whole new unit or the whole old one, never a mix and never a temporary file.

Faults are injected with strace at each fsync and rename of the commit; a unit is told apart by
the run identifier the two tables share, and by the SHA-1s the metadata gives of its raw file and
of its output; the old and the new raw file have the same name and different layouts."""
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

from conftest import ROOT
from test_convert import CONVERT, WINDOWS, convert
from test_convert_safety import temporaries

pytestmark = pytest.mark.skipif(not shutil.which("strace") or WINDOWS,
                                reason="needs strace, and the converter's own system calls")

OLD, NEW = ROOT / "samples" / "run-ttfl.lcd", ROOT / "samples" / "run-qtof.lcd"
UNITS = {"parquet": (["--format", "parquet"], ["run.spectra.parquet", "run.points.parquet"]),
         "mzML+metadata": (["--metadata"], ["run.mzML", "run.metadata.json"])}


def unit_of(directory: Path, names: list[str]) -> str:
    """Which conversion the files under `names` come from, "old", "new" or "none"; fails on a mix."""
    present = [directory / n for n in names if (directory / n).exists()]
    if not present:
        return "none"
    assert len(present) == len(names), f"a lone file: {[p.name for p in present]}"
    if names[0].endswith(".parquet"):
        ids = {re.search(rb'"run_id": "([0-9a-f]{32})"', p.read_bytes())[1] for p in present}
        assert len(ids) == 1, "tables of two conversions"
        layout = re.search(rb'"layout": "([^"]*)"', present[0].read_bytes())[1].decode()
    else:
        facts = json.loads(present[1].read_text())
        assert facts["output"]["sha1"] == hashlib.sha1(present[0].read_bytes()).hexdigest(), \
            "metadata of another output"
        layout = facts["layout"]
    return {"TTFL": "old", "QTOF": "new"}[layout]  # the layouts of OLD and NEW


def prepare(tmp_path: Path, options: list[str], old: bool) -> tuple[Path, Path]:
    """An output directory, holding the old unit when `old`; and the new input, named like it."""
    out, source = tmp_path / "out", tmp_path / "new" / "run.lcd"
    shutil.rmtree(out, ignore_errors=True)
    source.parent.mkdir(exist_ok=True)
    shutil.copy(NEW, source)
    if old:
        (tmp_path / "old").mkdir(exist_ok=True)
        shutil.copy(OLD, tmp_path / "old" / "run.lcd")
        assert convert("-q", *options, "-o", out, tmp_path / "old" / "run.lcd").returncode == 0
    return out, source


def traced(options, out, source, inject, overwrite, signal_after=None):
    """The converter under strace with `inject` (one or a list); interrupted by SIGTERM once the calls in
    `signal_after` ("fsync", n) have been traced, when given. Its exit status and stderr."""
    trace = out.parent / "trace"
    injects = [inject] if isinstance(inject, str) else inject
    trace.unlink(missing_ok=True)  # the last run's, which the wait below must not take for this one's
    command = ["strace", "-f", "-qq", "-o", str(trace), "-e", "trace=fsync,rename,renameat,renameat2,link,linkat",
               *(f"-einject={i}" for i in injects), str(CONVERT), "-q", "-j", "1", *options,
               *(["--overwrite"] if overwrite else []), "-o", str(out), str(source)]
    process = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    if signal_after:
        call, count = signal_after
        deadline = time.monotonic() + 60
        while (not trace.exists() or trace.read_text().count(call + "(") < count) and time.monotonic() < deadline:
            time.sleep(0.02)
        time.sleep(0.3)  # well inside the delayed call (two seconds, for slow or loaded machines)
        converter = int(trace.read_text().split(None, 1)[0])  # each line starts with its process id
        os.kill(converter, signal.SIGTERM)
    _, stderr = process.communicate(timeout=120)
    return process.returncode, stderr


# Each step of the commit, the fault injected there, and what must be left. The fsyncs are the two
# files' then the directory's; the renames are the two files' (a swap with the old file under
# --overwrite). A delay with a signal in it: before the renames the old unit stays; during them
# the signal waits for the new unit to be in place.
CASES = [
    ("fsync of the first file", "fsync:error=EIO:when=1", None, 1, "old"),
    ("fsync of the second file", "fsync:error=EIO:when=2", None, 1, "old"),
    ("fsync of the directory", "fsync:error=EIO:when=3", None, 0, "new"),
    ("first rename", "renameat2:error=EIO:when=1", None, 1, "old"),
    ("second rename", "renameat2:error=EIO:when=2", None, 1, "old"),
    ("signal in the fsync of the second file", "fsync:delay_enter=2000000:when=2", ("fsync", 1), -15, "old"),
    ("signal in the first rename", "renameat2:delay_enter=2000000:when=1", ("fsync", 2), -15, "new"),
    ("signal in the second rename", "renameat2:delay_enter=2000000:when=2", ("fsync", 2), -15, "new"),
]


@pytest.mark.parametrize("unit", UNITS)
def test_commit_leaves_a_whole_unit_at_every_fault(tmp_path, unit):
    options, names = UNITS[unit]
    rows = []
    for overwrite in (False, True):
        for step, inject, signal_after, status, left in CASES:
            out, source = prepare(tmp_path, options, old=overwrite)
            code, stderr = traced(options, out, source, inject, overwrite, signal_after)
            expected = left if overwrite or left == "new" else "none"
            got = unit_of(out, names)
            rows.append(f"{unit:14} {'--overwrite' if overwrite else 'fresh':11} {step:40} {inject:36} "
                        f"status {code:3}  left {got}")
            assert (code, got) == (status, expected), (step, overwrite, stderr)
            assert temporaries(out) == [], (step, overwrite)
            if status == 1:
                assert re.search(r": cannot write .*: Input/output error\n$", stderr), stderr
            if status == 0:  # after the point of no return: a warning, not a failure
                assert "warning: the outputs are in place, but syncing" in stderr, stderr
    print("\n" + "\n".join(rows))


def test_without_swaps_the_old_files_wait_aside(tmp_path):
    """Where the file system can neither swap two names nor rename without replacing (every
    renameat2 refused), the old files wait under hidden names, linked and unlinked: a failure at
    the second table's link puts all back."""
    options, names = UNITS["parquet"]
    # The C library links with link on x86_64, with linkat on aarch64.
    for link_fault, status, left in ((None, 0, "new"), ("link,linkat:error=EIO:when=4", 1, "old")):
        out, source = prepare(tmp_path, options, old=True)
        injects = ["renameat2:error=EINVAL", *([link_fault] if link_fault else [])]
        code, stderr = traced(options, out, source, injects, True)
        assert (code, unit_of(out, names)) == (status, left), stderr
        assert temporaries(out) == []


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("mount"), reason="mounts a small tmpfs")
def test_full_disk_at_the_commit_keeps_the_old_unit(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(disk)]).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        for unit, (options, names) in UNITS.items():
            shutil.rmtree(disk / "out", ignore_errors=True)
            out, source = prepare(tmp_path, options, old=False)
            shutil.copy(OLD, tmp_path / "run.lcd")
            assert convert("-q", *options, "-o", disk / "out", tmp_path / "run.lcd").returncode == 0
            # Filled to within a few KiB of the end: the new unit cannot be written whole.
            free = shutil.disk_usage(disk).free
            (disk / "filler").write_bytes(b"\0" * max(0, free - 8192))
            run = convert("-q", "--overwrite", *options, "-o", disk / "out", source)
            assert run.returncode == 1 and "No space left on device" in run.stderr, (unit, run.stderr)
            assert unit_of(disk / "out", names) == "old" and temporaries(disk / "out") == [], unit
            (disk / "filler").unlink()
    finally:
        subprocess.run(["umount", str(disk)])


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("mount") or not shutil.which("gdb"),
                    reason="mounts a small tmpfs, counts the index entries decoded with gdb")
@pytest.mark.skipif("ASAN_OPTIONS" in os.environ, reason="gdb stalls on the address sanitizer's converter")
def test_full_disk_stops_the_decoding(tmp_path):
    """The first write that fails ends the decoding (of mzML, and of MGF by the same loop): of a
    file of several batches, only the first batch's index entries are decoded (on one thread),
    not all of them; the message and the status are those of any failed write."""
    from testkit.bulk import gcms_bulk
    source = tmp_path / "bulk.qgd"
    source.write_bytes(gcms_bulk(6e6))  # 747 index entries; a batch holds 262 of them
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(disk)]).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        # The installed program is stripped: the build's (scripts/test.sh makes it) has the symbol.
        program = CONVERT if os.environ.get("TAVRIK_CONVERT") else ROOT / "build" / "dev" / "convert" / "tavrik-convert"
        if not program.exists():
            pytest.skip("no converter built with its symbols")
        run = subprocess.run(["gdb", "-q", "-batch", "-ex", "break reader::ScanDecoder::decode",
                              "-ex", "ignore 1 100000000", "-ex", "run", "-ex", "info breakpoints",
                              "--args", str(program), "-q", "-j", "1", "-o", str(disk), str(source)],
                             capture_output=True, text=True, timeout=300)
        if "breakpoint pending" in run.stdout or "not in executable format" in run.stdout:
            pytest.skip("a converter without symbols, or of another architecture: nothing to count with")
        hits = re.search(r"already hit (\d+) time", run.stdout)
        assert hits, run.stdout
        decoded = int(hits[1])
        assert "exited with code 01" in run.stdout and run.stderr == \
            f"tavrik-convert: {source}: cannot write {disk / 'bulk.mzML'}: No space left on device\n", run.stdout
        assert decoded <= 263, decoded
    finally:
        subprocess.run(["umount", str(disk)])


def test_jobs_capped_by_the_descriptor_limit(tmp_path):
    many = tmp_path / "in"
    many.mkdir()
    for k in range(100):
        os.link(NEW, many / f"r{k}.lcd") if os.stat(NEW).st_dev == os.stat(many).st_dev \
            else shutil.copy(NEW, many / f"r{k}.lcd")
    run = convert("-q", "-j", "64", "--format", "parquet", "-o", tmp_path / "out", *sorted(many.iterdir()),
                  prefix=["bash", "-c", 'ulimit -n 64; exec "$@"', "-"])
    assert run.returncode == 0, run.stderr
    assert re.fullmatch(r"tavrik-convert: note: converting \d files at once, not 64: the process may hold 64 "
                        r"open files \(ulimit -n\)\n", run.stderr), run.stderr
    assert len(list((tmp_path / "out").iterdir())) == 200
