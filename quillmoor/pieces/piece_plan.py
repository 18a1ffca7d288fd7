"""Which connection records are merged together, and which points each piece needs.

A connection record gathers the points whose key, converted as the engine converts base
keys, is its base key; records with the same base key gather the same points (a
"group"). The records are cut, in table order, into pieces whose groups' points fit the
budget. A record whose group alone is larger gets pieces of its own, each with a run of
its group's points in table order: each point is decided on its own, so the runs' kept
rows, one after the other, are the record's. Merging the pieces in order and writing
their kept rows one after the other gives the in-memory merge's result.
"""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field

import numpy as np

from quillmoor.merging.unassigned_points import converted_keys


def packed_keys(cells_a: np.ndarray, cells_b: np.ndarray) -> np.ndarray:
    """Both converted key parts in one unsigned 64-bit integer per row."""
    return (converted_keys(cells_a) << np.uint64(32)) | converted_keys(cells_b)


#: Up to this many cells (4 bytes each, and within the caller's limit), a point's group is
#: looked up in a table over the records' key range (crop row and segment numbers are
#: small) instead of by sorted search.
DENSE_GROUP_CELLS = 1 << 22


class KeyGroups:
    """The records' distinct base keys, and the group of each record and of each point."""

    def __init__(self, connected_crop_rows: np.ndarray, dense_cells: int = DENSE_GROUP_CELLS
                 ) -> None:
        if connected_crop_rows.shape[0]:
            key_a = converted_keys(connected_crop_rows[:, 1])
            key_b = converted_keys(connected_crop_rows[:, 2])
        else:
            key_a = key_b = np.zeros(0, dtype=np.uint64)
        self.keys, record_group = np.unique((key_a << np.uint64(32)) | key_b,
                                            return_inverse=True)
        self.record_group: np.ndarray = record_group.reshape(-1).astype(np.intp)
        #: How many records gather each group's points.
        self.records_of_group = np.bincount(self.record_group, minlength=len(self.keys))
        self._dense: tuple[int, int, int, int, np.ndarray] | None = None
        if len(self):
            low_a, high_a = int(key_a.min()), int(key_a.max())
            low_b, high_b = int(key_b.min()), int(key_b.max())
            span_a, span_b = high_a - low_a + 1, high_b - low_b + 1
            if span_a * span_b <= min(dense_cells, DENSE_GROUP_CELLS):
                table = np.full(span_a * span_b, -1, dtype=np.int32)
                # Shifted in int64 first: the keys reach 2**32 - 1 (32-bit machine words).
                cells = ((key_a.astype(np.int64) - low_a) * span_b
                         + (key_b.astype(np.int64) - low_b)).astype(np.intp)
                table[cells] = self.record_group
                self._dense = (low_a, high_a, low_b, high_b, table)

    def __len__(self) -> int:
        return int(self.keys.shape[0])

    def of_points(self, key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
        """Each point's group, or -1 for a point of no record."""
        if not len(self):
            return np.full(key_a.shape[0], -1, dtype=np.intp)
        with np.errstate(invalid="ignore"):
            if self._dense is not None:
                return self._dense_groups(converted_keys(key_a), converted_keys(key_b))
            packed = packed_keys(key_a, key_b)
        found = np.minimum(np.searchsorted(self.keys, packed), len(self) - 1)
        return np.where(self.keys[found] == packed, found, -1).astype(np.intp)

    def _dense_groups(self, key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
        assert self._dense is not None
        low_a, high_a, low_b, high_b, table = self._dense
        inside = (key_a >= low_a) & (key_a <= high_a) & (key_b >= low_b) & (key_b <= high_b)
        span_b = high_b - low_b + 1
        cells = ((np.clip(key_a, low_a, high_a).astype(np.int64) - low_a) * span_b
                 + (np.clip(key_b, low_b, high_b).astype(np.int64) - low_b)).astype(np.intp)
        groups: np.ndarray = np.where(inside, table[cells], -1).astype(np.intp)
        return groups


@dataclass
class Piece:
    """Records merged in one engine call: a run of records whose groups' points come
    whole, or one record with the run ``[first, end)`` of its group's points."""

    records: list[int] = field(default_factory=list)
    points: int = 0
    run: tuple[int, int] | None = None


def plan_pieces(groups: KeyGroups, group_points: np.ndarray, piece_points: int) -> list[Piece]:
    """The records, in table order, cut into pieces of at most ``piece_points`` points
    (distinct points: a group shared by records of one piece is counted once)."""
    pieces: list[Piece] = []
    current = Piece()
    in_current: set[int] = set()
    for record, group in enumerate(groups.record_group.tolist()):
        size = int(group_points[group])
        if size > piece_points:
            if current.records:
                pieces.append(current)
                current, in_current = Piece(), set()
            for first in range(0, size, piece_points):
                end = min(size, first + piece_points)
                pieces.append(Piece([record], end - first, (first, end)))
            continue
        added = 0 if group in in_current else size
        if current.records and current.points + added > piece_points:
            pieces.append(current)
            current, in_current, added = Piece(), set(), size
        current.records.append(record)
        current.points += added
        in_current.add(group)
    if current.records or not pieces:
        pieces.append(current)
    return pieces


class PointRouter:
    """Sends each point to the pieces that need it.

    Most groups are needed by one piece, whole: their points go there by a table lookup.
    A group shared by records of several pieces, or cut into runs, goes to each piece
    whose run holds the point's place among its group's points, counted across chunks.
    """

    def __init__(self, groups: KeyGroups, group_points: np.ndarray,
                 pieces: list[Piece]) -> None:
        self._groups = groups
        needs: dict[int, list[tuple[int, int, int]]] = {}
        for number, piece in enumerate(pieces):
            for group in sorted({int(groups.record_group[r]) for r in piece.records}):
                first, end = piece.run or (0, int(group_points[group]))
                needs.setdefault(group, []).append((number, first, end))
        # -1: no piece; -2: see _shared.
        self._piece_of_group = np.full(len(groups) + 1, -1, dtype=np.intp)
        self._shared: dict[int, list[tuple[int, int, int]]] = {}
        for group, wanted in needs.items():
            whole = len(wanted) == 1 and wanted[0][1:] == (0, int(group_points[group]))
            if whole:
                self._piece_of_group[group] = wanted[0][0]
            else:
                self._piece_of_group[group] = -2
                self._shared[group] = wanted
        self._seen = np.zeros(len(groups), dtype=np.int64)

    @property
    def shares_points(self) -> bool:
        """Whether some points go to more than one piece (a base key shared by records
        of several pieces); the runs of one record's points share none."""
        for wanted in self._shared.values():
            ranges = sorted((first, end) for _, first, end in wanted)
            if any(later[0] < earlier[1] for earlier, later in zip(ranges, ranges[1:])):
                return True
        return False

    def route(self, key_a: np.ndarray, key_b: np.ndarray) -> Iterator[tuple[int, np.ndarray]]:
        """For one chunk, in table order: (piece, the chunk's rows it takes, in order)."""
        group = self._groups.of_points(key_a, key_b)
        piece = self._piece_of_group[group]  # a group of -1 reads the last cell: -1
        taken: dict[int, list[np.ndarray]] = {}
        single = np.flatnonzero(piece >= 0)
        if single.size:
            order = np.argsort(piece[single], kind="stable")
            rows, owners = single[order], piece[single][order]
            starts = np.flatnonzero(np.diff(owners, prepend=-1))
            for begin, end in zip(starts, [*starts[1:], rows.size]):
                taken.setdefault(int(owners[begin]), []).append(rows[begin:end])
        shared = np.flatnonzero(piece == -2)
        if shared.size:
            self._route_shared(shared, group[shared], taken)
        for number in sorted(taken):
            parts = taken[number]
            yield number, parts[0] if len(parts) == 1 else np.sort(np.concatenate(parts))

    def _route_shared(self, rows: np.ndarray, groups: np.ndarray,
                      taken: dict[int, list[np.ndarray]]) -> None:
        order = np.argsort(groups, kind="stable")
        rows, groups = rows[order], groups[order]
        starts = np.flatnonzero(np.diff(groups, prepend=-1))
        for begin, end in zip(starts, [*starts[1:], rows.size]):
            group = int(groups[begin])
            members = rows[begin:end]
            places = self._seen[group] + np.arange(members.size)
            self._seen[group] += members.size
            for number, first, stop in self._shared[group]:
                wanted = members[(places >= first) & (places < stop)]
                if wanted.size:
                    taken.setdefault(number, []).append(wanted)
