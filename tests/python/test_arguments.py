"""Argument matching and conversion shared by every function, method and
constructor of the module.

Tables of calls pin the exact exception and message of each refusal, and a
numeric conversion that fails must leave the metrics untouched.
Deliberately not here: what each call does with good arguments, which
test_compress_csv.py, test_file_info.py and test_monitor.py check.
"""

import pytest

import drux_fileformat as d


def writer():
    return d.PyDruxWriter("unused.drux")


def monitor():
    return d.PyPerformanceMonitor()


# (call, exact TypeError message)
MATCH_ERRORS = [
    (lambda: d.compress_csv(),
     "compress_csv() missing 2 required positional arguments: 'csv_path' and 'drux_path'"),
    (lambda: d.compress_csv("a.csv"),
     "compress_csv() missing 1 required positional argument: 'drux_path'"),
    (lambda: d.compress_csv(drux_path="a.drux"),
     "compress_csv() missing 1 required positional argument: 'csv_path'"),
    (lambda: d.compress_csv("a", "b", "c"),
     "compress_csv() takes 2 positional arguments but 3 were given"),
    (lambda: d.compress_csv("a", "b", level=3),
     "compress_csv() got an unexpected keyword argument 'level'"),
    (lambda: d.compress_csv("a", csv_path="b"),
     "compress_csv() got multiple values for argument 'csv_path'"),
    (lambda: d.get_drux_info(),
     "get_drux_info() missing 1 required positional argument: 'drux_path'"),
    (lambda: d.get_drux_info("a", "b"),
     "get_drux_info() takes 1 positional arguments but 2 were given"),
    (lambda: d.get_drux_info(path="a"),
     "get_drux_info() got an unexpected keyword argument 'path'"),
    (lambda: d.PyDruxWriter(),
     "PyDruxWriter.__new__() missing 1 required positional argument: 'path'"),
    (lambda: d.PyDruxReader(),
     "PyDruxReader.__new__() missing 1 required positional argument: 'path'"),
    (lambda: d.PyDruxReader("a", path="b"),
     "PyDruxReader.__new__() got multiple values for argument 'path'"),
    (lambda: d.PyDruxWriter("a", "b"),
     "PyDruxWriter.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: d.PyDruxReader(drux_path="a"),
     "PyDruxReader.__new__() got an unexpected keyword argument 'drux_path'"),
    (lambda: d.PyPerformanceMonitor(1),
     "PyPerformanceMonitor.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: d.PyPerformanceMonitor(1, 2),
     "PyPerformanceMonitor.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: d.PyPerformanceMonitor(size=1),
     "PyPerformanceMonitor.__new__() got an unexpected keyword argument 'size'"),
    (lambda: writer().write_csv(),
     "PyDruxWriter.write_csv() missing 1 required positional argument: 'csv_path'"),
    (lambda: writer().write_csv("a", "b"),
     "PyDruxWriter.write_csv() takes 1 positional arguments but 2 were given"),
    (lambda: monitor().record_read(),
     "PyPerformanceMonitor.record_read() missing 2 required positional arguments: "
     "'bytes' and 'duration_ms'"),
    (lambda: monitor().record_write(1, 2.0, 3),
     "PyPerformanceMonitor.record_write() takes 2 positional arguments but 3 were given"),
    (lambda: monitor().record_compression(1, original_bytes=2),
     "PyPerformanceMonitor.record_compression() got multiple values for argument 'original_bytes'"),
    (lambda: monitor().update_memory(current=1),
     "PyPerformanceMonitor.update_memory() missing 1 required positional argument: 'peak'"),
    (lambda: monitor().update_cache_stats(hit_rate=0.5, rate=0.5),
     "PyPerformanceMonitor.update_cache_stats() got an unexpected keyword argument 'rate'"),
    (lambda: monitor().record_rows_columns(1, 2, columns=3),
     "PyPerformanceMonitor.record_rows_columns() got multiple values for argument 'columns'"),
]


