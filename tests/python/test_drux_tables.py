"""Reading DRUX files back and writing typed tables through the drux package.

Values go through write_table and come back through read_table, compared
with what the column type keeps. Deliberately not here: scans, Arrow data
and hostile files, which have suites of their own.
"""

import os
import struct
import subprocess
import sys
import textwrap

import pytest

import drux
import drux_fileformat

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
KEY = bytes(range(32))


def write_and_read(tmp_path, columns, **options):
    path = tmp_path / "t.drux"
    drux.write_table(path, columns, **options)
    return drux.read_table(path, keys=options.get("keys"))


# (type, values written, values read back). The plain kinds keep only a null
# count per chunk, so their nulls read back as the kind's zero value; nested
# kinds keep None. Floats come back at four decimal places.
ROUND_TRIPS = [
    ("int", [0, -1, INT64_MAX, INT64_MIN, None, 5], [0, -1, INT64_MAX, INT64_MIN, 0, 5]),
    ("int", [7, 7, 7, 7], [7, 7, 7, 7]),
    ("int", [10, 20, 30, 40], [10, 20, 30, 40]),
    ("int", [0, 5_000_000_000, 1, 9], [0, 5_000_000_000, 1, 9]),
    ("float", [1.5, -2.25, 0.00005, 0.00004, 0.00015, None], [1.5, -2.25, 0.0001, 0.0, 0.0001, 0.0]),
    ("float", [1e300, -1e300, float("nan")], [922337203685477.5807, -922337203685477.5808, 0.0]),
    ("bool", [True, False, None, True, True, False, False, True, True], [True, False, False, True, True, False, False, True, True]),
    ("str", ["", "h\u00e9llo", "a,b", None, "\u2192"], ["", "h\u00e9llo", "a,b", "", "\u2192"]),
    ("bytes", [b"", b"\x00\xff", None, bytearray(b"ab")], [b"", b"\x00\xff", b"", b"ab"]),
    ("object", [{"a": 1, "b": [1, None]}, None, {}, [("a", 1), ("a", 2)]],
               [{"a": 1, "b": [1, None]}, None, {}, [("a", 1), ("a", 2)]]),
    ("list", [[1, "x", None, [2.5, True, b"\x01"]], [], None], [[1, "x", None, [2.5, True, b"\x01"]], [], None]),
    ("map", [[(1, "one"), ("k", None)], None, {}, {2: {"x": [3]}}], [[(1, "one"), ("k", None)], None, [], [(2, {"x": [3]})]]),
]


@pytest.mark.parametrize("type_name, written, expected", ROUND_TRIPS)
@pytest.mark.parametrize("key", [None, KEY], ids=["plain", "encrypted"])
def test_every_column_type_round_trips(tmp_path, type_name, written, expected, key):
    keys = {"c": key} if key else None
    table = write_and_read(tmp_path, {"c": written}, types={"c": type_name}, chunk_rows=2, keys=keys)
    assert table.names == ["c"]
    assert table.columns[0] == pytest.approx(expected) if type_name == "float" else table.columns[0] == expected


LEVELS = ["exact", "fast", "max"]


def level_columns(rows=3000):
    """Columns whose blocks give every parse work: repeating text, numbers,
    bytes full of FF (escaped in a token stream) and nested values."""
    return {
        "name": [f"user{i % 97},city{i % 13}" for i in range(rows)],
        "n": [i * 7 % 1000 for i in range(rows)],
        "blob": [bytes([0xFF, i % 256, 0xFF]) * (i % 4) for i in range(rows)],
        "doc": [{"k": i % 5, "v": [f"x{i % 3}", None]} for i in range(rows)],
    }


@pytest.mark.parametrize("level", LEVELS)
def test_every_level_writes_a_file_that_reads_back_equal(tmp_path, level):
    columns = level_columns()
    path = tmp_path / f"{level}.drux"
    drux.write_table(path, columns, chunk_rows=1000, level=level)
    assert drux.read_table(path).to_dict() == columns


def test_levels_change_only_the_compressed_blocks(tmp_path):
    """Same chunks, encodings and statistics at every level; max writes less than exact."""
    located = {"offset", "length"}
    metas, lengths = {}, {}
    for level in LEVELS:
        path = tmp_path / f"{level}.drux"
        drux.write_table(path, level_columns(), chunk_rows=1000, level=level)
        meta = drux.read_metadata(path)
        lengths[level] = [block["length"] for chunk in meta["chunks"] for block in chunk["columns"]]
        metas[level] = ([{k: v for k, v in block.items() if k not in located}
                         for chunk in meta["chunks"] for block in chunk["columns"]], meta["columns"])
    assert metas["fast"] == metas["exact"] == metas["max"]
    assert lengths["fast"] != lengths["exact"]
    assert sum(lengths["max"]) < sum(lengths["exact"])


