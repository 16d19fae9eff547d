"""The drux command, run as a user would: in a subprocess, by its exit status and output.

Deliberately not here: the library behaviour behind each subcommand, which the
suites of the functions they call pin down.
"""

import json
import os
import subprocess
import sys

import pytest

import drux

KEY = bytes(range(32))


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "drux", *map(str, args)], capture_output=True, text=True, cwd=cwd)


@pytest.fixture
def sample(tmp_path):
    csv_path = tmp_path / "people.csv"
    csv_path.write_text("name,age,city\nalice,31,Paris\nbob,27,Lima\n\ncarol,45\n")
    drux_path = tmp_path / "people.drux"
    result = run("compress", csv_path, drux_path)
    assert result.returncode == 0, result.stderr
    return csv_path, drux_path


def test_compress_summarises_on_stdout_in_one_line(sample):
    csv_path, drux_path = sample
    result = run("compress", csv_path, drux_path, "--jobs", "2")
    assert result.returncode == 0
    assert result.stderr == ""  # the conversion report lines are compress_csv's alone
    lines = result.stdout.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith(f"{csv_path}: {os.path.getsize(csv_path)} bytes -> {drux_path}: "
                               f"{os.path.getsize(drux_path)} bytes")
    assert "3 rows in 1 chunks" in lines[0] and lines[0].endswith("on 2 threads")


def test_info_summarises_rows_columns_and_encodings(sample):
    _, drux_path = sample
    text = run("info", drux_path)
    assert text.returncode == 0, text.stderr
    assert "rows: 3 in 1 chunks" in text.stdout
    assert "'age': str" in text.stdout
    info = json.loads(run("info", "--json", drux_path).stdout)
    assert (info["rows"], info["chunks"], info["file_size"]) == (3, 1, os.path.getsize(drux_path))
    assert [c["name"] for c in info["columns"]] == ["name", "age", "city"]
    assert all(c["type"] == "str" and c["encodings"] == ["plain"] for c in info["columns"])
    assert info["columns"][1]["uncompressed_bytes"] == len(b"\x0231\x0227\x0245")


def test_verify_accepts_a_good_file_and_its_csv(sample):
    csv_path, drux_path = sample
    result = run("verify", drux_path, "--csv", csv_path)
    assert (result.returncode, result.stdout.strip()) == (0, f"{drux_path}: OK (matches {csv_path})")


def test_verify_reports_a_cell_that_differs_from_the_csv(sample, tmp_path):
    csv_path, drux_path = sample
    other = tmp_path / "other.csv"
    other.write_text(csv_path.read_text().replace("Lima", "Quito"))
    result = run("verify", drux_path, "--csv", other)
    assert result.returncode == 1
    assert "row 2, column 'city': DRUX 'Lima', CSV 'Quito'" in result.stderr


def test_verify_reports_a_damaged_block(sample):
    _, drux_path = sample
    block = drux.read_metadata(drux_path)["chunks"][0]["columns"][2]
    data = bytearray(drux_path.read_bytes())
    data[block["offset"] + 12] ^= 0xFF
    drux_path.write_bytes(bytes(data))
    result = run("verify", drux_path)
    assert result.returncode == 1
    assert "CRC" in result.stderr


@pytest.mark.parametrize("level", ["exact", "fast", "max"])
def test_verify_decodes_every_level_and_matches_it_to_its_csv(tmp_path, level):
    rows = [(f"user{i % 50}", str(i * 3 % 700), "x" * (1 + i % 9)) for i in range(3000)]
    csv_path = tmp_path / "t.csv"
    csv_path.write_text("name,n,pad\n" + "".join(",".join(row) + "\n" for row in rows))
    drux_path = tmp_path / f"{level}.drux"
    columns = [(name, [row[i] for row in rows]) for i, name in enumerate(["name", "n", "pad"])]
    drux.write_table(drux_path, columns, chunk_rows=700, level=level)
    result = run("verify", drux_path, "--csv", csv_path)
    assert (result.returncode, result.stdout.strip()) == (0, f"{drux_path}: OK (matches {csv_path})")


def test_info_tells_nothing_of_the_level(tmp_path):
    def info(level):
        path = tmp_path / f"{level}.drux"
        drux.write_table(path, {"s": [f"v{i % 40}" for i in range(5000)]}, level=level)
        described = json.loads(run("info", "--json", path).stdout)
        for varying in ("path", "file_size", "created"):
            del described[varying]
        for column in described["columns"]:
            del column["compressed_bytes"]
        return described

    assert info("fast") == info("exact") == info("max")


def test_verify_refuses_an_unfinished_file(tmp_path):
    path = tmp_path / "cut.drux"
    drux.write_table(path, {"a": [1, 2, 3]})
    path.write_bytes(path.read_bytes()[:80])
    result = run("verify", path)
    assert result.returncode == 1
    assert result.stderr.startswith("drux verify: ")


