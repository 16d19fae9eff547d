"""Arrow-native scans: drux.scan through pyarrow, polars, DuckDB and Dask, with projection and filters.

Every answer is checked against read_table or against filtering the whole
table in pyarrow. Deliberately not here: the C stream's release rules under
ASan (tests/cpp/arrow_scan_test.cpp) and read speed (bench/bench_read.py).
"""

import json
import math
import random

import pyarrow as pa
import pyarrow.csv
import pytest

import drux
import drux_fileformat
from drux import _native
from conftest import run_python
from test_drux_tables import KEY, ROUND_TRIPS

NESTED = {"object", "list", "map"}


def plain_json(value):
    """A read_table value in the shape the scan's JSON text parses to (objects as [name, value] pairs)."""
    if isinstance(value, dict):
        return [[name, plain_json(v)] for name, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [plain_json(v) for v in value]
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def parse_json(text):
    return None if text is None else json.loads(text, object_pairs_hook=lambda pairs: [[k, v] for k, v in pairs])


@pytest.mark.parametrize("type_name, written, expected", ROUND_TRIPS)
@pytest.mark.parametrize("key", [None, KEY], ids=["plain", "encrypted"])
def test_every_column_type_through_pyarrow_equals_read_table(tmp_path, type_name, written, expected, key):
    path = tmp_path / "t.drux"
    keys = {"c": key} if key else None
    drux.write_table(path, {"c": written, "n": list(range(len(written)))}, types={"c": type_name}, chunk_rows=2,
                     keys=keys)
    table = pa.table(drux.scan(path, keys=keys))
    values = drux.read_table(path, keys=keys).columns[0]
    assert table.column("n").to_pylist() == list(range(len(written)))
    got = table.column("c").to_pylist()
    if type_name in NESTED:
        assert table.schema.field("c").type == pa.large_string()
        assert [parse_json(text) for text in got] == [None if v is None else plain_json(v) for v in values]
    else:
        assert table.schema.field("c").type == {"int": pa.int64(), "float": pa.float64(), "bool": pa.bool_(),
                                                "str": pa.string(), "bytes": pa.binary()}[type_name]
        assert got == values
        assert table.column("c").null_count == 0


def test_buffers_are_64_byte_aligned(tmp_path):
    path = tmp_path / "t.drux"
    drux.write_table(path, {"i": [1, 2, 3], "s": ["a", "bc", "d"], "b": [True, False, True]})
    for batch in pa.RecordBatchReader.from_stream(drux.scan(path)):
        for column in batch.columns:
            assert all(buffer is None or buffer.address % 64 == 0 for buffer in column.buffers())


# ---- CSV files converted by compress_csv and convert_csv ------------------------------------

def test_compress_csv_output_equals_pyarrow_read_csv_as_text(tmp_path):
    rng = random.Random(7)
    lines = ["id,name,amount,flag"]
    for i in range(3000):
        lines.append(f"{i},n{rng.randrange(10**6)},{rng.randrange(-10**4, 10**4) / 100},{rng.choice(['yes', 'no'])}")
    csv_path = tmp_path / "plain.csv"
    csv_path.write_text("\n".join(lines) + "\n")
    drux_fileformat.compress_csv(str(csv_path), str(tmp_path / "plain.drux"))
    names = lines[0].split(",")
    expected = pyarrow.csv.read_csv(csv_path, convert_options=pyarrow.csv.ConvertOptions(
        column_types={name: pa.string() for name in names}, strings_can_be_null=False))
    assert pa.table(drux.scan(tmp_path / "plain.drux")).equals(expected)


def test_compress_csv_output_follows_the_csv_roads_trimming_and_blank_lines(tmp_path):
    csv_path = tmp_path / "rough.csv"
    csv_path.write_text(" a , b ,c\n 1 , x y ,\n\n\"q,\"\"z\"\" \", 2\n3\n  \n4,5,6,7\n")
    drux_fileformat.compress_csv(str(csv_path), str(tmp_path / "rough.drux"))
    names, rows = _native.read_csv_text(str(csv_path))
    table = pa.table(drux.scan(tmp_path / "rough.drux"))
    assert table.column_names == names
    assert [list(row.values()) for row in table.to_pylist()] == [row[: len(names)] for row in rows]


def test_convert_csv_typed_output_through_pyarrow_equals_read_table(tmp_path):
    csv_path = tmp_path / "typed.csv"
    csv_path.write_text("i,f,b,s\n" + "".join(f"{k},{k / 8},{'true' if k % 3 else 'false'},t{k}\n"
                                              for k in range(5000)))
    drux.convert_csv(csv_path, tmp_path / "typed.drux", jobs=2)
    table = drux.read_table(tmp_path / "typed.drux")
    assert pa.table(drux.scan(tmp_path / "typed.drux")).to_pydict() == table.to_dict()


# ---- The consumers agree -----------------------------------------------------------------------

@pytest.fixture(scope="module")
def sales(tmp_path_factory):
    """Several chunks: a sorted id, a region of four values, an amount and a flag."""
    path = tmp_path_factory.mktemp("sales") / "sales.drux"
    rng = random.Random(11)
    n = 2500
    drux.write_table(path, {
        "id": list(range(n)),
        "region": [rng.choice(["north", "south", "east", "west"]) for _ in range(n)],
        "amount": [rng.randrange(0, 100000) / 100 for _ in range(n)],
        "paid": [rng.random() < 0.7 for _ in range(n)],
        "ref": [f"r{rng.randrange(10**9):09d}" for _ in range(n)],
    }, chunk_rows=100)
    return path


def expected_totals(path):
    table = pa.table(drux.scan(path)).filter(pa.compute.field("paid"))
    grouped = table.group_by("region").aggregate([("amount", "sum"), ("id", "count")])
    return sorted((row["region"], round(row["amount_sum"], 4), row["id_count"]) for row in grouped.to_pylist())


def test_polars_reads_the_same_table_as_pyarrow(sales):
    import polars

    scan = drux.scan(sales)
    assert polars.DataFrame(scan).equals(polars.from_arrow(pa.table(scan)))
    assert scan.to_polars().equals(polars.from_arrow(scan.to_arrow()))


def test_duckdb_select_with_where_and_group_by_agrees_with_pyarrow(sales):
    import duckdb

    scan = drux.scan(sales)
    rows = duckdb.sql("select region, sum(amount), count(id) from scan where paid group by region").fetchall()
    assert sorted((region, round(total, 4), count) for region, total, count in rows) == expected_totals(sales)


def test_pandas_frame_matches_pyarrow(sales):
    frame = drux.scan(sales, columns=["region", "amount"]).to_pandas()
    assert list(frame.columns) == ["region", "amount"]
    assert frame["amount"].tolist() == pa.table(drux.scan(sales)).column("amount").to_pylist()


def test_dask_on_a_local_cluster_agrees_with_pyarrow(sales, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    import drux.dask

    copy = tmp_path / "part2.drux"
    copy.write_bytes(sales.read_bytes())
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        frame = drux.dask.read_drux([sales, copy])
        assert frame.npartitions == 2
        paid = frame[frame["paid"]]
        totals = paid.groupby("region").agg({"amount": "sum", "id": "count"}).compute()
        filtered = drux.dask.read_drux(str(tmp_path / "part*.drux"), columns=["id"], filters=[("id", "<", 150)])
        ids = sorted(filtered.compute()["id"].tolist())
    got = sorted((region, round(row["amount"] / 2, 4), row["id"] // 2) for region, row in totals.iterrows())
    assert got == expected_totals(sales)
    assert ids == list(range(150))


def test_dask_column_projection_reaches_the_scan(sales):
    pytest.importorskip("dask.dataframe")
    import drux.dask

    expr = drux.dask.read_drux(sales)[["id", "ref"]].optimize(fuse=False).expr
    projected = [node.operand("columns") for node in expr.walk() if type(node).__name__ == "FromMapProjectable"]
    assert projected == [["id", "ref"]]


# ---- Projection and filters ----------------------------------------------------------------------

# (filters, the row predicate they mean, the most chunks of 25 the scan may read)
FILTERS = [
    ([("id", "<", 150)], lambda r: r["id"] < 150, 2),
    ([("id", ">=", 2450), ("paid", "==", True)], lambda r: r["id"] >= 2450 and r["paid"], 1),
    ([("id", "in", [5, 1205, 9999])], lambda r: r["id"] in (5, 1205, 9999), 2),
    ([("id", "not in", list(range(100)))], lambda r: r["id"] >= 100, 25),  # only one-valued chunks prune
    ([("id", "!=", 7), ("id", "<=", 7)], lambda r: r["id"] < 7, 1),
    ([[("id", "<", 3)], [("id", ">", 2496)]], lambda r: r["id"] < 3 or r["id"] > 2496, 2),  # OR of ANDs
    ([("amount", ">", 999.5)], lambda r: r["amount"] > 999.5, 25),
    ([("amount", "==", 0.5), ("region", "==", "north")], lambda r: r["amount"] == 0.5 and r["region"] == "north", 25),
    ([("region", ">=", "south")], lambda r: r["region"] >= "south", 25),
    ([("region", "in", ["up", "down"])], lambda r: False, 0),  # no chunk holds them: the filter skips all
    ([("id", ">", 10**20)], lambda r: False, 0),
]


@pytest.mark.parametrize("filters, predicate, most_chunks", FILTERS)
def test_filters_equal_filtering_the_whole_table(sales, filters, predicate, most_chunks):
    every_row = pa.table(drux.scan(sales)).to_pylist()
    expected = [{"id": r["id"], "amount": r["amount"]} for r in every_row if predicate(r)]
    scan = drux.scan(sales, columns=["id", "amount"], filters=filters)
    table = pa.table(scan)
    assert table.column_names == ["id", "amount"]
    assert table.to_pylist() == expected
    stats = scan.stats
    assert stats["chunks_read"] + stats["chunks_skipped"] == 25
    assert stats["chunks_read"] <= most_chunks
    via_lists = drux.read_table(sales, columns=["id", "amount"], filters=filters)
    assert via_lists.to_dict() == table.to_pydict()


def test_an_equality_filter_on_an_identifier_reads_one_chunk_by_the_membership_filter(sales):
    refs = pa.table(drux.scan(sales, columns=["ref"])).column("ref").to_pylist()
    target = refs[1234]
    scan = drux.scan(sales, columns=["id", "ref"], filters=[("ref", "==", target)])
    assert pa.table(scan).to_pylist() == [{"id": i, "ref": target} for i, r in enumerate(refs) if r == target]
    stats = scan.stats
    assert (stats["chunks_read"], stats["chunks_skipped"]) == (1, 24)
    assert stats["blocks_read"] == 2 and stats["blocks_skipped"] == 25 * 5 - 2
    assert stats["bytes_read"] < stats["bytes_skipped"] / 20


def test_projection_reads_only_the_chosen_blocks_in_the_order_given(sales):
    scan = drux.scan(sales, columns=["ref", "id", "ref"])
    table = pa.table(scan)
    assert table.column_names == ["ref", "id", "ref"]
    assert table.column(0).to_pylist() == table.column(2).to_pylist()
    assert scan.stats["blocks_read"] == 25 * 2


def test_a_filter_matching_nothing_gives_an_empty_table_with_the_schema(sales):
    table = drux.scan(sales, filters=[("region", "==", "nowhere")]).to_arrow()
    assert table.num_rows == 0
    assert table.schema.names == ["id", "region", "amount", "paid", "ref"]


@pytest.mark.parametrize("kwargs, error, message", [
    ({"columns": ["id", "nope"]}, KeyError, "no column 'nope'; the file has: id, region, amount, paid, ref"),
    ({"filters": [("nope", "==", 1)]}, KeyError, "no column 'nope'"),
    ({"filters": [("id", "~", 1)]}, ValueError, "unknown filter operator '~'"),
    ({"filters": [("id", "==", "7")]}, TypeError, "filter on column 'id' (integer) needs a number, not str"),
    ({"filters": [("region", "in", "north")]}, TypeError, "needs a collection of values"),
    ({"filters": [("region", "<", 3)]}, TypeError, "needs a str"),
    ({"filters": "id"}, TypeError, "filters must be a list"),
    ({"columns": "id"}, TypeError, "columns must be a list"),
    ({"jobs": 0}, ValueError, "jobs must be a positive int"),
])
def test_bad_requests_are_refused_clearly(sales, kwargs, error, message):
    with pytest.raises(error) as raised:
        drux.scan(sales, **kwargs)
    assert message in str(raised.value)


def test_nested_columns_cannot_be_filtered_and_encrypted_ones_need_their_key(tmp_path):
    path = tmp_path / "t.drux"
    drux.write_table(path, {"o": [{"a": 1}], "s": ["x"]}, keys={"s": KEY})
    with pytest.raises(TypeError, match="column 'o' is object: nested columns cannot be filtered"):
        drux.scan(path, filters=[("o", "==", "x")])
    with pytest.raises(drux.DruxError, match="column 's' is encrypted: a key is needed to read it"):
        drux.scan(path)
    assert pa.table(drux.scan(path, columns=["o"])).column("o").to_pylist() == ['{"a":1}']
    assert pa.table(drux.scan(path, keys={"s": KEY}, filters=[("s", "==", "x")])).num_rows == 1


# ---- Damaged files ---------------------------------------------------------------------------------

def test_a_truncated_file_is_refused_when_the_scan_opens(sales, tmp_path):
    path = tmp_path / "cut.drux"
    path.write_bytes(sales.read_bytes()[:-40])
    with pytest.raises(drux.DruxError, match="trailer|footer"):
        drux.scan(path)
    with pytest.raises(OSError):
        drux.scan(tmp_path / "missing.drux")


def test_a_corrupted_block_gives_the_clear_error_through_every_consumer(sales, tmp_path):
    path = tmp_path / "bad.drux"
    data = bytearray(sales.read_bytes())
    block = drux.read_metadata(sales)["chunks"][3]["columns"][1]
    data[block["offset"] + 12 + block["length"] // 2] ^= 0xFF
    path.write_bytes(bytes(data))
    code = f"""
        import duckdb, polars, pyarrow, drux
        path = {str(path)!r}
        attempts = {{
            "pyarrow": lambda: pyarrow.table(drux.scan(path)),
            "reader": lambda: pyarrow.RecordBatchReader.from_stream(drux.scan(path)).read_all(),
            "polars": lambda: polars.DataFrame(drux.scan(path)),
            "duckdb": lambda: duckdb.sql("select count(*) from scan").fetchall()
                      if (scan := drux.scan(path)) else None,
            "to_arrow": lambda: drux.scan(path).to_arrow(),
            "to_polars": lambda: drux.scan(path).to_polars(),
            "read_table": lambda: drux.read_table(path, columns=["region"]),
        }}
        for name, attempt in attempts.items():
            try:
                attempt()
                print(name, "no error")
            except Exception as error:
                print(name, type(error).__name__, "CRC-32 mismatch" in str(error), "chunk 3, column 'region'" in str(error))
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    lines = dict(line.split(" ", 1) for line in result.stdout.decode().splitlines())
    assert set(lines) == {"pyarrow", "reader", "polars", "duckdb", "to_arrow", "to_polars", "read_table"}
    for name in ("to_arrow", "to_polars", "read_table"):
        assert lines[name] == "DruxError True True"
    for name in ("pyarrow", "reader", "polars"):
        assert lines[name].endswith("True True"), (name, lines[name])
    assert lines["duckdb"] != "no error" and lines["duckdb"].endswith("True"), lines["duckdb"]


# ---- Capsule release rules ----------------------------------------------------------------------------

def test_dropped_capsules_and_half_read_streams_leak_nothing(sales):
    code = f"""
        import resource, pyarrow, drux
        path = {str(sales)!r}
        def rss_kib():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * resource.getpagesize() // 1024
        def once():
            scan = drux.scan(path, jobs=2)
            scan.__arrow_c_schema__()                       # a schema capsule never consumed
            scan.__arrow_c_stream__()                       # a stream capsule never consumed
            reader = pyarrow.RecordBatchReader.from_stream(scan)
            reader.read_next_batch()                        # a stream dropped half-read
            schema = pyarrow.schema(scan)                   # a schema consumed
        for _ in range(1000):
            once()
        before = rss_kib()
        for _ in range(10000):
            once()
        print(rss_kib() - before)
    """
    result = run_python(code)
    assert result.returncode == 0, result.stderr.decode()
    growth_kib = int(result.stdout.decode().split()[-1])
    assert growth_kib < 8 * 1024, f"RSS grew by {growth_kib} KiB over 10,000 scans"


def test_the_stream_may_be_driven_from_another_thread(sales):
    import threading

    reader = pa.RecordBatchReader.from_stream(drux.scan(sales, jobs=3))
    batches = []
    worker = threading.Thread(target=lambda: batches.extend(reader))
    worker.start()
    worker.join()
    assert len(batches) == 25 and sum(b.num_rows for b in batches) == 2500
