"""convert_csv(types="infer"): typed columns only where every cell comes back as the same text.

One CSV with a column per kind of cell is converted once as text and once
inferred; the typed cells must render to the text cells, and drux cat and
verify must agree.
Deliberately not here: the rule for each single cell, which
tests/cpp/csv_types_test.cpp tables.
"""

import subprocess
import sys

import pytest

import drux

COLUMNS = {
    # name: (cells, cycled over the rows; expected column type)
    "id": (["0", "-17", "42", "9223372036854775807", "-9223372036854775808"], "int"),
    "price": (["39.02", "-0.5", "1012", "0.0001", "-123456.789"], "float"),
    "flag": (["true", "false"], "bool"),
    "padded": (["007", "1"], "str"),
    "exponent": (["1e5", "2"], "str"),
    "trailing zero": (["3.10", "2"], "str"),
    "five decimals": (["0.00015", "1"], "str"),
    "minus zero": (["-0", "1"], "str"),
    "empty": (["", "1"], "str"),
    "NA": (["NA", "1"], "str"),
    "two to the 63": (["9223372036854775808", "1"], "str"),
    "mixed case": (["true", "TRUE"], "str"),
    "text": (["alpha", " beta "], "str"),
}


@pytest.fixture(scope="module")
def converted(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("types")
    rows = 65536 + 300
    lines = [",".join(COLUMNS)]
    for r in range(rows):
        lines.append(",".join(cells[r % len(cells)] for cells, _ in COLUMNS.values()))
    csv_path = tmp / "in.csv"
    csv_path.write_text("\n".join(lines) + "\n")
    text = drux.convert_csv(csv_path, tmp / "text.drux", jobs=2)
    typed = drux.convert_csv(csv_path, tmp / "typed.drux", jobs=2, types="infer")
    return csv_path, tmp / "text.drux", tmp / "typed.drux", text, typed


def test_each_column_gets_the_type_its_cells_allow(converted):
    _, _, typed_path, _, typed = converted
    meta = drux.read_metadata(typed_path)
    got = {column["name"]: drux.COLUMN_TYPES[column["type"] - 1] for column in meta["columns"]}
    assert got == {name: kind for name, (_, kind) in COLUMNS.items()}
    assert typed.rows == 65536 + 300 and typed.chunks == 2


def test_typed_cells_render_to_the_text_cells(converted):
    _, text_path, typed_path, text, typed = converted
    as_text = drux.read_table(text_path)
    as_typed = drux.read_table(typed_path)
    assert as_typed.names == as_text.names
    for name, text_cells, typed_cells in zip(as_text.names, as_text.columns, as_typed.columns):
        assert [drux.render_cell(v) for v in typed_cells] == text_cells, name


def run(*args):
    return subprocess.run([sys.executable, "-m", "drux", *map(str, args)], capture_output=True, text=True)


def test_cat_prints_the_same_and_verify_matches_the_csv(converted):
    csv_path, text_path, typed_path, _, _ = converted
    assert run("cat", typed_path, "--head", "500").stdout == run("cat", text_path, "--head", "500").stdout
    verified = run("verify", typed_path, "--csv", csv_path)
    assert verified.returncode == 0, verified.stderr


def test_compress_types_infer_on_the_command_line(converted, tmp_path):
    csv_path = converted[0]
    result = run("compress", csv_path, tmp_path / "cli.drux", "--types", "infer", "--jobs", "1")
    assert result.returncode == 0, result.stderr
    kinds = [column["type"] for column in drux.read_metadata(tmp_path / "cli.drux")["columns"]]
    assert kinds[:3] == [1, 2, 3]


@pytest.mark.parametrize("value, text", [(39.02, "39.02"), (-0.5, "-0.5"), (1012.0, "1012"), (0.0001, "0.0001"),
                                         (-123456.789, "-123456.789"), (0.0, "0"), (True, "true"), (7, "7"),
                                         (None, ""), (b"\x01\xff", "01ff")])
def test_render_cell(value, text):
    assert drux.render_cell(value) == text


def test_unknown_types_value_is_refused(tmp_path):
    (tmp_path / "in.csv").write_text("a\n1\n")
    with pytest.raises(ValueError, match="types must be 'str' or 'infer'"):
        drux.convert_csv(tmp_path / "in.csv", tmp_path / "out.drux", types="auto")
