"""drux.write_arrow: Arrow data from pyarrow, pandas and polars as typed DRUX columns, refusals and lossy=True.

A table of Arrow arrays must read back to its values and give, creation
time masked, the very file drux.write_table writes from the same values.
Deliberately not here: write_table's own rules (test_drux_tables.py) and
the monitor's per-chunk reports (test_monitor_bridge.py).
"""

import pytest

import drux

pa = pytest.importorskip("pyarrow")

CREATION_TIME = slice(24, 32)


def masked(path):
    data = bytearray(path.read_bytes())
    data[CREATION_TIME] = bytes(8)
    return bytes(data)


# column -> (Arrow array, the values read_table gives back, the write_table type)
SUPPORTED = {
    "int64": (pa.array([1, -2, 2**63 - 1, -(2**63)], pa.int64()), [1, -2, 2**63 - 1, -(2**63)], "int"),
    "int8": (pa.array([-128, 0, 127, 5], pa.int8()), [-128, 0, 127, 5], "int"),
    "uint32": (pa.array([0, 1, 2**32 - 1, 7], pa.uint32()), [0, 1, 2**32 - 1, 7], "int"),
    "uint64": (pa.array([0, 2**63 - 1, 3, 4], pa.uint64()), [0, 2**63 - 1, 3, 4], "int"),
    "float64": (pa.array([39.02, -0.5, 1012.0, 0.0001]), [39.02, -0.5, 1012.0, 0.0001], "float"),
    "float32": (pa.array([0.5, -2.25, 8.0, 0.0], pa.float32()), [0.5, -2.25, 8.0, 0.0], "float"),
    "bool": (pa.array([True, False, True, True]), [True, False, True, True], "bool"),
    "utf8": (pa.array(["a", "", "héllo", "x" * 40]), ["a", "", "héllo", "x" * 40], "str"),
    "large_utf8": (pa.array(["b", "c", "", "d"], pa.large_string()), ["b", "c", "", "d"], "str"),
    "string_view": (pa.array(["short", "a string longer than twelve", "", "z"], pa.string_view()),
                    ["short", "a string longer than twelve", "", "z"], "str"),
    "binary": (pa.array([b"\x00\xff", b"", b"abc", b"d"]), [b"\x00\xff", b"", b"abc", b"d"], "bytes"),
    "large_binary": (pa.array([b"1", b"22", b"", b"4"], pa.large_binary()), [b"1", b"22", b"", b"4"], "bytes"),
    "fixed_binary": (pa.array([b"ab", b"cd", b"ef", b"gh"], pa.binary(2)), [b"ab", b"cd", b"ef", b"gh"], "bytes"),
}


def test_every_supported_type_reads_back_and_matches_write_table(tmp_path):
    table = pa.table({name: array for name, (array, _, _) in SUPPORTED.items()})
    drux.write_arrow(tmp_path / "arrow.drux", table)
    back = drux.read_table(tmp_path / "arrow.drux")
    assert back.to_dict() == {name: values for name, (_, values, _) in SUPPORTED.items()}
    drux.write_table(tmp_path / "table.drux", {name: values for name, (_, values, _) in SUPPORTED.items()},
                     types={name: kind for name, (_, _, kind) in SUPPORTED.items()})
    assert masked(tmp_path / "arrow.drux") == masked(tmp_path / "table.drux")


def test_batches_sliced_arrays_and_chunk_edges(tmp_path):
    n = 10_000
    ints = pa.array(range(n), pa.int64())
    texts = pa.array([f"row {i}" for i in range(n)])
    table = pa.table({"i": ints, "s": texts}).slice(3, n - 10)  # offsets inside the buffers
    reader = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=777))
    drux.write_arrow(tmp_path / "out.drux", reader, chunk_rows=4096, jobs=3)
    meta = drux.read_metadata(tmp_path / "out.drux")
    assert [chunk["rows"] for chunk in meta["chunks"]] == [4096, 4096, n - 10 - 8192]
    back = drux.read_table(tmp_path / "out.drux")
    assert back.column("i") == list(range(3, n - 7))
    assert back.column("s") == [f"row {i}" for i in range(3, n - 7)]


def test_a_record_batch_through_arrow_c_array(tmp_path):
    batch = pa.record_batch({"a": [1, 2], "b": ["x", "y"]})
    drux.write_arrow(tmp_path / "out.drux", batch)
    assert drux.read_table(tmp_path / "out.drux").to_dict() == {"a": [1, 2], "b": ["x", "y"]}


