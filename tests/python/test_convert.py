"""tavrik-convert end to end: its mzML (read back with xml.etree, base64 and zlib alone) and MGF
hold exactly what the reader returns; the index, the checksums and the schemas; errors, exit
statuses, no partial files; threads."""
import base64
import collections
import gzip
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib
from pathlib import Path

import pytest
import tavrik

from conftest import ROOT, raw_dump
from testkit.layouts import (TtflLayout, gcms_file, gcms_header, gcms_mrm_scan, gcms_profile_scan,
                             qtof_file, qtof_scan, ttfl_file, ttfl_scan)

# The installed program, or the build that $TAVRIK_CONVERT names (the sanitizers' run).
CONVERT = Path(os.environ.get("TAVRIK_CONVERT") or Path(sys.executable).with_name("tavrik-convert"))
# It is tavrik-convert.exe, run under Wine (scripts/test-windows.sh).
WINDOWS = bool(os.environ.get("TAVRIK_CONVERT_WINDOWS"))
MZML = "http://psi.hupo.org/ms/mzml"
N = "{%s}" % MZML
SAMPLES = sorted(p.name for p in (ROOT / "samples").iterdir())
PROFILE = gcms_profile_scan(1500, [(1000, 3), (1010, 65535)])
MADE = {  # test-writer files, and the warning each gives
    "mrm.qgd": (gcms_file([PROFILE, gcms_mrm_scan(2000, [(1000, 505, 9), (1200, 601, 2**31)], width=4),
                           gcms_profile_scan(2500, [])]), None),
    "srm.qgd": (gcms_file([  # MRM only: a pair repeated in a scan, pairs interleaved, times equal and earlier
        gcms_mrm_scan(3000, [(1000, 505, 1), (1200, 601, 2), (1000, 505, 3)]),
        gcms_mrm_scan(1000, [(1200, 601, 4), (1000, 700, 5)]), gcms_mrm_scan(3000, [(1000, 505, 6)])]), None),
    "ms2.lcd": (qtof_file([(qtof_scan([2 * 10**12 + 1], [5], width=2), 2),
                           (qtof_scan([10**12, 3 * 10**12 + 7], [1, 9]), 1), (qtof_scan([5 * 10**11], [2**32 - 1]), 2),
                           (qtof_scan([], [], declared=0), 2)],
                          [1000, 2000, 2500, 3000]), None),  # an MS2 before any MS1, and an empty one
    "nocal.lcd": (ttfl_file(TtflLayout(scans=[ttfl_scan([(10, [5, 0, 7])])] * 2, times_ms=[100, 200])),
                  "no usable mass calibration, so m/z values are detector channel indices"),
    "broken.qgd": (gcms_file([PROFILE, gcms_header(2, 1, 0, 0, 0) + b"\0" * 5, PROFILE]),
                   "1 of 3 index entries could not be decoded"),
}


