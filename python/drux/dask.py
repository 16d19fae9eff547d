"""Dask DataFrames over DRUX files: ``drux.dask.read_drux(paths_or_glob, columns=, filters=)``.

One partition per file, each read by ``drux.scan`` into pandas on whichever
worker runs it. The partition function takes ``columns``, so Dask's column
projection reaches the scan and only the blocks of the columns a computation
uses are read. Dask is optional: it is imported when ``read_drux`` is called.
Deliberately not here: splitting one file into several partitions, or
divisions (DRUX files keep no index).
"""

from __future__ import annotations

import glob
import os
from collections.abc import Sequence
from typing import Any

from ._scan import scan

PathLike = str | os.PathLike[str]


def read_partition(path: str, columns: Sequence[str] | None = None, filters: Sequence[Any] | None = None) -> Any:
    """One file's partition as pandas; Dask passes the projected ``columns``."""
    return scan(path, columns=columns, filters=filters, jobs=1).to_pandas()


def _expand(paths_or_glob: PathLike | Sequence[PathLike]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        text = os.fspath(paths_or_glob)
        paths = sorted(glob.glob(text)) if glob.has_magic(text) else [text]
    else:
        paths = [os.fspath(p) for p in paths_or_glob]
    if not paths:
        raise FileNotFoundError(f"no DRUX files match {paths_or_glob!r}")
    return paths


def read_drux(
    paths_or_glob: PathLike | Sequence[PathLike],
    columns: Sequence[str] | None = None,
    filters: Sequence[Any] | None = None,
) -> Any:
    """A Dask DataFrame of the files (a path, a glob pattern or a list of paths), one partition per file.

    ``columns`` and ``filters`` are those of ``drux.scan``; every file must have the selected columns.
    """
    import dask.dataframe
    import pyarrow  # type: ignore[import-untyped]

    paths = _expand(paths_or_glob)
    # The empty frame of the first file's schema tells Dask the columns and dtypes.
    meta = pyarrow.schema(scan(paths[0], columns=columns)).empty_table().to_pandas()
    from_map: Any = dask.dataframe.from_map  # untyped
    return from_map(read_partition, paths, meta=meta, label="read-drux", enforce_metadata=False,
                    columns=list(meta.columns) if columns is None else list(columns), filters=filters)
