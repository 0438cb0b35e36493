"""Writes Compound File Binary containers from a plain description.

    root = Storage("Root Entry", [
        Storage("GCMS Raw Data", [Stream("Spectrum Index", b"..."), Stream("MS Raw Data", data)]),
    ])
    built = write(root, version=3)
    built.data          # the file's bytes (a bytearray, free to corrupt)
    built.entry_id["GCMS Raw Data/MS Raw Data"]   # directory entry number
    built.entry_offset(n)                          # file offset of directory entry n

Streams below 4096 bytes go to the mini stream, the others to regular sectors. With
`fragment=True` the regular sectors of all streams are interleaved and laid out in a shuffled
order, so that chains jump around the file. Creation times are FILETIME ticks (100 ns since
1601-01-01), or a `datetime`.
"""

from __future__ import annotations

import datetime as _dt
import random
import struct
from dataclasses import dataclass, field

FREE = 0xFFFFFFFF
END_OF_CHAIN = 0xFFFFFFFE
FAT_SECTOR = 0xFFFFFFFD
DIFAT_SECTOR = 0xFFFFFFFC
NO_STREAM = 0xFFFFFFFF
MINI_CUTOFF = 4096
MINI_SECTOR = 64
SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
_EPOCH_1601 = _dt.datetime(1601, 1, 1, tzinfo=_dt.timezone.utc)


def filetime(when: _dt.datetime | int) -> int:
    """FILETIME ticks for a datetime (UTC when naive), or the ticks unchanged."""
    if isinstance(when, int):
        return when
    if when.tzinfo is None:
        when = when.replace(tzinfo=_dt.timezone.utc)
    delta = when - _EPOCH_1601
    return (delta.days * 86_400 + delta.seconds) * 10_000_000 + delta.microseconds * 10


@dataclass
class Stream:
    name: str
    data: bytes = b""
    created: _dt.datetime | int = 0


@dataclass
class Storage:
    name: str
    children: list = field(default_factory=list)
    created: _dt.datetime | int = 0


