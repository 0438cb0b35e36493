"""Encoders for the three raw-data layouts, written from the format descriptions alone.

Each encoder turns a plain description (numbers and lists) into the bytes of one stream or
one scan; `gcms_file`, `qtof_file` and `ttfl_file` put whole raw files together.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field

from .cfb import Storage, Stream, write

# --- GC-MS ---------------------------------------------------------------------------------


def gcms_index(offsets: list[int], variant: str = "A", header: bytes = b"\0\0") -> bytes:
    """The Spectrum Index: u32 offsets (A) or a 2-byte header then u64 offsets (B)."""
    if variant == "A":
        return struct.pack(f"<{len(offsets)}I", *offsets)
    return header + struct.pack(f"<{len(offsets)}Q", *offsets)


def gcms_header(rt_ms: int, fmt: int, n_peaks: int, event_id: int, n_transitions: int) -> bytes:
    return (b"\xAA" * 4 + struct.pack("<I", rt_ms) + b"\xBB" * 12 +
            struct.pack("<HHHH", fmt, n_peaks, event_id, n_transitions) + b"\xCC" * 4)


def gcms_profile_scan(rt_ms: int, points: list[tuple[int, int]], fmt: int = 2) -> bytes:
    """A profile scan from (m/z x 10, intensity) pairs of raw u16 values."""
    body = b"".join(struct.pack("<HH", mz, inten) for mz, inten in points)
    return gcms_header(rt_ms, fmt, len(points), 0, 0) + body


def gcms_mrm_scan(rt_ms: int, transitions: list[tuple[int, int, int]], width: int = 2,
                  event_id: int = 7, fmt: int = 1) -> bytes:
    """An MRM scan from (precursor x 10, product x 10, intensity) raw values; the intensity
    field is `width` bytes (2, 3 or 4)."""
    body = b"".join(struct.pack("<HH", p, q) + i.to_bytes(width, "little") for p, q, i in transitions)
    return gcms_header(rt_ms, fmt, 0, event_id, len(transitions)) + body


def gcms_file(scans: list[bytes] | None = None, offsets: list[int] | None = None,
              variant: str = "A", data: bytes | None = None, extra: list | None = None,
              version: int = 3, **kw) -> bytes:
    """A .qgd file: the scans back to back with their offsets, unless `offsets`/`data` given."""
    if data is None:
        data = b"".join(scans or [])
    if offsets is None:
        offsets, at = [], 0
        for s in scans or []:
            offsets.append(at)
            at += len(s)
    storage = Storage("GCMS Raw Data", [Stream("Spectrum Index", gcms_index(offsets, variant)),
                                        Stream("MS Raw Data", data)] + (extra or []))
    return bytes(write(Storage("Root Entry", [storage]), version=version, **kw).data)


# --- QTOF ----------------------------------------------------------------------------------


def qtof_index(records: list[tuple[int, int, int]]) -> bytes:
    """The Centroid Index from (data_offset, aux_value, ms_level_code) triples."""
    return b"".join(struct.pack("<I4sI8sI", off, b"\x11" * 4, aux, b"\x22" * 8, level)
                    for off, aux, level in records)


def qtof_retention_times(times_ms: list[int]) -> bytes:
    return b"".join(struct.pack("<I", t) + b"\x33" * 8 for t in times_ms)


def qtof_scan(mz_raw: list[int], intensities: list[int], width: int = 4, header_value: int = 0,
              declared: int | None = None, trailing: bytes = b"") -> bytes:
    """A centroid scan: raw m/z values (m/z x 1e12) then intensities of `width` bytes."""
    payload = b"".join(struct.pack("<Q", m) for m in mz_raw)
    payload += b"".join(i.to_bytes(width, "little") for i in intensities)
    if declared is None:
        declared = len(payload)
    header = bytearray(b"\x44" * 64)
    struct.pack_into("<I", header, 16, header_value)
    struct.pack_into("<I", header, 24, declared)
    struct.pack_into("<I", header, 36, width)
    return bytes(header) + payload + trailing


def qtof_file(scans: list[tuple[bytes, int]], times_ms: list[int], version: int = 3,
              index: bytes | None = None, **kw) -> bytes:
    """A QTOF .lcd file from (scan bytes, ms_level_code) pairs and retention times."""
    data, records, at = b"", [], 0
    for scan, level in scans:
        records.append((at, 0, level))
        data += scan
        at += len(scan)
    storage = Storage("QTFL RawData", [
        Stream("Centroid Index", qtof_index(records) if index is None else index),
        Stream("Centroid Data", data),
        Stream("Retention Time", qtof_retention_times(times_ms)),
    ])
    return bytes(write(Storage("Root Entry", [storage]), version=version, **kw).data)


# --- TTFL ----------------------------------------------------------------------------------


def ttfl_index(records: list[tuple[int, int]]) -> bytes:
    """The Data Index from (offset, time_index) pairs."""
    return b"".join(struct.pack("<IIII", off, 0x55555555, t, 0x66666666) for off, t in records)


def rle_words(runs: list[tuple[int, list[int]]]) -> list[int]:
    """Run-list words from (gap, values) runs, terminator included."""
    words = []
    for gap, values in runs:
        assert 1 <= len(values) <= 4096
        words += [0x8000 + len(values), gap] + list(values)
    return words + [0x8000]


def ttfl_scan(runs: list[tuple[int, list[int]]] | None = None, words: list[int] | None = None,
              filler: list[int] = ()) -> bytes:
    """A profile scan: a 64-byte header, optional uninterpreted words, then the run list."""
    if words is None:
        words = rle_words(runs or [])
    return b"\x77" * 64 + struct.pack(f"<{len(filler) + len(words)}H", *filler, *words)


def tuning_result(masses: list[float], positions: list[float], size: int | None = None) -> bytes:
    """A tuning result holding reference masses (m/z) and their channel positions."""
    words = [round(m * 10000) for m in masses]
    out = bytearray(b"\x99" * max(3150 + 8 * len(positions), 3022 + 4 * 9 + 4))
    struct.pack_into(f"<{9}I", out, 3022, *(words + [0] * (9 - len(words))))
    struct.pack_into(f"<{len(positions)}d", out, 3150, *positions)
    if size is not None:
        out = out[:size] if size <= len(out) else out + bytes(size - len(out))
    return bytes(out)


@dataclass
class TtflLayout:
    scans: list = field(default_factory=list)  # bytes of each scan
    time_index: list = field(default_factory=list)  # per scan; defaults to its position
    times_ms: list = field(default_factory=list)
    tuning: dict = field(default_factory=dict)  # "Tuning Result 00" -> bytes


def ttfl_file(layout: TtflLayout, version: int = 3, index: bytes | None = None,
              retention: bytes | None = None, qtof_too: bool = False, **kw) -> bytes:
    data, records, at = b"", [], 0
    for k, scan in enumerate(layout.scans):
        t = layout.time_index[k] if k < len(layout.time_index) else k
        records.append((at, t))
        data += scan
        at += len(scan)
    streams = [Stream("Data Index", ttfl_index(records) if index is None else index),
               Stream("MS Raw Data", data)]
    times = struct.pack(f"<{len(layout.times_ms)}I", *layout.times_ms) if retention is None else retention
    streams.append(Stream("Retention Time", times))
    children = [Storage("TTFL Raw Data", streams)]
    if layout.tuning:
        children.append(Storage("TTFL Tuning", [Stream(n, b) for n, b in layout.tuning.items()]))
    if qtof_too:
        children.append(Storage("QTFL RawData", []))
    return bytes(write(Storage("Root Entry", children), version=version, **kw).data)
