"""The format's codes as IntEnums: encoding tags and column types.

The members come from the native module's tables (``_native.ENCODINGS`` and
``_native.COLUMN_TYPES``, built from the C++ declarations), so a code or a
name is declared once, in C++. A member's name is the format's name in upper
case with ``-`` as ``_`` (``Encoding.RUN_LENGTH``); ``display_name`` gives the
format's own spelling back. Deliberately not here: any meaning of the codes
beyond their names.
"""

from __future__ import annotations

from enum import IntEnum
from typing import Any

from . import _native


def _members(pairs: tuple[tuple[str, int], ...]) -> list[tuple[str, int]]:
    return [(name.upper().replace("-", "_"), code) for name, code in pairs]


def display_name(member: IntEnum) -> str:
    """The format's name of a code: ``run-length`` for ``Encoding.RUN_LENGTH``."""
    return member.name.lower().replace("_", "-")


# Called through an untyped name: type checkers want literal members for the
# functional form, and these come from the native module at import time.
_make: Any = IntEnum
Encoding: type[IntEnum] = _make("Encoding", _members(_native.ENCODINGS))
ColumnType: type[IntEnum] = _make("ColumnType", _members(_native.COLUMN_TYPES))
