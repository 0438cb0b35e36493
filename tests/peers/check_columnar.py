"""Reads tavrik-convert's Parquet tables with three independent readers, pyarrow, polars and
DuckDB, and compares every value, bit for bit, with the reader's as dump_raw.py dumped them
(`python dump_raw.py --all DIR`); checks the schema's types and nullability, the page index,
statistics a reader can prune with, row groups that never split a spectrum, and the file's facts.

    python check_columnar.py EXPECTED.json INPUT_DIR TABLE_DIR...    (prints "N passed, M failed")

A directory whose name ends in "ms2" holds tables converted with --ms-level 2.
"""
import hashlib
import json
import struct
import sys
from pathlib import Path

import duckdb
import polars as pl
import pyarrow as pa
import pyarrow.parquet as pq

SPECTRA = pa.schema([
    pa.field("index", pa.uint32(), False), pa.field("native_id", pa.string(), False),
    pa.field("ms_level", pa.uint8(), False), pa.field("retention_time_sec", pa.float64(), False),
    pa.field("representation", pa.string(), False), pa.field("spectrum_type", pa.string(), False),
    pa.field("point_count", pa.uint32(), False), pa.field("total_ion_current", pa.float64(), False),
    pa.field("base_peak_mz", pa.float64()), pa.field("base_peak_intensity", pa.float32()),
    pa.field("lowest_mz", pa.float64()), pa.field("highest_mz", pa.float64()),
    pa.field("precursor_index", pa.uint32()), pa.field("selected_ion_mz", pa.float64()),
    pa.field("isolation_target_mz", pa.float64())])
POINTS = pa.schema([pa.field("spectrum_index", pa.uint32(), False), pa.field("mz", pa.float64(), False),
                    pa.field("intensity", pa.float32(), False)])
DUCKDB_TYPES = {pa.uint32(): "UINTEGER", pa.uint8(): "UTINYINT", pa.float64(): "DOUBLE", pa.float32(): "FLOAT",
                pa.string(): "VARCHAR"}
POLARS_TYPES = {pa.uint32(): pl.UInt32, pa.uint8(): pl.UInt8, pa.float64(): pl.Float64, pa.float32(): pl.Float32,
                pa.string(): pl.String}
CALIBRATION = "no usable mass calibration, so m/z values are detector channel indices"
FACTS = {  # file: (layout, warnings)
    "run-gcms.qgd": ("GC-MS", []), "run-qtof.lcd": ("QTOF", []), "run-ttfl.lcd": ("TTFL", []),
    "edges.lcd": ("QTOF", []), "transitions.qgd": ("GC-MS", []), "uncalibrated.lcd": ("TTFL", [CALIBRATION]),
    "broken.qgd": ("GC-MS", ["1 of 3 index entries could not be decoded"]),
    "empty.qgd": ("GC-MS", ["no spectra to write"]), "long.qgd": ("GC-MS", []),
}

passed = failed = 0


def thrift_struct(data: bytes, at: int = 0) -> tuple[dict, int]:
    """A struct in Thrift's compact protocol as {field id: value}, and where it ends: enough of
    the protocol to read a Parquet footer and page index here, apart from the writer's code."""
    def varint(at):
        value = shift = 0
        while True:
            byte = data[at]
            value, shift, at = value | (byte & 0x7F) << shift, shift + 7, at + 1
            if byte < 0x80:
                return value, at

    def value(kind, at):
        if kind in (1, 2):  # a bool (as a list element: 1 true, 2 false)
            return kind == 1, at
        if kind == 3:
            return data[at], at + 1
        if kind in (4, 5, 6):
            raw, at = varint(at)
            return raw >> 1 ^ -(raw & 1), at
        if kind == 7:
            return struct.unpack_from("<d", data, at)[0], at + 8
        if kind == 8:
            size, at = varint(at)
            return data[at:at + size], at + size
        if kind == 9:
            head, at = data[at], at + 1
            size = head >> 4
            if size == 15:
                size, at = varint(at)
            items = []
            for _ in range(size):
                if head & 15 in (1, 2):
                    item, at = data[at] == 1, at + 1
                else:
                    item, at = value(head & 15, at)
                items.append(item)
            return items, at
        if kind == 12:
            return thrift_struct(data, at)
        raise ValueError(f"compact type {kind} at {at}")

    fields, last = {}, 0
    while True:
        head, at = data[at], at + 1
        if head == 0:
            return fields, at
        if head >> 4:
            last += head >> 4
        else:
            raw, at = varint(at)
            last = raw >> 1 ^ -(raw & 1)
        fields[last], at = value(head & 15, at)


