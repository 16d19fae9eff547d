"""Hostile DRUX files: built byte by byte, read under a memory limit.

A small generator below assembles files from their parts (header, schema,
column blocks, footer, trailer) with any part replaced: compression bombs of
every entropy method in the schema, the footer and a column block, huge chunk
and row counts, names and cells that are not UTF-8, and type flips. Each file
goes through ``drux info``, ``drux verify``, ``drux cat`` and ``read_table``
in a subprocess whose address space is capped at 1.5 GiB: each must refuse
the file with exit status 1 or DruxError/MemoryError (one line, no
traceback), or, for the well-formed extremes, read it within the default
limits. Before these limits, several of these files took gigabytes.

Deliberately not here: timing (a refusal that took minutes would show as the
subprocess timeout, nothing finer), and files the C++ suite already covers.
"""

from __future__ import annotations

import json
import struct
import subprocess
import sys
import textwrap
import zlib
from collections.abc import Callable
from dataclasses import dataclass, field

import pytest

import drux

INT, FLOAT, STR, BYTES = 1, 2, 4, 5
PLAIN, CDELTA = 0, 6
ADDRESS_SPACE = 3 << 29  # 1.5 GiB
TOOLS = ("info", "verify", "cat", "read_table")

# ---- the generator -------------------------------------------------------------


def varint(n: int) -> bytes:
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def svarint(n: int) -> bytes:
    return varint((n << 1) ^ (n >> 63) if n >= 0 else ((-n) << 1) - 1)


def stored(data: bytes) -> bytes:
    return b"\x02" + data if data else b""


def lz_literals(data: bytes) -> bytes:
    return data.replace(b"\xff", b"\xff\x00\x00\x01\x00")


def lz_repeat(head: bytes, unit: bytes, count: int) -> bytes:
    """An LZ token stream for head + unit * count, the repeats as back-references."""
    tokens = bytearray(lz_literals(head + unit))
    remaining = (count - 1) * len(unit)
    while remaining >= 6:
        length = min(65535, remaining)
        tokens += b"\xff" + struct.pack("<HH", len(unit), length)
        remaining -= length
    start = len(head) + count * len(unit) - remaining
    tokens += lz_literals(bytes(unit[(i - len(head)) % len(unit)] for i in range(start, start + remaining)))
    return bytes(tokens)