def test_cat_prints_selected_columns_and_rows_as_csv(sample):
    _, drux_path = sample
    result = run("cat", drux_path, "--columns", "city,name", "--head", "2")
    assert (result.returncode, result.stdout) == (0, "city,name\nParis,alice\nLima,bob\n")
    assert run("cat", drux_path).stdout.splitlines()[-1] == "carol,45,"


def test_cat_decrypts_with_a_key(tmp_path):
    path = tmp_path / "secret.drux"
    drux.write_table(path, {"s": ["x,y", "z"]}, keys={"s": KEY})
    assert run("cat", path).returncode == 1
    result = run("cat", path, "--key", f"s={KEY.hex()}")
    assert (result.returncode, result.stdout) == (0, 's\n"x,y"\nz\n')


@pytest.fixture
def typed(tmp_path):
    path = tmp_path / "typed.drux"
    drux.write_table(path, {"n": [1, 2, 3, 4], "s": ["a", "b c", "a", "d"], "f": [0.5, 1.5, 2.5, 3.5],
                            "ok": [True, False, True, True], "y": [b"\x01", b"", b"\x01", b"\x02"]}, chunk_rows=2)
    return path


# (--where conditions, the n of the rows printed)
WHERE = [
    (["n >= 3"], [3, 4]),
    (["s == a", "n > 1"], [3]),
    (["s in a,d"], [1, 3, 4]),
    (["s not in a,d"], [2]),
    (["s == b c"], [2]),
    (["f < 2"], [1, 2]),
    (["ok == false"], [2]),
    (["y == 01"], [1, 3]),
    (["n != 2", "n <= 3"], [1, 3]),
    (["n > 9"], []),
]


@pytest.mark.parametrize("conditions, expected", WHERE)
def test_cat_where_keeps_the_rows_where_every_condition_holds(typed, conditions, expected):
    args = [arg for condition in conditions for arg in ("--where", condition)]
    result = run("cat", typed, "--columns", "n", *args)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["n", *map(str, expected)]


@pytest.mark.parametrize("condition, message", [
    ("n = 3", "--where wants \"COLUMN OP VALUE\""),
    ("nope == 1", "no such column: nope"),
    ("n == x", "'x' is not a value of the int column 'n'"),
    ("ok == maybe", "'maybe' is not a value of the bool column 'ok'"),
])
def test_cat_where_refuses_what_it_cannot_read(typed, condition, message):
    result = run("cat", typed, "--where", condition)
    assert result.returncode == 1
    assert message in result.stderr


@pytest.mark.parametrize("args", [[], ["frobnicate"], ["cat"], ["cat", "x.drux", "--head", "-1"], ["verify", "x", "--key", "nohex"],
                                  ["compress", "a.csv", "b.drux", "--jobs", "0"]])
def test_usage_errors_exit_with_status_two(tmp_path, args):
    assert run(*args, cwd=tmp_path).returncode == 2


@pytest.mark.parametrize("command", ["compress", "info", "verify", "cat"])
def test_every_subcommand_has_help(command):
    result = run(command, "--help")
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: drux {command}")


def test_missing_input_fails_with_status_one(tmp_path):
    result = run("info", tmp_path / "missing.drux")
    assert result.returncode == 1
    assert "No such file or directory (os error 2)" in result.stderr


def test_verify_compares_by_the_conversions_own_csv_rules(tmp_path):
    # U+00A0 and U+3000 are trimmed like spaces, CRLF ends a line, a line of
    # white space is no row, a long row is cut and a short one padded.
    csv_path = tmp_path / "odd.csv"
    csv_path.write_bytes(" a\u00a0,b\r\n\u3000x ,y,extra\r\n \t\r\nz\r\n".encode())
    drux_path = tmp_path / "odd.drux"
    assert run("compress", csv_path, drux_path).returncode == 0
    result = run("verify", drux_path, "--csv", csv_path)
    assert (result.returncode, result.stdout.strip()) == (0, f"{drux_path}: OK (matches {csv_path})")
    assert run("cat", drux_path, "--columns", "b,\u00a0a\u3000").stdout == "b,a\ny,x\n,z\n"


def test_info_names_encodings_and_types_from_the_native_tables(tmp_path):
    path = tmp_path / "typed.drux"
    drux.write_table(path, {"n": [1, 2, 3], "f": [True, False, True]})
    info = json.loads(run("info", "--json", path).stdout)
    assert [(c["type"], c["encodings"]) for c in info["columns"]] == [("int", ["constant-delta"]), ("bool", ["bitmap"])]
    assert drux.Encoding["CONSTANT_DELTA"] == 6 and drux.ColumnType["BOOL"] == 3
