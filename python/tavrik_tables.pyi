"""Every scan of a GC-MS (.qgd) or LC-MS (.lcd) raw file as arrays without a copy, and the run as
Arrow tables (the columns of tavrik-convert's Parquet tables) for polars, pandas, DuckDB and
pyarrow."""

import datetime
from collections.abc import Buffer
from typing import final

__all__ = ["open", "Run", "Table", "PointArray"]

def open(path: str, *, centroid: bool = False, centroid_min_intensity: float = 0.0) -> Run:
    """Opens and decodes the raw file at `path` whole, as tavrik.RawReader does.

    With `centroid=True`, every profile spectrum's points are its centroids, as
    `tavrik-convert --centroid` writes them: one point a peak, at the apex of a log-parabola fitted
    to its upper half, with the fitted height (not the area) as its intensity; centroid spectra
    are left as they are. Peaks lower than `centroid_min_intensity` are left out (it needs
    `centroid=True`)."""

@final
class Run:
    """One raw file, decoded whole."""

    def __len__(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def layout(self) -> str:
        """"GC-MS", "TTFL" or "QTOF"."""
    @property
    def acquired_at(self) -> datetime.datetime | None: ...
    @property
    def mz_are_channel_indices(self) -> bool: ...
    def mz(self, scan_index: int, /) -> PointArray:
        """The scan's m/z values (float64), a read-only buffer over the run's memory."""
    def intensity(self, scan_index: int, /) -> PointArray:
        """The scan's intensities (float32), a read-only buffer over the run's memory."""
    @property
    def spectra(self) -> Table:
        """One row per scan: the columns of NAME.spectra.parquet."""
    @property
    def points(self) -> Table:
        """One row per point (spectrum_index, mz, intensity): the columns of NAME.points.parquet."""
    @property
    def chromatograms(self) -> Table:
        """One row per measurement of an SRM chromatogram (MRM files): chromatogram_index,
        precursor_mz, product_mz, retention_time_sec, intensity."""

@final
class Table:
    """One of a run's tables, for any consumer of the Arrow PyCapsule interface."""

    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class PointArray(Buffer):
    """A scan's m/z values or intensities, read-only."""

    def __len__(self) -> int: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
