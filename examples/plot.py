"""Draws each raw file given as a PNG of two panels: the total ion current of its MS1 scans over
retention time, with MS2 scans marked below it, and the scan with the highest total intensity
as a stick spectrum, its largest peaks labelled. Prints the path of each PNG it writes.

    python examples/plot.py -o build/demo samples/run-gcms.qgd samples/run-qtof.lcd

With --centroids, draws instead each file's largest spectrum as its profile with the centroids
tavrik_tables.open(path, centroid=True) gives (those of tavrik-convert --centroid) as sticks over
it, whole and around its base peak:

    python examples/plot.py --centroids -o docs samples/run-ttfl.lcd     (docs/run-ttfl-centroids.png)

Needs matplotlib (pinned in requirements-demo.txt).
"""
import argparse
import sys
from collections import Counter, defaultdict
from pathlib import Path

from matplotlib.figure import Figure  # drawn by Agg into a file: no pyplot, no screen
from matplotlib.ticker import ScalarFormatter

import tavrik

TRACE, MARKS, STICKS, LABELS = "#1f4e79", "#c55a11", "#2f2f2f", "#8b1a1a"


def intensity_axis(ax) -> None:
    formatter = ScalarFormatter(useMathText=True)
    formatter.set_powerlimits((-3, 4))
    ax.yaxis.set_major_formatter(formatter)
    ax.set_ylim(bottom=0)
    ax.spines[["top", "right"]].set_visible(False)


def largest_peaks(mz: list[float], intensity: list[float], count: int) -> list[tuple[float, float]]:
    """Up to `count` of the most intense points, each at least a twentieth of the largest and
    no two closer than 4 % of the m/z range: one label for the points of a profile peak, and
    labels that do not overlap."""
    if not mz:
        return []
    gap = (max(mz) - min(mz)) / 25 or 1.0
    floor = max(intensity) / 20
    chosen: list[tuple[float, float]] = []
    for height, at in sorted(zip(intensity, mz), reverse=True):
        if len(chosen) == count or height <= 0 or height < floor:
            break
        if all(abs(at - other) > gap for other, _ in chosen):
            chosen.append((at, height))
    return chosen


def decimals(values: list[float]) -> int:
    """The fewest decimals, up to 4, that write every value exactly (57.1, not 57.1000)."""
    return next((d for d in range(4) if all(abs(v - round(v, d)) < 1e-6 for v in values)), 4)


def plot(path: str, out: Path) -> Path:
    reader = tavrik.RawReader(path)
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    if not spectra:
        raise RuntimeError("no scans")
    totals = [sum(s.intensity) for s in spectra]
    levels = Counter(s.ms_level for s in spectra)

    # The trace is of MS1 (or of the lowest level there is); scans that share a retention time
    # (segments of one cycle) add up to one point of it. Scans of other levels are marked.
    traced = min(levels)
    tic: dict[float, float] = defaultdict(float)
    marked: list[float] = []
    for s, total in zip(spectra, totals):
        if s.ms_level == traced:
            tic[s.retention_time_sec] += total
        else:
            marked.append(s.retention_time_sec / 60)
    minutes = [t / 60 for t in sorted(tic)]
    currents = [tic[t] for t in sorted(tic)]
    best = max(range(len(spectra)), key=totals.__getitem__)
    largest = spectra[best]

    figure = Figure(figsize=(10, 6.4), layout="tight")
    top, bottom = figure.subplots(2, 1, height_ratios=(1, 1.15))
    counts = ", ".join(f"{n} MS{level}" for level, n in sorted(levels.items()))
    counts = f"{counts} scans" if len(levels) == 1 else f"{len(spectra)} scans ({counts})"
    figure.suptitle(f"{Path(path).name} \N{EM DASH} {counts}", fontsize=13, fontweight="bold")

    top.plot(minutes, currents, color=TRACE, linewidth=1.2, label=f"MS{traced} total ion current")
    top.fill_between(minutes, currents, color=TRACE, alpha=0.08)
    if marked:
        others = "/".join(f"MS{level}" for level in sorted(levels) if level != traced)
        top.plot(marked, [0.035] * len(marked), "|", transform=top.get_xaxis_transform(), color=MARKS,
                 markersize=8, markeredgewidth=0.8, label=f"{others} scans")
    top.axvline(largest.retention_time_sec / 60, color="0.4", linestyle="--", linewidth=0.9,
                label=f"scan {best}, drawn below")
    intensity_axis(top)
    top.margins(x=0.01)
    top.set_xlabel("retention time (min)")
    top.set_ylabel("total ion current (counts)")
    top.set_title("chromatogram", loc="left", fontsize=11)
    top.legend(loc="lower right", bbox_to_anchor=(1, 1), ncol=3, fontsize=9, frameon=False,
               borderaxespad=0.2, handlelength=1.6)

    bottom.vlines(largest.mz, 0, largest.intensity, color=STICKS, linewidth=0.8)
    intensity_axis(bottom)
    peaks = largest_peaks(largest.mz, largest.intensity, 8)
    places = decimals([at for at, _ in peaks])
    for at, height in peaks:
        bottom.annotate(f"{at:.{places}f}", (at, height), xytext=(0, 2), textcoords="offset points",
                        ha="center", va="bottom", fontsize=8.5, color=LABELS)
    bottom.set_ylim(top=max(largest.intensity, default=0) * 1.12 or 1)  # room for the labels
    bottom.set_xlabel("m/z")
    bottom.set_ylabel("intensity (counts)")
    bottom.set_title(f"largest spectrum: scan {best} at {largest.retention_time_sec / 60:.2f} min "
                     f"({largest.retention_time_sec:.1f} s), MS{largest.ms_level}, {len(largest)} points",
                     loc="left", fontsize=11)

    out.mkdir(parents=True, exist_ok=True)
    target = out / f"{Path(path).stem}.png"
    figure.savefig(target, dpi=110)
    return target


