#!/usr/bin/env python3
"""Reading a DRUX file into Arrow beside pyarrow reading the same data as Parquet.

Generates the records-profile CSV (bench/make_csv.py), converts it with
drux.convert_csv, and writes the very same table (read back through
drux.scan, one row group per DRUX chunk) as Parquet with zstd, so both files
hold equal columns of equal types. Then each case runs in a process of its
own, timed inside around the read alone, with the peak RSS of the whole
process from os.wait4:

  full scan to a pyarrow Table at one thread and at every core,
  a two-column projection, equality filters on the identifier columns
  `ref` (hex text) and `record_id`, and a RecordBatchReader loop over the
  whole file.

A baseline process that only imports the libraries gives the RSS floor.

    python3 bench/bench_read.py [SIZE] [--scratch DIR] [--jobs N] [--repeat K]

SIZE defaults to 2G (binary units). Deliberately not here: timed assertions;
the figures are printed for a reader to compare.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
PROJECTION = ["ref", "amount"]

# Each child gets: format, path, threads, and for the filter case the value.
# It prints the seconds of the read and one line of facts.
CHILD = r"""
import sys, time
fmt, path, threads, case, column, value = sys.argv[1], sys.argv[2], int(sys.argv[3]), *sys.argv[4:7]
import pyarrow as pa, pyarrow.parquet as pq, drux
pa.set_cpu_count(threads); pa.set_io_thread_count(threads)
start = time.perf_counter()
facts = ""
if case == "baseline":
    rows = 0
elif fmt == "drux":
    kwargs = {"jobs": threads}
    if case == "projection": kwargs["columns"] = ["ref", "amount"]
    if case == "filter": kwargs["filters"] = [(column, "==", value)]
    scan = drux.scan(path, **kwargs)
    if case == "reader":
        rows = sum(batch.num_rows for batch in pa.RecordBatchReader.from_stream(scan))
    else:
        rows = pa.table(scan).num_rows
    s = scan.stats
    facts = f"blocks read {s['blocks_read']}/{s['blocks_read'] + s['blocks_skipped']}"
else:
    use_threads = threads > 1
    if case == "reader":
        rows = sum(b.num_rows for b in pq.ParquetFile(path).iter_batches(use_threads=use_threads))
    else:
        kwargs = {"use_threads": use_threads}
        if case == "projection": kwargs["columns"] = ["ref", "amount"]
        if case == "filter": kwargs["filters"] = [(column, "==", value)]
        rows = pq.read_table(path, **kwargs).num_rows
print(time.perf_counter() - start, rows, facts)
"""

WRITE_PARQUET = r"""
import sys, pyarrow as pa, pyarrow.parquet as pq, drux
reader = pa.RecordBatchReader.from_stream(drux.scan(sys.argv[1]))
with pq.ParquetWriter(sys.argv[2], reader.schema, compression="zstd") as writer:
    for batch in reader:
        writer.write_batch(batch)
"""

# A value of `ref` and one of `record_id` from the middle row of the middle chunk.
PICK_VALUES = r"""
import sys, pyarrow as pa, drux
meta = drux.read_metadata(sys.argv[1])
middle = len(meta["chunks"]) // 2
reader = pa.RecordBatchReader.from_stream(drux.scan(sys.argv[1], columns=["ref", "record_id"]))
for index, batch in enumerate(reader):
    if index == middle:
        print(batch.column(0)[len(batch) // 2].as_py(), batch.column(1)[len(batch) // 2].as_py())
        break
"""


def run_child(args: list[str], out: Path) -> tuple[float, float, int, str]:
    """(seconds of the read, peak RSS MiB, rows, facts) of one child process; its stdout goes to `out`.

    posix_spawn starts the child without copying this process's memory, so
    its peak RSS is its own.
    """
    command = [sys.executable, "-c", CHILD, *args]
    pid = os.posix_spawn(command[0], command, os.environ,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, str(out), os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                                        0o644)])
    _, status, usage = os.wait4(pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"child failed: {args}")
    seconds, rows, *facts = out.read_text().split(maxsplit=2)
    return float(seconds), usage.ru_maxrss / 1024.0, int(rows), " ".join(facts).strip()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("size", nargs="?", default="2G")
    parser.add_argument("--scratch", type=Path, default=HERE / "out")
    parser.add_argument("--jobs", type=int, default=len(os.sched_getaffinity(0)), help="the 'all threads' count")
    parser.add_argument("--repeat", type=int, default=1, help="runs per case; the fastest is kept")
    args = parser.parse_args(argv)
    args.scratch.mkdir(parents=True, exist_ok=True)
    csv_path = args.scratch / f"records-{args.size}.csv"
    drux_path = csv_path.with_suffix(".drux")
    parquet_path = csv_path.with_suffix(".parquet")
    if not csv_path.exists():
        subprocess.run([sys.executable, str(HERE / "make_csv.py"), str(csv_path), args.size, "--profile", "records"],
                       check=True)
    if not drux_path.exists():
        import drux

        drux.convert_csv(csv_path, drux_path)
    if not parquet_path.exists():
        subprocess.run([sys.executable, "-c", WRITE_PARQUET, str(drux_path), str(parquet_path)], check=True)
    ref, record_id = subprocess.run([sys.executable, "-c", PICK_VALUES, str(drux_path)], check=True,
                                    capture_output=True, text=True).stdout.split()
    print(f"CSV {csv_path.stat().st_size / 2**20:.0f} MiB; DRUX {drux_path.stat().st_size / 2**20:.0f} MiB; "
          f"Parquet (zstd) {parquet_path.stat().st_size / 2**20:.0f} MiB; filters ref == {ref!r}, "
          f"record_id == {record_id!r}")
    # (label, case, threads, filter column, filter value)
    cases = [("baseline (imports only)", "baseline", 1, "", ""), ("full scan, 1 thread", "full", 1, "", ""),
             (f"full scan, {args.jobs} threads", "full", args.jobs, "", ""),
             (f"projection {'+'.join(PROJECTION)}, {args.jobs} threads", "projection", args.jobs, "", ""),
             (f"filter ref ==, {args.jobs} threads", "filter", args.jobs, "ref", ref),
             (f"filter record_id ==, {args.jobs} threads", "filter", args.jobs, "record_id", record_id),
             (f"RecordBatchReader loop, {args.jobs} threads", "reader", args.jobs, "", "")]
    print(f"{'case':<40} {'DRUX s':>8} {'MiB':>7} {'Parquet s':>10} {'MiB':>7}  rows / DRUX facts")
    for label, case, threads, column, value in cases:
        results = {}
        for fmt, path in (("drux", drux_path), ("parquet", parquet_path)):
            runs = [run_child([fmt, str(path), str(threads), case, column or "-", value or "-"],
                              args.scratch / "child.out")
                    for _ in range(args.repeat)]
            results[fmt] = min(runs)
        d, p = results["drux"], results["parquet"]
        print(f"{label:<40} {d[0]:8.3f} {d[1]:7.0f} {p[0]:10.3f} {p[1]:7.0f}  {d[2]} / {p[2]} {d[3]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
