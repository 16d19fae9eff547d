#!/usr/bin/env python3
"""What feeding a performance monitor costs a conversion.

Converts one CSV with drux.convert_csv with and without a
drux_fileformat.PyPerformanceMonitor, alternating the two so drift on a
noisy machine falls on both, and prints the best and median seconds of each.
It prints figures and judges none.

    python3 bench/bench_monitor.py CSV [--jobs N] [--repeat 5]
"""

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

import drux
import drux_fileformat


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("csv")
    parser.add_argument("--jobs", type=int, default=None)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    times = {"without monitor": [], "with monitor": []}
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "out.drux"
        for _ in range(args.repeat):
            for label in times:
                monitor = drux_fileformat.PyPerformanceMonitor() if label == "with monitor" else None
                start = time.perf_counter()
                drux.convert_csv(args.csv, out, jobs=args.jobs, monitor=monitor)
                times[label].append(time.perf_counter() - start)
    size = Path(args.csv).stat().st_size
    for label, seconds in times.items():
        print(f"{label:>16}: best {min(seconds):.3f} s, median {statistics.median(seconds):.3f} s "
              f"({size / min(seconds) / 1e6:.1f} MB/s best)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
