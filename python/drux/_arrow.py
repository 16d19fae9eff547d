"""Writing DRUX files from Arrow data: ``write_arrow``.

Anything that speaks the Arrow PyCapsule protocol -- a pyarrow Table,
RecordBatch or RecordBatchReader, a polars or pandas DataFrame -- is handed
to the native module as an Arrow C stream (or one array) and written in
C++, column by column, with no Python object per cell. No Arrow library is
imported here: the data's own library does the exporting.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from typing import Any

from . import _native
from ._convert import available_cores
from ._monitoring import Monitor, Recorder
from ._table import KEY_SIZE, PathLike


def _arrow_source(data: Any) -> Any:
    if hasattr(data, "__arrow_c_stream__"):
        return data.__arrow_c_stream__()
    if hasattr(data, "__arrow_c_array__"):
        schema, array = data.__arrow_c_array__()
        return (schema, array)
    raise TypeError(f"write_arrow needs Arrow data (an object with __arrow_c_stream__ or __arrow_c_array__), "
                    f"not {type(data).__name__}")


def write_arrow(
    path: PathLike,
    data: Any,
    *,
    chunk_rows: int = 65536,
    keys: Mapping[str, bytes] | None = None,
    level: str = "exact",
    jobs: int | None = None,
    lossy: bool = False,
    monitor: Monitor | None = None,
) -> str:
    """Write Arrow data as a DRUX v2 file and return the writer's summary line.

    Integer types that fit 64 signed bits become integer columns, floats float
    columns, booleans boolean columns, utf8 / large_utf8 / string_view string
    columns, binary kinds bytes columns. What the format cannot hold exactly
    is refused with a ``ValueError`` that names the
    column and says why -- a null in a non-nested column, a float with more
    than four decimals, a uint64 above 2**63 - 1, a type the format lacks such
    as timestamps or nested lists -- unless ``lossy=True``, which stores a null
    as 0, 0.0, False, "" or b"" (counted in the chunk's null count), rounds
    floats to four decimals (NaN as 0, infinities saturated), saturates large
    uint64 values, and stores dates, times, timestamps and durations as their
    integer count of the unit. Nested, decimal and dictionary-encoded columns
    are refused either way. ``keys`` maps column names to 32-byte keys for
    columns to encrypt; ``level`` is "exact", "fast" or "max" as for
    ``write_table``; ``jobs`` threads compress a chunk's columns (default:
    every core this process may use). An existing file at ``path`` is
    replaced only once the new one is complete.

    ``monitor`` (a ``drux_fileformat.PyPerformanceMonitor``) receives per
    chunk its payload bytes (as read) and file bytes (as written) with their
    durations, then the compression, rows, columns and memory; a failure
    counts one error.
    """
    if isinstance(chunk_rows, bool) or not isinstance(chunk_rows, int):
        raise TypeError("chunk_rows must be an int")
    if not 1 <= chunk_rows <= 0xFFFFFFFF:
        raise ValueError("chunk_rows must be between 1 and 4294967295")
    threads = available_cores() if jobs is None else jobs
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"jobs must be a positive int or None, not {jobs!r}")
    key_pairs = []
    for name, key in (keys or {}).items():
        key = bytes(key)
        if len(key) != KEY_SIZE:
            raise ValueError(f"key for column {name!r} must be {KEY_SIZE} bytes, not {len(key)}")
        key_pairs.append((name, key))
    source = _arrow_source(data)
    if monitor is None:
        return _native.write_arrow(os.fspath(path), source, chunk_rows, key_pairs, bool(lossy), threads, level)
    recorder = Recorder(monitor)
    try:
        summary = _native.write_arrow(os.fspath(path), source, chunk_rows, key_pairs, bool(lossy), threads,
                                      level, recorder.chunk)
    except BaseException:
        recorder.failed()
        raise
    recorder.finish_from_file(os.fspath(path))
    return summary
