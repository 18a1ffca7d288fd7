"""Reading the three input tables from .npy, .npz, .csv or .parquet files, with a message
per mistake."""

from __future__ import annotations

import os
import zipfile
from typing import Any

import numpy as np

from quillmoor.cli.command_error import CommandError
from quillmoor.tables.files import FRAME_SUFFIXES, TableFileError, read_table, suffix_of

TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")

# Booleans, integers and reals convert to float64 without losing meaning; strings,
# complex numbers, dates and Python objects do not.
_NUMERIC_KINDS = "biuf"


def load_inputs(paths: list[str]) -> tuple[Any, Any, Any]:
    """The three tables: 2-D float64 arrays from .npy/.npz files, DataFrames from CSV or
    Parquet files (named columns, read by ``merge_frame``)."""
    if len(paths) == 3 and any(suffix_of(path) in FRAME_SUFFIXES for path in paths):
        tables = []
        for path, name in zip(paths, TABLE_NAMES):
            if suffix_of(path) in FRAME_SUFFIXES:
                try:
                    tables.append(read_table(path))
                except TableFileError as error:
                    raise CommandError(str(error)) from None
            else:
                tables.append(_as_float_table(_load_npy(path), name, path))
        return tables[0], tables[1], tables[2]
    return load_tables(paths)


def load_tables(paths: list[str]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The three tables as 2-D float64 arrays, from one .npz file or three .npy files."""
    if len(paths) == 1:
        arrays = _load_npz(paths[0])
        sources = [f"{paths[0]}[{name}]" for name in TABLE_NAMES]
    elif len(paths) == 3:
        arrays = [_load_npy(path) for path in paths]
        sources = list(paths)
    else:
        raise CommandError(
            f"expected one .npz file or three .npy files (or .csv or .parquet tables), "
            f"got {len(paths)} paths"
        )
    connected_crop_rows, points_in_rows, row_information = (
        _as_float_table(array, name, source)
        for array, name, source in zip(arrays, TABLE_NAMES, sources)
    )
    return connected_crop_rows, points_in_rows, row_information


def _load_npz(path: str) -> list[np.ndarray]:
    _require_file(path)
    try:
        # allow_pickle=False: a data file must never run code when loaded.
        archive = np.load(path, allow_pickle=False)
        if not isinstance(archive, np.lib.npyio.NpzFile):
            raise CommandError(
                f"{path}: holds a single array; pass one .npz file with the three "
                "tables, or three .npy files"
            )
        with archive:
            missing = [name for name in TABLE_NAMES if name not in archive.files]
            if missing:
                raise CommandError(
                    f"{path}: no array named {', '.join(missing)} "
                    f"(the file holds: {', '.join(archive.files) or 'nothing'})"
                )
            return [archive[name] for name in TABLE_NAMES]
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
        raise CommandError(f"{path}: cannot read it as a NumPy file: {error}") from None


def _load_npy(path: str) -> np.ndarray:
    _require_file(path)
    try:
        loaded = np.load(path, allow_pickle=False)
    except (OSError, ValueError, EOFError) as error:
        raise CommandError(f"{path}: cannot read it as a NumPy file: {error}") from None
    if isinstance(loaded, np.lib.npyio.NpzFile):
        loaded.close()
        raise CommandError(f"{path}: is an .npz archive; pass it alone, not with other files")
    return loaded


def _require_file(path: str) -> None:
    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"{path}: is a directory, not a file")


def _as_float_table(array: np.ndarray, name: str, source: str) -> np.ndarray:
    if array.dtype.kind not in _NUMERIC_KINDS:
        raise CommandError(
            f"{source}: {name} must hold numbers convertible to float64, not {array.dtype}"
        )
    if array.ndim != 2:
        raise CommandError(
            f"{source}: {name} must be a 2-D table (records x columns), "
            f"got {array.ndim}-D with shape {array.shape}"
        )
    return array.astype(np.float64, copy=False)
