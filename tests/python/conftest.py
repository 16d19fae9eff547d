"""Shared helpers for the drux_fileformat suite.

The suite runs against the installed module; nothing here builds or
locates it. Deliberately not here: fixtures that only one test file uses.
"""

import os
import struct
import subprocess
import sys
import textwrap

import pytest

# A DRUX v2 file starts with a 24-byte header and ends with a 16-byte trailer.
HEADER_ROWS = struct.Struct("<Q")  # total rows at offset 8
HEADER_CHUNKS = struct.Struct("<I")  # chunk count at offset 16
TRAILER = struct.Struct("<QQ")  # footer length, footer offset


def read_layout(path):
    """The header counts and trailer fields of a finished DRUX file."""
    data = open(path, "rb").read()
    footer_length, footer_offset = TRAILER.unpack_from(data, len(data) - TRAILER.size)
    return {
        "magic": data[:4],
        "rows": HEADER_ROWS.unpack_from(data, 8)[0],
        "chunks": HEADER_CHUNKS.unpack_from(data, 16)[0],
        "footer_length": footer_length,
        "footer_offset": footer_offset,
        "size": len(data),
    }


@pytest.fixture
def write_file(tmp_path):
    """Writes bytes (or UTF-8 text) to a file under tmp_path; returns its path."""

    def write(name, content):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write


def run_python(code, *args):
    """Runs code in a fresh interpreter; returns the CompletedProcess with
    stdout and stderr captured as bytes from file descriptors 1 and 2."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        timeout=120,
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},
    )
