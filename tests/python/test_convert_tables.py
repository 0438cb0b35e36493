"""tavrik-convert --format parquet when things go wrong: the two tables are committed together,
so that a conversion that fails, part way or at the last rename, leaves neither; an existing
table is refused as an existing mzML is. Their contents are read back by pyarrow, polars and
DuckDB in scripts/test-peers.sh (tests/peers/check_columnar.py)."""
from pathlib import Path

from conftest import ROOT
from test_convert import WINDOWS, convert

SOURCE = str(ROOT / "samples" / "run-qtof.lcd")


def test_tables_are_written_together_or_not_at_all(tmp_path):
    out = tmp_path / "out"
    spectra, points = out / "run-qtof.spectra.parquet", out / "run-qtof.points.parquet"
    # A file size limit that the spectra table fits within and the points table does not (none
    # on Windows).
    if not WINDOWS:
        run = convert("--format", "parquet", "-o", out, SOURCE, prefix=["bash", "-c", 'ulimit -f 64; exec "$@"', "-"])
        assert run.returncode == 1 and run.stderr.startswith(f"tavrik-convert: {SOURCE}: cannot write {points}")
        assert run.stderr.endswith(": File too large\n") and list(out.iterdir()) == []
    # The points table's name is taken by a directory, which --overwrite cannot replace: the
    # spectra table is not renamed into place either.
    points.mkdir(parents=True)
    (points / "keep").write_text("x")
    run = convert("--format", "parquet", "--overwrite", "-o", out, SOURCE)
    assert (run.returncode, run.stderr) == (1, f"tavrik-convert: {SOURCE}: cannot write {points}: Is a directory\n")
    assert sorted(p.name for p in out.iterdir()) == [points.name] and (points / "keep").read_text() == "x"
    (points / "keep").unlink()
    points.rmdir()
    # Either table existing refuses the conversion without --overwrite, and keeps the file.
    assert convert("--format", "parquet", "-o", out, SOURCE).returncode == 0
    first = spectra.read_bytes(), points.read_bytes()
    spectra.unlink()
    points.write_bytes(b"keep")
    run = convert("--format", "parquet", "-o", out, SOURCE)
    assert (run.returncode, run.stderr) == \
        (1, f"tavrik-convert: {SOURCE}: {points} exists (use --overwrite to replace it)\n")
    assert sorted(p.name for p in out.iterdir()) == [points.name] and points.read_bytes() == b"keep"
    assert convert("--format", "parquet", "--overwrite", "-o", out, SOURCE).returncode == 0
    assert (spectra.read_bytes(), points.read_bytes()) == first


def test_tables_are_the_same_for_any_number_of_threads(tmp_path):
    sources = sorted((ROOT / "samples").iterdir())
    for jobs in ("1", "2"):
        assert convert("--format", "parquet", "-j", jobs, "-o", tmp_path / jobs, *sources).returncode == 0
    names = sorted(p.name for p in (tmp_path / "1").iterdir())
    assert names == sorted(f"{Path(s).stem}.{t}.parquet" for s in sources for t in ("spectra", "points"))
    for name in names:
        assert (tmp_path / "1" / name).read_bytes() == (tmp_path / "2" / name).read_bytes()
