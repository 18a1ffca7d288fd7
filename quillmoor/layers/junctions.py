"""The junctions a merge will cut at, found from the two small tables as the merge does.

For a segment and a neighbour, the merge takes the farthest pair of their reference
points and calls the other end of each its near end; the junction lies between the two
near ends. Only NumPy is needed, so any command can draw its field.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

KEY_LIMIT = 2**32


@dataclass(frozen=True, eq=False)
class Junctions:
    """One row per pair of neighbouring segments, each pair once."""

    segment: np.ndarray
    """Row record index of the segment, shape (m,)."""
    neighbour: np.ndarray
    near: np.ndarray
    """The segment's near end, shape (m, 2)."""
    neighbour_near: np.ndarray

    @property
    def count(self) -> int:
        return int(self.segment.shape[0])

    @property
    def middle(self) -> np.ndarray:
        middle: np.ndarray = (self.near + self.neighbour_near) * 0.5
        return middle


def find_junctions(connected_crop_rows: np.ndarray, row_information: np.ndarray) -> Junctions:
    """The junctions of every listed neighbour whose keys name a row record; keys that
    name none are skipped (the merge refuses those tables anyway)."""
    records = np.asarray(connected_crop_rows, dtype=np.float64)
    rows = np.asarray(row_information, dtype=np.float64)
    row_keys = _packed(rows[:, 0], rows[:, 4])
    segment_list, neighbour_list = [], []
    open_list = np.ones(records.shape[0], dtype=bool)
    for slot in range(4):
        column = 3 + 2 * slot
        if records.shape[1] <= column + 1:
            break
        open_list &= ~np.isnan(records[:, column])
        base = _row_of(row_keys, records[:, 1], records[:, 2])
        other = _row_of(row_keys, records[:, column], records[:, column + 1])
        found = open_list & (base >= 0) & (other >= 0)
        segment_list.append(base[found])
        neighbour_list.append(other[found])
    segment = np.concatenate(segment_list) if segment_list else np.empty(0, np.intp)
    neighbour = np.concatenate(neighbour_list) if neighbour_list else np.empty(0, np.intp)
    pairs = np.unique(np.sort(np.stack([segment, neighbour], axis=1), axis=1), axis=0)
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    reference = rows[:, 5:11].reshape(-1, 3, 2)
    near, neighbour_near = _near_ends(reference[pairs[:, 0]], reference[pairs[:, 1]])
    return Junctions(segment=pairs[:, 0], neighbour=pairs[:, 1], near=near,
                     neighbour_near=neighbour_near)


def _near_ends(base: np.ndarray, other: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    # distance[k, i, j]: base point i to neighbour point j; the first strict maximum in
    # (i, j) order wins, as np.argmax takes the first of equal values.
    distance = np.hypot(base[:, :, None, 0] - other[:, None, :, 0],
                        base[:, :, None, 1] - other[:, None, :, 1])
    flat = np.argmax(np.nan_to_num(distance, nan=-1.0).reshape(-1, 9), axis=1)
    far_base, far_other = flat // 3, flat % 3
    count = np.arange(base.shape[0])
    near = base[count, np.where(far_base == 0, 1, 0)]
    neighbour_near = other[count, np.where(far_other == 0, 1, 0)]
    return near, neighbour_near


def _packed(key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
    valid = (np.isfinite(key_a) & np.isfinite(key_b) & (key_a >= 0) & (key_b >= 0)
             & (key_a < KEY_LIMIT) & (key_b < KEY_LIMIT))
    packed = np.full(key_a.shape[0], -1, dtype=np.int64)
    packed[valid] = (key_a[valid].astype(np.int64) << 32) | key_b[valid].astype(np.int64)
    return packed


def _row_of(row_keys: np.ndarray, key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
    """The first row record with each key, or -1."""
    wanted = _packed(key_a, key_b)
    order = np.argsort(row_keys, kind="stable")
    place = np.clip(np.searchsorted(row_keys[order], wanted), 0, max(order.size - 1, 0))
    if order.size == 0:
        return np.full(wanted.shape[0], -1, dtype=np.intp)
    found = (row_keys[order][place] == wanted) & (wanted >= 0)
    return np.where(found, order[place], -1)
