"""compress_csv and PyDruxWriter.write_csv seen from Python: the returned
triple, the report on file descriptor 2, the written file's header and
trailer, and the exceptions for each failure.

The report is read from a child interpreter's descriptor 2, the file's
counts from its header and trailer (conftest.read_layout), and the main
failures from one table of (input, exception, exact message).
Deliberately not here: the file's bytes beyond those fields, which
tests/cpp/csv_converter_test.cpp compares with the writer's own file, and
the threaded drux.convert_csv (test_convert_csv.py).
"""

import json
import os
import re

import pytest

import drux_fileformat as d
from conftest import read_layout, run_python

ARROW = "\u2192"
TIMES = "\u00d7"


def repetitive_csv(rows):
    lines = ["id,city,status"]
    lines += [f"{i % 10},Springfield,active" for i in range(rows)]
    return "\n".join(lines) + "\n"


def data_lines(count):
    return "v\n" + "".join(f"{i % 7}\n" for i in range(count))


CONVERT_SCRIPT = """
import io, json, sys
import drux_fileformat
# A replaced sys.stderr must see nothing: the report goes to descriptor 2.
sys.stderr = io.StringIO()
try:
    result = list(drux_fileformat.compress_csv(sys.argv[1], sys.argv[2]))
except BaseException as exc:
    result = [type(exc).__name__, str(exc)]
captured = sys.stderr.getvalue()
sys.stderr = sys.__stderr__
with open(sys.argv[3], "w") as out:
    json.dump({"result": result, "captured": captured}, out)
"""


def convert_in_subprocess(tmp_path, csv_path, drux_path):
    report = tmp_path / "report.json"
    proc = run_python(CONVERT_SCRIPT, csv_path, drux_path, str(report))
    assert proc.returncode == 0, proc.stderr.decode()
    outcome = json.loads(report.read_text())
    return proc, outcome["result"], outcome["captured"]


def test_conversion_reports_on_descriptor_two_only(tmp_path, write_file):
    csv_path = write_file("cities.csv", repetitive_csv(3000))
    drux_path = str(tmp_path / "cities.drux")
    proc, result, captured = convert_in_subprocess(tmp_path, csv_path, drux_path)
    assert proc.stdout == b""
    assert captured == ""
    csv_size, drux_size, ratio = result
    lines = proc.stderr.decode("utf-8").split("\n")
    assert lines[:5] == [
        "",
        ">>> compress_csv v1.3.2 STREAMING MODE",
        f">>> File: {csv_path} (0MB)",
        ">>> Columns (3): id, city, status",
        ">>> Streaming 65536 rows at a time (~3MB memory constant)...",
    ]
    done = re.fullmatch(
        rf">>> DONE! 0MB {ARROW} (\d+\.\d)MB \((\d+\.\d)% saved\) in (\d+)s "
        rf"\((\d+\.\d|inf)GB/sec\) \| (.*)",
        lines[5],
    )
    assert done, lines[5]
    assert done.group(1) == f"{drux_size / 1048576:.1f}"
    assert done.group(2) == f"{ratio:.1f}"
    assert done.group(5) == (
        f"DRUX v2 (streaming): 3000 rows {TIMES} 3 cols | 1 chunks | dict: 0 entries"
    )
    assert lines[6:] == [""]


def test_empty_csv_reports_banner_and_file_line_then_fails(tmp_path, write_file):
    csv_path = write_file("empty.csv", b"")
    drux_path = str(tmp_path / "empty.drux")
    proc, result, _ = convert_in_subprocess(tmp_path, csv_path, drux_path)
    assert result == ["ValueError", "CSV file is empty"]
    assert proc.stdout == b""
    assert proc.stderr.decode() == (
        f"\n>>> compress_csv v1.3.2 STREAMING MODE\n>>> File: {csv_path} (0MB)\n"
    )
    assert not os.path.exists(drux_path)


def test_returned_triple_matches_the_files_on_disk(tmp_path, write_file):
    csv_path = write_file("cities.csv", repetitive_csv(5000))
    drux_path = str(tmp_path / "cities.drux")
    result = d.compress_csv(csv_path, drux_path)
    assert type(result) is tuple and len(result) == 3
    csv_size, drux_size, ratio = result
    assert type(csv_size) is int and type(drux_size) is int and type(ratio) is float
    assert csv_size == os.path.getsize(csv_path)
    assert drux_size == os.path.getsize(drux_path)
    assert drux_size < csv_size
    assert ratio == pytest.approx((csv_size - drux_size) / csv_size * 100, rel=1e-12)


def test_output_not_smaller_than_input_saves_zero_percent(tmp_path, write_file):
    csv_path = write_file("tiny.csv", "a\n1\n")
    csv_size, drux_size, ratio = d.compress_csv(csv_path, str(tmp_path / "tiny.drux"))
    assert drux_size >= csv_size
    assert ratio == 0.0


# (CSV content, data rows, chunks)
LAYOUTS = [
    ("a\n", 0, 0),
    ("a,b\n1,2\n\n   \n3,4\n", 2, 1),
    ("a,b\r\n1,2\r\n3,4\r\n", 2, 1),
    ("a,b\n1,2\n3,4", 2, 1),
    (data_lines(65536), 65536, 1),
    (data_lines(65537), 65537, 2),
]


