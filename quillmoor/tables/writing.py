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
import shutil
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from typing import IO, Any

from quillmoor.tables.encoding import WRITTEN_SUFFIXES, encode_field, encode_table
from quillmoor.tables.file_errors import TableFileError, os_reason, suffix_of
from quillmoor.tables.kept_rows import encode_kept_parquet
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
    clear_temporaries: bool = True,
) -> str:
    """Write ``table`` to ``target`` as its suffix says (.npy, .csv, .parquet); the
    location as shown to the user.

    An array written as CSV or Parquet is a points table: see ``point_column_names``
    (``point_columns`` are the names its source gave its columns). With
    ``clear_temporaries=False`` the temporaries of earlier, killed writes to ``target``
    are left for the caller to clear (a results folder clears them all at once).
    """
    place = place_of(target, storage_options)
    refuse_folder(place)
    suffix = suffix_of(place.path)
    if suffix not in WRITTEN_SUFFIXES:
        raise TableFileError(f"{place.shown}: unknown suffix; use .npy, .csv or .parquet")
    total = int(getattr(table, "nbytes", 0)) or None if suffix == ".npy" else None
    _write(place, total, lambda out: encode_table(table, suffix, out, place.shown,
                                                  point_columns=point_columns),
           clear_temporaries)
    return place.shown


def write_kept_rows(target: Location, frame: Any, positions: Any) -> str:
    """Write the rows of the pandas ``frame`` at ``positions`` to the ``.parquet``
    ``target`` a row group at a time (see ``kept_rows``); the location as shown."""
    place = place_of(target)
    refuse_folder(place)
    if suffix_of(place.path) != ".parquet":
        raise TableFileError(f"{place.shown}: kept rows are written this way as .parquet only")
    _write(place, None, lambda out: encode_kept_parquet(frame, positions, out), True)
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
                                                  point_columns=point_columns), True)
    return place.shown


def _write(place: Place, total: int | None, encode: Any, clear_temporaries: bool) -> None:
    try:
        with committed_file(place, clear_temporaries=clear_temporaries) as out, \
                TransferProgress("writing", place.name, total) as progress:
            encode(CountingWriter(out, progress))
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot write it: {os_reason(error)}") from None


@contextlib.contextmanager
def committed_file(
    target: Location,
    storage_options: Mapping[str, Any] | None = None,
    *,
    clear_temporaries: bool = True,
) -> Iterator[IO[bytes]]:
    """A binary file to write ``target``'s new content into; it becomes ``target`` when
    the block ends without an exception, and is discarded otherwise (see
    ``write_table`` for ``clear_temporaries``)."""
    place = place_of(target, storage_options)
    refuse_folder(place)
    if place.is_local:
        # Closed before the commit, which syncs it to disk and renames it.
        with _local_commit(place, clear_temporaries) as path, open(path, "wb") as out:
            yield out
    else:
        with _remote_commit(place) as path, open(path, "wb") as out:
            yield out


@contextlib.contextmanager
def committed_path(
    target: Location, storage_options: Mapping[str, Any] | None = None, *, suffix: str = ""
) -> Iterator[str]:
    """A local path to write ``target``'s new content to with any writer (a GIS layer's,
    say); it becomes ``target`` when the block ends without an exception, and is removed
    otherwise. The path has the target's own name, in a fresh folder beside it, so a
    writer that chooses its format by the name, or writes files beside it (a
    Shapefile's .shx and .dbf), works as it would at the target: every file it made
    there is moved beside the target, the target itself last. (``suffix``, if given,
    must be how the target's name ends: the path always ends so.)"""
    place = place_of(target, storage_options)
    if not place.name.endswith(suffix):
        raise ValueError(f"committed_path: {place.shown} does not end with {suffix!r}")
    refuse_folder(place)
    if place.is_local:
        with _local_workspace(place) as path:
            yield path
    else:
        with _remote_commit(place) as path:
            yield path


def refuse_folder(place: Place) -> None:
    if place.isdir():
        example = place.child("kept.npy").shown
        raise TableFileError(
            f"{place.shown}: is a folder; name a file to write, such as {example}"
        )


@contextlib.contextmanager
def _local_commit(place: Place, clear_temporaries: bool) -> Iterator[str]:
    with _created(place, folder=False, clear_temporaries=clear_temporaries) as temporary:
        yield temporary.path
        _commit_locally(place, [(temporary.path, place.path)])


@contextlib.contextmanager
def _local_workspace(place: Place) -> Iterator[str]:
    with _created(place, folder=True, clear_temporaries=True) as workspace:
        yield os.path.join(workspace.path, place.name)
        made = sorted(os.listdir(workspace.path), key=lambda entry: entry == place.name)
        if place.name not in made:
            raise TableFileError(f"{place.shown}: the writer made no file")
        folder = place.parent().path
        _commit_locally(place, [(os.path.join(workspace.path, entry),
                                 os.path.join(folder, entry)) for entry in made])


@contextlib.contextmanager
def _created(place: Place, *, folder: bool, clear_temporaries: bool) -> Iterator[Place]:
    """A locked temporary beside ``place`` for the block; removed after it, whatever
    happened (it is gone already when the block committed it)."""
    try:
        if clear_temporaries:
            remove_temporaries_of(place)
        temporary, descriptor = create_locked(place, folder=folder)
    except FileNotFoundError:
        raise TableFileError(
            f"{place.shown}: cannot write it: no such folder {place.parent().shown}"
        ) from None
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot write it: {os_reason(error)}") from None
    try:
        yield temporary
    finally:
        if folder:
            shutil.rmtree(temporary.path, ignore_errors=True)
        else:
            with contextlib.suppress(OSError):
                os.remove(temporary.path)
        os.close(descriptor)  # releases the lock


def _commit_locally(place: Place, moves: list[tuple[str, str]]) -> None:
    """Each file on disk before its rename, so that a crash leaves no empty file."""
    try:
        for source, _ in moves:
            _sync(source)
        for source, destination in moves:
            os.replace(source, destination)
        _sync(place.parent().path)
    except OSError as error:
        raise TableFileError(f"{place.shown}: cannot write it: {os_reason(error)}") from None


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
def _remote_commit(place: Place) -> Iterator[str]:
    with tempfile.TemporaryDirectory(prefix="quillmoor-") as folder:
        yield os.path.join(folder, place.name)
        made = sorted(os.listdir(folder), key=lambda entry: entry == place.name)
        if place.name not in made:
            raise TableFileError(f"{place.shown}: the writer made no file")
        try:
            for entry in made:
                _upload(os.path.join(folder, entry), place.parent().child(entry))
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
