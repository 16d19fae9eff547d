"""Cells as text: what ``drux cat`` prints and ``drux verify --csv`` compares.

The rendering is the inverse of the CSV typing rules of
``convert_csv(types="infer")``, so a typed file prints exactly the cells the
all-text file holds:

- integers in plain decimal ("-17");
- floats from their stored value (value x 10,000) with at most four
  decimals and no trailing zeros, no exponent ("39.02", "-0.5", "1012");
- booleans as "true" or "false";
- text as it is; bytes in hex; nested values as JSON; a null as "".

Deliberately not here: parsing text back into values (the CSV typing rules
live with the conversion, in C++).
"""

from __future__ import annotations

import json
from typing import Any

FLOAT_SCALE = 10_000


def float_text(value: float) -> str:
    """A float column's cell, rendered from the integer it is stored as."""
    scaled = round(value * FLOAT_SCALE)  # exact: the format stores this integer
    whole, fraction = divmod(abs(scaled), FLOAT_SCALE)
    text = f"-{whole}" if scaled < 0 else str(whole)
    return text + f".{fraction:04d}".rstrip("0") if fraction else text


def render_cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):  # before int: bool is an int
        return "true" if value else "false"
    if isinstance(value, float):
        return float_text(value)
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, (dict, list, tuple)):
        return json.dumps(value, default=lambda v: v.hex() if isinstance(v, bytes) else str(v), ensure_ascii=False)
    return str(value)
