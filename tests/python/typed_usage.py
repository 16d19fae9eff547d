"""Typed use of the drux package and its native module, for mypy --strict.

scripts/test.sh type-checks this file together with the package, so the
stubs (python/drux/_native.pyi) must agree with how the package and its
users call the module. It is never run. The ignores below are expected
errors: under --strict an ignore that is not needed fails the check, so they
show that the metadata is typed key by key rather than as dict[str, Any].

Deliberately not here: what the calls return at run time, which the pytest
files check.
"""

from __future__ import annotations

import drux
from drux import _native


def header_rows(path: str) -> int:
    meta: _native.Metadata = drux.read_metadata(path)
    header: _native.HeaderInfo = meta["header"]
    return header["total_rows"] + header["chunk_count"]


def block_lengths(path: str) -> list[int]:
    reader = _native.Reader(path)
    return [block["length"] for chunk in reader.metadata()["chunks"] for block in chunk["columns"]]


def first_column_name(path: str) -> str:
    return _native.Reader(path).metadata()["columns"][0]["name"]


def misspelt_key(path: str) -> object:
    return drux.read_metadata(path)["header"]["total_row"]  # type: ignore[typeddict-item]


def text_bound_is_bytes(path: str) -> str:
    block = drux.read_metadata(path)["chunks"][0]["columns"][0]
    return block["min_str"]  # type: ignore[return-value]


def format_codes() -> dict[int, str]:
    names = {code: name for name, code in _native.ENCODINGS}
    names.update({code: name for name, code in _native.COLUMN_TYPES})
    return names


def csv_cells(path: str) -> list[str]:
    names, rows = _native.read_csv_text(path)
    return names + [cell for row in rows for cell in row] + _native.split_csv_line("a, b")


def convert(csv_path: str, drux_path: str) -> float:
    seen: list[int] = []
    _, _, saved = _native.compress_csv(csv_path, drux_path, lambda done, total: seen.append(done))
    return saved


def round_trip(path: str) -> drux.Table:
    drux.write_table(path, {"a": [1, 2]}, types={"a": "int"}, chunk_rows=2, keys={"a": bytes(32)})
    return drux.read_table(path, {"a": bytes(32)})


def type_code(name: str) -> int:
    return int(drux.ColumnType[name.upper()]) + int(drux.Encoding["PLAIN"])


def scan_counters(path: str) -> dict[str, int]:
    scan = drux.scan(path, columns=["a"], filters=[("a", "==", 1)], jobs=2)
    native: _native.Scan = _native.Scan(path, ["a"], [[("a", 0, [1])]], None, 1)
    return {**scan.stats, **native.stats()}


def filtered_table(path: str) -> drux.Table:
    return drux.read_table(path, columns=["a"], filters=[[("a", "<", 2)], [("a", "in", [5, 6])]])
