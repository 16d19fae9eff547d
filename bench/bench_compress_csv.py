#!/usr/bin/env python3
"""Benchmark whole CSV -> DRUX conversions at several input sizes.

For each size the script generates a mixed CSV (bench/make_csv.py; kept in
the scratch directory and reused when present), converts it in a child
process, and prints the CSV throughput, the output size, the share saved
and the child's peak resident memory. Each conversion runs in its own child
so the memory figure belongs to that conversion alone (os.wait4 gives the
child's own rusage).

The child imports drux_fileformat and calls compress_csv; with --driver it
runs the C++ driver binary (bench_csv_convert) instead, for trees where the
Python module is not built.

    python3 bench/bench_compress_csv.py 256M 1G 2G [--scratch DIR] [--driver PATH] [--delete]
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_csv  # noqa: E402

PYTHON_CHILD = "import sys, drux_fileformat; drux_fileformat.compress_csv(sys.argv[1], sys.argv[2])"


def child_command(args, csv_path, drux_path):
    if args.driver:
        return [args.driver, str(csv_path), str(drux_path)]
    return [sys.executable, "-c", PYTHON_CHILD, str(csv_path), str(drux_path)]


def run_child(command, quiet):
    """Runs one conversion; returns (wall seconds, CPU seconds, peak RSS in MiB, exit status)."""
    stderr = subprocess.DEVNULL if quiet else None
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=stderr)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    return seconds, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, child.returncode


def ensure_csv(scratch, size_text, columns, seed):
    size = make_csv.parse_size(size_text)
    path = scratch / f"mixed_{size_text}_{columns}c_seed{seed}.csv"
    if not path.exists():
        started = time.perf_counter()
        tmp = path.with_suffix(".partial")
        make_csv.make_csv(str(tmp), size, columns, seed)
        tmp.rename(path)
        print(f"generated {path} in {time.perf_counter() - started:.1f}s", file=sys.stderr)
    return path


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("sizes", nargs="+", help="CSV sizes such as 256M 1G 2G (binary units)")
    parser.add_argument("--scratch", default="/tmp/drux_bench", help="where CSV and DRUX files are kept")
    parser.add_argument("--columns", type=int, default=8)
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--driver", help="path of the bench_csv_convert binary to run instead of Python")
    parser.add_argument("--delete", action="store_true", help="remove the generated files afterwards")
    parser.add_argument("--quiet", action="store_true", help="hide the conversion's own report lines")
    args = parser.parse_args(argv)

    scratch = Path(args.scratch)
    scratch.mkdir(parents=True, exist_ok=True)
    # Wall-clock MB/s depends on what else runs; CPU MB/s is the conversion's own speed on one core.
    print(f"{'csv':>8} {'csv bytes':>14} {'wall s':>8} {'MB/s':>7} {'cpu s':>8} {'cpu MB/s':>9} "
          f"{'drux bytes':>14} {'saved':>7} {'peak RSS':>10}", flush=True)
    failed = False
    for size_text in args.sizes:
        csv_path = ensure_csv(scratch, size_text, args.columns, args.seed)
        drux_path = csv_path.with_suffix(".drux")
        seconds, cpu_seconds, rss_mib, code = run_child(child_command(args, csv_path, drux_path), args.quiet)
        if code != 0:
            print(f"{size_text:>8} conversion failed with exit status {code}")
            failed = True
            continue
        csv_bytes = csv_path.stat().st_size
        drux_bytes = drux_path.stat().st_size
        saved = 100.0 * (csv_bytes - drux_bytes) / csv_bytes if csv_bytes > drux_bytes else 0.0
        mb = csv_bytes / 1e6
        print(f"{size_text:>8} {csv_bytes:>14} {seconds:>8.2f} {mb / seconds:>7.1f} {cpu_seconds:>8.2f} "
              f"{mb / cpu_seconds:>9.1f} {drux_bytes:>14} {saved:>6.1f}% {rss_mib:>7.1f} MiB", flush=True)
        if args.delete:
            drux_path.unlink()
            csv_path.unlink()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