def check(what: str, ok: bool) -> None:
    global passed, failed
    passed, failed = passed + ok, failed + (not ok)
    if not ok:
        print(f"FAIL {what}")


def exact(value):
    """A value as its bits: floats by their IEEE 754 encoding, so that -0.0 and 0.0 differ."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return tuple(exact(v) for v in value)
    return value


def expected_tables(records: list) -> tuple[list, list]:
    """The rows of both tables, worked out here from the reader's records."""
    spectra, points, ms1_rows = [], [], {}
    for i, r in enumerate(records):
        mz, intensity, pre = r["mz"], r["intensity"], r["precursor"]
        tic = 0.0
        for v in intensity:  # in order, as a sum of doubles
            tic += v
        top = max(range(len(mz)), key=intensity.__getitem__) if mz else None  # the first highest
        kind = "SRM" if r["transition"] is not None else "MS1" if r["ms_level"] == 1 else "MSn"
        spectra.append((i, r["native_id"], r["ms_level"], r["rt"], "centroid" if r["centroid"] else "profile", kind,
                        len(mz), tic, None if top is None else mz[top], None if top is None else intensity[top],
                        min(mz, default=None), max(mz, default=None),
                        ms1_rows.get(pre["spectrum_ref"]) if pre else None,
                        *(None if not pre or pre[k] is None else float(pre[k])  # raw_dump writes 100.0 as 100
                          for k in ("selected_mz", "isolation_target_mz"))))
        if kind == "MS1":
            ms1_rows[r["native_id"]] = i
        points += [(i, m, v) for m, v in zip(mz, intensity)]
    return spectra, points


def read_all(path: Path) -> dict:
    """The table's rows as each reader gives them, in file order."""
    query = duckdb.sql(f"SELECT * FROM read_parquet('{path}')")
    return {"pyarrow": [tuple(row.values()) for row in pq.read_table(path).to_pylist()],
            "polars": pl.read_parquet(path).rows(),
            "duckdb": query.fetchall()}


def check_schema(path: Path, schema: pa.Schema) -> None:
    file = pq.ParquetFile(path)
    check(f"{path}: pyarrow schema", file.schema_arrow.remove_metadata() == schema)
    required = [file.schema.column(k).max_definition_level == 0 for k in range(len(schema))]
    check(f"{path}: required columns", required == [not f.nullable for f in schema])
    check(f"{path}: polars schema", list(pl.read_parquet_schema(path).items()) ==
          [(f.name, POLARS_TYPES[f.type]) for f in schema])
    described = duckdb.sql(f"DESCRIBE SELECT * FROM read_parquet('{path}')").fetchall()
    check(f"{path}: DuckDB schema", [(d[0], d[1]) for d in described] ==
          [(f.name, DUCKDB_TYPES[f.type]) for f in schema])


def check_layout(path: Path, points: list) -> None:
    """Row groups hold whole spectra; every chunk has statistics, a column index and an offset index."""
    file = pq.ParquetFile(path)
    meta = file.metadata
    chunks = [meta.row_group(g).column(c) for g in range(meta.num_row_groups) for c in range(meta.num_columns)]
    check(f"{path}: page index", all(c.has_column_index and c.has_offset_index for c in chunks))
    check(f"{path}: zstd", all(c.compression == "ZSTD" for c in chunks))
    starts = [0]
    for g in range(meta.num_row_groups):
        starts.append(starts[-1] + meta.row_group(g).num_rows)
    check(f"{path}: row groups end with spectra",
          all(points[s - 1][0] != points[s][0] for s in starts[1:-1]))
    for g in range(meta.num_row_groups):
        rows = points[starts[g]:starts[g + 1]]
        stats = [meta.row_group(g).column(c).statistics for c in range(3)]
        got = [(s.min, s.max, s.null_count) for s in stats]
        want = [(min(v), max(v), 0) for v in zip(*rows)]
        check(f"{path}: row group {g} statistics", got == want)  # a zero bound may be -0.0


