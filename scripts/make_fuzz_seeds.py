"""Writes seed inputs for the fuzz targets: small DRUX files of every column
type at every compression level, and the compressed blocks inside them.

The seeds are real files of the writer, so the fuzzers start from valid input
and mutate outward. Deliberately not here: any malformed seed.
"""

import os
import sys
import tempfile

import drux
import drux_fileformat

SELECTOR_BY_METHOD = {0: 0, 1: 1, 3: 1, 4: 2, 5: 2}  # LZ, Huffman, range (entropy_decode's first byte)


def sample_files(directory):
    tables = {
        "ints": ({"a": list(range(50)), "b": [7] * 50, "c": [i * i for i in range(50)]}, None),
        "mixed": ({"f": [i / 3 for i in range(40)], "s": [f"name {i % 7}" for i in range(40)],
                   "y": [bytes([i]) * (i % 5) for i in range(40)], "t": [i % 3 == 0 for i in range(40)]}, None),
        "nested": ({"o": [{"k": i, "l": [i, None, "x"]} for i in range(20)]}, None),
        "secret": ({"s": ["alpha", "beta", "gamma"] * 10}, {"s": bytes(range(32))}),
    }
    for name, (columns, keys) in tables.items():
        # The faster and the thorough parse write token streams of their own.
        for level in ("exact", "fast", "max"):
            path = os.path.join(directory, f"{name}_{level}.drux")
            drux.write_table(path, columns, chunk_rows=16, keys=keys, level=level)
            yield path
    csv_path = os.path.join(directory, "text.csv")
    with open(csv_path, "w") as f:
        f.write("id,city,amount\n")
        for i in range(3000):
            f.write(f"{i},{['Paris', 'Lima', 'Oslo'][i % 3]},{i * 1.25}\n")
    path = os.path.join(directory, "text.drux")
    saved = os.dup(2)
    with open(os.devnull, "w") as null:
        os.dup2(null.fileno(), 2)  # the conversion reports on fd 2
        try:
            drux_fileformat.compress_csv(csv_path, path)
        finally:
            os.dup2(saved, 2)
            os.close(saved)
    yield path


def main(corpus):
    targets = {name: os.path.join(corpus, "fuzz_" + name) for name in ("reader_decode", "block_decode", "entropy_decode")}
    for directory in targets.values():
        os.makedirs(directory, exist_ok=True)
    with tempfile.TemporaryDirectory() as scratch:
        for index, path in enumerate(sample_files(scratch)):
            data = open(path, "rb").read()
            open(os.path.join(targets["reader_decode"], f"seed{index}"), "wb").write(data)
            for chunk in drux.read_metadata(path)["chunks"]:
                for block in chunk["columns"]:
                    body = data[block["offset"] + 12: block["offset"] + 12 + block["length"]]
                    name = f"seed{index}_{block['offset']}"
                    open(os.path.join(targets["block_decode"], name), "wb").write(body)
                    if body and body[0] in SELECTOR_BY_METHOD:
                        selector = bytes([SELECTOR_BY_METHOD[body[0]]])
                        open(os.path.join(targets["entropy_decode"], name), "wb").write(selector + body[1:])


if __name__ == "__main__":
    main(sys.argv[1])
