"""tavrik_tables' tables taken by polars and DuckDB straight from the Arrow PyCapsule interface,
without pyarrow in between: every value equals RawReader's, bit for bit, and the spectra tables
equal the converter's Parquet tables as each reads them. Neither has wheels for the
free-threaded interpreter: this runs on the ordinary CPython 3.13 (the cp313 wheel, see
requirements-tables-gil.txt) and is skipped elsewhere."""
import array

import pytest
import tavrik
import tavrik_tables

from conftest import ROOT
from test_convert import MADE, convert
from testkit.layouts import gcms_file

pl = pytest.importorskip("polars")
duckdb = pytest.importorskip("duckdb")


def test_polars_and_duckdb_read_every_value(tmp_path):
    (tmp_path / "in").mkdir()
    paths = sorted((ROOT / "samples").iterdir())
    for name, (data, _) in {**MADE, "empty.qgd": (gcms_file([]), None)}.items():
        (tmp_path / "in" / name).write_bytes(data)
        paths.append(tmp_path / "in" / name)
    converted = convert("--quiet", "--format", "parquet", "-o", tmp_path / "out", *paths)
    assert converted.returncode == 0, converted.stderr
    for path in paths:
        reader, run = tavrik.RawReader(str(path)), tavrik_tables.open(str(path))
        scans = [reader.read_spectrum(i) for i in range(reader.scan_count)]
        expected = (array.array("I", [i for i, s in enumerate(scans) for _ in s.mz]).tobytes(),
                    array.array("d", [v for s in scans for v in s.mz]).tobytes(),
                    array.array("f", [v for s in scans for v in s.intensity]).tobytes())
        frame = pl.DataFrame(run.points)
        assert frame.schema == {"spectrum_index": pl.UInt32, "mz": pl.Float64, "intensity": pl.Float32}
        assert tuple(frame[c].to_numpy().tobytes() for c in frame.columns) == expected
        run_points = run.points  # noqa: F841 - DuckDB finds it by its name
        found = duckdb.sql("select spectrum_index, mz, intensity from run_points").fetchnumpy()
        assert tuple(found[c].tobytes() for c in ("spectrum_index", "mz", "intensity")) == expected
        stored = tmp_path / "out" / f"{path.stem}.spectra.parquet"
        assert pl.DataFrame(run.spectra).equals(pl.read_parquet(stored), null_equal=True)
        run_spectra = run.spectra  # noqa: F841
        assert duckdb.sql("select * from run_spectra").fetchall() == \
            duckdb.sql(f"select * from read_parquet('{stored}')").fetchall()
        frame = pl.DataFrame(run.chromatograms)
        assert frame.columns == ["chromatogram_index", "precursor_mz", "product_mz", "retention_time_sec", "intensity"]
