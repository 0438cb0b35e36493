"""The container reader against an independent reader (olefile), and on broken containers."""
import datetime as dt
import json
import random
import struct

import olefile
import pytest

from conftest import run_tool
from testkit.cfb import Storage, Stream, write

NAMES = ["Data", "MS Raw Data", "x", "Tuning Result 00", "Ünïcødé", "名前", "a" * 31, "Spectrum Index"]


def random_tree(rng: random.Random, depth: int = 0) -> list:
    children, used = [], set()
    for _ in range(rng.randint(0, 6 if depth < 3 else 0) or 1):
        name = rng.choice(NAMES) + (str(rng.randint(0, 99)) if rng.random() < 0.5 else "")
        name = name[:31]
        if name.upper() in used:
            continue
        used.add(name.upper())
        when = rng.choice([0, dt.datetime(2019, 7, 4, 9, 15, 2, 40000), rng.randint(0, 2**62)])
        if depth < 3 and rng.random() < 0.3:
            children.append(Storage(name, random_tree(rng, depth + 1), created=when))
        else:
            size = rng.choice([0, 1, 63, 64, 65, 4095, 4096, 4097, rng.randint(0, 20000)])
            children.append(Stream(name, rng.randbytes(size), created=when))
    return children


def olefile_view(path):
    """Every entry as olefile sees it: path -> (kind, size, creation FILETIME, bytes)."""
    ole = olefile.OleFileIO(path)
    out = {}
    for parts in ole.listdir(streams=True, storages=True):
        p = "/".join(parts)
        kind = ole.get_type(parts)
        e = ole.direntries[ole._find(parts)]
        data = ole.openstream(parts).read() if kind == olefile.STGTY_STREAM else None
        out[p] = ("stream" if data is not None else "storage", e.createTime, data)
    ole.close()
    return out


def ours(path):
    result = run_tool("cfb_dump", "--data", path)
    assert result.returncode == 0, result.stderr
    rows = [json.loads(line) for line in result.stdout.splitlines()]
    return rows


@pytest.mark.parametrize("seed", range(300))
def test_agrees_with_olefile(tmp_path, seed):
    rng = random.Random(seed)
    root = Storage("Root Entry", random_tree(rng))
    built = write(root, version=rng.choice([3, 4]), fragment=rng.random() < 0.5, seed=seed)
    path = tmp_path / "c.bin"
    path.write_bytes(built.data)
    theirs = olefile_view(str(path))
    rows = ours(path)
    assert rows[0]["path"] == "" and rows[0]["kind"] == "root"
    mine = {r["path"]: r for r in rows[1:]}
    assert set(mine) == set(theirs)
    for p, (kind, created, data) in theirs.items():
        r = mine[p]
        assert r["kind"] == kind
        seconds, nanos = r["created"]
        assert (seconds + 11644473600) * 10_000_000 + nanos // 100 == created
        if data is not None:
            assert r["size"] == len(data)
            assert bytes.fromhex(r["data"]) == data
    # Pre-order: every entry comes after its storage, and a storage's subtree is contiguous.
    paths = [r["path"] for r in rows[1:]]
    for i, p in enumerate(paths):
        parent = p.rpartition("/")[0]
        if parent:
            assert parent in paths[:i]
            between = paths[paths.index(parent) + 1:i]
            assert all(q.startswith(parent + "/") for q in between)


def test_names_match_ignoring_case_and_times_are_kept(tmp_path, write_file):
    created = dt.datetime(2019, 7, 4, 9, 15, 2, 40000)
    built = write(Storage("Root Entry", [Storage("gcms raw DATA", [Stream("x", b"1", created=created)])]))
    rows = ours(write_file("c.bin", built.data))
    assert rows[2]["path"] == "gcms raw DATA/x"
    assert rows[2]["created"] == [1562231702, 40_000_000]


def broken(kind: str) -> bytes:
    """A small container broken in one way."""
    big = Stream("big", bytes(8192))
    small = Stream("small", b"abc" * 10)
    built = write(Storage("Root Entry", [Storage("S", [big, small])]))
    big_id = built.entry_id["S/big"]
    if kind == "huge stream":
        built.set_u32(built.entry_offset(big_id) + 120, 0xFFFFFFFF)
        built.set_u32(built.entry_offset(big_id) + 116, built.stream_sectors["S/big"][0])
    elif kind == "fat loop":
        sectors = built.stream_sectors["S/big"]
        built.set_u32(built.fat_entry_offset(sectors[3]), sectors[1])
    elif kind == "fat past end":
        built.set_u32(built.fat_entry_offset(built.stream_sectors["S/big"][0]), 0x00FFFFFF)
    elif kind == "child points at parent":
        built.set_u32(built.entry_offset(big_id) + 68, built.entry_id["S"])
    elif kind == "directory loop":
        built.set_u32(built.fat_entry_offset(built.directory_sectors[-1]), built.directory_sectors[0])
    elif kind == "fat sectors claimed":
        built.set_u32(44, 0x7FFFFFFF)
    elif kind == "minifat all ones":
        struct.pack_into("<II", built.data, 60, 0xFFFFFFFF, 0xFFFFFFFF)
    elif kind == "bad shift":
        struct.pack_into("<H", built.data, 30, 40)
    elif kind == "version 5":
        struct.pack_into("<H", built.data, 26, 5)
    elif kind == "truncated":
        return bytes(built.data[:1024])
    return bytes(built.data)


CASES = {
    "huge stream": "stream of 4294967295 bytes cannot fit in a file of",
    "fat loop": "stream chain loops at sector",
    "fat past end": "stream chain points at sector 16777215 outside the file",
    "child points at parent": "directory entry 1 is linked more than once",
    "directory loop": "directory chain loops at sector",
    "fat sectors claimed": "header claims 2147483647 FAT sectors but the file holds",
    "minifat all ones": "mini FAT chain points at sector 4294967295 outside the file",
    "bad shift": "sector shift 40 does not fit version 3",
    "version 5": "unsupported major version 5",
    "truncated": "outside the file",
}


@pytest.mark.parametrize("kind", CASES)
def test_broken_containers_fail_cleanly(kind, write_file):
    path = write_file("c.bin", broken(kind))
    result = run_tool("cfb_dump", "--data", path, timeout=10)
    assert result.returncode == 1, result.stdout
    assert CASES[kind] in result.stderr + result.stdout


def test_long_sibling_chain_and_deep_nesting(write_file):
    # 20,000 streams in one storage, and storages nested 300 deep: no recursion anywhere.
    many = Storage("Root Entry", [Storage("wide", [Stream(f"s{i}", b"") for i in range(20_000)])])
    rows = ours(write_file("wide.bin", write(many).data))
    assert len(rows) == 20_002
    node = Stream("leaf", b"x")
    for i in range(300):
        node = Storage(f"d{i}", [node])
    rows = ours(write_file("deep.bin", write(Storage("Root Entry", [node])).data))
    assert rows[-1]["path"].endswith("/d0/leaf") and rows[-1]["data"] == "78"
