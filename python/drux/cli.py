"""The drux command: compress, info, verify and cat.

Exit status: 0 on success, 1 when a check fails or a file cannot be read
(every error, out of memory included, is one line on stderr, never a
traceback), 2 on a usage error.

Every command is a thin layer over the package and the native module: the CSV
rules and the format's names come from C++, so the command cannot drift from
what compress_csv writes. Deliberately not here: any decoding of its own.
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import datetime
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from . import _native
from ._convert import available_cores, convert_csv
from ._render import render_cell
from ._format import ColumnType, Encoding, display_name
from ._limits import ReaderLimits
from ._table import read_table

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class CommandFailed(Exception):
    """A check failed or a file could not be read; the message says which."""


# ---- compress --------------------------------------------------------------------


class ProgressBar:
    """A one-line progress bar on a terminal: bytes done, rate and time left."""

    WIDTH = 30

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.start = time.monotonic()
        self.last_draw = 0.0

    def __call__(self, done: int, total: int) -> None:
        now = time.monotonic()
        if now - self.last_draw < 0.1 and done < total:
            return
        self.last_draw = now
        fraction = done / total if total else 1.0
        elapsed = max(now - self.start, 1e-9)
        rate = done / elapsed
        left = (total - done) / rate if rate > 0 else 0.0
        filled = int(fraction * self.WIDTH)
        bar = "#" * filled + "-" * (self.WIDTH - filled)
        self.stream.write(f"\r[{bar}] {fraction * 100:5.1f}% {rate / 1048576:7.1f} MB/s {left:5.0f}s left ")
        self.stream.flush()

    def close(self) -> None:
        self.stream.write("\r" + " " * (self.WIDTH + 40) + "\r")
        self.stream.flush()


def command_compress(args: argparse.Namespace) -> int:
    bar = ProgressBar(sys.stderr) if sys.stderr.isatty() else None
    jobs = args.jobs if args.jobs is not None else available_cores()
    try:
        result = convert_csv(args.csv, args.drux, jobs=jobs, progress=bar, types=args.types, level=args.level)
    finally:
        if bar is not None:
            bar.close()
    print(f"{args.csv}: {result.csv_size} bytes -> {args.drux}: {result.drux_size} bytes "
          f"({result.saved_percent:.1f}% saved), {result.rows} rows in {result.chunks} chunks, "
          f"{result.seconds:.2f} s on {jobs} threads")
    return EXIT_OK


# ---- info ------------------------------------------------------------------------


def encoding_name(code: int) -> str:
    try:
        return display_name(Encoding(code))
    except ValueError:
        return str(code)


def describe(path: str, limits: ReaderLimits | None = None) -> dict[str, Any]:
    reader = _native.Reader(path, limits)
    meta = reader.metadata()
    columns = []
    for index, column in enumerate(meta["columns"]):
        blocks = [chunk["columns"][index] for chunk in meta["chunks"]]
        encodings = sorted({encoding_name(block["encoding"]) for block in blocks})
        columns.append({
            "name": column["name"],
            "type": display_name(ColumnType(column["type"])),
            "encrypted": column["encrypted"],
            "encodings": encodings,
            "compressed_bytes": sum(block["length"] for block in blocks),
            "uncompressed_bytes": sum(reader.payload_size(chunk, index) for chunk in range(len(blocks))),
            "null_count": sum(block["null_count"] for block in blocks),
        })
    header = meta["header"]
    return {
        "path": path,
        "file_size": header["file_size"],
        "version": header["version"],
        "rows": header["total_rows"],
        "chunks": header["chunk_count"],
        "rows_per_chunk": header["rows_per_chunk"],
        "created": datetime.datetime.fromtimestamp(header["created"], datetime.timezone.utc).isoformat(),
        "columns": columns,
    }


def command_info(args: argparse.Namespace) -> int:
    info = describe(args.drux, args.limits)
    if args.json:
        print(json.dumps(info, indent=2))
        return EXIT_OK
    print(f"{info['path']}: DRUX v{info['version']}, {info['file_size']} bytes")
    print(f"  rows: {info['rows']} in {info['chunks']} chunks of up to {info['rows_per_chunk']}")
    print(f"  created: {info['created']}")
    print(f"  columns: {len(info['columns'])}")
    for column in info["columns"]:
        flags = " encrypted" if column["encrypted"] else ""
        print(f"    {column['name']!r}: {column['type']}{flags}, encodings {', '.join(column['encodings']) or '-'}, "
              f"{column['compressed_bytes']} bytes compressed from {column['uncompressed_bytes']}, "
              f"{column['null_count']} nulls")
    return EXIT_OK


# ---- verify ----------------------------------------------------------------------


def parse_keys(specs: Sequence[str]) -> dict[str, bytes]:
    keys = {}
    for spec in specs:
        name, sep, hex_key = spec.rpartition("=")
        try:
            key = bytes.fromhex(hex_key)
        except ValueError:
            key = b""
        if not sep or len(key) != 32:
            raise argparse.ArgumentTypeError(f"--key wants NAME=HEX with 64 hex digits, got {spec!r}")
        keys[name] = key
    return keys


def csv_table(path: str) -> tuple[list[str], list[list[str]]]:
    """The names and rows that the CSV conversion takes from a CSV file, by the conversion's own rules."""
    try:
        return _native.read_csv_text(path)
    except OSError:
        raise
    except ValueError as error:  # the file is empty
        raise CommandFailed(f"{path}: {error}") from None


