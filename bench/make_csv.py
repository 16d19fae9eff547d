#!/usr/bin/env python3
"""Generate a deterministic CSV file of a given size for conversion benchmarks.

The columns mix the kinds of text a real export holds: increasing ids,
timestamps, categories from a small vocabulary, prices and quantities that
look numeric, names, flags and free text of varying length. The same seed,
size and column count always give the same bytes.

--profile records gives a 19-column table shaped like a public-records
export instead: integers and floats with NA cells, short repeated codes,
hex identifiers, two ISO timestamps, years, zip codes and free text.

Speed comes from building each column of a batch of rows with
random.choices over pre-built pools (C speed) and writing whole batches;
a gigabyte takes well under a minute.

    python3 bench/make_csv.py OUT.csv 1G [--columns 8] [--seed 42] [--profile mixed|records]

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

# The records profile: (column name, kind) in file order.
RECORD_COLUMNS = [
    ("record_id", "id"), ("created_at", "timestamp"), ("updated_at", "timestamp"), ("agency", "code"),
    ("district", "district"), ("status", "status"), ("category", "category"), ("case_count", "count_na"),
    ("amount", "price"), ("rate", "rate_na"), ("quantity", "quantity"), ("year", "year"), ("zip", "zip"),
    ("ref", "hex_id"), ("contact", "name"), ("flagged", "flag"), ("description", "text"),
    ("borough", "category"), ("score", "score_na"),
]


def build_record_pools(rng):
    """The pools of the records profile's own kinds; they draw from a generator of their own."""
    def with_na(values, share):
        return values + ["NA"] * int(len(values) * share / (1 - share))

    return {
        "code": [f"{rng.choice('ABCDEFGHJK')}{rng.randint(1, 99)}" for _ in range(40)],
        "district": [f"D{n:02d}" for n in range(1, 60)],
        "status": ["open", "closed", "pending", "assigned", "in progress", "NA"],
        "count_na": with_na([str(rng.randint(0, 5000)) for _ in range(5000)], 0.08),
        "rate_na": with_na([f"{rng.random():.4f}".rstrip("0").rstrip(".") for _ in range(20_000)], 0.15),
        "year": [str(y) for y in range(1990, 2025)],
        "zip": [f"{rng.randint(10001, 11697)}" for _ in range(300)],
        "hex_id": [f"{rng.getrandbits(48):012x}" for _ in range(200_000)],
        "score_na": with_na([str(rng.randint(-50, 100)) for _ in range(151)], 0.3),
    }


def mixed_columns(columns):
    return [(f"{KINDS[i % len(KINDS)]}_{i}", KINDS[i % len(KINDS)]) for i in range(columns)]


def batch_text(rng, pools, kinds, first_id, rows):
    cols = []
    for kind in kinds:
        if kind == "id":
            cols.append(map(str, range(first_id, first_id + rows)))
        else:
            cols.append(rng.choices(pools[kind], k=rows))
    return "\n".join(map(",".join, zip(*cols))) + "\n"


def make_csv(path, size, columns=8, seed=42, profile="mixed"):
    rng = random.Random(seed)
    pools = build_pools(rng)
    if profile == "records":
        pools.update(build_record_pools(random.Random(seed + 1)))
        named = RECORD_COLUMNS
    else:
        named = mixed_columns(columns)
    kinds = [kind for _, kind in named]
    written = 0
    next_id = 0
    with open(path, "w", encoding="utf-8", newline="") as out:
        head = ",".join(name for name, _ in named) + "\n"
        out.write(head)
        written += len(head)
        while written < size:
            text = batch_text(rng, pools, kinds, next_id, BATCH_ROWS)
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
    parser.add_argument("--profile", choices=["mixed", "records"], default="mixed")
    args = parser.parse_args(argv)
    written = make_csv(args.out, parse_size(args.size), args.columns, args.seed, args.profile)
    print(f"{args.out}: {written} bytes", file=sys.stderr)


if __name__ == "__main__":
    main()
