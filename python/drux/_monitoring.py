"""Feeding a ``drux_fileformat.PyPerformanceMonitor`` from real work.

An operation given ``monitor=`` reports through the monitor's own methods,
once per chunk or buffer flush and once at the end, never per cell: bytes
read and written with their durations, the compression achieved, rows and
columns, the process's current and peak resident memory, and one error when
it fails. The monitor's alert rules then fire on the work itself.
Deliberately not here: a monitor of our own, or calls from threads that do
not hold the interpreter lock (the native code reports on the calling thread).
"""

from __future__ import annotations

import os
import resource
from typing import Protocol


class Monitor(Protocol):
    """The methods of ``drux_fileformat.PyPerformanceMonitor`` that operations call."""

    def record_read(self, bytes: int, duration_ms: float) -> None: ...
    def record_write(self, bytes: int, duration_ms: float) -> None: ...
    def record_compression(self, original_bytes: int, compressed_bytes: int) -> None: ...
    def record_rows_columns(self, rows: int, columns: int) -> None: ...
    def update_memory(self, current: int, peak: int) -> None: ...
    def record_error(self) -> None: ...


_PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")


def resident_memory() -> tuple[int, int]:
    """(current, peak) resident memory of this process in bytes."""
    try:
        with open("/proc/self/statm", "rb") as f:
            current = int(f.read().split()[1]) * _PAGE_SIZE
    except OSError:
        current = 0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # KiB on Linux
    return current, max(peak, current)


class Recorder:
    """Reports one operation's progress to a monitor."""

    def __init__(self, monitor: Monitor) -> None:
        self.monitor = monitor
        self.read_bytes = 0

    def chunk(self, read_bytes: int, read_ms: float, written_bytes: int, write_ms: float, rows: int) -> None:
        """One chunk: its input bytes and read time, its output bytes and write time.

        Input that was already in memory (read_ms 0: Arrow buffers, Python
        values) counts towards the compression but is no read.
        """
        self.read_bytes += read_bytes
        if read_bytes and read_ms > 0:
            self.monitor.record_read(read_bytes, read_ms)
        if written_bytes:
            self.monitor.record_write(written_bytes, write_ms)

    def finish(self, original_bytes: int, compressed_bytes: int, rows: int, columns: int) -> None:
        self.monitor.record_compression(original_bytes, compressed_bytes)
        self.monitor.record_rows_columns(rows, columns)
        self.monitor.update_memory(*resident_memory())

    def finish_from_file(self, path: str) -> None:
        """The end of a write whose input was its chunks' payloads: sizes, rows and columns from the file."""
        from ._native import Reader

        header = Reader(path).metadata()["header"]
        self.finish(self.read_bytes, header["file_size"], header["total_rows"], header["column_count"])

    def failed(self) -> None:
        self.monitor.record_error()
        self.monitor.update_memory(*resident_memory())
