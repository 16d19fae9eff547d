#!/usr/bin/env python3
"""Generate a deterministic CSV file of a given size for conversion benchmarks.

The columns mix the kinds of text a real export holds: increasing ids,
timestamps, categories from a small vocabulary, prices and quantities that
look numeric, names, flags and free text of varying length. The same seed,
size and column count always give the same bytes.

Speed comes from building each column of a batch of rows with
random.choices over pre-built pools (C speed) and writing whole batches;
a gigabyte takes well under a minute.

    python3 bench/make_csv.py OUT.csv 1G [--columns 8] [--seed 42]

Deliberately not here: quoting, empty files and invalid UTF-8; the tests build
those.
"""

import argparse
import random
import sys

BATCH_ROWS = 100_000
UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}

WORDS = (
    "alpha bravo cedar delta ember falcon garnet harbor indigo juniper kestrel lumen "
    "meadow nectar onyx pepper quartz raven sierra tundra umber velvet willow xenon "
    "yarrow zephyr amber basalt cobalt dune"
).split()
CATEGORIES = ["books", "garden", "toys", "music", "tools", "food", "sports", "health", "office", "travel"]


def parse_size(text):
    """'256M' -> 268435456; units are binary."""
    text = text.strip().upper().removesuffix("B").removesuffix("I")
    unit = text[-1] if text and text[-1] in UNITS else ""
    number = text[: len(text) - len(unit)]
    return int(float(number) * UNITS[unit])


def build_pools(rng):
    """Value pools per column kind; rows draw from them."""
    pools = {
        "timestamp": [
            f"2024-{m:02d}-{d:02d}T{h:02d}:{mi:02d}:{s:02d}Z"
            for m, d, h, mi, s in (
                (rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59))
                for _ in range(50_000)
            )
        ],
        "category": CATEGORIES,
        "price": [f"{rng.uniform(0.5, 2000):.2f}" for _ in range(50_000)],
        "quantity": [str(rng.randint(0, 500)) for _ in range(501)],
        "name": [f"{a.title()} {b.title()}" for a in WORDS for b in WORDS],
        "flag": ["true", "false"],
        "text": [" ".join(rng.choices(WORDS, k=rng.randint(2, 8))) for _ in range(50_000)],
    }
    return pools


KINDS = ["id", "timestamp", "category", "price", "quantity", "name", "flag", "text"]


def header(columns):
    return ",".join(f"{KINDS[i % len(KINDS)]}_{i}" for i in range(columns)) + "\n"


def batch_text(rng, pools, columns, first_id, rows):
    cols = []
    for i in range(columns):
        kind = KINDS[i % len(KINDS)]
        if kind == "id":
            cols.append(map(str, range(first_id, first_id + rows)))
        else:
            cols.append(rng.choices(pools[kind], k=rows))
    return "\n".join(map(",".join, zip(*cols))) + "\n"


def make_csv(path, size, columns=8, seed=42):
    rng = random.Random(seed)
    pools = build_pools(rng)
    written = 0
    next_id = 0
    with open(path, "w", encoding="utf-8", newline="") as out:
        head = header(columns)
        out.write(head)
        written += len(head)
        while written < size:
            text = batch_text(rng, pools, columns, next_id, BATCH_ROWS)
            next_id += BATCH_ROWS
            left = size - written
            if len(text) > left:
                cut = text.rfind("\n", 0, left)
                text = text[: cut + 1] if cut >= 0 else ""
                if not text:
                    break
            out.write(text)  # all ASCII: characters are bytes
            written += len(text)
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out")
    parser.add_argument("size", help="target size, e.g. 256M, 1G (binary units); the file stops at a line end")
    parser.add_argument("--columns", type=int, default=8)
    parser.add_argument("--seed", type=int, default=42)
    args = parser.parse_args(argv)
    written = make_csv(args.out, parse_size(args.size), args.columns, args.seed)
    print(f"{args.out}: {written} bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
