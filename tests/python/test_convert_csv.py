"""drux.convert_csv: compress_csv's bytes on worker threads, its refusals, and a safe replace of the output.

Each input is converted by both and the files compared byte for byte with
the creation time masked; refusals must match in kind and message.
Deliberately not here: inferred types (test_convert_types.py), monitors
(test_monitor_bridge.py), and the pipeline's own thread checks, which
tests/cpp/parallel_convert_test.cpp runs under ThreadSanitizer.
"""

import os
import random
import subprocess
import sys
import threading
import time

import pytest

import drux
import drux_fileformat

CREATION_TIME = slice(24, 32)


def masked(path):
    data = bytearray(path.read_bytes())
    data[CREATION_TIME] = bytes(8)
    return bytes(data)


def rows(count, seed=1, mixed=False):
    rng = random.Random(seed)
    lines = ["id, name ,score"]
    for i in range(count):
        if mixed and rng.random() < 0.05:
            lines.append(rng.choice(["", "  \t", "\u3000\u00a0"]))
        fields = [str(i)] + [" " * rng.randrange(3) + str(rng.randrange(1000)) for _ in range(rng.randrange(5) if mixed else 2)]
        lines.append(",".join(fields) + ("\r" if mixed and rng.random() < 0.3 else ""))
    return ("\n".join(lines) + "\n").encode()


def with_bad_byte(data, line):
    lines = data.split(b"\n")
    lines[line] += b"\xff"
    return b"\n".join(lines)


INPUTS = {
    "one row": b"a,b,c\n1,2,3\n",
    "header only": b"a,b\n",
    "single line feed": b"\n",
    "byte-order mark": b"\xef\xbb\xbfid,v\n1,2\n",
    "65,536 rows": rows(65536),
    "65,537 rows, ragged, blank lines, CRLF": rows(65537, mixed=True),
    "three chunks and some": rows(3 * 65536 + 11, seed=2, mixed=True),
    "random bytes": random.Random(3).randbytes(200_000),
    "invalid UTF-8 early": with_bad_byte(rows(100), 2),
    "invalid UTF-8 late": with_bad_byte(rows(2 * 65536 + 50), 2 * 65536 + 20),
}


def compress_quietly(csv_path, drux_path):
    """compress_csv in a child process, so its report on fd 2 stays out of the test output."""
    code = ("import sys, drux_fileformat\n"
            "try:\n"
            "    print(drux_fileformat.compress_csv(sys.argv[1], sys.argv[2]))\n"
            "except Exception as e:\n"
            "    print(type(e).__name__, e.args)\n")
    return subprocess.run([sys.executable, "-c", code, str(csv_path), str(drux_path)],
                          capture_output=True, text=True).stdout.strip()


@pytest.mark.parametrize("label", INPUTS)
def test_same_bytes_or_same_refusal_as_compress_csv(tmp_path, label):
    csv_path = tmp_path / "in.csv"
    csv_path.write_bytes(INPUTS[label])
    expected = compress_quietly(csv_path, tmp_path / "seq.drux")
    for jobs in (1, 2, 7):
        out = tmp_path / f"par{jobs}.drux"
        try:
            result = drux.convert_csv(csv_path, out, jobs=jobs)
        except (OSError, ValueError) as error:
            assert f"{type(error).__name__} {error.args}" == expected, f"jobs {jobs}"
            assert not out.exists()
            continue
        assert str((result.csv_size, result.drux_size, result.saved_percent)) == expected, f"jobs {jobs}"
        assert masked(out) == masked(tmp_path / "seq.drux"), f"jobs {jobs}: bytes differ"


def test_result_record_counts_rows_and_chunks(tmp_path):
    csv_path = tmp_path / "in.csv"
    csv_path.write_bytes(rows(65537))
    result = drux.convert_csv(csv_path, tmp_path / "out.drux", jobs=2)
    assert (result.rows, result.chunks, result.csv_size) == (65537, 2, csv_path.stat().st_size)
    assert result.drux_size == (tmp_path / "out.drux").stat().st_size
    assert 0 < result.saved_percent < 100 and result.seconds > 0
    with pytest.raises(AttributeError):
        result.rows = 1  # frozen
    assert drux.read_table(tmp_path / "out.drux").column("id")[-1] == "65536"


@pytest.mark.parametrize("jobs, kind, message", [
    (0, ValueError, "jobs must be at least 1, not 0"),
    (-3, ValueError, "jobs must be at least 1, not -3"),
    ("2", TypeError, "jobs must be an int or None, not str"),
    (True, TypeError, "jobs must be an int or None, not bool"),
])
def test_bad_jobs_are_refused(tmp_path, jobs, kind, message):
    (tmp_path / "in.csv").write_text("a\n1\n")
    with pytest.raises(kind, match=message):
        drux.convert_csv(tmp_path / "in.csv", tmp_path / "out.drux", jobs=jobs)


def test_errors_have_compress_csv_kinds_and_messages(tmp_path):
    good = tmp_path / "good.csv"
    good.write_text("a\n1\n")
    (tmp_path / "empty.csv").write_bytes(b"")
    cases = [
        (tmp_path / "missing.csv", tmp_path / "o.drux", OSError, f"CSV file does not exist: {tmp_path / 'missing.csv'}"),
        (tmp_path / "empty.csv", tmp_path / "o.drux", ValueError, "CSV file is empty"),
        (good, tmp_path / "no" / "o.drux", OSError,
         f"Cannot create {tmp_path / 'no' / 'o.drux'}: No such file or directory (os error 2)"),
        (good, good, OSError, f"Output file is the input CSV file: {good}"),
    ]
    for csv_path, out, kind, message in cases:
        for call in (drux_fileformat.compress_csv, lambda c, o: drux.convert_csv(c, o, jobs=3)):
            with pytest.raises(kind) as info:
                call(str(csv_path), str(out))
            assert type(info.value) is kind and info.value.args == (message,)
    assert good.read_text() == "a\n1\n"