def huffman(symbols: bytes, lengths: dict[int, int]) -> bytes:
    """Canonical Huffman coding of `symbols` with the given code lengths (sparse table)."""
    codes, code, previous = {}, 0, None
    for value, length in sorted(lengths.items(), key=lambda item: (item[1], item[0])):
        if previous is not None:
            code = (code + 1) << (length - previous)
        codes[value], previous = (code, length), length
    bits = "".join(format(codes[s][0], f"0{codes[s][1]}b") for s in symbols)
    bits += "0" * (-len(bits) % 8)
    table = bytes([0xFF, len(lengths)]) + b"".join(bytes([v, n]) for v, n in sorted(lengths.items()))
    return table + struct.pack("<I", len(symbols)) + (int(bits, 2).to_bytes(len(bits) // 8, "big") if bits else b"")


def range_single(value: int, length: int) -> bytes:
    """The range coder's single-value form: nine bytes for any length."""
    return struct.pack("<HBHI", 1, value, 16384, length)


# A token stream of one literal and k matches of 65,535 bytes, Huffman coded
# in 7 bits a match: about 9,400 output bytes per input byte.
BOMB_MATCHES = 65536
BOMB_TOKENS = b"A" + b"\xff\x01\x00\xff\xff" * BOMB_MATCHES


def bomb(method: int) -> bytes:
    """A compressed block of `method` that claims or decodes to gigabytes."""
    if method == 0:
        return b"\x00" + BOMB_TOKENS[: 1 + 5 * 20000]  # 100 KB of tokens, 1.3 GB of output
    if method == 1:
        return b"\x01" + huffman(BOMB_TOKENS, {0xFF: 1, 0x00: 2, 0x01: 3, 0x41: 3})
    if method == 3:
        return b"\x03" + bytes([0xFF, 1, 0x41, 1]) + struct.pack("<I", 0xFFFFFFFF) + bytes(64)
    if method == 4:
        return b"\x04" + range_single(0x41, 1 << 30)
    return b"\x05" + range_single(0x41, 1 << 30)  # a gigabyte of literal tokens


BOMB_METHODS = {"lz": 0, "lz_huffman": 1, "huffman": 3, "range": 4, "lz_range": 5}


@dataclass
class Block:
    tag: int
    data: bytes  # the compressed block
    null_count: int = 0
    min_int: int = 0
    max_int: int = 0


@dataclass
class Forge:
    """The parts of one DRUX file; None parts are derived from the others."""

    columns: list[tuple[bytes, int]]
    chunks: list[tuple[int, list[Block]]] = field(default_factory=list)
    schema_block: bytes | None = None
    footer_block: bytes | None = None
    chunk_count: int | None = None  # header and footer
    row_counts: bytes | None = None  # the footer's row counts, as bytes

    def build(self) -> bytes:
        chunk_count = len(self.chunks) if self.chunk_count is None else self.chunk_count
        total_rows = sum(rows for rows, _ in self.chunks)
        schema = b"".join(varint(len(name)) + name + bytes([kind, 0]) for name, kind in self.columns)
        schema_block = stored(schema) if self.schema_block is None else self.schema_block
        out = bytearray(b"DRUX" + struct.pack("<HHQII", 2, len(self.columns), total_rows, chunk_count, 65536))
        out += bytes(40) + struct.pack("<I", len(schema_block)) + schema_block
        out += struct.pack("<Q", 2) + b"\x02\x00"
        entries = bytearray()
        for _, blocks in self.chunks:
            for block in blocks:
                entries += struct.pack("<QQBI", len(out), len(block.data), block.tag, block.null_count)
                entries += svarint(block.min_int) + svarint(block.max_int) + b"\x00\x00" + bytes(512)
                out += struct.pack("<IQ", zlib.crc32(block.data), len(block.data)) + block.data
        row_counts = b"".join(struct.pack("<I", rows) for rows, _ in self.chunks)
        footer = struct.pack("<IH", chunk_count, len(self.columns))
        footer += (row_counts if self.row_counts is None else self.row_counts) + entries
        footer_block = stored(footer) if self.footer_block is None else self.footer_block
        footer_offset = len(out)
        out += footer_block + struct.pack("<QQ", len(footer_block), footer_offset)
        return bytes(out)


def int_chunk(rows: int, value: int = 0) -> tuple[int, list[Block]]:
    """One chunk of an integer column whose `rows` cells all hold `value`: a 3-byte block."""
    return rows, [Block(CDELTA, stored(svarint(value) + svarint(0)), min_int=value, max_int=value)]


def str_chunk(cells: list[bytes]) -> tuple[int, list[Block]]:
    return len(cells), [Block(PLAIN, stored(b"".join(varint(len(c)) + c for c in cells)))]


def one_int_column(**parts: object) -> bytes:
    return Forge(columns=[(b"n", INT)], chunks=[int_chunk(1)], **parts).build()  # type: ignore[arg-type]


def flip_schema_type(tmp_path, kind: str, values: list[object], new_type: int) -> bytes:
    """A file written by drux.write_table with its one column's type byte changed."""
    path = tmp_path / "flip.drux"
    drux.write_table(path, {"c": values}, types={"c": kind})
    data = bytearray(path.read_bytes())
    assert data[68] == 0x02, "a one-column schema is short enough to be stored"
    data[68 + 1 + 2] = new_type  # method byte, name length, name "c", then the type
    return bytes(data)


# ---- the cases -------------------------------------------------------------------

REFUSED = dict.fromkeys(TOOLS, "refused")


def expect(**outcomes: str) -> dict[str, str]:
    return {**REFUSED, **outcomes}


CASES: dict[str, tuple[Callable[..., bytes], dict[str, str]]] = {}
for label, method in BOMB_METHODS.items():
    CASES[f"schema_bomb_{label}"] = (lambda tmp, m=method: one_int_column(schema_block=bomb(m)), REFUSED)
    CASES[f"footer_bomb_{label}"] = (lambda tmp, m=method: one_int_column(footer_block=bomb(m)), REFUSED)
    CASES[f"string_block_bomb_{label}"] = (
        lambda tmp, m=method: Forge(columns=[(b"s", STR)], chunks=[(1, [Block(PLAIN, bomb(m))])]).build(), REFUSED)
CASES.update({
    # 2^24 chunks of no columns: four footer bytes each, LZ coded into a few KB.
    "chunks_2p24_no_columns": (lambda tmp: Forge(
        columns=[], chunks=[], chunk_count=1 << 24,
        footer_block=b"\x00" + lz_repeat(struct.pack("<IH", 1 << 24, 0), b"\x00" * 4, 1 << 24)).build(), REFUSED),
    # The most chunks the default limits allow, read.
    "chunks_2p20_no_columns": (lambda tmp: Forge(
        columns=[], chunks=[(0, [])] * (1 << 20),
        footer_block=b"\x00" + lz_repeat(struct.pack("<IH", 1 << 20, 0), b"\x00" * 4, 1 << 20)).build(),
        dict.fromkeys(TOOLS, "read")),
    # A 3-byte constant payload declaring 2^24 rows: the blocks are fine, the cells past the limit.
    "rows_2p24_in_3_bytes": (lambda tmp: Forge(columns=[(b"n", INT)], chunks=[int_chunk(1 << 24, 7)]).build(),
                             expect(info="read")),
    # As many rows as max_chunk_rows allows, read.
    "rows_2p22_in_3_bytes": (lambda tmp: Forge(columns=[(b"n", INT)], chunks=[int_chunk(1 << 22, 7)]).build(),
                             dict.fromkeys(TOOLS, "read")),
    # 65 such chunks: each is within the limits, the whole table passes max_cells.
    "cells_past_max_cells": (lambda tmp: Forge(columns=[(b"n", INT)], chunks=[int_chunk(1 << 22)] * 65).build(),
                             expect(info="read")),
    "name_not_utf8": (lambda tmp: Forge(columns=[(b"\xff\xfename", INT)], chunks=[int_chunk(1)]).build(), REFUSED),
    "string_cell_not_utf8": (lambda tmp: Forge(columns=[(b"s", STR)], chunks=[str_chunk([b"ok", b"\xc3\x28"])]).build(),
                             expect(info="read")),
    # A string column read as bytes: every block decodes, only the footer's
    # text bounds and filter give it away.
    "type_flip_string_to_bytes": (lambda tmp: flip_schema_type(tmp, "str", ["alpha", "beta", None], BYTES),
                                  expect(info="read", cat="read", read_table="read")),
    "type_flip_int_to_float": (lambda tmp: flip_schema_type(tmp, "int", [5, 1, 9, 2], FLOAT), expect(info="read")),
})

# Runs the four readers on one file inside the address-space limit and
# reports, per reader, "read" or "refused" with the error text.
DRIVER = textwrap.dedent("""
    import contextlib, io, json, resource, sys
    resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
    import drux
    from drux import cli
    path = sys.argv[1]
    results = {{}}
    for tool, argv in (("info", ["info", path]), ("verify", ["verify", path]),
                       ("cat", ["cat", "--head", "3", path])):
        err = io.StringIO()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(err):
            status = cli.main(argv)
        results[tool] = ("read" if status == 0 else "refused", status, err.getvalue())
    try:
        drux.read_table(path)
        results["read_table"] = ("read", 0, "")
    except (drux.DruxError, MemoryError) as error:
        results["read_table"] = ("refused", 1, type(error).__name__ + ": " + str(error))
    print(json.dumps(results))
""").format(limit=ADDRESS_SPACE)


def run_readers(path) -> dict[str, list]:
    done = subprocess.run([sys.executable, "-c", DRIVER, str(path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize("case", sorted(CASES))
def test_hostile_file_is_refused_or_read_within_the_limits(case, tmp_path):
    make, expected = CASES[case]
    path = tmp_path / f"{case}.drux"
    path.write_bytes(make(tmp_path))
    results = run_readers(path)
    for tool in TOOLS:
        outcome, status, message = results[tool]
        assert outcome == expected[tool], f"{tool}: {outcome} ({message.strip()})"
        if outcome == "refused":
            assert status == 1
            assert "Traceback" not in message and len(message.strip().splitlines()) >= 1
            if tool != "verify":  # verify lists one line per bad block
                assert len(message.strip().splitlines()) == 1, message


@pytest.mark.parametrize("case, words", [
    ("rows_2p24_in_3_bytes", ["16777216 rows", "max_chunk_rows", "raise"]),
    ("cells_past_max_cells", ["max_cells", "raise"]),
    ("chunks_2p24_no_columns", ["16777216 chunks", "max_chunks"]),
    ("footer_bomb_lz_huffman", ["footer block", "max_metadata_bytes"]),
    ("schema_bomb_lz_range", ["schema block"]),
    ("string_block_bomb_lz_range", ["chunk 0, column 's'", "max_block_bytes"]),
    ("string_cell_not_utf8", ["chunk 0, column 's'", "row 1", "not UTF-8"]),
    ("name_not_utf8", ["column 0", "not UTF-8"]),
])
def test_refusal_names_what_was_passed(case, words, tmp_path):
    path = tmp_path / f"{case}.drux"
    path.write_bytes(CASES[case][0](tmp_path))
    with pytest.raises(drux.DruxError) as raised:
        drux.read_table(path)
    for word in words:
        assert word in str(raised.value)


def test_a_raised_limit_reads_what_the_default_refuses(tmp_path):
    path = tmp_path / "rows.drux"
    rows = (1 << 22) + 1
    path.write_bytes(Forge(columns=[(b"n", INT)], chunks=[int_chunk(rows, 7)]).build())
    with pytest.raises(drux.DruxError, match="max_chunk_rows"):
        drux.read_table(path)
    table = drux.read_table(path, limits=drux.ReaderLimits(max_chunk_rows=rows))
    assert table.num_rows == rows and table.columns[0][-1] == 7
    lowered = drux.ReaderLimits(max_chunk_rows=2)
    assert drux.read_metadata(path, limits=lowered)["header"]["total_rows"] == rows
    with pytest.raises(drux.DruxError, match="max_cells"):
        drux.read_table(path, limits=drux.ReaderLimits(max_chunk_rows=rows, max_cells=rows - 1))


def test_read_metadata_refuses_a_footer_past_its_limit(tmp_path):
    path = tmp_path / "footer.drux"
    data = one_int_column()
    path.write_bytes(data)
    footer_length = struct.unpack_from("<Q", data, len(data) - 16)[0]
    decoded = footer_length - 1  # a stored block
    assert drux.read_metadata(path, limits=drux.ReaderLimits(max_metadata_bytes=decoded))["header"]["chunk_count"] == 1
    with pytest.raises(drux.DruxError, match="max_metadata_bytes"):
        drux.read_metadata(path, limits=drux.ReaderLimits(max_metadata_bytes=decoded - 1))


@pytest.mark.parametrize("bad", [{"max_chunks": -1}, {"max_cells": 1.5}, {"max_block_bytes": True}])
def test_reader_limits_are_non_negative_ints(bad):
    with pytest.raises((TypeError, ValueError)):
        drux.ReaderLimits(**bad)


def test_the_command_turns_an_allocation_failure_into_one_line(tmp_path):
    # A table the default limits let through, under an address space too
    # small to hold it: the interpreter must get MemoryError, not an abort.
    path = tmp_path / "rows.drux"
    path.write_bytes(CASES["rows_2p24_in_3_bytes"][0](tmp_path))
    script = textwrap.dedent(f"""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_AS, ({400 << 20}, {400 << 20}))
        from drux import cli
        sys.exit(cli.main(["cat", "--limit", "max_chunk_rows=16777216", sys.argv[1]]))
    """)
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    assert "Traceback" not in done.stderr and "terminate" not in done.stderr
    assert done.stderr.strip().splitlines() == ["drux cat: out of memory (the file needs more memory than this "
                                                "process may use; lower --limit values refuse such files sooner)"]


def test_the_command_names_its_limit_option_and_takes_it(tmp_path):
    path = tmp_path / "rows.drux"
    rows = (1 << 22) + 1
    path.write_bytes(Forge(columns=[(b"n", INT)], chunks=[int_chunk(rows, 7)]).build())

    def drux_command(*args: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run([sys.executable, "-m", "drux", *args], capture_output=True, text=True, timeout=120)

    refused = drux_command("cat", str(path))
    assert refused.returncode == 1
    assert refused.stderr.strip().endswith("raise max_chunk_rows to read this file (the drux command takes "
                                           "--limit NAME=N)"), refused.stderr
    read = drux_command("cat", "--head", "2", "--limit", f"max_chunk_rows={rows}", str(path))
    assert (read.returncode, read.stdout) == (0, "n\n7\n7\n"), read.stderr
    unknown = drux_command("cat", "--limit", "max_rows=5", str(path))
    assert unknown.returncode == 2 and "--limit wants NAME=N" in unknown.stderr