@dataclass
class Built:
    data: bytearray
    version: int
    sector_size: int
    entry_id: dict  # path ("" for the root) -> directory entry number
    directory_sectors: list
    fat_sectors: list
    stream_sectors: dict  # path -> regular sectors of a large stream

    def sector_offset(self, sector: int) -> int:
        return (sector + 1) * self.sector_size

    def entry_offset(self, entry: int) -> int:
        per_sector = self.sector_size // 128
        return self.sector_offset(self.directory_sectors[entry // per_sector]) + 128 * (entry % per_sector)

    def fat_entry_offset(self, sector: int) -> int:
        per_sector = self.sector_size // 4
        return self.sector_offset(self.fat_sectors[sector // per_sector]) + 4 * (sector % per_sector)

    def set_u32(self, offset: int, value: int) -> None:
        self.data[offset:offset + 4] = struct.pack("<I", value)

    def set_u64(self, offset: int, value: int) -> None:
        self.data[offset:offset + 8] = struct.pack("<Q", value)


def _sort_key(name: str):
    return (len(name.encode("utf-16-le")), name.upper())


def _balanced(ids: list[int], left: dict, right: dict) -> int:
    """Links the sorted `ids` into a balanced binary tree; returns the root or NO_STREAM."""
    if not ids:
        return NO_STREAM
    mid = len(ids) // 2
    node = ids[mid]
    left[node] = _balanced(ids[:mid], left, right)
    right[node] = _balanced(ids[mid + 1:], left, right)
    return node


def write(root: Storage, version: int = 3, fragment: bool = False, seed: int = 0) -> Built:
    if version not in (3, 4):
        raise ValueError("version must be 3 or 4")
    sector_size = 512 if version == 3 else 4096
    per_fat = sector_size // 4

    # Directory entries, breadth first: (object, path, parent id).
    entries: list[tuple[object, str]] = [(root, "")]
    child_root: dict[int, int] = {}
    left: dict[int, int] = {}
    right: dict[int, int] = {}
    queue = [0]
    while queue:
        parent = queue.pop(0)
        obj, path = entries[parent]
        if not isinstance(obj, Storage):
            continue
        ids = []
        for child in sorted(obj.children, key=lambda c: _sort_key(c.name)):
            entries.append((child, f"{path}/{child.name}" if path else child.name))
            ids.append(len(entries) - 1)
            queue.append(len(entries) - 1)
        child_root[parent] = _balanced(ids, left, right)

    # Small streams into the mini stream, large ones into regular sectors.
    mini = bytearray()
    mini_fat: list[int] = []
    start: dict[int, int] = {}
    large: list[int] = []
    for n, (obj, _) in enumerate(entries):
        if not isinstance(obj, Stream) or len(obj.data) == 0:
            start[n] = END_OF_CHAIN
            continue
        if len(obj.data) < MINI_CUTOFF:
            first = len(mini_fat)
            count = -(-len(obj.data) // MINI_SECTOR)
            mini_fat.extend(range(first + 1, first + count))
            mini_fat.append(END_OF_CHAIN)
            mini += obj.data + bytes(count * MINI_SECTOR - len(obj.data))
            start[n] = first
        else:
            large.append(n)

    # Units to place in regular sectors: each a list of sector payloads, placed in order.
    dir_bytes = 128 * len(entries)
    n_dir = -(-dir_bytes // sector_size)
    n_minifat = -(-4 * len(mini_fat) // sector_size) if mini_fat else 0
    n_mini = -(-len(mini) // sector_size) if mini else 0
    stream_counts = {n: -(-len(entries[n][0].data) // sector_size) for n in large}
    payload_sectors = n_dir + n_minifat + n_mini + sum(stream_counts.values())
    n_fat = n_difat = 0
    while True:  # FAT and DIFAT sizes depend on each other
        need_fat = -(-(payload_sectors + n_fat + n_difat) // per_fat)
        need_difat = max(0, -(-(need_fat - 109) // (per_fat - 1)))
        if (need_fat, need_difat) == (n_fat, n_difat):
            break
        n_fat, n_difat = need_fat, need_difat

    # Sector numbers: FAT, DIFAT, directory, mini FAT, mini stream, then the large streams.
    next_sector = 0

    def take(count: int) -> list[int]:
        nonlocal next_sector
        out = list(range(next_sector, next_sector + count))
        next_sector += count
        return out

    fat_sectors = take(n_fat)
    difat_sectors = take(n_difat)
    dir_sectors = take(n_dir)
    minifat_sectors = take(n_minifat)
    mini_sectors = take(n_mini)
    stream_sectors: dict[int, list[int]] = {}
    pool = take(sum(stream_counts.values()))
    if fragment:
        random.Random(seed).shuffle(pool)
        # Deal the shuffled sectors out round-robin so that streams interleave.
        remaining = dict(stream_counts)
        for n in large:
            stream_sectors[n] = []
        i = 0
        while any(remaining.values()):
            for n in large:
                if remaining[n]:
                    stream_sectors[n].append(pool[i])
                    i += 1
                    remaining[n] -= 1
    else:
        i = 0
        for n in large:
            stream_sectors[n] = pool[i:i + stream_counts[n]]
            i += stream_counts[n]
    total = next_sector

    fat = [FREE] * (n_fat * per_fat)
    for s in fat_sectors:
        fat[s] = FAT_SECTOR
    for s in difat_sectors:
        fat[s] = DIFAT_SECTOR

    def chain(sectors: list[int]) -> int:
        for a, b in zip(sectors, sectors[1:]):
            fat[a] = b
        if sectors:
            fat[sectors[-1]] = END_OF_CHAIN
        return sectors[0] if sectors else END_OF_CHAIN

    chain(dir_sectors)
    chain(minifat_sectors)
    mini_start = chain(mini_sectors)
    for n in large:
        start[n] = chain(stream_sectors[n])

    header_len = sector_size
    out = bytearray(header_len + total * sector_size)

    def put(sector: int, payload: bytes) -> None:
        at = (sector + 1) * sector_size
        out[at:at + len(payload)] = payload

    def put_run(sectors: list[int], payload: bytes) -> None:
        for k, s in enumerate(sectors):
            put(s, payload[k * sector_size:(k + 1) * sector_size])

    fat_bytes = struct.pack(f"<{len(fat)}I", *fat)
    put_run(fat_sectors, fat_bytes)
    difat_rest = fat_sectors[109:]
    for k, s in enumerate(difat_sectors):
        part = difat_rest[k * (per_fat - 1):(k + 1) * (per_fat - 1)]
        part = part + [FREE] * (per_fat - 1 - len(part))
        nxt = difat_sectors[k + 1] if k + 1 < len(difat_sectors) else END_OF_CHAIN
        put(s, struct.pack(f"<{per_fat}I", *part, nxt))
    if mini_fat:
        put_run(minifat_sectors, struct.pack(f"<{len(mini_fat)}I", *mini_fat))
    put_run(mini_sectors, bytes(mini))
    for n in large:
        put_run(stream_sectors[n], entries[n][0].data)

    directory = bytearray(n_dir * sector_size)
    for n, (obj, _) in enumerate(entries):
        name = obj.name.encode("utf-16-le")[:62]
        e = bytearray(128)
        e[0:len(name)] = name
        kind = 5 if n == 0 else (1 if isinstance(obj, Storage) else 2)
        if isinstance(obj, Stream):
            size = len(obj.data)
        elif n == 0:
            size = len(mini)
        else:
            size = 0
        begin = mini_start if n == 0 else start.get(n, 0) if isinstance(obj, Stream) else 0
        struct.pack_into("<HBB", e, 64, len(name) + 2, kind, 1)
        struct.pack_into("<III", e, 68, left.get(n, NO_STREAM), right.get(n, NO_STREAM),
                         child_root.get(n, NO_STREAM))
        struct.pack_into("<QQ", e, 100, filetime(obj.created), 0)
        struct.pack_into("<IQ", e, 116, begin, size)
        directory[128 * n:128 * n + 128] = e
    for k in range(len(entries), n_dir * sector_size // 128):  # unused entries
        struct.pack_into("<III", directory, 128 * k + 68, NO_STREAM, NO_STREAM, NO_STREAM)
    put_run(dir_sectors, bytes(directory))

    header = bytearray(512)
    header[0:8] = SIGNATURE
    struct.pack_into("<HHHHH", header, 24, 0x3E, version, 0xFFFE, 9 if version == 3 else 12, 6)
    struct.pack_into("<IIIIIIIII", header, 40, n_dir if version == 4 else 0, n_fat,
                     dir_sectors[0], 0, MINI_CUTOFF,
                     minifat_sectors[0] if minifat_sectors else END_OF_CHAIN, n_minifat,
                     difat_sectors[0] if difat_sectors else END_OF_CHAIN, n_difat)
    head = fat_sectors[:109] + [FREE] * (109 - min(109, len(fat_sectors)))
    struct.pack_into("<109I", header, 76, *head)
    out[0:512] = header

    return Built(out, version, sector_size, {path: n for n, (_, path) in enumerate(entries)},
                 dir_sectors, fat_sectors, {entries[n][1]: stream_sectors[n] for n in large})