def test_a_fifo_is_refused_instead_of_hanging(tmp_path):
    fifo = tmp_path / "in.csv"
    os.mkfifo(fifo)
    for call in (drux_fileformat.compress_csv, drux.convert_csv):
        with pytest.raises(OSError) as info:
            call(str(fifo), str(tmp_path / "out.drux"))
        assert info.value.args == (f"CSV file is not a regular file: {fifo}",)


def test_progress_is_called_on_the_calling_thread_and_its_exception_stops_the_conversion(tmp_path):
    csv_path = tmp_path / "in.csv"
    csv_path.write_bytes(rows(4 * 65536))
    size = csv_path.stat().st_size
    calls = []
    drux.convert_csv(csv_path, tmp_path / "out.drux", jobs=2,
                     progress=lambda done, total: calls.append((done, total, threading.get_ident())))
    assert calls and calls[-1][:2] == (size, size)
    assert {ident for _, _, ident in calls} == {threading.get_ident()}
    assert [done for done, _, _ in calls] == sorted(done for done, _, _ in calls)

    existing = tmp_path / "existing.drux"
    existing.write_bytes(b"keep me")

    def stop(done, total):
        raise KeyboardInterrupt("stop")

    with pytest.raises(KeyboardInterrupt, match="stop"):
        drux.convert_csv(csv_path, existing, jobs=2, progress=stop)
    assert existing.read_bytes() == b"keep me"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["existing.drux", "in.csv", "out.drux"]


def test_other_python_threads_run_during_a_conversion(tmp_path):
    """Between two progress calls the caller is inside the native conversion; another thread must tick meanwhile."""
    csv_path = tmp_path / "in.csv"
    csv_path.write_text("a,b,c\n" + "".join(f"{i},{i * 7 % 1000},x{i % 97}\n" for i in range(2_000_000)))
    ticks = 0
    running = True

    def count():
        nonlocal ticks
        while running:
            ticks += 1
            time.sleep(0)

    seen = []
    thread = threading.Thread(target=count)
    thread.start()
    try:
        drux.convert_csv(csv_path, tmp_path / "out.drux", jobs=1, progress=lambda done, total: seen.append(ticks))
    finally:
        running = False
        thread.join()
    assert len(seen) >= 2  # the first chunk written and the end, both inside the native call
    gaps = [later - earlier for earlier, later in zip(seen, seen[1:])]
    assert max(gaps) > 1000, f"ticks between progress calls: {gaps}"


def test_an_existing_file_survives_a_failed_conversion(tmp_path):
    existing = tmp_path / "out.drux"
    (tmp_path / "good.csv").write_text("a,b\n1,2\n")
    drux.convert_csv(tmp_path / "good.csv", existing, jobs=2)
    before = existing.read_bytes()
    bad = tmp_path / "bad.csv"
    bad.write_bytes(with_bad_byte(rows(3 * 65536), 2 * 65536 + 1))
    with pytest.raises(OSError, match="stream did not contain valid UTF-8"):
        drux.convert_csv(bad, existing, jobs=2)
    assert existing.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.csv", "good.csv", "out.drux"]


@pytest.fixture
def tiny_disk(tmp_path):
    """A 1 MiB file system, so a conversion runs out of space part way."""
    mount = tmp_path / "disk"
    mount.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)], capture_output=True).returncode:
        pytest.skip("cannot mount a small file system here (needs root)")
    yield mount
    subprocess.run(["umount", str(mount)], check=True)


def test_on_a_full_disk_the_target_is_untouched_and_no_partial_file_stays(tmp_path, tiny_disk):
    target = tiny_disk / "out.drux"
    target.write_bytes(b"old contents")
    csv_path = tmp_path / "random.csv"
    csv_path.write_bytes(b"a,b\n" + bytes(random.Random(4).choices(b"0123456789abcdef,\n", k=3_000_000)))
    with pytest.raises(OSError, match=r"No space left on device \(os error 28\)"):
        drux.convert_csv(csv_path, target, jobs=2)
    assert target.read_bytes() == b"old contents"
    assert [p.name for p in tiny_disk.iterdir()] == ["out.drux"]


@pytest.mark.parametrize("level", ["fast", "max"])
def test_every_level_reads_back_the_same_table(tmp_path, level):
    csv_path = tmp_path / "in.csv"
    csv_path.write_bytes(rows(65536 + 500, seed=9, mixed=True))
    drux.convert_csv(csv_path, tmp_path / "exact.drux", jobs=2)
    result = drux.convert_csv(csv_path, tmp_path / f"{level}.drux", jobs=2, level=level, types="infer")
    exact = drux.read_table(tmp_path / "exact.drux")
    other = drux.read_table(tmp_path / f"{level}.drux")
    assert [[drux.render_cell(v) for v in column] for column in other.columns] == exact.columns
    assert result.rows == 65536 + 500
    verified = subprocess.run([sys.executable, "-m", "drux", "verify", str(tmp_path / f"{level}.drux"),
                               "--csv", str(csv_path)], capture_output=True, text=True)
    assert verified.returncode == 0, verified.stderr


def test_an_unknown_level_is_refused_before_any_work(tmp_path):
    (tmp_path / "in.csv").write_text("a\n1\n")
    with pytest.raises(ValueError, match="unknown compression level 'best'"):
        drux.convert_csv(tmp_path / "in.csv", tmp_path / "out.drux", level="best")
    assert not (tmp_path / "out.drux").exists()
