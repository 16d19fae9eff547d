"""The module object: identity, attributes, signatures, docstrings, classes.

Lists of the expected names, text signatures, docstrings and method order
are compared with what the imported module shows.
Deliberately not here: what the functions do, which the other test files
check call by call.
"""

import importlib
import inspect
import shutil
import subprocess
import sys

import pytest

import drux_fileformat
from conftest import run_python

EXPECTED_ALL = [
    "__version__",
    "__doc__",
    "__author__",
    "compress_csv",
    "get_drux_info",
    "PyDruxWriter",
    "PyDruxReader",
    "PyPerformanceMonitor",
]

CLASSES = [
    drux_fileformat.PyDruxWriter,
    drux_fileformat.PyDruxReader,
    drux_fileformat.PyPerformanceMonitor,
]

COMPRESS_CSV_DOC = (
    "Compress CSV to DRUX with true streaming \u2014 constant memory regardless of file size (v1.3.2).\n"
    "\n"
    "Algorithm:\n"
    "  Pass 1 (scan): count rows only \u2014 O(1) memory\n"
    "  Pass 2 (write): stream CHUNK_SIZE rows at a time via StreamingDruxWriter\n"
    "  Memory usage = CHUNK_SIZE \u00d7 num_columns \u00d7 avg_value_size (constant, ~64MB)\n"
    "\n"
    "Returns: (csv_size, drux_size, compression_ratio)"
)

M = drux_fileformat
W = drux_fileformat.PyDruxWriter
R = drux_fileformat.PyDruxReader
P = drux_fileformat.PyPerformanceMonitor

# (callable, text signature, docstring after the signature block)
SIGNATURES = [
    (M.compress_csv, "(csv_path, drux_path)", COMPRESS_CSV_DOC),
    (M.get_drux_info, "(drux_path)", "Get DRUX file information"),
    (W, "(path)", "DruxWriter Python wrapper"),
    (R, "(path)", "DruxReader Python wrapper"),
    (P, "()", "Performance Monitor Python wrapper"),
    (W.write_csv, "($self, csv_path)", ""),
    (W.get_info, "($self)", ""),
    (R.read_file, "($self)", ""),
    (R.get_compression_stats, "($self)", ""),
    (P.record_read, "($self, bytes, duration_ms)", ""),
    (P.record_write, "($self, bytes, duration_ms)", ""),
    (P.record_compression, "($self, original_bytes, compressed_bytes)", ""),
    (P.record_rows_columns, "($self, rows, columns)", ""),
    (P.update_memory, "($self, current, peak)", ""),
    (P.update_cache_stats, "($self, hit_rate)", ""),
    (P.record_error, "($self)", ""),
    (P.get_metrics, "($self)", ""),
    (P.get_metrics_dict, "($self)", ""),
    (P.get_alerts, "($self)", ""),
    (P.clear_alerts, "($self)", ""),
    (P.export_prometheus, "($self)", ""),
]

# The methods each class declares, in declaration order.
METHOD_ORDER = [
    (W, ["write_csv", "get_info"]),
    (R, ["read_file", "get_compression_stats"]),
    (
        P,
        [
            "record_read",
            "record_write",
            "record_compression",
            "record_rows_columns",
            "update_memory",
            "update_cache_stats",
            "record_error",
            "get_metrics",
            "get_metrics_dict",
            "get_alerts",
            "clear_alerts",
            "export_prometheus",
        ],
    ),
]


def test_repeated_import_yields_the_same_module_object():
    assert importlib.import_module("drux_fileformat") is drux_fileformat
    # Dropping the sys.modules entry makes the import machinery run the
    # initialisation again; it must hand back the cached module.
    del sys.modules["drux_fileformat"]
    try:
        again = importlib.import_module("drux_fileformat")
    finally:
        sys.modules["drux_fileformat"] = drux_fileformat
    assert again is drux_fileformat


def test_module_attributes_are_added_in_order_and_listed_in_all():
    assert drux_fileformat.__all__ == EXPECTED_ALL
    # __doc__ exists from the module's creation, so only the others show
    # their order of addition.
    added = [name for name in vars(drux_fileformat) if name in EXPECTED_ALL and name != "__doc__"]
    assert added == [name for name in EXPECTED_ALL if name != "__doc__"]


def test_module_version_doc_and_author():
    assert drux_fileformat.__version__ == "1.1.2"
    title, blank, version_line = drux_fileformat.__doc__.split("\n")
    assert "DRUX" in title and "efficient data storage and querying" in title
    assert blank == ""
    assert version_line == "Version 1.1.2: Full Python bindings with compression and reading support"
    assert isinstance(drux_fileformat.__author__, str) and drux_fileformat.__author__


def test_module_has_no_other_public_attributes():
    extra = {name for name in vars(drux_fileformat) if not name.startswith("_")}
    assert extra == {name for name in EXPECTED_ALL if not name.startswith("_")}


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_shared_library_exports_only_the_init_function():
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", drux_fileformat.__file__],
        capture_output=True, text=True, check=True,
    ).stdout
    # Text, data and other symbols the library defines itself.
    exported = [line.split()[-1] for line in listing.splitlines() if line.split()[1] not in "wWvVU"]
    assert exported == ["PyInit_drux_fileformat"]


SUBINTERPRETER_SCRIPT = """
import sys
import _testcapi
if sys.argv[1] == "main-first":
    import drux_fileformat
refused = _testcapi.run_in_subinterp("import drux_fileformat") == -1
import drux_fileformat
print(refused, drux_fileformat.__version__)
"""


@pytest.mark.parametrize("order", ["main-first", "subinterpreter-first"])
def test_subinterpreter_import_is_refused_and_main_import_still_works(order):
    result = run_python(SUBINTERPRETER_SCRIPT, order)
    if b"No module named '_testcapi'" in result.stderr:
        pytest.skip("_testcapi is not available")
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout == b"True 1.1.2\n"
    assert b"ImportError: drux_fileformat does not support subinterpreters" in result.stderr


@pytest.mark.parametrize("function, signature, doc", SIGNATURES,
                         ids=[f"{s[0].__qualname__}" for s in SIGNATURES])
def test_text_signature_and_docstring(function, signature, doc):
    assert function.__text_signature__ == signature
    assert function.__doc__ == (doc if doc else None)


@pytest.mark.parametrize("function, expected", [
    (M.compress_csv, ["csv_path", "drux_path"]),
    (M.get_drux_info, ["drux_path"]),
    (W, ["path"]),
    (R, ["path"]),
    (P, []),
    (R.read_file, ["self"]),
    (P.record_read, ["self", "bytes", "duration_ms"]),
])
def test_inspect_sees_positional_or_keyword_parameters(function, expected):
    parameters = inspect.signature(function).parameters.values()
    assert [p.name for p in parameters] == expected
    # The receiver "$self" is positional-only; every named parameter is not.
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
               for p in parameters if p.name != "self")


@pytest.mark.parametrize("cls, names", METHOD_ORDER, ids=lambda v: getattr(v, "__name__", ""))
def test_methods_are_declared_in_order(cls, names):
    declared = [name for name in vars(cls) if not name.startswith("__")]
    assert declared == names


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_plain_immutable_types_of_the_module(cls):
    assert cls.__module__ == "drux_fileformat"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls.extra = 1


@pytest.mark.parametrize("make", [lambda: W("out.drux"), lambda: R("in.drux"), P],
                         ids=["writer", "reader", "monitor"])
def test_instances_expose_no_data_attributes(make):
    instance = make()
    with pytest.raises(AttributeError):
        instance.path = "elsewhere"
    assert not hasattr(instance, "__dict__")
