#!/usr/bin/env python3
"""CSV to a compact columnar file: DRUX beside the tools people use instead.

Generates (once, then reuses) a realistic CSV of the given size with
bench/make_csv.py's records profile -- 19 columns of integers and floats
with NA cells, short repeated codes, identifiers, ISO timestamps and free
text -- and converts it with each tool in a child process of its own, at
one thread and at every core, side by side in one run:

  compress_csv            drux_fileformat.compress_csv (always one thread)
  drux compress --jobs N  the threaded conversion (drux.convert_csv): every column
                          as text at --level exact, fast and max, and --types infer
  pyarrow                 streaming CSV reader into a Parquet writer (zstd)
  polars                  scan_csv(...).sink_parquet (zstd)
  duckdb                  COPY (read_csv) TO parquet (zstd)
  zstd -3 -T N            the bytes alone, no columns

A peer that is not installed is left out. For each run it prints MB/s of
CSV (wall clock), output size / CSV size and the child's peak resident
memory (os.wait4), then writes the table as Markdown and, with matplotlib,
as a bar chart. The peers are benchmark tools only; nothing in the package
or its tests needs them.

    python3 bench/compare_peers.py [SIZE] [--scratch DIR] [--out DIR] [--jobs 1,16] [--repeat 1]
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import make_csv  # noqa: E402


@dataclass
class Run:
    tool: str
    threads: int
    seconds: float
    output_bytes: int
    peak_rss_mib: float


# Each child gets: CSV path, output path, thread count.
CHILDREN = {
    "compress_csv": ("drux_fileformat", """
import sys, drux_fileformat
drux_fileformat.compress_csv(sys.argv[1], sys.argv[2])
"""),
    "drux compress": ("drux", """
import sys
from drux.cli import main
sys.exit(main(["compress", sys.argv[1], sys.argv[2], "--jobs", sys.argv[3]]))
"""),
    "drux compress --level fast": ("drux", """
import sys
from drux.cli import main
sys.exit(main(["compress", sys.argv[1], sys.argv[2], "--jobs", sys.argv[3], "--level", "fast"]))
"""),
    "drux compress --level max": ("drux", """
import sys
from drux.cli import main
sys.exit(main(["compress", sys.argv[1], sys.argv[2], "--jobs", sys.argv[3], "--level", "max"]))
"""),
    "drux compress --types infer": ("drux", """
import sys
from drux.cli import main
sys.exit(main(["compress", sys.argv[1], sys.argv[2], "--jobs", sys.argv[3], "--types", "infer"]))
"""),
    "pyarrow (parquet, zstd)": ("pyarrow", """
import sys
import pyarrow as pa, pyarrow.csv as pc, pyarrow.parquet as pq
threads = int(sys.argv[3])
pa.set_cpu_count(threads); pa.set_io_thread_count(threads)
reader = pc.open_csv(sys.argv[1], read_options=pc.ReadOptions(use_threads=threads > 1, block_size=16 << 20))
with pq.ParquetWriter(sys.argv[2], reader.schema, compression="zstd") as writer:
    for batch in reader:
        writer.write_batch(batch)
"""),
    "polars (parquet, zstd)": ("polars", """
import os, sys
os.environ["POLARS_MAX_THREADS"] = sys.argv[3]
import polars as pl
pl.scan_csv(sys.argv[1], infer_schema_length=10000).sink_parquet(sys.argv[2], compression="zstd")
"""),
    "duckdb (parquet, zstd)": ("duckdb", """
import sys, duckdb
con = duckdb.connect()
con.execute(f"SET threads = {int(sys.argv[3])}")
con.execute("COPY (SELECT * FROM read_csv(?)) TO '" + sys.argv[2].replace("'", "''") +
            "' (FORMAT parquet, COMPRESSION zstd)", [sys.argv[1]])
