"""Writing a field's result where it was merged, whole or not at all.

Every result goes through the package's one writer (``quillmoor.tables.writing``): it
becomes visible at its path only when complete (locally a temporary file beside it,
flushed to disk, then renamed; on an object store one upload, visible only once it
completes), so a worker killed while writing never leaves a file that looks finished,
and a resumed run skips every field whose result is there. Temporaries of writes that
were killed are removed by the next run that writes to the folder, a resumed one too:
each process of the run clears those older than the run's start, once.

A field ``NAME`` is written as ``NAME.npy`` (an array result) or ``NAME.parquet`` (the
kept rows of a frame, without its index), or, for a dataset partitioned by field, as
``FIELD_COLUMN=NAME/part-0.parquet``.
"""

from __future__ import annotations

import os
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import IO, Any

from quillmoor.tables.encoding import encode_table
from quillmoor.tables.file_errors import TableFileError
from quillmoor.tables.locations import open_location
from quillmoor.tables.places import OBJECT_STORES, Place, on_filesystem
from quillmoor.tables.temporaries import remove_old_temporaries
from quillmoor.tables.writing import S3_PART_SIZE, write_table

#: The stores whose folders this process has cleared of old temporaries, once per run:
#: a worker is sent a fresh copy of the store with every task.
_cleared: set[tuple[str, str | None, float]] = set()

__all__ = ["OBJECT_STORES", "S3_PART_SIZE", "FieldSummary", "ResultStore", "encode_result",
           "file_name_of", "result_suffix"]


@dataclass(frozen=True)
class FieldSummary:
    """What a field's task reports when it writes the result itself.

    ``points_in`` and ``records`` (connection records) are ``None`` for a field
    skipped by a resumed run, whose tables were not read; ``points_kept`` too.
    """

    name: object
    points_in: int | None
    points_kept: int | None
    records: int | None
    seconds: float
    written: str
    skipped: bool = False


@dataclass(frozen=True)
class ResultStore:
    """Where the results go: a folder or an fsspec URL, with its storage options.

    ``started`` is when the run began (when the store was made): temporaries in the
    folder older than that were left by runs that did not finish.
    """

    location: str
    storage_options: Mapping[str, Any] | None = None
    partition_column: str | None = None
    started: float = field(default_factory=time.time, compare=False, repr=False)
    _opened: list[Any] = field(default_factory=list, compare=False, repr=False)

    def __getstate__(self) -> dict[str, Any]:
        # A filesystem opened here is not sent to a worker; it opens its own.
        return {"location": self.location, "storage_options": self.storage_options,
                "partition_column": self.partition_column, "started": self.started}

    def __setstate__(self, state: dict[str, Any]) -> None:
        for key, value in state.items():
            object.__setattr__(self, key, value)
        object.__setattr__(self, "_opened", [])

    def _filesystem(self) -> tuple[Any, str]:
        if not self._opened:
            self._opened.append(open_location(self.location, self.storage_options))
            self._remove_old_temporaries()
        opened: tuple[Any, str] = self._opened[0]
        return opened

    def candidates(self, name: object) -> list[str]:
        """The relative paths a complete result of field ``name`` may have."""
        base = file_name_of(name)
        if self.partition_column is not None:
            return [f"{self.partition_column}={base}/part-0.parquet"]
        return [base + ".npy", base + ".parquet"]

    def existing(self, name: object) -> str | None:
        """Where a complete result of the field is, if there is one."""
        for relative in self.candidates(name):
            place = self._place(relative)
            if place.exists():
                return place.shown
        return None

    def write(self, name: object, result: Any) -> str:
        """Write the result, visible only once complete; where it went."""
        partitioned = self.partition_column is not None
        place = self.target(name, result_suffix(result, partitioned=partitioned))
        # The folder was cleared of old temporaries once for the run (see _filesystem),
        # not once per result: a folder of many thousand results is listed once.
        return write_table(place, result, clear_temporaries=False)

    def target(self, name: object, suffix: str) -> Place:
        """Where the result of field ``name`` with ``suffix`` goes; its folder is made."""
        relative = next(c for c in self.candidates(name) if c.endswith(suffix))
        place = self._place(relative)
        _make_folder(place.parent())
        return place

    def shown(self, path: str) -> str:
        fs, _ = self._filesystem()
        return path if fs is None else str(fs.unstrip_protocol(path))

    def _place(self, relative: str) -> Place:
        fs, root = self._filesystem()
        if fs is None:
            path = os.path.join(root, *relative.split("/"))
            return Place(path, path)
        path = root.rstrip("/") + "/" + relative
        return on_filesystem(fs, path, self.shown(path))

    def _remove_old_temporaries(self) -> None:
        """Once per process: the temporaries of killed runs, in the folder and (for a
        partitioned layout) in its partitions' folders."""
        run = (self.location, self.partition_column, self.started)
        if run in _cleared:
            return
        _cleared.add(run)
        fs, root = self._opened[0]
        folder = on_filesystem(fs, root, self.location)
        if not folder.is_local or not os.path.isdir(folder.path):
            return
        remove_old_temporaries(folder, self.started)
        if self.partition_column is not None:
            prefix = self.partition_column + "="
            for entry in os.listdir(folder.path):
                if entry.startswith(prefix):
                    remove_old_temporaries(folder.child(entry), self.started)


def file_name_of(name: object) -> str:
    """The field's name as a file name; names that would leave the folder are refused."""
    text = str(name)
    if not text or text in (".", "..") or "/" in text or "\\" in text or "\0" in text:
        raise ValueError(f"the field name {text!r} cannot be a file name")
    return text


def result_suffix(result: Any, *, partitioned: bool) -> str:
    """``.npy`` for arrays, ``.parquet`` for frames (and every partitioned result)."""
    return ".parquet" if hasattr(result, "columns") or partitioned else ".npy"


def encode_result(result: Any, out: IO[bytes], *, partitioned: bool) -> None:
    """Write the result to the binary file ``out``, as ``result_suffix`` says."""
    suffix = result_suffix(result, partitioned=partitioned)
    encode_table(result, suffix, out, "the result")


def _make_folder(folder: Place) -> None:
    try:
        if folder.is_local:
            os.makedirs(folder.path, exist_ok=True)
        elif not folder.is_object_store:
            folder.fs.makedirs(folder.path, exist_ok=True)
    except OSError as error:
        raise TableFileError(f"{folder.shown}: cannot create it: {error}") from None
