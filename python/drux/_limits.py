"""What the reader may spend on one file: ``ReaderLimits``.

A DRUX file says how much its parts decode to, and a hostile or damaged file
can say anything. The reader bounds every decoded size twice: by what the
file can really hold (its counts and size) and by these limits, so a file of
n bytes costs at most a small multiple of n plus the limits before it is
refused. A refusal is a ``DruxError`` that names the limit it hit; pass a
``ReaderLimits`` with that field raised to read such a file anyway.

Deliberately not here: the checks themselves (the native reader does them).
"""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class ReaderLimits:
    """Bounds on what reading one DRUX file may cost.

    ``max_block_bytes``: largest decoded column block (one column of one chunk).
    ``max_metadata_bytes``: largest decoded schema or footer block.
    ``max_name_bytes``: longest column name.
    ``max_chunk_rows``: most rows in one chunk; a few bytes of constant or
    run-length payload can describe any number of rows, so this bounds the
    cells one block yields (the CSV conversion writes 65,536 per chunk).
    ``max_chunks``: most chunks in a file.
    ``max_cells``: most cells (rows times columns) a whole-table read
    (``read_table``, ``drux cat``) materialises.
    """

    max_block_bytes: int = 1 << 28
    max_metadata_bytes: int = 1 << 26
    max_name_bytes: int = 1 << 16
    max_chunk_rows: int = 1 << 22
    max_chunks: int = 1 << 20
    max_cells: int = 1 << 28

    def __post_init__(self) -> None:
        for name, value in vars(self).items():
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"ReaderLimits.{name} must be an int, not {type(value).__name__}")
            if value < 0:
                raise ValueError(f"ReaderLimits.{name} must not be negative")
