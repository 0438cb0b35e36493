"""Prints a short summary of each raw file given: scans, retention times, MS levels, and the
largest peaks of a few scans.

    python examples/summary.py samples/run-gcms.qgd samples/run-qtof.lcd
"""
import sys
from collections import Counter

import tavrik


def summarise(path: str) -> None:
    try:
        reader = tavrik.RawReader(path)
    except RuntimeError as error:
        print(f"{path}: cannot be read: {error}\n")
        return
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    print(f"{path}: {reader!r}")
    if not spectra:
        print("  no scans\n")
        return
    times = [s.retention_time_sec for s in spectra]
    levels = Counter(s.ms_level for s in spectra)
    points = sum(len(s) for s in spectra)
    print(f"  retention time {min(times):.2f} s to {max(times):.2f} s")
    print("  MS levels: " + ", ".join(f"MS{level}: {count} scans" for level, count in sorted(levels.items())))
    print(f"  {points} points in all, {points / len(spectra):.1f} per scan")
    richest = max(range(len(spectra)), key=lambda i: sum(spectra[i].intensity))
    for i in sorted({0, len(spectra) // 2, richest}):
        s = spectra[i]
        top = sorted(zip(s.intensity, s.mz), reverse=True)[:5]
        peaks = ", ".join(f"{mz:.4f} ({intensity:.0f})" for intensity, mz in top) or "none"
        print(f"  scan {i} at {s.retention_time_sec:.2f} s, MS{s.ms_level}, {s!r}: largest peaks {peaks}")
    print()


def main(paths: list[str]) -> int:
    if not paths:
        print(__doc__)
        return 2
    for path in paths:
        summarise(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