@pytest.mark.parametrize("call, message", MATCH_ERRORS, ids=[m for _, m in MATCH_ERRORS])
def test_argument_mismatch_raises_type_error_naming_the_call(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("method", [
    "record_error", "get_metrics", "get_metrics_dict", "get_alerts", "clear_alerts",
    "export_prometheus",
])
def test_parameterless_monitor_methods_take_no_arguments(method):
    m = monitor()
    with pytest.raises(TypeError, match="takes no arguments"):
        getattr(m, method)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(m, method)(x=1)
    assert m.get_metrics_dict()["total_errors"] == 0


@pytest.mark.parametrize("call", [
    lambda: writer().get_info(1),
    lambda: d.PyDruxReader("a").read_file(1),
    lambda: d.PyDruxReader("a").get_compression_stats(path="a"),
], ids=["get_info", "read_file", "get_compression_stats"])
def test_parameterless_file_methods_take_no_arguments(call):
    with pytest.raises(TypeError, match="takes no"):
        call()


# (call, parameter named in the prefix, the interpreter's message after it)
STR_TYPE_ERRORS = [
    (lambda: d.compress_csv(1, "b.drux"), "csv_path", "'int' object cannot be converted to 'PyString'"),
    (lambda: d.compress_csv("a.csv", b"b.drux"), "drux_path",
     "'bytes' object cannot be converted to 'PyString'"),
    (lambda: d.get_drux_info(None), "drux_path", "'NoneType' object cannot be converted to 'PyString'"),
    (lambda: d.PyDruxReader(path=3.5), "path", "'float' object cannot be converted to 'PyString'"),
    (lambda: d.PyDruxWriter(["x"]), "path", "'list' object cannot be converted to 'PyString'"),
    (lambda: writer().write_csv(csv_path=7), "csv_path",
     "'int' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("call, param, detail", STR_TYPE_ERRORS,
                         ids=[f"{p}:{m.split()[0]}" for _, p, m in STR_TYPE_ERRORS])
def test_text_parameter_refuses_other_types_with_argument_prefix(call, param, detail):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"argument '{param}': {detail}"


def test_first_failing_text_argument_stops_conversion():
    # Both are wrong; only the first is reported.
    with pytest.raises(TypeError, match=r"^argument 'csv_path': 'int'"):
        d.compress_csv(1, 2)


class Path(str):
    pass


def test_text_parameter_accepts_str_subclass(tmp_path):
    target = tmp_path / "data.bin"
    target.write_bytes(b"12345")
    assert d.get_drux_info(Path(str(target))) == (5, "1.1.2", 0)


@pytest.mark.parametrize("call", [
    lambda: d.get_drux_info("\ud800"),
    lambda: d.compress_csv("a.csv", "\udcff.drux"),
    lambda: d.PyDruxReader("\ud800"),
], ids=["get_drux_info", "compress_csv", "PyDruxReader"])
def test_text_that_cannot_be_utf8_raises_the_encoding_error_unchanged(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("call", [
    lambda base: d.get_drux_info(base + "\0.ignored"),
    lambda base: d.PyDruxReader(base + "\0.ignored"),
    lambda base: d.PyDruxWriter(base + "\0.ignored"),
    lambda base: d.compress_csv(base, base + ".drux\0.ignored"),
    lambda base: d.compress_csv(base + "\0.ignored", base + ".drux"),
    lambda base: d.PyDruxWriter(base + ".drux").write_csv(base + "\0.ignored"),
], ids=["get_drux_info", "PyDruxReader", "PyDruxWriter", "compress_csv-output",
        "compress_csv-input", "write_csv"])
def test_path_with_embedded_nul_is_refused_before_any_file_is_touched(tmp_path, call):
    # The operating system would cut the path at the NUL and act on `base`.
    base = str(tmp_path / "table.csv")
    open(base, "w").write("a,b\n1,2\n")
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(base)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["table.csv"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


# (method, arguments, expected exception, expected message start or None)
CONVERSION_ERRORS = [
    ("record_read", (-1, 1.0), OverflowError, None),
    ("record_rows_columns", (2**64, 1), OverflowError, None),
    ("record_rows_columns", (1, 2**64), OverflowError, None),
    ("update_memory", (0, -(2**70)), OverflowError, None),
    ("update_cache_stats", (10**400,), OverflowError, None),
    ("record_read", (-1, "slow"), OverflowError, None),
    ("record_read", (1.5, 1.0), TypeError, "argument 'bytes': 'float' object cannot be interpreted"),
    ("record_write", ("4096", 1.0), TypeError, "argument 'bytes': 'str' object cannot be interpreted"),
    ("record_compression", (10, 2.0), TypeError, "argument 'compressed_bytes': 'float'"),
    ("update_memory", (None, 1), TypeError, "argument 'current': 'NoneType'"),
    ("record_read", (1, "slow"), TypeError, "argument 'duration_ms': "),
    ("update_cache_stats", ("high",), TypeError, "argument 'hit_rate': "),
    ("record_write", (1, None), TypeError, "argument 'duration_ms': "),
]


@pytest.mark.parametrize("method, args, exc, start", CONVERSION_ERRORS,
                         ids=[f"{m}{a!r}"[:60] for m, a, _, _ in CONVERSION_ERRORS])
def test_numeric_conversion_errors_leave_metrics_unchanged(method, args, exc, start):
    m = monitor()
    before = m.get_metrics_dict()
    with pytest.raises(exc) as info:
        getattr(m, method)(*args)
    assert type(info.value) is exc
    message = str(info.value)
    if start is None:
        assert not message.startswith("argument")
        assert message
    else:
        assert message.startswith(start)
        # A new error in place of the interpreter's, whose cause it keeps (none here).
        assert info.value.__cause__ is None
    assert m.get_metrics_dict() == before
    assert m.get_alerts() == "[]"


# (method, arguments, dict key, expected value)
ACCEPTED_CONVERSIONS = [
    ("record_read", (Index(4096), 2.0), "total_bytes_read", 4096),
    ("record_read", (True, 2.0), "total_bytes_read", 1),
    ("record_read", (2**64 - 1, 2.0), "total_bytes_read", 2**64 - 1),
    ("record_read", (1, 12), "avg_read_latency_ms", 12.0),
    ("record_read", (1, Real(7.25)), "avg_read_latency_ms", 7.25),
    ("record_read", (1, Index(9)), "avg_read_latency_ms", 9.0),
    ("update_cache_stats", (Real(0.75),), "cache_hit_rate", 0.75),
    ("update_cache_stats", (1,), "cache_hit_rate", 1.0),
    ("update_memory", (Index(10), Index(20)), "peak_memory_bytes", 20),
]


@pytest.mark.parametrize("method, args, key, value", ACCEPTED_CONVERSIONS,
                         ids=[f"{m}-{k}-{v}" for m, _, k, v in ACCEPTED_CONVERSIONS])
def test_index_and_float_protocols_are_accepted(method, args, key, value):
    m = monitor()
    getattr(m, method)(*args)
    result = m.get_metrics_dict()[key]
    assert result == value and type(result) is type(value)