def convert(*args, prefix=()):
    return subprocess.run([*prefix, str(CONVERT), *map(str, args)], capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    """Every sample and test-writer file converted in one run: (inputs, output dir, stderr)."""
    base = tmp_path_factory.mktemp("convert")
    (base / "in").mkdir()
    inputs = [str(shutil.copy(ROOT / "samples" / n, base / "in" / n)) for n in SAMPLES]
    for name, (data, _) in MADE.items():
        (base / "in" / name).write_bytes(data)
        inputs.append(str(base / "in" / name))
    run = convert("-o", base / "out", *inputs)
    assert (run.returncode, run.stdout) == (0, "")
    assert [p for p in (base / "out").iterdir() if p.name.startswith(".") or ".tmp-" in p.name] == []
    return inputs, base / "out", run.stderr


def params(element) -> dict:
    return {p.get("accession"): p.get("value") for p in element.findall(N + "cvParam")}


def arrays(element, zlibbed: bool) -> dict:
    """The decoded binary arrays of a spectrum or chromatogram: {accession: (format, values)}."""
    out = {}
    for array in element.iter(N + "binaryDataArray"):
        p = params(array)
        assert ("MS:1000574" in p, "MS:1000576" in p) == (zlibbed, not zlibbed)
        fmt = {"MS:1000523": "d", "MS:1000521": "f"}[next(a for a in p if a in ("MS:1000523", "MS:1000521"))]
        text = array.findtext(N + "binary") or ""
        assert int(array.get("encodedLength")) == len(text)
        raw = base64.b64decode(text, validate=True)
        raw = zlib.decompress(raw) if zlibbed else raw
        kind = next(a for a in p if a in ("MS:1000514", "MS:1000515", "MS:1000595"))
        out[kind] = fmt, list(struct.unpack(f"<{len(raw) // struct.calcsize(fmt)}{fmt}", raw))
    return out


def check_index(data: bytes, root) -> None:
    offset = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data)[1])
    assert data.startswith(b"<indexList ", offset)
    checksum = re.search(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>", data)
    assert hashlib.sha1(data[:checksum.start(1)]).hexdigest().encode() == checksum[1]
    for name in ("spectrum", "chromatogram"):
        ids = [e.get("id") for e in root.iter(N + name)]
        index = root.find(f"{N}indexList/{N}index[@name='{name}']")
        entries = [] if index is None else [(o.get("idRef"), int(o.text)) for o in index]
        assert [i for i, _ in entries] == ids
        for ident, at in entries:
            assert re.compile(rb'<%s [^>]*?\bid="([^"]*)"' % name.encode()).match(data, at)[1].decode() == ident


def shortest(x: float) -> str:
    """The shortest text that reads back as x, as the converter writes numbers."""
    text = repr(x)
    return text[:-2] if text.endswith(".0") else text


def transition_chromatograms(kept) -> dict:
    """The MRM transition records as chromatograms, worked out here: {(precursor, product):
    [(time, intensity), ...]} in order of first appearance, each in retention-time order."""
    pairs = {}
    for s, r in kept:
        if r["acquisition_kind"] == 1:
            pairs.setdefault((r["precursor"]["selected_mz"], s.mz[0]), []).append((s.retention_time_sec, s.intensity[0]))
    return {pair: sorted(points, key=lambda p: p[0]) for pair, points in pairs.items()}


def check_mzml(source: str, out: Path, levels=None, zlibbed=True, warning=None, srm_as_spectra=False) -> None:
    """Reads `out` back independently and compares it with the reader on `source`."""
    data = out.read_bytes()
    root = ET.fromstring(data)
    check_index(data, root)
    reader = tavrik.RawReader(source)
    head, records = raw_dump(source)
    in_levels = [(reader.read_spectrum(i), r) for i, r in enumerate(records)
                 if levels is None or r["ms_level"] in levels]
    kept = [(s, r) for s, r in in_levels if srm_as_spectra or r["acquisition_kind"] != 1]
    srm = {} if srm_as_spectra else transition_chromatograms(in_levels)
    mzml = root.find(N + "mzML")
    (src,) = mzml.iterfind(f"{N}fileDescription/{N}sourceFileList/{N}sourceFile")
    location = Path(source).parent.as_uri()
    if WINDOWS:  # Wine's drive Z: is the root of this machine's files
        location = location.replace("file://", "file:///Z:", 1)
    assert (src.get("name"), src.get("location").rstrip("/")) == (Path(source).name, location)
    assert params(src)["MS:1000569"] == hashlib.sha1(Path(source).read_bytes()).hexdigest()
    assert ("MS:1000776" if records and records[0]["native_id"].startswith("scan=") else "MS:1000767") in params(src)
    def kinds_of(pairs):
        return {("MS:1000583" if srm_as_spectra else "MS:1001473") if r["acquisition_kind"] == 1 else
                "MS:1000579" if r["ms_level"] == 1 else "MS:1000580" for _, r in pairs}
    # With nothing written, what the run's records are, or the MS1 spectra every layout's scans are.
    kinds = kinds_of(in_levels) or kinds_of(zip(records, records)) or {"MS:1000579"}
    assert set(params(mzml.find(f"{N}fileDescription/{N}fileContent"))) == kinds
    run = mzml.find(N + "run")
    assert (run.get("id"), run.get("startTimeStamp")) == (Path(source).stem, head["acquired_at"])
    warnings = [u.get("value") for u in run.iterfind(N + "userParam[@name='conversion warning']")]
    assert warnings == ([warning] if warning else [])
    spectra = list(run.iterfind(f"{N}spectrumList/{N}spectrum"))
    assert [(int(e.get("index")), e.get("id")) for e in spectra] == \
        [(i, r["native_id"]) for i, (_, r) in enumerate(kept)]
    written = {r["native_id"] for _, r in kept}
    for e, (s, r) in zip(spectra, kept):
        p, values = params(e), arrays(e, zlibbed)
        assert values == {"MS:1000514": ("d", s.mz), "MS:1000515": ("f", s.intensity)}
        assert int(e.get("defaultArrayLength")) == len(s) and int(p["MS:1000511"]) == s.ms_level == r["ms_level"]
        assert ("MS:1000128" if r["representation"] == 1 else "MS:1000127") in p
        if len(s):
            top = max(range(len(s)), key=s.intensity.__getitem__)
            assert [float(p[a]) for a in ("MS:1000504", "MS:1000505", "MS:1000528", "MS:1000527")] == \
                [s.mz[top], s.intensity[top], min(s.mz), max(s.mz)]
            assert float(p["MS:1000285"]) == pytest.approx(sum(s.intensity), rel=1e-12)
        else:
            assert not {"MS:1000285", "MS:1000504", "MS:1000505"} & set(p)
        start = e.find(f"{N}scanList/{N}scan/{N}cvParam[@accession='MS:1000016']")
        assert (float(start.get("value")), start.get("unitAccession")) == (s.retention_time_sec, "UO:0000010")
        precursor, expected = e.find(f"{N}precursorList/{N}precursor"), r["precursor"]
        assert (precursor is None) == (expected is None)
        if expected:
            ref = expected["spectrum_ref"]  # the schema wants it to name a spectrum in the file
            assert precursor.get("spectrumRef") == (ref if ref in written else None)
            found = [precursor.find(f"{N}{path}/{N}cvParam[@accession='{a}']") for path, a in (
                ("isolationWindow", "MS:1000827"), (f"selectedIonList/{N}selectedIon", "MS:1000744"))]
            assert [f if f is None else float(f.get("value")) for f in found] == \
                [expected["isolation_target_mz"], expected["selected_mz"]]
    chromatograms = list(run.iterfind(f"{N}chromatogramList/{N}chromatogram"))
    assert [c.get("id") for c in chromatograms] == (["TIC", "BPC"] if in_levels else []) + \
        [f"SRM SIC Q1={shortest(q1)} Q3={shortest(q3)}" for q1, q3 in srm]
    assert [int(c.get("index")) for c in chromatograms] == list(range(len(chromatograms)))
    for c, ((q1, q3), points) in zip(chromatograms[2:], srm.items()):
        assert "MS:1001473" in params(c) and int(c.get("defaultArrayLength")) == len(points)
        windows = [float(c.find(f"{N}{e}/{N}isolationWindow/{N}cvParam[@accession='MS:1000827']").get("value"))
                   for e in ("precursor", "product")]
        assert windows == [q1, q3] and c.find(f"{N}precursor/{N}activation/{N}cvParam").get("accession") == "MS:1000133"
        assert arrays(c, zlibbed) == {"MS:1000595": ("d", [t for t, _ in points]), "MS:1000515": ("f", [i for _, i in points])}
    # The total ion current keeps its meaning: over the MS1 spectra, or every record when none.
    traced = [s for s, _ in in_levels if s.ms_level == 1] or [s for s, _ in in_levels]
    for c, accession, value in zip(chromatograms, ("MS:1000235", "MS:1000628"), (sum, lambda i: max(i, default=0.0))):
        got = arrays(c, zlibbed)
        assert accession in params(c) and got["MS:1000595"] == ("d", [s.retention_time_sec for s in traced])
        assert got["MS:1000515"][0] == "d"
        assert got["MS:1000515"][1] == pytest.approx([value(s.intensity) for s in traced], rel=1e-12)


@pytest.mark.parametrize("name", SAMPLES + list(MADE))
def test_mzml_reads_back_as_the_reader(converted, name):
    inputs, out, stderr = converted
    source = next(i for i in inputs if Path(i).name == name)
    warning = MADE.get(name, (None, None))[1]
    check_mzml(source, out / (Path(name).stem + ".mzML"), warning=warning)
    mine = [line for line in stderr.splitlines() if line.startswith(f"tavrik-convert: {source}: ")]
    assert mine == ([f"tavrik-convert: {source}: warning: {warning}"] if warning else [])


@pytest.mark.parametrize("options, levels", [
    (["--no-zlib"], None), (["--ms-level", "2"], {2}), (["--ms-level", "1-1"], {1}),
    (["--ms-level", "2-3", "--no-zlib"], {2, 3}), (["--ms-level", "3"], {3}), (["--srm-as-spectra"], None),
    (["--srm-as-spectra", "--ms-level", "2"], {2})])
@pytest.mark.parametrize("name", ["run-qtof.lcd", "run-gcms.qgd"])
def test_options_keep_values_and_index(tmp_path, name, options, levels):
    source = str(ROOT / "samples" / name)
    assert convert("-o", tmp_path, *options, source).returncode == 0
    check_mzml(source, tmp_path / (Path(name).stem + ".mzML"), levels, "--no-zlib" not in options,
               "no spectra to write" if levels == {3} else None, "--srm-as-spectra" in options)


@pytest.mark.parametrize("name", ["run-qtof.lcd", "mrm.qgd", "nocal.lcd"])
def test_mgf_holds_each_msn_record(converted, tmp_path, name):
    source = next(i for i in converted[0] if Path(i).name == name)
    assert convert("--format", "mgf", "-o", tmp_path, source).returncode == 0
    text = (tmp_path / (Path(name).stem + ".mgf")).read_text()
    reader = tavrik.RawReader(source)
    msn = [(reader.read_spectrum(i), r) for i, r in enumerate(raw_dump(source)[1]) if r["ms_level"] >= 2]
    warning = MADE.get(name, (None, None))[1]
    assert text.startswith(f"#warning: {warning}\n" if warning else "BEGIN IONS\n" if msn else "")
    blocks = re.findall(r"^BEGIN IONS\n(.*?)^END IONS\n\n", text, re.S | re.M)
    assert len(blocks) == len(msn) and text.count("BEGIN IONS") == len(msn)
    for block, (s, r) in zip(blocks, msn):
        keys = dict(line.split("=", 1) for line in block.splitlines() if "=" in line)
        points = [tuple(map(float, line.split())) for line in block.splitlines() if "=" not in line]
        selected = r["precursor"] and r["precursor"]["selected_mz"]
        assert list(keys) == ["TITLE", "RTINSECONDS", *(["PEPMASS"] if selected else []), "SCANS"]
        assert (keys["TITLE"], float(keys["RTINSECONDS"]), keys["SCANS"]) == \
            (r["native_id"], s.retention_time_sec, str(r["scan_number"]))
        assert selected is None or float(keys["PEPMASS"]) == selected
        assert points == list(zip(s.mz, s.intensity))


def test_schemas(converted, tmp_path):
    schemas = os.environ.get("TAVRIK_SCHEMAS")
    if not schemas:
        pytest.skip("TAVRIK_SCHEMAS is unset: scripts/test.sh fetches the mzML schemas and sets it")
    outputs = sorted(converted[1].glob("*.mzML"))
    for levels in ("2", "3"):  # MS2 spectra without their MS1 spectra, and none
        assert convert("--ms-level", levels, "-o", tmp_path / levels, ROOT / "samples" / "run-qtof.lcd").returncode == 0
        outputs.append(tmp_path / levels / "run-qtof.mzML")
    ET.register_namespace("", MZML)
    inner = []
    for out in outputs:  # the <mzML> element as a document of its own, for the 1.1.0 schema
        inner.append(tmp_path / (out.name + ".inner.xml"))
        inner[-1].write_bytes(ET.tostring(ET.parse(out).getroot().find(N + "mzML"), encoding="utf-8"))
    for schema, files in (("mzML1.1.2_idx.xsd", outputs), ("mzML1.1.0.xsd", inner)):
        run = subprocess.run(["xmllint", "--noout", "--nonet", "--schema", f"{schemas}/{schema}", *map(str, files)],
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, "\n".join(e for e in run.stderr.splitlines() if not e.endswith(" validates"))


def test_failures_leave_the_rest_and_no_partial_file(tmp_path):
    good, bad, absent = str(ROOT / "samples" / "run-qtof.lcd"), tmp_path / "x.qgd", str(tmp_path / "absent.lcd")
    bad.write_bytes(b"\x5a" * 4096)
    with pytest.raises(RuntimeError) as why:
        tavrik.RawReader(str(bad))
    out = tmp_path / "out"
    run = convert("-o", out, bad, absent, good)
    assert (run.returncode, run.stdout, sorted(run.stderr.splitlines())) == (1, "", sorted([
        f"tavrik-convert: {bad}: {why.value}",
        f"tavrik-convert: {absent}: I/O error: No such file or directory (os error 2)"]))
    assert [p.name for p in out.iterdir()] == ["run-qtof.mzML"]
    first = (out / "run-qtof.mzML").read_bytes()
    (out / "run-qtof.mzML").write_bytes(b"keep")
    run = convert("-o", out, good)
    assert (run.returncode, run.stderr, (out / "run-qtof.mzML").read_bytes()) == \
        (1, f"tavrik-convert: {good}: {out / 'run-qtof.mzML'} exists (use --overwrite to replace it)\n", b"keep")
    assert convert("-o", out, "--overwrite", good).returncode == 0 and (out / "run-qtof.mzML").read_bytes() == first
    # A write that fails part way (a file size limit, which holds for root too, and whose signal
    # would end the process if the converter did not ignore it). Windows has no such limit:
    # test-windows.sh fills a disk instead.
    if not WINDOWS:
        run = convert("-o", tmp_path / "small", good, prefix=["bash", "-c", 'ulimit -f 8; exec "$@"', "-"])
        assert (run.returncode, run.stderr) == \
            (1, f"tavrik-convert: {good}: cannot write {tmp_path / 'small' / 'run-qtof.mzML'}: File too large\n")
        assert list((tmp_path / "small").iterdir()) == []
    run = convert("-o", out / "run-qtof.mzML" / "sub", good)  # below a file: fails for root too, unlike a mode
    assert (run.returncode, run.stderr) == \
        (1, f"tavrik-convert: cannot create {out / 'run-qtof.mzML' / 'sub'}: Not a directory\n")


def test_same_stem_from_two_folders(tmp_path):
    a, b, c = (tmp_path / d / n for d, n in (("a", "run-qtof.lcd"), ("b", "run-qtof.lcd"), ("c", "run-ttfl.lcd")))
    for path in (a, b, c):
        path.parent.mkdir()
        shutil.copy(ROOT / "samples" / path.name, path)
    target = tmp_path / "out" / "run-qtof.mzML"
    run = convert("-o", tmp_path / "out", a, b, c)
    assert (run.returncode, sorted(run.stderr.splitlines())) == (1, [
        f"tavrik-convert: {a}: {target} would also be written from {b}",
        f"tavrik-convert: {b}: {target} would also be written from {a}"])
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["run-ttfl.mzML"]


def test_usage_errors(tmp_path):
    good = str(ROOT / "samples" / "run-qtof.lcd")
    for args in (["--bogus", good], ["--ms-level", "x", good], ["--ms-level", "1-2-3", good], ["-j", "many", good], [],
                 ["--rt", "5-2", good], ["--mz", "-", good], ["--mz", "1e999-", good], ["--rt", "1-2-3", good],
                 ["--rt", "0x10-0x20", good], ["-j", "2", "--jobs=3", good], ["--format", "parquet", "--no-zlib", good]):
        run = convert(*args, "-o", tmp_path / "out")
        lines = run.stderr.splitlines()
        assert (run.returncode, run.stdout, len(lines)) == (2, "", 2) and lines[0].startswith("tavrik-convert: "), args
        assert lines[1] == "Try 'tavrik-convert --help' for more information."
        assert not (tmp_path / "out").exists() or not any((tmp_path / "out").iterdir())
    assert (convert("--version").stdout, convert("--help").returncode) == ("tavrik-convert 0.1.0\n", 0)
    # An exponent's minus is no range's dash; the outputs are listed, nothing is written.
    listed = convert("--rt", "1e-3-2E+3", "--format", "parquet", "-o", tmp_path / "out", good, "--list-outputs")
    assert listed.returncode == 0 and not (tmp_path / "out").exists()
    assert json.loads(listed.stdout) == {"input": good, "outputs": [
        str(tmp_path / "out" / f"run-qtof.{t}.parquet") for t in ("spectra", "points")]}


def test_threads_give_the_same_bytes(tmp_path):
    sources = [ROOT / "samples" / n for n in SAMPLES]
    for jobs in ("1", "2"):
        assert convert("-j", jobs, "-o", tmp_path / jobs, *sources).returncode == 0
    for name in (Path(n).stem + ".mzML" for n in SAMPLES):
        assert (tmp_path / "1" / name).read_bytes() == (tmp_path / "2" / name).read_bytes()


def test_windows_and_strip_zeros(tmp_path):
    zeros = gcms_profile_scan(1000, [(1000 + k, i) for k, i in enumerate([0, 0, 5, 0, 0, 0, 7, 0])])
    made = tmp_path / "zeros.qgd"
    made.write_bytes(gcms_file([zeros, gcms_profile_scan(2000, [(990, 0), (995, 0)]), PROFILE]))
    for source, options, rt, mz in ((ROOT / "samples" / "run-qtof.lcd", ["--rt", "330-360", "--mz", "-800"],
                                     (330, 360), (float("-inf"), 800)),
                                    (ROOT / "samples" / "run-ttfl.lcd", ["--mz", "400.5-"], None, (400.5, float("inf"))),
                                    (made, ["--strip-zeros", "--mz", "99-101"], None, (99, 101))):
        run = convert("-o", tmp_path / "out", "--overwrite", *options, source)
        assert run.returncode == 0, run.stderr
        root = ET.parse(tmp_path / "out" / (source.stem + ".mzML")).getroot()
        reader = tavrik.RawReader(str(source))
        want = []
        for s in (reader.read_spectrum(i) for i in range(reader.scan_count)):
            if rt and not rt[0] <= s.retention_time_sec <= rt[1]:
                continue
            points = [(m, i) for m, i in zip(s.mz, s.intensity) if mz[0] <= m <= mz[1]]
            figures = [sum(i for _, i in points)] if points else []
            if "--strip-zeros" in options:  # zeros next to a non-zero point stay
                points = [p for k, p in enumerate(points) if any(q[1] for q in points[max(k - 1, 0):k + 2])]
            want.append((s.retention_time_sec, points, figures))
        spectra = list(root.iter(N + "spectrum"))
        got = []
        for e in spectra:
            values = arrays(e, True)
            start = float(e.find(f"{N}scanList/{N}scan/{N}cvParam").get("value"))
            tic = params(e).get("MS:1000285")
            got.append((start, list(zip(values["MS:1000514"][1], values["MS:1000515"][1])),
                        [pytest.approx(float(tic))] if tic else []))
        assert got == want and len(want) > 0
        precursors = [p.get("spectrumRef") for p in root.iter(N + "precursor")]
        assert set(precursors) - {None} <= {e.get("id") for e in spectra}  # never a spectrum left out


@pytest.mark.parametrize("name", ["run-gcms.qgd", "run-qtof.lcd", "broken.qgd"])
def test_pipe_and_gzip_hold_the_same_document(converted, tmp_path, name):
    source = next(i for i in converted[0] if Path(i).name == name)
    written = (converted[1] / (Path(name).stem + ".mzML")).read_bytes()
    # Into a pipe, which cannot seek: the same bytes, index offsets and checksums included.
    piped = subprocess.run(f"'{CONVERT}' -o - '{source}' | cat", shell=True, capture_output=True, timeout=300)
    assert piped.returncode == 0 and piped.stdout == written
    assert convert("--gzip", "-o", tmp_path, source).returncode == 0
    assert gzip.decompress((tmp_path / (Path(name).stem + ".mzML.gz")).read_bytes()) == written


@pytest.mark.parametrize("name", ["run-gcms.qgd", "run-qtof.lcd", "nocal.lcd", "broken.qgd", "srm.qgd"])
def test_metadata_describes_input_and_output(converted, tmp_path, name):
    source = Path(next(i for i in converted[0] if Path(i).name == name))
    run = convert("--metadata", "--strip-zeros", "-o", tmp_path, source)
    assert run.returncode == 0, run.stderr
    facts = json.loads((tmp_path / (source.stem + ".metadata.json")).read_text())
    output = (tmp_path / (source.stem + ".mzML")).read_bytes()
    raw = source.read_bytes()
    head, records = raw_dump(str(source))
    reader = tavrik.RawReader(str(source))
    spectra = [(reader.read_spectrum(i), r) for i, r in enumerate(records)]
    levels = collections.Counter(str(s.ms_level) for s, r in spectra if r["acquisition_kind"] != 1)
    transitions = [s for s, r in spectra if r["acquisition_kind"] == 1]
    times = [s.retention_time_sec for s, _ in spectra]  # in file order
    # The m/z values written (--strip-zeros leaves some out): the spectra's, read back, and the transitions'.
    mz = [m for e in ET.fromstring(output).iter(N + "spectrum") for m in arrays(e, True)["MS:1000514"][1]]
    mz += [s.mz[0] for s in transitions]
    warning = MADE.get(name, (None, None))[1]
    assert facts == {
        "raw_file": {"name": name, "size": len(raw), "sha1": hashlib.sha1(raw).hexdigest()},
        "layout": {".qgd": "GC-MS"}.get(source.suffix, "QTOF" if records[0]["native_id"].startswith("scan=") else "TTFL"),
        "acquired_at": head["acquired_at"], "mz_are_channel_indices": name == "nocal.lcd",
        "index_entries": facts["index_entries"], "undecoded_index_entries": 1 if name == "broken.qgd" else 0,
        "spectra_per_ms_level": dict(levels), "srm_chromatograms": len({(r["precursor"]["selected_mz"], s.mz[0])
                                                                       for s, r in spectra if r["acquisition_kind"] == 1}),
        "srm_measurements": len(transitions),
        "retention_time_sec": {"first": times[0], "last": times[-1], "lowest": min(times), "highest": max(times)},
        "mz": {"lowest": min(mz), "highest": max(mz)},
        "ms1_total_ion_current": pytest.approx(sum(sum(s.intensity) for s, _ in spectra if s.ms_level == 1), rel=1e-12),
        "warnings": [warning] if warning else [], "tavrik_version": "0.1.0",
        "options": {"format": "mzML", "zlib": True, "numpress": False, "strip_zeros": True, "centroid": False,
                    "centroid_min_intensity": None, "gzip": False,
                    "srm_as_spectra": False, "ms_level": [1, None], "rt": None, "mz": None},
        "output": {"name": source.stem + ".mzML", "size": len(output), "sha1": hashlib.sha1(output).hexdigest()}}
    again = convert("--metadata", "-o", tmp_path, source)  # the output is refused, so nothing is written
    assert again.returncode == 1 and json.loads((tmp_path / (source.stem + ".metadata.json")).read_text()) == facts