def verify_file(path: str, keys: dict[str, bytes], limits: ReaderLimits | None = None) -> list[str]:
    """Every block decoded and its footer entry re-derived from its cells (statistics, null count, filter)."""
    problems = []
    reader = _native.Reader(path, limits)  # structure, trailer and footer
    reader.check_table_cells()  # verify decodes every cell, so it has the bound of a whole-table read
    meta = reader.metadata()
    for chunk in range(len(meta["chunks"])):
        for index, column in enumerate(meta["columns"]):
            try:
                reader.verify_chunk(chunk, index, keys.get(column["name"]))
            except _native.DruxError as error:
                problems.append(str(error))
    return problems


def compare_with_csv(drux_path: str, csv_path: str, keys: dict[str, bytes], limit: int = 20,
                     limits: ReaderLimits | None = None) -> list[str]:
    names, rows = csv_table(csv_path)
    table = read_table(drux_path, keys, limits=limits)
    problems = []
    if table.names != names:
        problems.append(f"column names differ: DRUX {table.names!r}, CSV {names!r}")
    if table.num_rows != len(rows):
        problems.append(f"row counts differ: DRUX {table.num_rows}, CSV {len(rows)}")
    for row_index, row in enumerate(rows[: table.num_rows]):
        for column_index, expected in enumerate(row[: len(table.columns)]):
            actual = render_cell(table.columns[column_index][row_index])
            if actual != expected:
                problems.append(f"row {row_index + 1}, column {names[column_index]!r}: DRUX {actual!r}, CSV {expected!r}")
                if len(problems) >= limit:
                    problems.append("(further differences not listed)")
                    return problems
    return problems


def command_verify(args: argparse.Namespace) -> int:
    keys = parse_keys(args.key)
    problems = verify_file(args.drux, keys, args.limits)
    if not problems and args.csv:
        problems = compare_with_csv(args.drux, args.csv, keys, limits=args.limits)
    for problem in problems:
        print(f"{args.drux}: {problem}", file=sys.stderr)
    if problems:
        return EXIT_FAILED
    print(f"{args.drux}: OK" + (f" (matches {args.csv})" if args.csv else ""))
    return EXIT_OK


# ---- cat -------------------------------------------------------------------------