def test_pandas_and_polars_frames(tmp_path):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    expected = {"n": [3, 1, 2], "x": [0.25, 1.5, -2.0], "ok": [True, False, True], "name": ["a", "b", "c"]}
    drux.write_arrow(tmp_path / "pandas.drux", pd.DataFrame(expected))
    drux.write_arrow(tmp_path / "polars.drux", pl.DataFrame(expected))
    for name in ("pandas.drux", "polars.drux"):
        assert drux.read_table(tmp_path / name).to_dict() == expected, name
    kinds = [c["type"] for c in drux.read_metadata(tmp_path / "polars.drux")["columns"]]
    assert kinds == [1, 2, 3, 4]


REFUSED = [
    ("null", pa.array([1, None, 3]), r"Column 'c', row 1: null .*lossy=True stores it as 0"),
    ("five decimals", pa.array([0.5, 0.12345]), r"Column 'c', row 1: 0.12345 is not held exactly at four decimals"),
    ("not finite", pa.array([float("nan")]), r"Column 'c', row 0: nan is not held exactly"),
    ("uint64 above 2**63-1", pa.array([2**63], pa.uint64()),
     r"Column 'c', row 0: 9223372036854775808 does not fit a signed 64-bit integer"),
    ("timestamp", pa.array([0, 1], pa.timestamp("ms")), r"Column 'c': dates, times, timestamps and durations"),
    ("nested list", pa.array([[1], [2, 3]]), r"Column 'c': Arrow type '\+l' has no DRUX column type"),
    ("decimal", pa.array([1, 2], pa.decimal128(5, 2)), r"Column 'c': Arrow type 'd:5,2' has no DRUX column type"),
    ("dictionary", pa.array(["a", "b", "a"]).dictionary_encode(), r"Column 'c': dictionary-encoded"),
]


@pytest.mark.parametrize("label, array, message", REFUSED, ids=[case[0] for case in REFUSED])
def test_what_the_format_cannot_hold_is_refused(tmp_path, label, array, message):
    target = tmp_path / "out.drux"
    target.write_bytes(b"old")
    with pytest.raises(ValueError, match=message):
        drux.write_arrow(target, pa.table({"c": array}))
    assert target.read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.drux"]


def test_lossy_stores_what_it_documents(tmp_path):
    table = pa.table({
        "nulls": pa.array([1, None, 3]),
        "text_nulls": pa.array(["a", None, "c"]),
        "rounded": pa.array([0.12345, float("nan"), float("inf")]),
        "big": pa.array([2**64 - 1, 1, 2], pa.uint64()),
        "when": pa.array([1_000, 2_000, 3_000], pa.timestamp("ms")),
    })
    drux.write_arrow(tmp_path / "out.drux", table, lossy=True)
    back = drux.read_table(tmp_path / "out.drux").to_dict()
    assert back["nulls"] == [1, 0, 3] and back["text_nulls"] == ["a", "", "c"]
    assert back["rounded"][:2] == [0.1235, 0.0] and back["rounded"][2] > 9e14
    assert back["big"] == [2**63 - 1, 1, 2] and back["when"] == [1_000, 2_000, 3_000]
    nulls = [block["null_count"] for block in drux.read_metadata(tmp_path / "out.drux")["chunks"][0]["columns"]]
    assert nulls == [1, 1, 0, 0, 0]


def test_encrypted_columns_need_their_key(tmp_path):
    key = bytes(range(32))
    drux.write_arrow(tmp_path / "out.drux", pa.table({"secret": ["a", "b"], "open": [1, 2]}), keys={"secret": key})
    assert drux.read_table(tmp_path / "out.drux", keys={"secret": key}).column("secret") == ["a", "b"]
    assert drux.read_metadata(tmp_path / "out.drux")["columns"][0]["encrypted"] is True


def test_non_arrow_data_is_a_type_error(tmp_path):
    with pytest.raises(TypeError, match="needs Arrow data"):
        drux.write_arrow(tmp_path / "out.drux", {"a": [1]})


@pytest.mark.parametrize("level", ["exact", "fast", "max"])
def test_every_level_reads_back_equal(tmp_path, level):
    table = pa.table({"n": list(range(5000)), "s": [f"text {i % 97}" for i in range(5000)]})
    drux.write_arrow(tmp_path / "out.drux", table, level=level, chunk_rows=2048)
    assert drux.read_table(tmp_path / "out.drux").to_dict() == table.to_pydict()
