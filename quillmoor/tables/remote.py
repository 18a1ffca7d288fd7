"""Reading a field's tables from an fsspec URL, as ``field_sources`` reads local ones.

The same kinds of source as on disk: an ``.npz`` file, a folder of table files named
after the tables (``.npy``, ``.csv``, ``.parquet`` files, or a folder of Parquet files),
and single table files. NumPy files are loaded with ``allow_pickle=False``.
"""

from __future__ import annotations

import io
from collections.abc import Mapping
from typing import Any

import numpy as np

from quillmoor.tables.locations import open_location
from quillmoor.tables.files import FRAME_SUFFIXES, TableFileError, suffix_of

TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
SUFFIXES = (".npy", *FRAME_SUFFIXES)


def read_remote_field(url: str, storage_options: Mapping[str, Any] | None) -> dict[str, Any]:
    """The three tables of the field at ``url``: an ``.npz`` file or a folder of tables."""
    fs, path = open_location(url, storage_options)
    if path.lower().endswith(".npz"):
        if not fs.exists(path):
            raise FileNotFoundError(f"{url}: no such file")
        with np.load(io.BytesIO(fs.cat_file(path)), allow_pickle=False) as archive:
            missing = [name for name in TABLE_NAMES if name not in archive.files]
            if missing:
                raise KeyError(f"{url}: no array named {', '.join(missing)}")
            return {name: archive[name] for name in TABLE_NAMES}
    if not fs.isdir(path):
        raise ValueError(f"{url}: a field is an .npz file or a folder of table files")
    tables = {}
    for name in TABLE_NAMES:
        found = [path.rstrip("/") + "/" + name + s for s in SUFFIXES
                 if fs.exists(path.rstrip("/") + "/" + name + s)]
        if not found:
            raise FileNotFoundError(
                f"{url}: no {name} table (looked for {name}.npy, .csv and .parquet)"
            )
        if len(found) > 1:
            raise ValueError(f"{url}: more than one {name} table")
        tables[name] = _read(fs, found[0], url)
    return tables


def read_remote_table(url: str, storage_options: Mapping[str, Any] | None) -> Any:
    """One table file (or a folder of Parquet files) at ``url``."""
    fs, path = open_location(url, storage_options)
    if not fs.exists(path):
        raise TableFileError(f"{url}: no such file")
    return _read(fs, path, url)


def _read(fs: Any, path: str, shown: str) -> Any:
    if fs.isdir(path):
        import pandas as pd

        return pd.read_parquet(path, filesystem=fs)
    suffix = suffix_of(path)
    data = fs.cat_file(path)
    try:
        if suffix == ".npy":
            return np.load(io.BytesIO(data), allow_pickle=False)
        import pandas as pd

        if suffix == ".csv":
            return pd.read_csv(io.BytesIO(data))
        if suffix == ".parquet":
            return pd.read_parquet(io.BytesIO(data))
    except (OSError, ValueError, EOFError) as error:
        raise TableFileError(f"{shown}: cannot read it: {error}") from None
    raise TableFileError(f"{shown}: unknown kind of table file; use .npy, .csv or .parquet")
