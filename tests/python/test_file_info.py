"""get_drux_info, PyDruxReader and PyDruxWriter.get_info: the size of a file
from the file system, never its contents.

Every information call runs on files of any content (empty, CSV, noise)
and must give the same size and fixed figures, or the same OSError text.
Deliberately not here: reading what a DRUX file holds, which drux.read_metadata
does (test_drux_tables.py).
"""

import os

import pytest

import drux_fileformat as d

MISSING_TEXT = "No such file or directory (os error 2)"


def info_calls(path):
    """Each information call on `path`, with its open-failure prefix."""
    return [
        (lambda: d.get_drux_info(path), "Failed to open DRUX file: "),
        (lambda: d.PyDruxWriter(path).get_info(), "Failed to open DRUX file: "),
        (lambda: d.PyDruxReader(path).read_file(), "Failed to open file: "),
        (lambda: d.PyDruxReader(path).get_compression_stats(), "Failed to open file: "),
    ]


# (file name, content) of readable files; none of them is checked for the format.
READABLE = [
    ("empty.drux", b""),
    ("table.csv", b"a,b\n1,2\n"),
    ("noise.bin", bytes(range(256)) * 40),
    ("donn\u00e9es.drux", b"DRUX"),
]


@pytest.mark.parametrize("name, content", READABLE, ids=[n for n, _ in READABLE])
def test_information_of_any_readable_file_is_its_size(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content)
    size = len(content)
    assert d.get_drux_info(str(path)) == (size, "1.1.2", 0)
    assert d.PyDruxWriter(str(path)).get_info() == (size, "1.1.2", 0)
    assert d.PyDruxReader(str(path)).read_file() == (size, "1.1.2")
    assert d.PyDruxReader(str(path)).get_compression_stats() == (64.8, "DRUX v1.1.2")
    assert path.read_bytes() == content


def test_information_of_a_directory_is_its_file_system_size(tmp_path):
    (tmp_path / "inside.txt").write_text("x")
    size = os.stat(tmp_path).st_size
    assert d.get_drux_info(str(tmp_path)) == (size, "1.1.2", 0)
    assert d.PyDruxReader(str(tmp_path)).read_file() == (size, "1.1.2")


def test_result_element_types(tmp_path):
    path = tmp_path / "f"
    path.write_bytes(b"abc")
    size, version, zero = d.get_drux_info(str(path))
    assert (type(size), type(version), type(zero)) == (int, str, int)
    figure, label = d.PyDruxReader(str(path)).get_compression_stats()
    assert (type(figure), type(label)) == (float, str)


@pytest.mark.parametrize("index", range(4),
                         ids=["get_drux_info", "writer.get_info", "read_file",
                              "get_compression_stats"])
def test_missing_path_raises_oserror_with_the_system_text(tmp_path, index):
    call, prefix = info_calls(str(tmp_path / "absent.drux"))[index]
    with pytest.raises(OSError) as info:
        call()
    assert type(info.value) is OSError
    assert info.value.args == (prefix + MISSING_TEXT,)
    assert info.value.errno is None and info.value.strerror is None


@pytest.mark.skipif(os.geteuid() == 0, reason="root opens files regardless of permissions")
def test_unreadable_file_fails_at_open_with_permission_text(tmp_path):
    path = tmp_path / "locked.drux"
    path.write_bytes(b"x")
    os.chmod(path, 0)
    with pytest.raises(OSError, match=r"^Failed to open DRUX file: Permission denied \(os error 13\)$"):
        d.get_drux_info(str(path))


def test_reader_construction_touches_no_file(tmp_path):
    path = str(tmp_path / "later.drux")
    reader = d.PyDruxReader(path=path)
    with pytest.raises(OSError, match="^Failed to open file: "):
        reader.read_file()
    # A failure leaves the object usable: once the file exists it is read.
    open(path, "wb").write(b"12345678")
    assert reader.read_file() == (8, "1.1.2")
    assert reader.get_compression_stats() == (64.8, "DRUX v1.1.2")


def test_writer_information_follows_its_conversions(tmp_path):
    out = str(tmp_path / "out.drux")
    writer = d.PyDruxWriter(out)
    with pytest.raises(OSError, match="^Failed to open DRUX file: "):
        writer.get_info()
    assert not os.path.exists(out)
    csv = tmp_path / "in.csv"
    csv.write_text("a,b\n1,2\n3,4\n")
    _, drux_size, _ = writer.write_csv(str(csv))
    assert writer.get_info() == (drux_size, "1.1.2", 0)
