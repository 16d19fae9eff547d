"""Read DRUX v2 files back, write them from Python, and inspect them.

``drux_fileformat`` converts CSV files into DRUX v2 files; this package reads
those files (and any other DRUX v2 file) back into Python values, writes
typed tables, converts CSV files on every core (``convert_csv``), scans them
into Arrow consumers (``scan``), and backs the ``drux`` command.

The surface is small and typed; the format's codes come from the native module
as IntEnums. Deliberately not here: a second reader or writer in Python, or
optional libraries imported at module level.
"""

from __future__ import annotations

from ._arrow import write_arrow
from ._convert import ConvertResult, convert_csv
from ._format import ColumnType, Encoding
from ._limits import ReaderLimits
from ._native import DruxError
from ._render import render_cell
from ._scan import Scan, scan
from ._table import COLUMN_TYPES, Table, read_metadata, read_table, write_table

__all__ = ["COLUMN_TYPES", "ColumnType", "ConvertResult", "DruxError", "Encoding", "ReaderLimits", "Scan", "Table",
           "convert_csv", "read_metadata", "read_table", "render_cell", "scan", "write_arrow", "write_table"]