@pytest.mark.parametrize("level", ["", "Exact", "best", "fast ", 3, None])
def test_unknown_level_is_refused_before_the_file_is_created(tmp_path, level):
    path = tmp_path / "t.drux"
    with pytest.raises(ValueError, match="compression level"):
        drux.write_table(path, {"a": [1, 2]}, level=level)
    assert not path.exists()


def test_native_writer_refuses_an_unknown_level(tmp_path):
    path = tmp_path / "t.drux"
    with pytest.raises(ValueError, match="unknown compression level 'best'"):
        drux._native.write_table(str(path), [("a", 1, None, [1, 2])], 1, "best")
    assert not path.exists()


def test_types_are_inferred_from_the_first_non_null_value(tmp_path):
    columns = {"i": [None, 1], "f": [2.5, None], "b": [True, None], "s": ["x", None], "y": [b"x", None],
               "o": [{"k": 1}, None], "l": [None, [1]], "n": [None, None]}
    path = tmp_path / "t.drux"
    drux.write_table(path, columns)
    types = [column["type"] for column in drux.read_metadata(path)["columns"]]
    assert [drux.COLUMN_TYPES[t - 1] for t in types] == ["int", "float", "bool", "str", "bytes", "object", "list", "str"]


def test_duplicate_column_names_are_kept_in_order(tmp_path):
    table = write_and_read(tmp_path, [("a", [1, 2]), ("a", ["x", "y"])])
    assert table.names == ["a", "a"]
    assert table.columns == [[1, 2], ["x", "y"]]
    with pytest.raises(ValueError, match="more than once"):
        table.to_dict()
    assert write_and_read(tmp_path, {"a": [1], "b": [2]}).to_dict() == {"a": [1], "b": [2]}


def test_nesting_is_bounded_and_the_bound_is_reported(tmp_path):
    def nested(depth):
        value = 1
        for _ in range(depth):
            value = [value]
        return value

    deep = nested(255)
    assert write_and_read(tmp_path, {"n": [deep]}, types={"n": "list"}).columns[0] == [deep]
    with pytest.raises(ValueError, match=r"column 'n', row 1: value nested deeper than 256 levels"):
        drux.write_table(tmp_path / "deep.drux", {"n": [[1], nested(300)]}, types={"n": "list"})
    assert not (tmp_path / "deep.drux").exists()


@pytest.mark.parametrize(
    "columns, types, error, message",
    [
        ({"a": [1, "x"]}, None, TypeError, r"column 'a', row 1: expected int, got str"),
        ({"a": [2**64]}, None, ValueError, r"column 'a', row 0: integer does not fit in 64 bits"),
        ({"a": [True]}, {"a": "int"}, TypeError, r"column 'a', row 0: expected int, got bool"),
        ({"a": ["x", None, 3]}, None, TypeError, r"column 'a', row 2: expected str, got int"),
        ({"a": [{1: 2}]}, {"a": "object"}, TypeError, r"column 'a', row 0: expected str field names, got int"),
        ({"a": [1], "b": [1, 2]}, None, ValueError, r"same length"),
        ({"a": [1]}, {"a": "decimal"}, ValueError, r"unknown type 'decimal'"),
        ({"a": [1]}, {"z": "int"}, ValueError, r"types names columns that do not exist: 'z'"),
        ({"a": [object()]}, None, TypeError, r"cannot tell a column type"),
    ],
)
def test_values_that_do_not_fit_their_column_are_refused(tmp_path, columns, types, error, message):
    with pytest.raises(error, match=message):
        drux.write_table(tmp_path / "t.drux", columns, types=types)


def test_encrypted_column_needs_its_key(tmp_path):
    path = tmp_path / "t.drux"
    drux.write_table(path, {"secret": ["alpha", "beta"], "open": [1, 2]}, keys={"secret": KEY})
    meta = drux.read_metadata(path)
    assert [c["encrypted"] for c in meta["columns"]] == [True, False]
    with pytest.raises(drux.DruxError, match="secret"):
        drux.read_table(path)
    assert drux.read_table(path, keys={"secret": KEY}).columns == [["alpha", "beta"], [1, 2]]
    with pytest.raises(ValueError, match="32 bytes"):
        drux.read_table(path, keys={"secret": b"short"})