def check_page_index(path: Path, points: list) -> None:
    """Every column index bounds its pages' values, and every offset index covers its chunk's rows."""
    data = path.read_bytes()
    footer_size = struct.unpack_from("<I", data, len(data) - 8)[0]
    footer, _ = thrift_struct(data, len(data) - 8 - footer_size)
    start, formats = 0, ("<I", "<d", "<f")
    for group in footer[4]:
        rows = points[start:start + group[3]]
        for k, chunk in enumerate(group[1]):
            offsets, _ = thrift_struct(data, chunk[4])
            first = [page[3] for page in offsets[1]]
            column, _ = thrift_struct(data, chunk[6])
            ends = first[1:] + [len(rows)]
            want = [(min(r[k] for r in rows[a:b]), max(r[k] for r in rows[a:b])) for a, b in zip(first, ends)]
            got = [(struct.unpack(formats[k], low)[0], struct.unpack(formats[k], high)[0])
                   for low, high in zip(column[2], column[3])]
            check(f"{path}: column index of column {k}, rows from {start}",
                  first[0] == 0 and first == sorted(set(first)) and got == want and not any(column[1]))
            check(f"{path}: offset index of column {k}, rows from {start}",
                  [page[1] for page in offsets[1]] == sorted(page[1] for page in offsets[1])
                  and chunk[3][9] == offsets[1][0][1])
        start += group[3]


def check_queries(path: Path, points: list, spectra: list) -> None:
    """Selections the readers answer from statistics and pages: one spectrum, an m/z window."""
    for i in sorted({0, len(spectra) // 2, len(spectra) - 1}):
        want = [p[1:] for p in points if p[0] == i]
        got = duckdb.sql(f"SELECT mz, intensity FROM read_parquet('{path}') WHERE spectrum_index = {i}").fetchall()
        check(f"{path}: DuckDB, spectrum {i}", exact(got) == exact(want))
        got = pq.read_table(path, filters=[("spectrum_index", "=", i)], columns=["mz", "intensity"]).to_pylist()
        check(f"{path}: pyarrow, spectrum {i}", exact([tuple(r.values()) for r in got]) == exact(want))
    if points:
        mzs = sorted(p[1] for p in points)
        low, high = mzs[len(mzs) // 3], mzs[len(mzs) // 2]
        want = sorted((p[0], p[1]) for p in points if low <= p[1] <= high)
        got = pl.scan_parquet(path).filter(pl.col("mz").is_between(low, high)).select("spectrum_index", "mz")
        check(f"{path}: polars, m/z window", exact(sorted(got.collect().rows())) == exact(want))


def check_facts(path: Path, source: Path, spectra: list, points: list, levels) -> dict:
    layout, warnings = FACTS[source.name]
    if levels is not None and not spectra and "no spectra to write" not in warnings:
        warnings = warnings + ["no spectra to write"]
    facts = json.loads(pq.ParquetFile(path).schema_arrow.metadata[b"tavrik"])
    want = {"source": {"name": source.name, "sha1": hashlib.sha1(source.read_bytes()).hexdigest()},
            "layout": layout, "warnings": warnings, "spectra": len(spectra), "points": len(points),
            "options": {"ms_level": levels or [1, None], "srm_as_spectra": False, "rt": None, "mz": None,
                        "centroid": False, "centroid_min_intensity": None}}
    check(f"{path}: facts", {k: facts[k] for k in want} == want and facts["software"]["name"] == "tavrik"
          and facts["table"] in path.name)
    return facts


def check_file(stem: Path, source: Path, records: list, levels) -> None:
    if levels is not None:
        records = [r for r in records if levels[0] <= r["ms_level"] <= levels[1]]
        for r in records:  # a precursor that is not in the table cannot be named
            r["precursor"] = r["precursor"] and dict(r["precursor"], spectrum_ref=None)
    spectra, points = expected_tables(records)
    run_ids = set()
    for table, schema, rows in (("spectra", SPECTRA, spectra), ("points", POINTS, points)):
        path = stem.with_name(f"{stem.name}.{table}.parquet")
        check_schema(path, schema)
        for reader, got in read_all(path).items():
            check(f"{path}: {reader}, every value", exact(got) == exact(rows))
        run_ids.add(check_facts(path, source, spectra, points, levels)["run_id"])
    check(f"{stem}: one run_id in both tables", len(run_ids) == 1 and len(next(iter(run_ids))) == 32)
    check_layout(stem.with_name(f"{stem.name}.points.parquet"), points)
    check_page_index(stem.with_name(f"{stem.name}.points.parquet"), points)
    check_queries(stem.with_name(f"{stem.name}.points.parquet"), points, spectra)


def main() -> int:
    expected = json.loads(Path(sys.argv[1]).read_text())
    inputs = Path(sys.argv[2])
    for folder in map(Path, sys.argv[3:]):
        levels = [2, 2] if folder.name.endswith("ms2") else None
        for name, records in expected.items():
            try:
                check_file(folder / Path(name).stem, inputs / name, records, levels)
            except Exception as e:  # a reader that gives up fails the file
                check(f"{folder / name}: {e!r}", False)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
