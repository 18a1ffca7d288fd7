"""The one writer: a table reaches its path whole, or the path keeps what it held.

Locally a table is written beside its target under a temporary name (see
``temporaries``), flushed to disk and renamed over the target; on an object store it is
uploaded in one request (beyond 2 GB on S3 a multipart upload, equally invisible until
complete); on any other fsspec filesystem it is uploaded under a temporary name and then
moved. A write that fails or is interrupted removes its temporary and leaves the file
that was there as it was; temporaries of writes that were killed are removed by the
next write to that target.
"""

from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from typing import IO, Any

from quillmoor.tables.encoding import WRITTEN_SUFFIXES, encode_field, encode_table
from quillmoor.tables.file_errors import TableFileError, os_reason, suffix_of
from quillmoor.tables.places import Place, place_of
from quillmoor.tables.temporaries import create_locked, remove_temporaries_of, temporary_name
from quillmoor.tables.transfer_progress import CountingWriter, TransferProgress

#: On S3 a result below twice this size is sent in one PUT (S3's limit is 5 GB).
S3_PART_SIZE = 2**31

Location = str | os.PathLike[str] | Place


def write_table(
    target: Location,
    table: Any,
    storage_options: Mapping[str, Any] | None = None,
    *,
    point_columns: Sequence[str] | None = None,
) -> str:
    """Write ``table`` to ``target`` as its suffix says (.npy, .csv, .parquet); the
    location as shown to the user.

    An array written as CSV or Parquet is a points table: see ``point_column_names``
    (``point_columns`` are the names its source gave its columns).
    """
    place = place_of(target, storage_options)
    refuse_folder(place)
    suffix = suffix_of(place.path)
    if suffix not in WRITTEN_SUFFIXES:
        raise TableFileError(f"{place.shown}: unknown suffix; use .npy, .csv or .parquet")
    total = int(getattr(table, "nbytes", 0)) or None if suffix == ".npy" else None
    _write(place, total, lambda out: encode_table(table, suffix, out, place.shown,
                                                  point_columns=point_columns))
    return place.shown


def write_field(
    target: Location,
    tables: Mapping[str, Any],
    storage_options: Mapping[str, Any] | None = None,
    *,
    point_columns: Sequence[str] | None = None,
) -> str:
    """Write named arrays as one ``.npz`` archive (with the points' column names, if
    given, which the reader gives back); the location as shown to the user."""
    place = place_of(target, storage_options)
    total = sum(int(getattr(table, "nbytes", 0)) for table in tables.values()) or None
    _write(place, total, lambda out: encode_field(tables, out, place.shown,
                                                  point_columns=point_columns))
    return place.shown


def _write(place: Place, total: int | None, encode: Any) -> None:
    try:
        with committed_file(place) as out, \
                TransferProgress("writing", place.name, total) as progress:
            encode(CountingWriter(out, progress))
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot write it: {os_reason(error)}") from None


@contextlib.contextmanager
def committed_file(
    target: Location, storage_options: Mapping[str, Any] | None = None
) -> Iterator[IO[bytes]]:
    """A binary file to write ``target``'s new content into; it becomes ``target`` when
    the block ends without an exception, and is discarded otherwise."""
    # Closed before the commit, which syncs it to disk and renames it.
    with committed_path(target, storage_options) as path, open(path, "wb") as out:
        yield out


@contextlib.contextmanager
def committed_path(
    target: Location, storage_options: Mapping[str, Any] | None = None, *, suffix: str = ""
) -> Iterator[str]:
    """A local path to write ``target``'s new content to, with any writer (a GIS layer's,
    say); it becomes ``target`` when the block ends without an exception, and is removed
    otherwise. ``suffix`` ends the temporary's name, for writers that choose their format
    by it (``".gpkg"``). The writer must write one file at that path, not a folder."""
    place = place_of(target, storage_options)
    refuse_folder(place)
    if place.is_local:
        with _local_commit(place, suffix) as path:
            yield path
    else:
        with _remote_commit(place, suffix) as path:
            yield path


def refuse_folder(place: Place) -> None:
    if place.isdir():
        example = place.child("kept.npy").shown
        raise TableFileError(
            f"{place.shown}: is a folder; name a file to write, such as {example}"
        )


@contextlib.contextmanager
def _local_commit(place: Place, suffix: str) -> Iterator[str]:
    folder = place.parent()
    try:
        remove_temporaries_of(place)
        temporary, descriptor = create_locked(place, suffix)
    except FileNotFoundError:
        raise TableFileError(
            f"{place.shown}: cannot write it: no such folder {folder.shown}"
        ) from None
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot write it: {os_reason(error)}") from None
    try:
        yield temporary.path
        try:
            _sync(temporary.path)  # on disk before the rename: a crash leaves no empty file
            os.replace(temporary.path, place.path)
            _sync(folder.path)
        except OSError as error:
            raise TableFileError(
                f"{place.shown}: cannot write it: {os_reason(error)}"
            ) from None
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary.path)
        raise
    finally:
        os.close(descriptor)  # releases the lock


def _sync(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    except OSError:
        if os.path.isfile(path):
            raise
        # Some file systems refuse to sync a folder; the rename stands all the same.
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def _remote_commit(place: Place, suffix: str) -> Iterator[str]:
    with tempfile.TemporaryDirectory(prefix="quillmoor-") as folder:
        local = os.path.join(folder, place.name + suffix)
        yield local
        try:
            _upload(local, place)
        except OSError as error:
            raise TableFileError(
                f"{place.shown}: cannot write it: {os_reason(error)}"
            ) from None


def _upload(local: str, place: Place) -> None:
    fs = place.fs
    if place.protocol in ("s3", "s3a"):
        fs.put_file(local, place.path, chunksize=S3_PART_SIZE)
    elif place.is_object_store:
        with open(local, "rb") as data:
            fs.pipe_file(place.path, data.read())
    else:  # a filesystem that shows a file while it is written: a temporary, then a move
        remove_temporaries_of(place)
        temporary = place.parent().child(temporary_name(place.name))
        try:
            fs.put_file(local, temporary.path)
            fs.mv(temporary.path, place.path)
        except BaseException:
            with contextlib.suppress(Exception):
                fs.rm(temporary.path)
            raise
