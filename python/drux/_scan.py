"""Arrow-native scans: ``drux.scan(path, columns=, filters=)`` and its ``Scan``.

A ``Scan`` is an open file and a checked request; the native module decodes
the chosen column blocks of the chunks that can match straight into Arrow
buffers and hands them out through the Arrow PyCapsule interface, so pyarrow,
polars, DuckDB and others read it without a copy and without this package
importing them. Filters follow pyarrow.parquet's convention and are turned
here into the plain list of conjunctions the native module takes.

Column types in Arrow: int64, float64, bool, utf8, binary; object, list and
map columns as large_utf8 JSON text (object -> JSON object, list -> JSON
array, map -> array of [key, value] pairs, bytes -> hex text, a non-finite
float -> null). Deliberately not here: any decoding in Python, or casting
to a requested schema (the consumer casts).
"""

from __future__ import annotations

import os
import time
from collections.abc import Mapping, Sequence
from typing import Any

from . import _native
from ._monitoring import Monitor, resident_memory

PathLike = str | os.PathLike[str]

# The native module's operator codes, in the order of its FilterOp.
_OPERATORS = {"==": 0, "=": 0, "!=": 1, "<": 2, "<=": 3, ">": 4, ">=": 5, "in": 6, "not in": 7}
_SET_OPERATORS = {"in", "not in"}


def _is_term(item: object) -> bool:
    return isinstance(item, tuple) and len(item) == 3 and isinstance(item[0], str)


def normalise_filters(filters: Sequence[Any] | None) -> list[list[tuple[str, int, list[Any]]]] | None:
    """pyarrow.parquet's filters as conjunctions of (column, operator code, values).

    A list of (column, op, value) tuples is one conjunction; a list of such
    lists is their disjunction. An empty list filters nothing out.
    """
    if filters is None:
        return None
    if isinstance(filters, (str, bytes)) or not isinstance(filters, Sequence):
        raise TypeError("filters must be a list of (column, op, value) tuples or a list of such lists")
    items = list(filters)
    if not items:
        return None
    groups = [items] if all(_is_term(item) for item in items) else items
    result = []
    for group in groups:
        if isinstance(group, (str, bytes)) or not isinstance(group, Sequence) or not group:
            raise TypeError("filters must be a list of (column, op, value) tuples or a list of non-empty such lists")
        conjunction = []
        for term in group:
            if not _is_term(term):
                raise TypeError(f"a filter term must be a (column, op, value) tuple, not {term!r}")
            name, op, value = term
            if op not in _OPERATORS:
                raise ValueError(f"unknown filter operator {op!r}; expected one of {', '.join(_OPERATORS)}")
            if op in _SET_OPERATORS:
                if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
                    raise TypeError(f"operator {op!r} needs a collection of values, not {value!r}")
                values = list(value)
            else:
                values = [value]
            conjunction.append((name, _OPERATORS[op], values))
        result.append(conjunction)
    return result


def default_jobs() -> int:
    """The cores this process may use."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # not on Linux
        return max(1, os.cpu_count() or 1)


class Scan:
    """A scan of one DRUX file: the Arrow PyCapsule interface over its matching chunks.

    Every ``__arrow_c_stream__`` call starts a fresh stream with one record
    batch per chunk that holds a matching row. ``stats`` tells how many
    chunks, blocks and bytes the streams of this scan read and skipped.

    With a monitor, each helper (``to_arrow``, ``to_pandas``, ``to_polars``)
    records its whole stream once it ends: the block bytes read with the
    time taken, the rows and columns, the memory, or one error. A consumer
    that takes the capsule itself goes unrecorded: the stream's callbacks
    never touch the interpreter, so they cannot call a Python monitor.
    """

    __slots__ = ("_native", "_monitor")

    def __init__(self, native: _native.Scan, monitor: Monitor | None = None) -> None:
        self._native = native
        self._monitor = monitor

    @property
    def column_names(self) -> list[str]:
        return self._native.names()

    @property
    def stats(self) -> dict[str, int]:
        """chunks_read, chunks_skipped, blocks_read, blocks_skipped, bytes_read, bytes_skipped so far."""
        return self._native.stats()

    def __arrow_c_schema__(self) -> object:
        return self._native.schema_capsule()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        # A requested schema is a hint the consumer casts to itself.
        return self._native.stream_capsule()

    def _consume(self, read: Any) -> Any:
        """Runs a consumer; a failure of the file comes back as DruxError or OSError."""
        before = self._native.stats()["bytes_read"]
        start = time.perf_counter()
        try:
            result = read()
        except Exception as error:
            if self._monitor is not None:
                self._monitor.record_error()
            try:
                self._native.raise_failure()
            except (_native.DruxError, OSError) as failure:
                raise failure from error
            raise
        if self._monitor is not None:
            read_bytes = self._native.stats()["bytes_read"] - before
            if read_bytes:
                self._monitor.record_read(read_bytes, (time.perf_counter() - start) * 1000.0)
            self._monitor.record_rows_columns(len(result), len(self.column_names))
            self._monitor.update_memory(*resident_memory())
        return result

    # The helpers return their library's objects, typed Any: none of the
    # libraries is a dependency, and not all of them ship types.
    def to_arrow(self) -> Any:
        """A pyarrow.Table of the whole scan."""
        import pyarrow  # type: ignore[import-untyped]

        return self._consume(lambda: pyarrow.table(self))

    def to_pandas(self) -> Any:
        """A pandas.DataFrame, through pyarrow."""
        return self.to_arrow().to_pandas()

    def to_polars(self) -> Any:
        """A polars.DataFrame read from the stream."""
        import polars

        return self._consume(lambda: polars.DataFrame(self))

    def __repr__(self) -> str:
        return f"Scan(columns={self.column_names!r})"


def scan(
    path: PathLike,
    *,
    columns: Sequence[str] | None = None,
    filters: Sequence[Any] | None = None,
    keys: Mapping[str, bytes] | None = None,
    jobs: int | None = None,
    monitor: Monitor | None = None,
) -> Scan:
    """Open ``path`` for an Arrow-native scan.

    ``columns`` picks and orders the columns (only their blocks are read);
    ``filters`` keeps the rows that match, in pyarrow.parquet's convention,
    and chunks that cannot match are skipped from the footer's statistics;
    ``keys`` maps encrypted column names to 32-byte keys; ``jobs`` threads
    decode a batch's blocks side by side (default: the cores this process
    may use); ``monitor`` records what the helpers read (see ``Scan``).
    """
    if columns is not None and (isinstance(columns, str) or not isinstance(columns, Sequence)):
        raise TypeError("columns must be a list of column names")
    if jobs is None:
        jobs = default_jobs()
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError("jobs must be a positive int")
    key_map = {name: bytes(key) for name, key in (keys or {}).items()} or None
    native = _native.Scan(os.fspath(path), None if columns is None else list(columns), normalise_filters(filters),
                          key_map, jobs)
    return Scan(native, monitor)
