"""Reads GC-MS (.qgd) and LC-MS (.lcd) raw data files."""

from typing import final

__all__ = ["RawReader", "Spectrum"]

@final
class RawReader:
    """One raw file, decoded whole when it is opened."""

    def __new__(cls, path: str) -> RawReader: ...
    @property
    def scan_count(self) -> int: ...
    def read_spectrum(self, scan_index: int) -> Spectrum:
        """A copy of the scan at position `scan_index` (0-based)."""

@final
class Spectrum:
    """One scan: m/z values, intensities, MS level and retention time in seconds."""

    @property
    def mz(self) -> list[float]: ...
    @property
    def intensity(self) -> list[float]: ...
    @property
    def ms_level(self) -> int: ...
    @property
    def retention_time_sec(self) -> float: ...
    def __len__(self) -> int: ...
