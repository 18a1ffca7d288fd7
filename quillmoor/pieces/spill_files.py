"""Each piece's points on disk, from the pass that sends them there to the piece's merge.

Arrays are stored as their raw float64 rows. DataFrames whose columns are all NumPy
numbers, booleans or times are stored column by column as raw values (a part's row
count, then each column's bytes); other DataFrames as pickles of their parts, which give
back every dtype as it was. Only this process writes and reads these files, in a folder
of its own that is removed when the merge ends, however it ends.
"""

from __future__ import annotations

import os
import pickle
from typing import IO, Any

import numpy as np

#: Beyond this many pieces, a piece's file is opened for each write instead of kept open.
_OPEN_FILES = 128


class SpillFiles:
    """One file per piece in ``folder``; ``template`` is the points table with no rows."""

    def __init__(self, folder: str, pieces: int, template: Any) -> None:
        self._folder = folder
        self._template = template
        self._is_array = isinstance(template, np.ndarray)
        self.columnar = not self._is_array and _plain_columns(template)
        self._keep_open = pieces <= _OPEN_FILES
        self._open: dict[int, IO[bytes]] = {}

    def append(self, piece: int, rows: Any) -> None:
        """Adds ``rows`` (the chunk's rows for ``piece``, in table order) to its file: an
        array, or (``columnar``) a DataFrame's columns as NumPy arrays, else a DataFrame."""
        file = self._open.get(piece)
        if file is None:
            file = open(self._path(piece), "ab")  # noqa: SIM115 - closed in close()
            if self._keep_open:
                self._open[piece] = file
        try:
            if self._is_array:
                file.write(np.ascontiguousarray(rows, dtype=np.float64).data.cast("B"))
            elif self.columnar:
                file.write(np.int64(len(rows[0])).tobytes())
                for column in rows:
                    file.write(np.ascontiguousarray(column).data.cast("B"))
            else:
                pickle.dump(rows, file, protocol=pickle.HIGHEST_PROTOCOL)
        finally:
            if not self._keep_open:
                file.close()

    def take(self, piece: int) -> Any:
        """The piece's rows, in table order; its file is removed."""
        file = self._open.pop(piece, None)
        if file is not None:
            file.close()
        path = self._path(piece)
        if not os.path.exists(path):
            return self._template
        try:
            if self._is_array:
                width = self._template.shape[1]
                return np.fromfile(path, dtype=np.float64).reshape(-1, width)
            if self.columnar:
                return self._columns(path)
            return self._frames(path)
        finally:
            os.remove(path)

    def close(self) -> None:
        for file in self._open.values():
            file.close()
        self._open.clear()

    def _columns(self, path: str) -> Any:
        import pandas

        data = np.fromfile(path, dtype=np.uint8)
        dtypes = list(self._template.dtypes)
        parts: list[list[np.ndarray]] = [[] for _ in dtypes]
        place = 0
        while place < data.size:
            rows = int(data[place:place + 8].view(np.int64)[0])
            place += 8
            for dtype, column in zip(dtypes, parts):
                size = rows * dtype.itemsize
                column.append(data[place:place + size].view(dtype))
                place += size
        columns = {name: np.concatenate(column) for name, column
                   in zip(self._template.columns, parts)}
        del data, parts
        return pandas.DataFrame(columns, columns=self._template.columns)

    def _frames(self, path: str) -> Any:
        parts = []
        with open(path, "rb") as file:
            while True:
                try:
                    parts.append(pickle.load(file))  # noqa: S301 - our own file, see above
                except EOFError:
                    break
        if len(parts) == 1:
            return parts[0]
        import pandas

        return pandas.concat(parts, ignore_index=True)

    def _path(self, piece: int) -> str:
        return os.path.join(self._folder, f"piece-{piece}")


def _plain_columns(template: Any) -> bool:
    """Whether every column of the frame is a NumPy number, boolean or time, under a
    name of its own: stored as raw values, they come back as they were."""
    columns = list(template.columns)
    return len(set(columns)) == len(columns) and all(
        isinstance(dtype, np.dtype) and dtype.kind in "biufcmM" for dtype in template.dtypes)
