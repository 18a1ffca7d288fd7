"""A file or folder on the local disk or in an fsspec filesystem, and what the reader
and the writer ask of it.

A ``Place`` keeps the location as the user gave it (``shown``, for messages) beside the
path its filesystem uses, so one reader and one writer serve both: local paths work
without fsspec, and a ``file://`` URL is treated as the local path it is.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import IO, Any

from quillmoor.tables.file_errors import TableFileError
from quillmoor.tables.locations import (
    StorageError,
    is_local_filesystem,
    is_url,
    open_location,
)

#: Stores where an object is only visible once its upload completed.
OBJECT_STORES = frozenset({"s3", "s3a", "gs", "gcs", "az", "abfs", "abfss", "adl", "memory"})


@dataclass(frozen=True)
class Place:
    """Where a table is: ``fs`` is ``None`` for the local disk."""

    shown: str
    path: str
    fs: Any = None

    @property
    def is_local(self) -> bool:
        return self.fs is None

    @property
    def protocol(self) -> str:
        if self.fs is None:
            return "local"
        protocol = self.fs.protocol
        return str(protocol if isinstance(protocol, str) else protocol[0])

    @property
    def is_object_store(self) -> bool:
        return self.protocol in OBJECT_STORES

    @property
    def name(self) -> str:
        """The last part of the path: the file or folder name."""
        return self.path.rstrip("/" + os.sep).rpartition("/" if self.fs else os.sep)[2]

    def exists(self) -> bool:
        return os.path.exists(self.path) if self.fs is None else bool(self.fs.exists(self.path))

    def isdir(self) -> bool:
        return os.path.isdir(self.path) if self.fs is None else bool(self.fs.isdir(self.path))

    def size(self) -> int | None:
        try:
            if self.fs is None:
                return os.path.getsize(self.path)
            size = self.fs.size(self.path)
            return None if size is None else int(size)
        except (OSError, ValueError):
            return None

    def open_read(self) -> IO[bytes]:
        if self.fs is None:
            return open(self.path, "rb")
        opened: IO[bytes] = self.fs.open(self.path, "rb")
        return opened

    def child(self, name: str) -> Place:
        if self.fs is None:
            return Place(os.path.join(self.shown, name), os.path.join(self.path, name))
        path = self.path.rstrip("/") + "/" + name if self.path.strip("/") else name
        return Place(self.shown.rstrip("/") + "/" + name, path, self.fs)

    def parent(self) -> Place:
        """The folder holding this place (shown as the folder's path)."""
        if self.fs is None:
            folder = os.path.dirname(self.path)
            return Place(os.path.dirname(self.shown) or ".", folder)
        folder = self.path.rstrip("/").rpartition("/")[0]
        return Place(self.shown.rstrip("/").rpartition("/")[0], folder, self.fs)

    def names(self) -> list[str]:
        """The names of the entries of this folder."""
        if self.fs is None:
            return os.listdir(self.path)
        return [str(entry).rstrip("/").rpartition("/")[2]
                for entry in self.fs.ls(self.path, detail=False)]

    def remove(self) -> None:
        if self.fs is None:
            os.remove(self.path)
        else:
            self.fs.rm(self.path)


def place_of(
    location: str | os.PathLike[str] | Place, storage_options: Mapping[str, Any] | None = None
) -> Place:
    """The place of a local path or an fsspec URL (with its storage options)."""
    if isinstance(location, Place):
        return location
    shown = os.fspath(location)
    if not is_url(shown):
        return Place(shown, os.path.abspath(shown))
    try:
        fs, path = open_location(shown, storage_options)
    except StorageError as error:
        raise TableFileError(str(error)) from None
    return on_filesystem(fs, path, shown)


def on_filesystem(fs: Any, path: str, shown: str) -> Place:
    """A path of an fsspec filesystem, or of the local disk when ``fs`` is local or None."""
    if fs is None or is_local_filesystem(fs):
        return Place(shown, os.path.abspath(path))
    return Place(shown, path, fs)
