"""The one reader: a table, or a field's three tables, from a local path or an fsspec URL.

By suffix: ``.npy`` an ndarray, ``.csv`` and ``.parquet`` (or a folder of Parquet files)
a pandas DataFrame, and a field is an ``.npz`` archive of the three arrays or a folder
holding one table file per table, named after the table. NumPy files never load Python
objects. Every failure is a one-line ``TableFileError`` naming the location as given.
"""

from __future__ import annotations

import contextlib
import os
import zipfile
from collections.abc import Iterator, Mapping, Sequence
from typing import IO, Any

from quillmoor.tables.decoding import decode_csv, decode_npy, decode_npz, decode_parquet
from quillmoor.tables.file_errors import TableFileError, os_reason, suffix_of
from quillmoor.tables.npy_stream import NpyFormatError, read_header
from quillmoor.tables.places import Place, place_of
from quillmoor.tables.transfer_progress import CountingReader, TransferProgress

TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
TABLE_SUFFIXES = (".npy", ".csv", ".parquet")

Location = str | os.PathLike[str] | Place


class FieldTables(dict[str, Any]):
    """A field's tables by name, with where each was read from (``sources``: the
    location as shown, for messages) and the names the source gave the points' columns
    (``point_columns``, or ``None``)."""

    def __init__(
        self,
        tables: Mapping[str, Any],
        sources: Mapping[str, str] | None = None,
        point_columns: Sequence[str] | None = None,
    ) -> None:
        super().__init__(tables)
        self.sources = dict(sources or {})
        self.point_columns = None if point_columns is None else tuple(point_columns)


def read_table(location: Location, storage_options: Mapping[str, Any] | None = None) -> Any:
    """One table: a ``.npy`` file as an ndarray; a ``.csv`` or ``.parquet`` file, or a
    folder of Parquet files, as a pandas DataFrame."""
    place = place_of(location, storage_options)
    _require(place)
    if place.isdir():
        # A folder of Parquet files, such as one partition of a partitioned dataset.
        return decode_parquet(place.path, place.shown, filesystem=place.fs)
    suffix = suffix_of(place.path)
    if suffix == ".npz":
        raise TableFileError(
            f"{place.shown}: is an .npz archive of a field's tables, not one table"
        )
    if suffix not in TABLE_SUFFIXES:
        raise TableFileError(
            f"{place.shown}: unknown kind of table file; use .npy, .npz, .csv or .parquet"
        )
    with opened(place) as stream:
        if suffix == ".npy":
            return decode_npy(stream, place.shown)
        if suffix == ".csv":
            return decode_csv(stream, place.shown)
        return decode_parquet(stream, place.shown)


def read_field(
    location: Location, storage_options: Mapping[str, Any] | None = None
) -> FieldTables:
    """A field's three tables: from an ``.npz`` archive, or a folder of table files."""
    place = place_of(location, storage_options)
    if suffix_of(place.path) == ".npz" and not place.isdir():
        _require(place)
        with opened(place) as stream:
            arrays, columns = decode_npz(stream, place.shown, TABLE_NAMES)
        return FieldTables(arrays, {name: place.shown for name in TABLE_NAMES}, columns)
    _require(place)
    if not place.isdir():
        raise TableFileError(
            f"{place.shown}: a field is an .npz file or a folder of table files"
        )
    files = {name: named_table(place, name) for name in TABLE_NAMES}
    return FieldTables({name: read_table(file) for name, file in files.items()},
                       {name: file.shown for name, file in files.items()})


def named_table(folder: Place, name: str) -> Place:
    """The one table file named after ``name`` in ``folder`` (.npy, .csv or .parquet)."""
    found = [folder.child(name + suffix) for suffix in TABLE_SUFFIXES
             if folder.child(name + suffix).exists()]
    if not found:
        raise TableFileError(
            f"{folder.shown}: no {name} table (looked for {name}.npy, .csv and .parquet)"
        )
    if len(found) > 1:
        raise TableFileError(
            f"{folder.shown}: more than one {name} table: "
            f"{', '.join(file.name for file in found)}"
        )
    return found[0]


def _require(place: Place) -> None:
    try:
        exists = place.exists()
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot read it: {os_reason(error)}") from None
    if not exists:
        raise TableFileError(f"{place.shown}: no such file")


@contextlib.contextmanager
def opened(place: Place) -> Iterator[IO[bytes]]:
    """The file open for reading, counting its bytes for the progress line."""
    try:
        raw = place.open_read()
    except IsADirectoryError:
        raise TableFileError(f"{place.shown}: is a folder, not a table file") from None
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot read it: {os_reason(error)}") from None
    with raw, TransferProgress("reading", place.name, place.size()) as progress:
        yield CountingReader(raw, progress)  # type: ignore[misc]


def npz_point_count(location: Location) -> int | None:
    """How many points a local ``.npz`` field holds, from its header alone; ``None``
    where that cannot be told cheaply."""
    path = os.fspath(location.path if isinstance(location, Place) else location)
    try:
        with zipfile.ZipFile(path) as archive, archive.open("points_in_rows.npy") as member:
            shape = read_header(member)[0]
    except (OSError, KeyError, ValueError, NpyFormatError, zipfile.BadZipFile):
        return None
    return int(shape[0]) if shape else None