"""),
}

ONE_THREAD_ONLY = {"compress_csv"}
# Too slow to be worth a single-threaded run at the sizes this is meant for.
ALL_THREADS_ONLY = {"drux compress --level max"}


def run_child(command: list[str], log: Path) -> tuple[float, float, int]:
    """(wall seconds, peak RSS in MiB, exit status) of one child process.

    posix_spawn starts the child without copying this process's memory, so
    the child's peak RSS is its own, not this script's.
    """
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, str(log), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)]
    start = time.perf_counter()
    pid = os.posix_spawnp(command[0], command, os.environ, file_actions=actions)
    _, status, usage = os.wait4(pid, 0)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        print(f"  failed ({code}): {' '.join(command[:3])}...\n{log.read_text(errors='replace')[-2000:]}",
              file=sys.stderr)
    return seconds, usage.ru_maxrss / 1024.0, code


def available(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


def measure(csv_path: Path, scratch: Path, thread_counts: list[int], repeat: int) -> list[Run]:
    runs = []
    tools: list[tuple[str, int, list[str], Path]] = []
    for threads in thread_counts:
        for tool, (module, code) in CHILDREN.items():
            if tool in ONE_THREAD_ONLY and threads != thread_counts[0]:
                continue
            if tool in ALL_THREADS_ONLY and threads != thread_counts[-1]:
                continue
            if not available(module):
                print(f"  {tool}: {module} not installed, left out", file=sys.stderr)
                continue
            out = scratch / f"out_{len(tools)}"
            tools.append((tool, 1 if tool in ONE_THREAD_ONLY else threads,
                          [sys.executable, "-c", code, str(csv_path), str(out), str(threads)], out))
        if shutil.which("zstd"):
            out = scratch / f"out_{len(tools)}.zst"
            tools.append(("zstd -3", threads,
                          ["zstd", "-q", "-f", "-3", f"-T{threads}", str(csv_path), "-o", str(out)], out))
    for tool, threads, command, out in tools:
        best = None
        for _ in range(repeat):
            seconds, rss, code = run_child(command, scratch / "child.log")
            if code != 0:
                break
            size = out.stat().st_size
            out.unlink()
            if best is None or seconds < best.seconds:
                best = Run(tool, threads, seconds, size, rss)
        if best is not None:
            runs.append(best)
            print(f"  {tool:<26} {threads:>3} threads  {fmt_row(best, csv_path.stat().st_size)}", file=sys.stderr)
    return runs


def fmt_row(run: Run, csv_size: int) -> str:
    return f"{csv_size / run.seconds / 1e6:8.1f} MB/s  {run.output_bytes / csv_size:6.3f}  {run.peak_rss_mib:8.1f} MiB"


def markdown(runs: list[Run], csv_size: int, description: str) -> str:
    lines = [description, "", "| tool | threads | MB/s of CSV | output / input | peak RSS (MiB) |",
             "|---|---:|---:|---:|---:|"]
    for run in runs:
        lines.append(f"| {run.tool} | {run.threads} | {csv_size / run.seconds / 1e6:.1f} | "
                     f"{run.output_bytes / csv_size:.3f} | {run.peak_rss_mib:.1f} |")
    return "\n".join(lines) + "\n"


def chart(runs: list[Run], csv_size: int, path: Path, title: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    labels = [f"{run.tool}\n{run.threads} thr" for run in runs]
    fig, axes = plt.subplots(1, 3, figsize=(15, 0.45 * len(runs) + 1.6), sharey=True)
    values = [
        ("MB/s of CSV (more is better)", [csv_size / run.seconds / 1e6 for run in runs]),
        ("output / input (less is better)", [run.output_bytes / csv_size for run in runs]),
        ("peak RSS, MiB (less is better)", [run.peak_rss_mib for run in runs]),
    ]
    colours = ["#2b6cb0" if run.tool.startswith(("drux", "compress_csv")) else "#a0aec0" for run in runs]
    for axis, (name, data) in zip(axes, values):
        axis.barh(range(len(runs)), data, color=colours)
        axis.set_title(name, fontsize=10)
        for i, value in enumerate(data):
            axis.text(value, i, f" {value:.3g}", va="center", fontsize=8)
        axis.margins(x=0.25)
    axes[0].set_yticks(range(len(runs)), labels, fontsize=8)
    axes[0].invert_yaxis()
    fig.suptitle(title, fontsize=11)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("size", nargs="?", default="1G", help="CSV size, binary units (default 1G)")
    parser.add_argument("--scratch", type=Path, default=HERE / "out", help="where the CSV and outputs go")
    parser.add_argument("--out", type=Path, default=HERE / "results", help="where the table and chart go")
    parser.add_argument("--jobs", default=None, help="thread counts, e.g. 1,16 (default: 1 and every core)")
    parser.add_argument("--repeat", type=int, default=1, help="runs per tool; the fastest is kept")
    parser.add_argument("--seed", type=int, default=42)
    args = parser.parse_args(argv)

    cores = len(os.sched_getaffinity(0))
    thread_counts = [int(n) for n in args.jobs.split(",")] if args.jobs else sorted({1, cores})
    args.scratch.mkdir(parents=True, exist_ok=True)
    args.out.mkdir(parents=True, exist_ok=True)
    csv_path = args.scratch / f"records_{args.size}_seed{args.seed}.csv"
    if not csv_path.exists():
        print(f"generating {csv_path}", file=sys.stderr)
        # In a child, so this process stays small.
        subprocess.run([sys.executable, str(HERE / "make_csv.py"), str(csv_path), args.size, "--seed", str(args.seed),
                        "--profile", "records"], check=True)
    csv_size = csv_path.stat().st_size

    runs = measure(csv_path, args.scratch, thread_counts, args.repeat)
    description = (f"{csv_size / 1e9:.2f} GB records CSV (19 columns), {cores} cores "
                   f"({os.uname().machine}), best of {args.repeat}, {time.strftime('%Y-%m-%d')}")
    table = markdown(runs, csv_size, description)
    print(table)
    (args.out / "compare_peers.md").write_text(table)
    if chart(runs, csv_size, args.out / "compare_peers.png", description):
        print(f"chart: {args.out / 'compare_peers.png'}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
