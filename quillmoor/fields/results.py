"""Writing a field's result where it was merged, whole or not at all.

A result is written under a temporary name and made visible by a rename only when
complete (locally: a file beside it, flushed to disk, then ``os.replace``), so a worker
killed while writing never leaves a file that looks finished. On object stores an
object becomes visible only when its upload completes, so the result is sent in one
request under its own name (a PUT; beyond 5 GB a multipart upload, which is also
invisible until completed). A visible result is therefore a complete one, and a resumed
run skips every field whose result is there.

A field ``NAME`` is written as ``NAME.npy`` (an array result) or ``NAME.parquet`` (the
kept rows of a frame, without its index), or, for a dataset partitioned by field, as
``FIELD_COLUMN=NAME/part-0.parquet``.
"""

from __future__ import annotations

import io
import os
import uuid
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from quillmoor.tables.locations import is_local_filesystem, open_location

#: Stores where an object is only visible once its upload completed.
OBJECT_STORES = {"s3", "s3a", "gs", "gcs", "az", "abfs", "abfss", "adl", "memory"}
#: s3fs sends results below twice this size in one PUT (its limit is 5 GB).
S3_PART_SIZE = 2**31


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
    """Where the results go: a folder or an fsspec URL, with its storage options."""

    location: str
    storage_options: Mapping[str, Any] | None = None
    partition_column: str | None = None
    _opened: list[Any] = field(default_factory=list, compare=False, repr=False)

    def __getstate__(self) -> dict[str, Any]:
        # A filesystem opened here is not sent to a worker; it opens its own.
        return {"location": self.location, "storage_options": self.storage_options,
                "partition_column": self.partition_column}

    def __setstate__(self, state: dict[str, Any]) -> None:
        for key, value in state.items():
            object.__setattr__(self, key, value)
        object.__setattr__(self, "_opened", [])

    def _filesystem(self) -> tuple[Any, str]:
        if not self._opened:
            self._opened.append(open_location(self.location, self.storage_options))
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
        fs, root = self._filesystem()
        for relative in self.candidates(name):
            path = _join(fs, root, relative)
            if (os.path.exists(path) if fs is None else fs.exists(path)):
                return self.shown(path)
        return None

    def write(self, name: object, result: Any) -> str:
        """Write the result, visible only once complete; where it went."""
        partitioned = self.partition_column is not None
        suffix = result_suffix(result, partitioned=partitioned)
        relative = next(c for c in self.candidates(name) if c.endswith(suffix))
        fs, root = self._filesystem()
        path = _join(fs, root, relative)
        if fs is None or is_local_filesystem(fs):
            _replace_locally(path, result, partitioned)
            return self.shown(path)
        buffer = io.BytesIO()
        encode_result(result, buffer, partitioned=partitioned)
        data = buffer.getvalue()
        if _protocol(fs) in OBJECT_STORES:
            extra = {"chunksize": S3_PART_SIZE} if _protocol(fs) in ("s3", "s3a") else {}
            fs.pipe_file(path, data, **extra)
        else:  # any other filesystem: a temporary name, then a move
            temporary = _temporary_name(path)
            try:
                fs.pipe_file(temporary, data)
                fs.mv(temporary, path)
            except BaseException:
                _remove_quietly(lambda: fs.rm(temporary))
                raise
        return self.shown(path)

    def shown(self, path: str) -> str:
        fs, _ = self._filesystem()
        return path if fs is None else str(fs.unstrip_protocol(path))


def file_name_of(name: object) -> str:
    """The field's name as a file name; names that would leave the folder are refused."""
    text = str(name)
    if not text or text in (".", "..") or "/" in text or "\\" in text or "\0" in text:
        raise ValueError(f"the field name {text!r} cannot be a file name")
    return text


def result_suffix(result: Any, *, partitioned: bool) -> str:
    """``.npy`` for arrays, ``.parquet`` for frames (and every partitioned result)."""
    return ".parquet" if hasattr(result, "columns") or partitioned else ".npy"


def encode_result(result: Any, out: Any, *, partitioned: bool) -> None:
    """Write the result to the binary file ``out``, as ``result_suffix`` says."""
    if result_suffix(result, partitioned=partitioned) == ".parquet":
        import pandas as pd

        frame = result
        if not isinstance(result, pd.DataFrame):
            array = np.asarray(result)
            frame = pd.DataFrame(array, columns=[f"column_{i}" for i in range(array.shape[1])])
        frame.to_parquet(out, index=False)
        return
    np.save(out, np.asarray(result), allow_pickle=False)


def _join(fs: Any, root: str, relative: str) -> str:
    if fs is None:
        return os.path.join(root, *relative.split("/"))
    return root.rstrip("/") + "/" + relative


def _protocol(fs: Any) -> str:
    protocol = fs.protocol
    return str(protocol if isinstance(protocol, str) else protocol[0])


def _temporary_name(path: str) -> str:
    folder, _, base = path.rpartition("/")
    return f"{folder}/.{base}.{uuid.uuid4().hex}.partial"


def _replace_locally(path: str, result: Any, partitioned: bool) -> None:
    folder = os.path.dirname(path)
    os.makedirs(folder, exist_ok=True)
    temporary = os.path.join(folder, f".{os.path.basename(path)}.{uuid.uuid4().hex}.partial")
    try:
        with open(temporary, "wb") as out:
            encode_result(result, out, partitioned=partitioned)
            out.flush()
            # On disk before the rename, so a machine that goes down leaves no empty result.
            os.fsync(out.fileno())
        os.replace(temporary, path)
    except BaseException:
        _remove_quietly(lambda: os.remove(temporary))
        raise


def _remove_quietly(remove: Any) -> None:
    try:
        remove()
    except Exception:  # the original failure matters, not the clean-up's
        pass
