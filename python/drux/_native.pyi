"""Types of drux._native, the C++ core of the drux package.

Checked by ``mypy --strict`` on tests/python/typed_usage.py in scripts/test.sh.
The TypedDicts exist only for type checkers; at run time the metadata is
plain dicts.

Deliberately not here: anything the module does not export.
"""

from collections.abc import Callable
from typing import Any, Protocol, TypedDict

class DruxError(ValueError): ...

class HeaderInfo(TypedDict):
    version: int
    column_count: int
    total_rows: int
    chunk_count: int
    rows_per_chunk: int
    created: int
    file_size: int
    footer_offset: int
    footer_length: int

class ColumnInfo(TypedDict):
    name: str
    type: int
    encrypted: bool

class BlockInfo(TypedDict):
    offset: int
    length: int
    encoding: int
    null_count: int
    min_int: int
    max_int: int
    min_str: bytes
    max_str: bytes

class ChunkInfo(TypedDict):
    rows: int
    columns: list[BlockInfo]

class Metadata(TypedDict):
    header: HeaderInfo
    columns: list[ColumnInfo]
    chunks: list[ChunkInfo]

ENCODINGS: tuple[tuple[str, int], ...]
COLUMN_TYPES: tuple[tuple[str, int], ...]

class Limits(Protocol):
    """What the reader takes from a drux.ReaderLimits."""

    @property
    def max_block_bytes(self) -> int: ...
    @property
    def max_metadata_bytes(self) -> int: ...
    @property
    def max_name_bytes(self) -> int: ...
    @property
    def max_chunk_rows(self) -> int: ...
    @property
    def max_chunks(self) -> int: ...
    @property
    def max_cells(self) -> int: ...

class Reader:
    def __init__(self, path: str, limits: Limits | None = None) -> None: ...
    def metadata(self) -> Metadata: ...
    def read_column_chunk(self, chunk: int, column: int, key: bytes | None = None) -> list[Any]: ...
    def verify_chunk(self, chunk: int, column: int, key: bytes | None = None) -> None: ...
    def check_table_cells(self) -> None: ...
    def payload_size(self, chunk: int, column: int) -> int: ...

class Scan:
    def __init__(
        self,
        path: str,
        columns: list[str] | None = None,
        filters: list[list[tuple[str, int, list[Any]]]] | None = None,
        keys: dict[str, bytes] | None = None,
        jobs: int = 1,
    ) -> None: ...
    def schema_capsule(self) -> object: ...
    def stream_capsule(self) -> object: ...
    def stats(self) -> dict[str, int]: ...
    def names(self) -> list[str]: ...
    def raise_failure(self) -> None: ...
    def read_lists(self) -> list[list[Any]]: ...

def write_table(
    path: str,
    columns: list[tuple[str, int, bytes | None, list[Any]]],
    chunk_rows: int,
    level: str = "exact",
    on_chunk: Callable[[int, float, int, float, int], object] | None = None,
) -> str: ...
def compress_csv(
    csv_path: str, drux_path: str, progress: Callable[[int, int], object] | None = None
) -> tuple[int, int, float]: ...
def convert_csv(
    csv_path: str,
    drux_path: str,
    jobs: int,
    infer_types: bool,
    level: str,
    progress: Callable[[int, int], object] | None = None,
    on_chunk: Callable[[int, float, int, float, int], object] | None = None,
) -> tuple[int, int, float, int, int, float, int]: ...
def read_csv_text(path: str) -> tuple[list[str], list[list[str]]]: ...
def split_csv_line(line: str) -> list[str]: ...
def write_arrow(
    path: str,
    source: object,
    chunk_rows: int,
    keys: list[tuple[str, bytes]],
    lossy: bool,
    jobs: int,
    level: str,
    on_chunk: Callable[[int, float, int, float, int], object] | None = None,
) -> str: ...
