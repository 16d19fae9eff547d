"""Tables: reading whole files back and writing typed columns.

A table is the names and one Python list per column; reading goes chunk by
chunk through the native reader and writing hands whole columns to the native
writer. Deliberately not here: any typing of CSV texts, or streaming of
tables larger than memory.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from . import _native
from ._monitoring import Monitor, Recorder
from ._format import ColumnType, display_name
from ._scan import normalise_filters
from ._limits import ReaderLimits

if TYPE_CHECKING:
    from ._native import Metadata

# Column type names, in the order of the format's column type codes 1 to 8.
COLUMN_TYPES: tuple[str, ...] = tuple(display_name(t) for t in ColumnType)

KEY_SIZE = 32

# How hard write_table compresses: "exact" is the reference choice of tokens
# and coders, "fast" several times quicker and a little larger, "max" the
# smallest and slowest. Every level writes plain DRUX v2; none is recorded.
COMPRESSION_LEVELS: tuple[str, ...] = ("exact", "fast", "max")

PathLike = str | os.PathLike[str]


class Table:
    """A whole DRUX table: column names in file order and one list of values per column.

    Names may repeat (a CSV header may repeat a name), so the columns are kept
    as a list beside the names rather than as a dict; ``to_dict`` gives a dict
    when the names are unique.
    """

    __slots__ = ("names", "columns")

    def __init__(self, names: list[str], columns: list[list[Any]]) -> None:
        if len(names) != len(columns):
            raise ValueError(f"{len(names)} names but {len(columns)} columns")
        self.names = names
        self.columns = columns

    @property
    def num_rows(self) -> int:
        return len(self.columns[0]) if self.columns else 0

    def column(self, name: str) -> list[Any]:
        """The values of the first column called ``name``."""
        try:
            return self.columns[self.names.index(name)]
        except ValueError:
            raise KeyError(name) from None

    def to_dict(self) -> dict[str, list[Any]]:
        seen: set[str] = set()
        for name in self.names:
            if name in seen:
                raise ValueError(f"column name {name!r} occurs more than once; use .names and .columns")
            seen.add(name)
        return dict(zip(self.names, self.columns))

    def __repr__(self) -> str:
        return f"Table(names={self.names!r}, rows={self.num_rows})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Table):
            return NotImplemented
        return self.names == other.names and self.columns == other.columns


def _normalise_keys(keys: Mapping[str, bytes] | None) -> dict[str, bytes]:
    result: dict[str, bytes] = {}
    for name, key in (keys or {}).items():
        if not isinstance(name, str):
            raise TypeError(f"key names must be str, not {type(name).__name__}")
        key = bytes(key)
        if len(key) != KEY_SIZE:
            raise ValueError(f"key for column {name!r} must be {KEY_SIZE} bytes, not {len(key)}")
        result[name] = key
    return result


def _open(path: PathLike, limits: ReaderLimits | None) -> _native.Reader:
    if limits is not None and not isinstance(limits, ReaderLimits):
        raise TypeError(f"limits must be a drux.ReaderLimits, not {type(limits).__name__}")
    return _native.Reader(os.fspath(path), limits)


def read_table(
    path: PathLike,
    keys: Mapping[str, bytes] | None = None,
    *,
    columns: Sequence[str] | None = None,
    filters: Sequence[Any] | None = None,
    limits: ReaderLimits | None = None,
) -> Table:
    """Read a whole DRUX file, or some columns and the rows that match.

    ``keys`` maps column names to 32-byte keys for encrypted columns. Integer,
    float, boolean, string and bytes columns keep no per-cell null marker
    (only a null count per chunk, see ``read_metadata``), so their nulls come
    back as 0, 0.0, False, "" or b"". Nested columns give back ``None``.
    ``columns`` and ``filters`` are those of ``drux.scan``, whose chunk
    skipping and row filter they go through. ``limits`` bounds what a whole
    read may cost (``ReaderLimits()`` when None); a file beyond them raises
    ``DruxError`` naming the limit. The scan road reads under the default
    limits.
    """
    key_map = _normalise_keys(keys)
    if columns is not None or filters is not None:
        if columns is not None and (isinstance(columns, str) or not isinstance(columns, Sequence)):
            raise TypeError("columns must be a list of column names")
        native = _native.Scan(os.fspath(path), None if columns is None else list(columns),
                              normalise_filters(filters), key_map or None, 1)
        return Table(native.names(), native.read_lists())
    reader = _open(path, limits)
    reader.check_table_cells()
    meta = reader.metadata()
    names = [column["name"] for column in meta["columns"]]
    values: list[list[Any]] = [[] for _ in names]
    for chunk in range(len(meta["chunks"])):
        for index, name in enumerate(names):
            values[index].extend(reader.read_column_chunk(chunk, index, key_map.get(name)))
    return Table(names, values)


def read_metadata(path: PathLike, *, limits: ReaderLimits | None = None) -> Metadata:
    """Header fields, schema, and per chunk and column the block location, encoding and statistics.

    ``limits`` bounds what opening the file may cost, as for ``read_table``.
    """
    return _open(path, limits).metadata()


def _column_pairs(columns: Mapping[str, Sequence[Any]] | Iterable[tuple[str, Sequence[Any]]]) -> list[tuple[str, list[Any]]]:
    items = columns.items() if isinstance(columns, Mapping) else columns
    pairs = []
    for item in items:
        try:
            name, values = item
        except (TypeError, ValueError):
            raise TypeError("columns must be a dict of name to values or a list of (name, values) pairs") from None
        if not isinstance(name, str):
            raise TypeError(f"column names must be str, not {type(name).__name__}")
        pairs.append((name, list(values)))
    return pairs


def _infer_type(name: str, values: list[Any]) -> str:
    """The column type that the first non-None value implies; "str" for an all-None column."""
    for value in values:
        if value is None:
            continue
        # bool before int: bool is a subclass of int.
        for python_type, column_type in ((bool, "bool"), (int, "int"), (float, "float"), (str, "str"),
                                         ((bytes, bytearray, memoryview), "bytes"), (dict, "object"),
                                         ((list, tuple), "list")):
            if isinstance(value, python_type):
                return column_type
        raise TypeError(f"column {name!r}: cannot tell a column type from a value of type {type(value).__name__}")
    return "str"


def write_table(
    path: PathLike,
    columns: Mapping[str, Sequence[Any]] | Iterable[tuple[str, Sequence[Any]]],
    *,
    types: Mapping[str, str] | None = None,
    chunk_rows: int = 65536,
    keys: Mapping[str, bytes] | None = None,
    level: str = "exact",
    monitor: Monitor | None = None,
) -> str:
    """Write a DRUX v2 file and return the writer's summary line.

    ``columns`` is a dict of name to values or a list of (name, values) pairs
    (names may repeat); every column has the same length and ``None`` is a
    null. ``types`` names a column's type where the values alone do not decide
    it; ``keys`` maps column names to 32-byte keys for columns to encrypt.
    ``level`` is one of ``COMPRESSION_LEVELS``: "exact" (the default), "fast"
    or "max"; any reader reads the file the same whatever the level.
    ``monitor`` (a ``drux_fileformat.PyPerformanceMonitor``) receives the
    file bytes written per chunk with their durations, then the compression
    of the payloads, rows, columns and memory; a failure counts one error.
    """
    if level not in COMPRESSION_LEVELS:
        raise ValueError(f"unknown compression level {level!r}; expected one of {', '.join(COMPRESSION_LEVELS)}")
    pairs = _column_pairs(columns)
    type_map = dict(types or {})
    for name, type_name in type_map.items():
        if type_name not in COLUMN_TYPES:
            raise ValueError(f"column {name!r}: unknown type {type_name!r}; expected one of {', '.join(COLUMN_TYPES)}")
    names = {name for name, _ in pairs}
    for label, mapping in (("types", type_map), ("keys", keys or {})):
        unknown = [name for name in mapping if name not in names]
        if unknown:
            raise ValueError(f"{label} names columns that do not exist: {', '.join(map(repr, unknown))}")
    key_map = _normalise_keys(keys)
    lengths = {len(values) for _, values in pairs}
    if len(lengths) > 1:
        detail = ", ".join(f"{name!r}: {len(values)}" for name, values in pairs)
        raise ValueError(f"all columns must have the same length ({detail})")
    if isinstance(chunk_rows, bool) or not isinstance(chunk_rows, int):
        raise TypeError("chunk_rows must be an int")
    if not 1 <= chunk_rows <= 0xFFFFFFFF:
        raise ValueError("chunk_rows must be between 1 and 4294967295")
    specs = []
    for name, values in pairs:
        type_name = type_map.get(name) or _infer_type(name, values)
        specs.append((name, int(ColumnType[type_name.upper()]), key_map.get(name), values))
    if monitor is None:
        return _native.write_table(os.fspath(path), specs, chunk_rows, level)
    recorder = Recorder(monitor)
    try:
        summary = _native.write_table(os.fspath(path), specs, chunk_rows, level, recorder.chunk)
    except BaseException:
        recorder.failed()
        raise
    recorder.finish_from_file(os.fspath(path))
    return summary
