"""Compares two converters' outputs of the same inputs, file by file: compare-converters.py DIR-A
DIR-B LOCATION-A LOCATION-B. Every file must be the same bytes, but for an mzML document (plain or
gzipped) written where the source file's location differs (LOCATION-A in A, LOCATION-B in B): there
the location, and only what follows from its length, may differ: each index offset after it and
the index's own offset by exactly the difference in length, and the file's checksum. Prints what
differed, and fails on anything else."""
import gzip
import re
import sys
from pathlib import Path

OFFSET = re.compile(rb"^(\s*<offset idRef=\"[^\"]*\">|<indexListOffset>)(\d+)(</offset>|</indexListOffset>)$")
CHECKSUM = re.compile(rb"^<fileChecksum>[0-9a-f]{40}</fileChecksum>$")


def compare_mzml(a: bytes, b: bytes, location_a: bytes, location_b: bytes) -> str:
    attribute_a, attribute_b = b'location="' + location_a + b'"', b'location="' + location_b + b'"'
    assert a.count(attribute_a) == 1 and b.count(attribute_b) == 1, "the source file's location is not where expected"
    shift = len(location_b) - len(location_a)
    lines_a, lines_b = a.splitlines(), b.replace(attribute_b, attribute_a).splitlines()
    assert len(lines_a) == len(lines_b)
    shifted = 0
    for x, y in zip(lines_a, lines_b):
        if x == y:
            continue
        ox, oy = OFFSET.match(x.strip()), OFFSET.match(y.strip())
        if ox and oy and ox[1] == oy[1] and int(oy[2]) - int(ox[2]) == shift:
            shifted += 1
            continue
        assert CHECKSUM.match(x.strip()) and CHECKSUM.match(y.strip()), f"differs: {x!r} / {y!r}"
    return f"location (+{shift} bytes), {shifted} offsets shifted by {shift}, checksum"


def main() -> None:
    dir_a, dir_b = Path(sys.argv[1]), Path(sys.argv[2])
    location_a, location_b = (s.encode() for s in sys.argv[3:5])
    files_a = sorted(p.relative_to(dir_a) for p in dir_a.rglob("*") if p.is_file())
    files_b = sorted(p.relative_to(dir_b) for p in dir_b.rglob("*") if p.is_file())
    assert files_a == files_b and files_a, (files_a, files_b)
    same = 0
    for name in files_a:
        a, b = (dir_a / name).read_bytes(), (dir_b / name).read_bytes()
        if a == b:
            same += 1
            continue
        unpack = gzip.decompress if name.suffix == ".gz" else bytes
        assert ".mzML" in name.name, f"{name} differs"
        print(f"{name}: {compare_mzml(unpack(a), unpack(b), location_a, location_b)} differ")
    print(f"{same} of {len(files_a)} files the same bytes; the others differ only as said")


if __name__ == "__main__":
    main()