# --where "COLUMN OP VALUE": OP one of the scan's operators; for "in" and
# "not in" VALUE is a comma-separated list (CSV quoting). The value is read by
# the column's type: integers and floats as numbers, booleans as true/false
# (or 1/0), bytes as hex, strings as they stand after trimming.
WHERE_OPERATORS = ("not in", "==", "!=", "<=", ">=", "<", ">", "in")


def split_where(text: str) -> tuple[str, str, str]:
    """The column, operator and value text of one --where condition."""
    best: tuple[int, str] | None = None
    for op in WHERE_OPERATORS:
        spaced = op.isalpha() or " " in op
        needle = f" {op} " if spaced else op
        at = text.find(needle)
        if at > 0 and (best is None or at < best[0]):
            best = (at, op)
    if best is None:
        raise CommandFailed(f"--where wants \"COLUMN OP VALUE\" with OP one of {', '.join(WHERE_OPERATORS)}, "
                            f"got {text!r}")
    at, op = best
    width = len(op) + 2 if op.isalpha() or " " in op else len(op)
    return text[:at].strip(), op, text[at + width:].strip()


def where_value(text: str, type_code: int, column: str) -> Any:
    kind = display_name(ColumnType(type_code))
    try:
        if kind == "int":
            return int(text)
        if kind == "float":
            return float(text)
        if kind == "bool":
            lowered = text.lower()
            if lowered not in ("true", "false", "1", "0"):
                raise ValueError(text)
            return lowered in ("true", "1")
        if kind == "bytes":
            return bytes.fromhex(text)
    except ValueError:
        raise CommandFailed(f"--where: {text!r} is not a value of the {kind} column {column!r}") from None
    return text


def parse_where(conditions: Sequence[str], path: str) -> list[tuple[str, str, Any]] | None:
    """The --where conditions as scan filters, ANDed; None without any."""
    if not conditions:
        return None
    types = {column["name"]: column["type"] for column in _native.Reader(path).metadata()["columns"]}
    terms: list[tuple[str, str, Any]] = []
    for condition in conditions:
        column, op, value = split_where(condition)
        if column not in types:
            raise CommandFailed(f"no such column: {column}")
        if op in ("in", "not in"):
            items = _native.split_csv_line(value) if value else []
            terms.append((column, op, [where_value(item, types[column], column) for item in items]))
        else:
            terms.append((column, op, where_value(value, types[column], column)))
    return terms


def command_cat(args: argparse.Namespace) -> int:
    columns = None
    if args.columns is not None:
        columns = _native.split_csv_line(args.columns)
        names = [column["name"] for column in _native.Reader(args.drux).metadata()["columns"]]
        missing = [name for name in columns if name not in names]
        if missing:
            raise CommandFailed(f"no such column: {', '.join(missing)}")
    filters = parse_where(args.where, args.drux)
    if columns is None and filters is None:
        table = read_table(args.drux, parse_keys(args.key), limits=args.limits)
    else:
        table = read_table(args.drux, parse_keys(args.key), columns=columns, filters=filters)
    rows = table.num_rows if args.head is None else min(args.head, table.num_rows)
    writer = csv.writer(sys.stdout, lineterminator="\n")
    writer.writerow(table.names)
    for row in range(rows):
        writer.writerow([render_cell(column[row]) for column in table.columns])
    return EXIT_OK


# ---- entry point -----------------------------------------------------------------