@pytest.mark.parametrize("content, rows, chunks", LAYOUTS,
                         ids=["header-only", "blank-lines", "crlf", "no-final-newline",
                              "one-full-chunk", "full-chunk-and-one"])
def test_written_file_has_row_and_chunk_counts_and_trailer(tmp_path, write_file, content, rows,
                                                           chunks):
    csv_path = write_file("in.csv", content)
    drux_path = str(tmp_path / "out.drux")
    _, drux_size, _ = d.compress_csv(csv_path, drux_path)
    layout = read_layout(drux_path)
    assert layout["magic"] == b"DRUX"
    assert (layout["rows"], layout["chunks"]) == (rows, chunks)
    assert layout["footer_offset"] + layout["footer_length"] + 16 == layout["size"] == drux_size


def without_creation_time(path):
    data = open(path, "rb").read()
    return data[:24] + data[32:]  # creation time is bytes 24..31


@pytest.mark.parametrize("call", [
    lambda csv, out: d.compress_csv(csv_path=csv, drux_path=out),
    lambda csv, out: d.compress_csv(drux_path=out, csv_path=csv),
    lambda csv, out: d.compress_csv(csv, drux_path=out),
    lambda csv, out: d.PyDruxWriter(out).write_csv(csv),
    lambda csv, out: d.PyDruxWriter(path=out).write_csv(csv_path=csv),
], ids=["keywords", "keywords-reversed", "mixed", "writer", "writer-keywords"])
def test_every_call_form_converts_like_the_positional_call(tmp_path, write_file, call):
    csv_path = write_file("in.csv", repetitive_csv(200))
    reference = str(tmp_path / "reference.drux")
    expected = d.compress_csv(csv_path, reference)
    other = str(tmp_path / "other.drux")
    assert call(csv_path, other) == expected
    assert without_creation_time(other) == without_creation_time(reference)


def test_writer_converts_again_over_its_previous_output(tmp_path, write_file):
    writer = d.PyDruxWriter(str(tmp_path / "out.drux"))
    first = writer.write_csv(write_file("big.csv", repetitive_csv(2000)))
    second = writer.write_csv(write_file("small.csv", repetitive_csv(10)))
    assert second[1] == os.path.getsize(tmp_path / "out.drux") != first[1]
    assert read_layout(tmp_path / "out.drux")["rows"] == 10


# (CSV file content or None for a missing file, output name, exception, message or prefix,
#  whether the output file exists afterwards)
FAILURES = [
    (None, "out.drux", OSError, "CSV file does not exist: {csv}", False),
    (b"", "out.drux", ValueError, "CSV file is empty", False),
    (b"a\xff,b\n1,2\n", "out.drux", OSError, "stream did not contain valid UTF-8", False),
    (b"a,b\n1,2\n\xc3\x28,4\n", "out.drux", OSError, "stream did not contain valid UTF-8", True),
    (b"a,b\n1,2\n", "missing/out.drux", OSError,
     "Cannot create {out}: No such file or directory (os error 2)", False),
]


@pytest.mark.parametrize("content, out_name, exc, message, output_left", FAILURES,
                         ids=["missing-csv", "empty-csv", "bad-utf8-header", "bad-utf8-data",
                              "missing-output-dir"])
def test_conversion_failures_raise_by_kind_with_exact_message(tmp_path, content, out_name, exc,
                                                              message, output_left):
    csv_path = str(tmp_path / "in.csv")
    if content is not None:
        open(csv_path, "wb").write(content)
    drux_path = str(tmp_path / out_name)
    for call in (lambda: d.compress_csv(csv_path, drux_path),
                 lambda: d.PyDruxWriter(drux_path).write_csv(csv_path)):
        with pytest.raises(exc) as info:
            call()
        assert type(info.value) is exc
        assert info.value.args == (message.format(csv=csv_path, out=drux_path),)
        assert os.path.exists(drux_path) == output_left
        if output_left:
            os.remove(drux_path)


def test_directory_as_csv_fails_with_the_read_error(tmp_path):
    with pytest.raises(OSError) as info:
        d.compress_csv(str(tmp_path), str(tmp_path / "out.drux"))
    assert info.value.args == ("Is a directory (os error 21)",)
    assert info.value.errno is None


@pytest.mark.parametrize("same", [
    lambda csv: csv,
    lambda csv: os.path.join(os.path.dirname(csv), ".", os.path.basename(csv)),
], ids=["same-path", "other-spelling"])
def test_output_over_the_input_is_refused_and_input_kept(write_file, same):
    content = repetitive_csv(100).encode()
    csv_path = write_file("in.csv", content)
    with pytest.raises(OSError):
        d.compress_csv(csv_path, same(csv_path))
    assert open(csv_path, "rb").read() == content


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files regardless of permissions")
def test_unreadable_csv_fails_with_permission_error_text(write_file):
    csv_path = write_file("locked.csv", "a\n1\n")
    os.chmod(csv_path, 0)
    with pytest.raises(OSError) as info:
        d.compress_csv(csv_path, csv_path + ".drux")
    assert info.value.args == ("Permission denied (os error 13)",)
