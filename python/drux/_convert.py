"""CSV to DRUX on every core: ``convert_csv`` and its result record.

The conversion runs in the native module without the interpreter lock, on
worker threads that it owns and joins; it writes the same bytes as
``drux_fileformat.compress_csv`` (the creation time aside) but prints
nothing, and it replaces the output only once the new file is complete.
Deliberately not here: any CSV parsing in Python, and the report lines on
standard error, which are ``compress_csv``'s.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass

from . import _native
from ._monitoring import Monitor, Recorder

PathLike = str | os.PathLike[str]


@dataclass(frozen=True)
class ConvertResult:
    """What one conversion did: sizes in bytes, rows, chunks, wall-clock seconds and columns."""

    csv_size: int
    drux_size: int
    saved_percent: float
    rows: int
    chunks: int
    seconds: float
    columns: int


def available_cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _jobs(jobs: int | None) -> int:
    if jobs is None:
        return available_cores()
    if isinstance(jobs, bool) or not isinstance(jobs, int):
        raise TypeError(f"jobs must be an int or None, not {type(jobs).__name__}")
    if jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    return jobs


def convert_csv(
    csv_path: PathLike,
    drux_path: PathLike,
    *,
    jobs: int | None = None,
    progress: Callable[[int, int], object] | None = None,
    monitor: Monitor | None = None,
    types: str = "str",
    level: str = "exact",
) -> ConvertResult:
    """Convert a CSV file to DRUX v2 on ``jobs`` worker threads (default: every core this process may use).

    The output is byte for byte what ``drux_fileformat.compress_csv`` writes
    for the same file (apart from the creation time), and the same inputs
    fail with the same exceptions and messages. ``progress(bytes_done,
    total_bytes)`` is called on the calling thread a few times a second at
    most; an exception it raises stops the conversion and propagates. On any
    failure an existing ``drux_path`` is left as it was and no partial file
    remains. Other Python threads run while the conversion does.

    ``types="infer"`` reads the file once more, first, to type each column
    from all of its cells: a column becomes an integer, float or boolean
    column only when every cell's text comes back exactly (see
    ``drux.render_cell``); any other column, and every column with
    ``types="str"`` (the default), is text, as ``compress_csv`` stores it.

    ``level`` is how hard blocks are compressed: "exact" (the default;
    ``compress_csv``'s bytes), "fast" or "max". Every level writes plain
    DRUX v2 that any reader decodes; the level is not recorded.

    ``monitor`` (a ``drux_fileformat.PyPerformanceMonitor``) receives, per
    chunk, the CSV bytes read and the file bytes written with their
    durations, and at the end the compression, rows and columns and the
    process's memory; a failed conversion counts one error.
    """
    threads = _jobs(jobs)
    if types not in ("str", "infer"):
        raise ValueError(f"types must be 'str' or 'infer', not {types!r}")
    recorder = Recorder(monitor) if monitor is not None else None
    try:
        fields = _native.convert_csv(os.fspath(csv_path), os.fspath(drux_path), threads, types == "infer", level,
                                     progress, recorder.chunk if recorder else None)
    except BaseException:
        if recorder:
            recorder.failed()
        raise
    result = ConvertResult(*fields)
    if recorder:
        recorder.finish(result.csv_size, result.drux_size, result.rows, result.columns)
    return result