def non_negative(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError("must not be negative")
    return value


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


LIMIT_NAMES = tuple(field.name for field in dataclasses.fields(ReaderLimits))


def reader_limit(text: str) -> tuple[str, int]:
    name, sep, value = text.partition("=")
    if not sep or name not in LIMIT_NAMES or not value.isdigit():
        raise argparse.ArgumentTypeError(f"--limit wants NAME=N with NAME one of {', '.join(LIMIT_NAMES)}, "
                                         f"got {text!r}")
    return name, int(value)


def add_limit_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--limit", action="append", default=[], type=reader_limit, metavar="NAME=N",
                        help="raise (or lower) one of the reader's limits, e.g. --limit max_chunk_rows=16777216 "
                             f"(repeatable; names: {', '.join(LIMIT_NAMES)})")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="drux", description="Convert, inspect, verify and print DRUX v2 files.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    compress = commands.add_parser("compress", help="convert a CSV file to DRUX v2",
                                   description="Convert a CSV file to DRUX v2 on every core (with a progress bar "
                                               "on a terminal). The output replaces DRUX only once it is complete.")
    compress.add_argument("csv", metavar="CSV")
    compress.add_argument("drux", metavar="DRUX")
    compress.add_argument("--jobs", type=positive, metavar="N",
                          help="worker threads (default: the cores this process may use)")
    compress.add_argument("--level", choices=["exact", "fast", "max"], default="exact",
                          help="exact: compress_csv's bytes; fast: several times faster, a little larger; "
                               "max: smallest, slowest (every level is plain DRUX v2)")
    compress.add_argument("--types", choices=["str", "infer"], default="str",
                          help="str: every cell as text (as compress_csv); infer: integer, float and boolean "
                               "columns where every cell comes back exactly")
    compress.set_defaults(run=command_compress)

    info = commands.add_parser("info", help="summarise a DRUX file", description="Summarise a DRUX file.")
    info.add_argument("drux", metavar="DRUX")
    info.add_argument("--json", action="store_true", help="print JSON for machines")
    add_limit_option(info)
    info.set_defaults(run=command_info)

    key_help = "key of an encrypted column, as NAME=64 hex digits (repeatable)"
    verify = commands.add_parser("verify", help="check structure, CRCs, every block and the footer's statistics",
                                 description="Check a DRUX file's structure and CRCs, decode every block, check "
                                             "each block's footer statistics, null count and membership filter "
                                             "against its cells and its strings for UTF-8, and optionally compare "
                                             "every cell with a CSV file.")
    verify.add_argument("drux", metavar="DRUX")
    verify.add_argument("--csv", metavar="CSV", help="the CSV file the DRUX file was converted from")
    verify.add_argument("--key", action="append", default=[], metavar="NAME=HEX", help=key_help)
    add_limit_option(verify)
    verify.set_defaults(run=command_verify)

    cat = commands.add_parser("cat", help="print the table as CSV", description="Print a DRUX table as CSV.")
    cat.add_argument("drux", metavar="DRUX")
    cat.add_argument("--columns", metavar="A,B", help="only these columns, in this order")
    cat.add_argument("--head", type=non_negative, metavar="N", help="only the first N rows")
    cat.add_argument("--where", action="append", default=[], metavar="\"COL OP VALUE\"",
                     help="only rows where the condition holds (repeatable, all must hold); OP is one of "
                          "==, !=, <, <=, >, >=, in, not in; the value of in/not in is a comma-separated list; "
                          "bytes values are hex")
    cat.add_argument("--key", action="append", default=[], metavar="NAME=HEX", help=key_help)
    add_limit_option(cat)
    cat.set_defaults(run=command_cat)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
    limit_pairs = getattr(args, "limit", [])
    args.limits = ReaderLimits(**dict(limit_pairs)) if limit_pairs else None
    try:
        return run(args)
    except argparse.ArgumentTypeError as error:
        parser.error(str(error))
    except BrokenPipeError:
        # The reader of our output went away (drux cat | head): not a failure.
        sys.stdout = None
        return EXIT_OK
    except (CommandFailed, OSError, ValueError) as error:
        hint = " (the drux command takes --limit NAME=N)" if "ReaderLimits." in str(error) else ""
        print(f"drux {args.command}: {error}{hint}", file=sys.stderr)
        return EXIT_FAILED
    except MemoryError:
        print(f"drux {args.command}: out of memory (the file needs more memory than this process may use; "
              "lower --limit values refuse such files sooner)", file=sys.stderr)
        return EXIT_FAILED
    except Exception as error:  # anything else is still one line, never a traceback
        print(f"drux {args.command}: {type(error).__name__}: {error}", file=sys.stderr)
        return EXIT_FAILED