def plot_centroids(path: str, out: Path) -> Path:
    import tavrik_tables  # the converter's centroider, over the same decoded points

    profile_run, peaks_run = tavrik_tables.open(path), tavrik_tables.open(path, centroid=True)
    if not len(profile_run):
        raise RuntimeError("no scans")
    totals = [sum(memoryview(profile_run.intensity(i))) for i in range(len(profile_run))]
    best = max(range(len(totals)), key=totals.__getitem__)
    mz, intensity = list(memoryview(profile_run.mz(best))), list(memoryview(profile_run.intensity(best)))
    peak_mz, peak_height = list(memoryview(peaks_run.mz(best))), list(memoryview(peaks_run.intensity(best)))
    if not peak_mz:
        raise RuntimeError(f"scan {best} has no peaks")

    figure = Figure(figsize=(10, 6.4), layout="tight")
    whole, near = figure.subplots(2, 1)
    figure.suptitle(f"{Path(path).name} \N{EM DASH} scan {best}: {len(mz)} profile points, "
                    f"{len(peak_mz)} centroids", fontsize=13, fontweight="bold")
    top = max(range(len(peak_mz)), key=peak_height.__getitem__)
    # Around the base peak: the stretch of evenly spaced samples that holds it.
    at = min(range(len(mz)), key=lambda k: abs(mz[k] - peak_mz[top]))
    step = min((abs(mz[k + 1] - mz[k]) for k in (at - 1, at) if 0 <= k < len(mz) - 1), default=1.0) or 1.0
    first, last = at, at
    while first > 0 and mz[first] - mz[first - 1] < 3 * step:
        first -= 1
    while last + 1 < len(mz) and mz[last + 1] - mz[last] < 3 * step:
        last += 1
    low, high = mz[first] - 2 * step, mz[last] + 2 * step
    for ax, (left, right), title in ((whole, (None, None), "whole spectrum"),
                                     (near, (low, high), f"around the base peak, m/z {peak_mz[top]:.4f}")):
        ax.plot(mz, intensity, color=TRACE, linewidth=1.0, marker="." if left else None, markersize=3,
                label="profile")
        ax.vlines(peak_mz, 0, peak_height, color=MARKS, linewidth=1.4, label="centroids (fitted height)")
        intensity_axis(ax)
        if left is not None:
            ax.set_xlim(left, right)
        ax.set_xlabel("m/z")
        ax.set_ylabel("intensity (counts)")
        ax.set_title(title, loc="left", fontsize=11)
    whole.legend(loc="upper right", fontsize=9, frameon=False)
    out.mkdir(parents=True, exist_ok=True)
    target = out / f"{Path(path).stem}-centroids.png"
    figure.savefig(target, dpi=110)
    return target


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="plot.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", default=".", type=Path, help="directory for the PNGs (default: .)")
    parser.add_argument("--centroids", action="store_true",
                        help="draw each file's largest spectrum, profile and centroids, instead")
    parser.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args(argv)
    status = 0
    for path in args.files:
        try:
            print((plot_centroids if args.centroids else plot)(path, args.output))
        except RuntimeError as error:
            print(f"plot.py: {path}: {error}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
