"""Counting the points that no connection record gathers, and why.

A point belongs to a connection record's block when its two key cells, converted as the
engine converts base keys (truncated to unsigned 32-bit integers, NaN and negatives as
0, 2**32 - 1 and beyond as 2**32 - 1), equal the record's converted base key. A point
whose key matches no record is in no block, so it is not in the result either; nor is it
one of the points dropped at a junction. These counts tell the two apart.

The count reads the two key columns of the points once, in chunks that stay in the
processor's cache, and looks each converted key up in a dense table of the records'
keys when their range is small (the usual crop row and segment numbers), or by sorted
search otherwise. Why a point is unassigned is worked out only for the chunks that have
such points.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from quillmoor.merging.point_counts import UnassignedPoints

if TYPE_CHECKING:
    import numpy.typing as npt

#: ``key_from_cell``'s largest key: this value and everything above it convert to it.
KEY_MAX = 4294967295.0

#: Rows converted at a time: the chunk's few buffers stay in the processor's cache.
CHUNK_ROWS = 1 << 14

#: The dense table of record keys is used up to this many cells (8 bytes each) ...
DENSE_CELLS_LIMIT = 1 << 22
#: ... and, for small fields, up to this many or twice the points, whichever is more.
DENSE_CELLS_SMALL = 1 << 16

#: Per-point table entries pack "has a record" above the record count, so one sum over a
#: chunk gives both the assigned points and the rows gathered.
_ASSIGNED_UNIT = 1 << 40


def count_unassigned_points(
    connected_crop_rows: npt.ArrayLike, points_in_rows: npt.ArrayLike
) -> UnassignedPoints:
    """How many points belong to no connection record, and why (see ``UnassignedPoints``).

    The tables are those of ``quillmoor.merge``, as anything NumPy turns into a 2-D real
    table; only the base keys of ``connected_crop_rows`` (columns 1 and 2) and the keys of
    ``points_in_rows`` (columns 0 and 1) are read. ``merge`` counts the same way unless
    told ``unassigned="ignore"``, and hands the counts to a function given as
    ``unassigned``, so a caller of ``merge`` need not count again.
    """
    from quillmoor.tables.conversion import as_float64_table

    connections = as_float64_table(connected_crop_rows, "connected_crop_rows")
    points = as_float64_table(points_in_rows, "points_in_rows")
    if connections.shape[0] and connections.shape[1] < 3:
        raise ValueError(
            f"connected_crop_rows has {connections.shape[1]} columns; the base key is in "
            "columns 1 and 2 (key_a, key_b)"
        )
    if connections.shape[0] and points.shape[0] and points.shape[1] < 2:
        raise ValueError(
            f"points_in_rows has {points.shape[1]} columns; the key is in columns 0 and 1 "
            "(key_a, key_b)"
        )
    return count_in_tables(connections, points)


def count_in_tables(connected_crop_rows: np.ndarray, points_in_rows: np.ndarray) -> UnassignedPoints:
    """The counts for float64 tables already checked: the records have their base key
    (columns 1 and 2), and the points their key (columns 0 and 1) when there are records.
    """
    points = points_in_rows.shape[0]
    records = connected_crop_rows.shape[0]
    if points == 0:
        return UnassignedPoints(0, 0, 0, 0, 0, 0)
    with np.errstate(invalid="ignore"):  # signalling NaNs in key cells are only NaNs here
        if records == 0 or points_in_rows.shape[1] < 2:
            nan, invalid = key_reasons(points_in_rows)
            return UnassignedPoints(points, points, nan, invalid, points - nan - invalid, 0)
        lookup = _Lookup.of(connected_crop_rows[:, 1], connected_crop_rows[:, 2], points)
        return lookup.count(points_in_rows)


def key_reasons(points: np.ndarray) -> tuple[int, int]:
    """Among ``points`` (rows of unassigned points): those with a NaN key cell, and
    those with a key cell that ``key_from_cell`` has to truncate or clamp."""
    columns = [points[:, column] for column in range(min(2, points.shape[1]))]
    if not columns:
        return 0, 0
    nan = np.zeros(points.shape[0], dtype=bool)
    whole = np.ones(points.shape[0], dtype=bool)
    for cells in columns:
        nan |= np.isnan(cells)
        whole &= (cells >= 0.0) & (cells <= KEY_MAX) & (np.trunc(cells) == cells)
    nan_count = int(np.count_nonzero(nan))
    return nan_count, int(np.count_nonzero(~nan & ~whole))


def converted_keys(cells: np.ndarray) -> np.ndarray:
    """``key_from_cell`` of every cell, as unsigned 64-bit integers."""
    keys: np.ndarray = np.fmin(np.fmax(cells, 0.0), KEY_MAX)  # fmax sends NaN to 0
    return keys.astype(np.uint64)


class _Lookup:
    """The records' base keys, and how to look a chunk of points' keys up in them."""

    def __init__(self, key_a: np.ndarray, key_b: np.ndarray) -> None:
        self.key_a = key_a
        self.key_b = key_b

    @staticmethod
    def of(cells_a: np.ndarray, cells_b: np.ndarray, points: int) -> _Lookup:
        key_a, key_b = converted_keys(cells_a), converted_keys(cells_b)
        dense = _DenseLookup.size(key_a, key_b)
        if dense <= max(DENSE_CELLS_SMALL, min(DENSE_CELLS_LIMIT, 2 * points)):
            return _DenseLookup(key_a, key_b)
        return _SortedLookup(key_a, key_b)

    def entries(self, cells_a: np.ndarray, cells_b: np.ndarray,
                scratch: _Scratch) -> np.ndarray:
        """Per point of a chunk, from copies of its key cells (which it may change): its
        record count, plus ``_ASSIGNED_UNIT`` if not 0."""
        raise NotImplementedError

    def count(self, points: np.ndarray) -> UnassignedPoints:
        total = points.shape[0]
        scratch = _Scratch(min(total, CHUNK_ROWS))
        assigned = gathered = nan = invalid = 0
        for start in range(0, total, CHUNK_ROWS):
            chunk = points[start : start + CHUNK_ROWS]
            rows = chunk.shape[0]
            # Copied out first: NumPy's arithmetic runs several times faster on
            # contiguous cells than on a column of a wide table.
            cells_a, cells_b = scratch.float_a[:rows], scratch.float_b[:rows]
            np.copyto(cells_a, chunk[:, 0])
            np.copyto(cells_b, chunk[:, 1])
            entries = self.entries(cells_a, cells_b, scratch)
            packed = int(entries.sum())
            chunk_assigned, chunk_gathered = divmod(packed, _ASSIGNED_UNIT)
            assigned += chunk_assigned
            gathered += chunk_gathered
            if chunk_assigned < chunk.shape[0]:
                chunk_nan, chunk_invalid = key_reasons(chunk[entries == 0])
                nan += chunk_nan
                invalid += chunk_invalid
        unassigned = total - assigned
        return UnassignedPoints(total, unassigned, nan, invalid, unassigned - nan - invalid,
                                gathered)


class _Scratch:
    """Buffers for one chunk, reused from chunk to chunk."""

    def __init__(self, rows: int) -> None:
        self.float_a = np.empty(rows)
        self.float_b = np.empty(rows)
        self.index_a = np.empty(rows, dtype=np.intp)
        self.index_b = np.empty(rows, dtype=np.intp)
        self.entries = np.empty(rows, dtype=np.int64)


class _DenseLookup(_Lookup):
    """A table over every key pair in the records' range, one border cell on each side
    for the points' keys outside it.

    A point's cell is clamped into that range in float64 before it is converted: NaN
    and negatives become the lowest border (or key 0 itself when the range starts at 0,
    as the engine reads them), large values the highest.
    """

    def __init__(self, key_a: np.ndarray, key_b: np.ndarray) -> None:
        super().__init__(key_a, key_b)
        self.low_a, self.high_a, self.span_a = self.bounds(key_a)
        self.low_b, self.high_b, self.span_b = self.bounds(key_b)
        # The keys may reach 2**32 - 1 even where their range is small: shifted in int64,
        # then narrowed to the machine word (32 bits on ARM) once they are small.
        cells = ((key_a.astype(np.int64) - self.low_a) * self.span_b + (
            key_b.astype(np.int64) - self.low_b
        )).astype(np.intp)
        counts = np.bincount(cells, minlength=self.span_a * self.span_b)
        self.table = counts.astype(np.int64)
        # Added in int64: np.where(counts > 0, _ASSIGNED_UNIT, 0) would make the unit a
        # machine-word integer, which is 32 bits on ARM and wraps it to 0.
        self.table[counts > 0] += _ASSIGNED_UNIT

    @staticmethod
    def bounds(keys: np.ndarray) -> tuple[int, int, int]:
        """The lowest and highest cell value a point is clamped to, and the span."""
        low = max(int(keys.min()) - 1, 0)
        high = min(int(keys.max()) + 1, int(KEY_MAX))
        return low, high, high - low + 1

    @staticmethod
    def size(key_a: np.ndarray, key_b: np.ndarray) -> int:
        return _DenseLookup.bounds(key_a)[2] * _DenseLookup.bounds(key_b)[2]

    def entries(self, cells_a: np.ndarray, cells_b: np.ndarray,
                scratch: _Scratch) -> np.ndarray:
        rows = cells_a.shape[0]
        index_a = self._index(cells_a, self.low_a, self.high_a, scratch.index_a[:rows])
        index_b = self._index(cells_b, self.low_b, self.high_b, scratch.index_b[:rows])
        np.multiply(index_a, self.span_b, out=index_a)
        np.add(index_a, index_b, out=index_a)
        return np.take(self.table, index_a, out=scratch.entries[:rows])

    @staticmethod
    def _index(cells: np.ndarray, low: int, high: int, index: np.ndarray) -> np.ndarray:
        # Clamped to [low, high] (fmax sends NaN to low), shifted to start at 0 and
        # truncated by the cast: the same key the engine reads, or a border cell.
        np.fmax(cells, float(low), out=cells)
        if low:
            np.fmin(cells, float(high), out=cells)
            np.subtract(cells, float(low), out=cells)
            np.copyto(index, cells, casting="unsafe")
        else:
            np.fmin(cells, float(high), out=index, casting="unsafe")
        return index


class _SortedLookup(_Lookup):
    """The records' distinct keys, sorted, for keys spread too wide for a dense table."""

    def __init__(self, key_a: np.ndarray, key_b: np.ndarray) -> None:
        super().__init__(key_a, key_b)
        keys, counts = np.unique((key_a << np.uint64(32)) | key_b, return_counts=True)
        self.keys = keys
        self.values = counts.astype(np.int64) + _ASSIGNED_UNIT

    def entries(self, cells_a: np.ndarray, cells_b: np.ndarray,
                scratch: _Scratch) -> np.ndarray:
        rows = cells_a.shape[0]
        packed = (converted_keys(cells_a) << np.uint64(32)) | converted_keys(cells_b)
        found = np.searchsorted(self.keys, packed)
        np.minimum(found, len(self.keys) - 1, out=found)
        out = scratch.entries[:rows]
        np.take(self.values, found, out=out)
        out[self.keys[found] != packed] = 0
        return out