def test_metadata_lists_chunks_with_statistics(tmp_path):
    path = tmp_path / "t.drux"
    drux.write_table(path, {"n": [5, None, -3, 8, None], "s": ["b", "a", None, "c", "a"]}, chunk_rows=3)
    meta = drux.read_metadata(path)
    header = meta["header"]
    assert (header["version"], header["total_rows"], header["chunk_count"], header["rows_per_chunk"]) == (2, 5, 2, 3)
    assert header["file_size"] == os.path.getsize(path)
    assert [chunk["rows"] for chunk in meta["chunks"]] == [3, 2]
    first_n, first_s = meta["chunks"][0]["columns"]
    assert (first_n["null_count"], first_n["min_int"], first_n["max_int"]) == (1, -3, 5)
    assert (first_s["null_count"], first_s["min_str"], first_s["max_str"]) == (1, b"a", b"b")
    second_n = meta["chunks"][1]["columns"][0]
    assert (second_n["null_count"], second_n["min_int"], second_n["max_int"]) == (1, 8, 8)


def test_csv_conversion_reads_back_to_the_csv_cells(tmp_path, capfd):
    csv_path = tmp_path / "in.csv"
    csv_path.write_text("id, name ,score\r\n1,alice,3.5\r\n\r\n2, bob\r\n3,carol,7,extra\r\n")
    drux_path = tmp_path / "out.drux"
    drux_fileformat.compress_csv(str(csv_path), str(drux_path))
    table = drux.read_table(drux_path)
    assert table.to_dict() == {"id": ["1", "2", "3"], "name": ["alice", "bob", "carol"], "score": ["3.5", "", "7"]}


def corrupt(path, offset, value):
    data = bytearray(path.read_bytes())
    data[offset] = value
    path.write_bytes(bytes(data))


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda p: p.write_bytes(p.read_bytes()[:-5]), "trailer"),
        (lambda p: corrupt(p, 0, ord("X")), 'not a DRUX file: the first four bytes are not "DRUX"'),
        (lambda p: p.write_bytes(b""), "shorter than the 24-byte header"),
        (lambda p: p.write_bytes(b"not a drux file at all, just some text"), "not a DRUX file"),
    ],
    ids=["truncated", "wrong-magic", "empty", "text"],
)
def test_damaged_files_raise_drux_error(tmp_path, damage, message):
    path = tmp_path / "t.drux"
    drux.write_table(path, {"a": list(range(100))})
    damage(path)
    with pytest.raises(drux.DruxError, match=message):
        drux.read_table(path)


def test_flipped_block_byte_fails_its_crc(tmp_path):
    path = tmp_path / "t.drux"
    drux.write_table(path, {"a": [f"value {i}" for i in range(50)]})
    block = drux.read_metadata(path)["chunks"][0]["columns"][0]
    corrupt(path, block["offset"] + 12, path.read_bytes()[block["offset"] + 12] ^ 0x01)
    with pytest.raises(drux.DruxError, match="CRC"):
        drux.read_table(path)


def test_unfinished_conversion_output_is_refused(tmp_path):
    csv_path = tmp_path / "in.csv"
    csv_path.write_bytes(b"a,b\n1,2\n\xff\xfe,3\n")
    drux_path = tmp_path / "out.drux"
    with pytest.raises(OSError, match="stream did not contain valid UTF-8"):
        drux_fileformat.compress_csv(str(csv_path), str(drux_path))
    assert struct.unpack_from("<QI", drux_path.read_bytes(), 8) == (0, 0)
    with pytest.raises(drux.DruxError, match="unfinished|not a finished"):
        drux.read_table(drux_path)


def test_missing_file_is_an_os_error(tmp_path):
    with pytest.raises(OSError, match=r"No such file or directory \(os error 2\)"):
        drux.read_table(tmp_path / "missing.drux")


def test_a_failed_write_leaves_the_existing_file_and_no_partial_one(tmp_path):
    # A file size limit makes the writer fail part way (EFBIG) after it has
    # created its output; the file it would replace must stay as it was.
    target = tmp_path / "out.drux"
    drux.write_table(target, {"a": [1, 2]})
    before = target.read_bytes()
    script = textwrap.dedent("""
        import random, resource, signal, sys
        import drux
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 16, 1 << 16))
        texts = [random.Random(i).randbytes(16).hex() for i in range(20000)]
        try:
            drux.write_table(sys.argv[1], {"s": texts})
        except OSError as error:
            print(error)
    """)
    done = subprocess.run([sys.executable, "-c", script, str(target)], capture_output=True, text=True, timeout=120)
    assert "File too large (os error 27)" in done.stdout, done.stdout + done.stderr
    assert target.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["out.drux"]
    drux.write_table(target, {"b": ["x"]})  # a write that succeeds replaces it
    assert drux.read_table(target).names == ["b"]
