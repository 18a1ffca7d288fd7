"""``merge_file``: a field merged from its files into an output file, within a memory budget.

Three passes over the points table, a chunk at a time: the first counts the points of
each base key (and those of no record), the second sends every point to the file of the
piece that merges it, the third merges the pieces in order and appends each piece's kept
rows to the output. A field whose points fit the budget at once skips the files. The
output is written as the in-memory merge writes it, under a temporary name until it is
complete; a refusal or an interrupt leaves no output and no piece files.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any, SupportsFloat, SupportsIndex

import numpy as np

from quillmoor._native import argmerge as native_argmerge
from quillmoor.errors import UnassignedPointsError, engine_failures_as_merge_errors
from quillmoor.frames.columns import POINT_ROLES, resolve_columns
from quillmoor.frames.float_columns import float_column
from quillmoor.frames.row_selection import take_rows
from quillmoor.frames.record_tables import connection_records, row_records
from quillmoor.merging.forgiving_argmerge import prepared_tables
from quillmoor.merging.forgiving_merge import as_thread_count, as_tolerance
from quillmoor.merging.point_counts import UnassignedPoints
from quillmoor.merging.unassigned_points import key_reasons
from quillmoor.merging.unassigned_policy import UnassignedPolicy, check_policy, reported_after
from quillmoor.pieces.memory_budget import (
    available_memory,
    parse_memory_size,
    resident_memory,
    return_freed_memory,
)
from quillmoor.pieces.piece_plan import KeyGroups, PointRouter, plan_pieces
from quillmoor.pieces.piece_writers import piece_writer
from quillmoor.pieces.pieces_progress import PiecesProgress
from quillmoor.pieces.point_chunks import PointChunks, open_point_chunks
from quillmoor.pieces.spill_files import SpillFiles
from quillmoor.tables.decoding import decode_npz
from quillmoor.tables.encoding import number_array
from quillmoor.tables.file_errors import TableFileError, os_reason, suffix_of
from quillmoor.tables.reading import TABLE_NAMES, named_table, read_table
from quillmoor.tables.places import Place, place_of
from quillmoor.tables.writing import committed_file

#: The in-memory merge holds the points about this many times over (the table as read,
#: its float64 copy or frame, the result) ...
COPIES_IN_MEMORY = 3
#: ... or this many times, a DataFrame's (Arrow's buffers, pandas' blocks, the result) ...
COPIES_OF_A_FRAME = 5
#: ... and a field is merged piece by piece when that would take more than this share
#: of the memory available.
SHARE_TO_FILL = 0.8
#: The budget when none is given and the system does not say what memory is free.
DEFAULT_BUDGET = 1 << 30
#: Held apart from the budget for the small tables' copies, lookups and buffers, and
#: for memory freed but not yet returned to the system: a share, and a few MiB.
_FIXED_SHARE = 4
_FIXED_BYTES = 8 * 2**20
#: A piece's points are held about this many times over (the piece, its kept rows, the
#: output's own conversion), plus the engine's few words per point.
_COPIES_OF_A_PIECE = {"array": 2.0, "frame": 6.5}
#: A chunk of a frame is read through Arrow's buffers and pandas' blocks, a few times
#: its own size at once: chunks of frames are kept to this share of the budget.
_FRAME_CHUNK_SHARE = 32
_ENGINE_BYTES_PER_POINT = 32


@dataclass(frozen=True)
class FileMergeSummary:
    """What ``merge_file`` did: the ``output`` written (with ``.npy`` added where the
    name had no table suffix), its ``kept`` rows of the field's ``points``, the
    connection ``records``, the ``pieces`` merged one after another, and the ``counts``
    of points in no connection record."""

    output: str
    records: int
    points: int
    kept: int
    pieces: int
    counts: UnassignedPoints


def merge_file(
    sources: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    output: str | os.PathLike[str] | Place,
    *,
    memory: int | str | None = None,
    tolerance: SupportsFloat = 0.0,
    num_threads: SupportsIndex = 0,
    columns: Mapping[str, str] | None = None,
    unassigned: UnassignedPolicy = "warn",
    spill_folder: str | os.PathLike[str] | None = None,
) -> FileMergeSummary:
    """Merge a field stored in files and write the kept points to ``output``, holding no
    more than ``memory`` of the points at a time, however large the field.

    ``sources`` is one ``.npz`` archive of the field, a folder holding its three table
    files, or the three table files in the merge's order (``connected_crop_rows``,
    ``points_in_rows``, ``row_information``), as ``quillmoor merge`` takes them. The
    points are read a chunk at a time: from ``.npy`` (or the archive's member), Parquet
    (a file or a folder of files, by row group) or CSV; the two small tables are read
    whole. ``output`` ends in ``.npy``, ``.csv`` or ``.parquet`` (``.npy`` is added to
    other names) and is written as ``quillmoor merge`` writes it: the same rows in the
    same order (each connection record's points in table order, record after record),
    the same columns, under a temporary name until it is complete.

    ``memory`` is a byte count or a size such as ``"256M"`` or ``"2G"`` (by default,
    half the memory available): the points held at once, with the merge's own copies,
    stay within it; the interpreter and its libraries come on top. Pieces of the field
    wait in files in a temporary folder beside the output (or in ``spill_folder``),
    removed at the end. ``tolerance``, ``num_threads``, ``unassigned`` and the errors
    are those of ``quillmoor.merge``; ``columns`` names the columns of CSV and Parquet
    tables as for ``quillmoor.merge_frame``. Files that cannot be read raise
    ``TableFileError`` naming the file.
    """
    budget = _budget(memory)
    memory_watch = _MemoryWatch(budget)
    check_policy(unassigned)
    distance, threads = as_tolerance(tolerance), as_thread_count(num_threads)
    field = _FieldFiles.of(sources)
    points = open_point_chunks(field.points, npz=field.archive is not None)
    names = resolve_columns(columns)
    connections, rows = _small_tables(field, points, names)
    target = output if isinstance(output, Place) else place_of(_output_path(os.fspath(output)))
    # Records that would fail the merge fail it here, before any point is read.
    _positions(connections, [np.zeros(0)] * 4, rows, distance, threads)

    # The groups' table takes at most a sixteenth of the budget.
    groups = KeyGroups(connections, budget // 16 // 4)
    chunk_rows = _chunk_rows(budget, connections, rows, points)
    progress = PiecesProgress(points.rows, 3)
    try:
        survey, pieces, kept = _merge_in_pieces(
            points, names, connections, rows, groups, target, budget, chunk_rows,
            _Settings(distance, threads, unassigned, spill_folder, field.point_columns),
            memory_watch, progress)
    finally:
        progress.close()
    reported_after(survey.counts, unassigned, None)
    return FileMergeSummary(target.shown, connections.shape[0], survey.points, kept, len(pieces),
                            survey.counts)


@dataclass
class _Settings:
    distance: float
    threads: int
    unassigned: UnassignedPolicy
    spill_folder: str | os.PathLike[str] | None
    point_columns: Sequence[str] | None


def _merge_in_pieces(points: PointChunks, names: dict[str, dict[str, str]],
                     connections: np.ndarray, rows: np.ndarray, groups: KeyGroups,
                     target: Place, budget: int, chunk_rows: int, settings: _Settings,
                     memory_watch: _MemoryWatch, progress: PiecesProgress
                     ) -> tuple[_Survey, list[Any], int]:
    """The three passes (two when the points come record after record)."""
    survey = _survey(points, names, connections, groups, chunk_rows, progress)
    memory_watch.check()
    unassigned = settings.unassigned
    if isinstance(unassigned, str) and unassigned == "raise" and survey.counts.unassigned:
        raise UnassignedPointsError(survey.counts)
    if points.kind == "frame" and survey.csv_dtypes is not None:
        points = points.with_csv_dtypes(survey.csv_dtypes)
    if suffix_of(target.path) == ".npy":
        number_array(survey.template, target.shown)  # refused now, not after the merge
    piece_points = _piece_points(budget, connections, rows, points.kind, survey.row_bytes)
    pieces = plan_pieces(groups, survey.group_points, piece_points)
    chunk_rows = max(1, min(piece_points, _chunk_rows_for(
        _usable(budget, connections, rows), survey.row_bytes, points.kind)))

    router = PointRouter(groups, survey.group_points, pieces)
    # Points that come record after record (as a field is usually recorded) are merged
    # as they are read; others wait in the pieces' files for a third pass.
    streamed = len(pieces) == 1 or (survey.in_record_order and not router.shares_points)
    progress.planned(survey.points, 2 if streamed else 3)
    tables = _EngineTables(connections, rows, settings.distance, settings.threads, names,
                           memory_watch)
    read = _Reading(points, names, chunk_rows, router, progress, survey.template)
    if streamed:
        kept = _merge_pieces(target, pieces, tables, read.streamed(len(pieces)), survey,
                             settings.point_columns, progress)
        return survey, pieces, kept
    with _spill_folder(settings.spill_folder, target) as folder:
        spill = SpillFiles(folder, len(pieces), survey.template)
        try:
            read.spill(spill)
            kept = _merge_pieces(target, pieces, tables,
                                 (spill.take(number) for number in range(len(pieces))),
                                 survey, settings.point_columns, progress)
        finally:
            spill.close()
    return survey, pieces, kept


@dataclass
class _FieldFiles:
    """The files of a field: the archive holding all three tables, or one per table."""

    tables: dict[str, str]
    archive: str | None = None
    point_columns: Sequence[str] | None = None

    @property
    def points(self) -> str:
        return self.tables["points_in_rows"]

    @staticmethod
    def of(sources: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> _FieldFiles:
        if isinstance(sources, (str, os.PathLike)):
            location = os.fspath(sources)
            if os.path.isdir(location):
                folder = place_of(location)
                return _FieldFiles({name: named_table(folder, name).path
                                    for name in TABLE_NAMES})
            if suffix_of(location) != ".npz":
                raise ValueError(
                    f"{location}: a field is one .npz archive, a folder of its three "
                    "tables, or the three table files in a list"
                )
            return _FieldFiles(dict.fromkeys(TABLE_NAMES, location), location)
        paths = [os.fspath(path) for path in sources]
        if len(paths) != 3:
            raise ValueError(
                "give the field's three tables (connected_crop_rows, points_in_rows, "
                f"row_information), not {len(paths)} files"
            )
        return _FieldFiles(dict(zip(TABLE_NAMES, paths)))


def _small_tables(field: _FieldFiles, points: PointChunks,
                  names: dict[str, dict[str, str]]) -> tuple[np.ndarray, np.ndarray]:
    """``connected_crop_rows`` and ``row_information`` as the engine takes them."""
    if field.archive is not None:
        try:
            with open(field.archive, "rb") as stream:
                arrays, field.point_columns = decode_npz(
                    stream, field.archive, ("connected_crop_rows", "row_information"))
        except OSError as error:
            raise TableFileError(f"{field.archive}: cannot read it: {os_reason(error)}") \
                from None
        connections, rows = arrays["connected_crop_rows"], arrays["row_information"]
    else:
        connections = read_table(field.tables["connected_crop_rows"])
        rows = read_table(field.tables["row_information"])
    if points.kind == "frame":
        connections = connection_records(connections, names["connected_crop_rows"])
        rows = row_records(rows, names["row_information"])
    # Checked against the points' width as the in-memory merge checks them.
    sample = (np.zeros((min(points.rows or 0, 1), points.width or 0))
              if points.kind == "array" else None)
    return prepared_tables(connections, rows, sample)


@dataclass
class _Survey:
    """What the first pass learnt: the points per group, the counts, the rows' size."""

    points: int
    group_points: np.ndarray
    counts: UnassignedPoints
    row_bytes: float
    template: Any
    csv_dtypes: dict[str, Any] | None
    in_record_order: bool


def _survey(points: PointChunks, names: dict[str, dict[str, str]], connections: np.ndarray,
            groups: KeyGroups, chunk_rows: int, progress: PiecesProgress) -> _Survey:
    group_points = np.zeros(len(groups), dtype=np.int64)
    tally = _Tally(groups)
    order = _RecordOrder(groups)
    total, row_bytes, template = 0, 8.0 * (points.width or 4), None
    dtypes: list[Any] = []
    # Of a Parquet table only the four columns read here; the first rows give the
    # others' types and the size of a row.
    wanted = None
    if points.kind == "frame" and suffix_of(points.path) != ".csv":
        first = next(iter(points.chunks(min(chunk_rows, 4096))), None)
        if first is not None:
            _point_columns(first, names)  # a missing column is named among all of them
        if first is not None and len(first):
            template = first.iloc[:0]
            row_bytes = max(row_bytes, float(first.memory_usage(deep=True).sum()) / len(first))
        wanted = [names["points"][role] for role in POINT_ROLES]
    for chunk in points.chunks(chunk_rows, wanted):
        key_a, key_b, _, _ = _point_columns(chunk, names)
        group = groups.of_points(key_a, key_b)
        tally.add(key_a, key_b, group)
        group_points += np.bincount(group[group >= 0], minlength=len(groups))
        order.add(group)
        progress.read(len(chunk))
        total += len(chunk)
        if template is None:
            template = chunk[:0] if isinstance(chunk, np.ndarray) else chunk.iloc[:0]
        if wanted is None and points.kind == "frame" and len(chunk):
            row_bytes = max(row_bytes, float(chunk.memory_usage(deep=True).sum()) / len(chunk))
            dtypes.append(chunk.dtypes)
    if template is None:
        template = np.zeros((0, points.width or 4))
    csv = suffix_of(points.path) == ".csv"
    return _Survey(total, group_points, tally.counts, row_bytes, template,
                   _common_dtypes(dtypes) if csv and dtypes else None, order.kept)


class _Tally:
    """The counts of ``count_unassigned_points``, a chunk at a time, from the points'
    groups."""

    def __init__(self, groups: KeyGroups) -> None:
        self._records_of_group = groups.records_of_group
        self._points = self._unassigned = self._nan = self._invalid = self._gathered = 0

    def add(self, key_a: np.ndarray, key_b: np.ndarray, group: np.ndarray) -> None:
        assigned = group >= 0
        self._points += group.shape[0]
        self._gathered += int(self._records_of_group[group[assigned]].sum())
        lost = np.flatnonzero(~assigned)
        if lost.size:
            nan, invalid = key_reasons(np.column_stack((key_a[lost], key_b[lost])))
            self._unassigned += lost.size
            self._nan += nan
            self._invalid += invalid

    @property
    def counts(self) -> UnassignedPoints:
        unknown = self._unassigned - self._nan - self._invalid
        return UnassignedPoints(self._points, self._unassigned, self._nan, self._invalid,
                                unknown, self._gathered)


class _RecordOrder:
    """Whether the points come record after record: the first record of each point's
    group never goes back (points of no record aside)."""

    def __init__(self, groups: KeyGroups) -> None:
        records = groups.record_group.shape[0]
        self._first = np.full(len(groups), records, dtype=np.int64)
        np.minimum.at(self._first, groups.record_group, np.arange(records))
        self._last = -1
        self.kept = True

    def add(self, group: np.ndarray) -> None:
        if not self.kept:
            return
        first = self._first[group[group >= 0]]
        if first.size:
            self.kept = bool(first[0] >= self._last and np.all(first[1:] >= first[:-1]))
            self._last = int(first[-1])


def _common_dtypes(chunks: list[Any]) -> dict[str, Any]:
    """Per column, the dtype the whole CSV file would have been read with: numbers of
    different kinds become the wider one, anything else mixed stays text (object)."""
    common: dict[str, Any] = {}
    for name in chunks[0].index:
        kinds = [dtypes[name] for dtypes in chunks]
        if all(kind == kinds[0] for kind in kinds):
            common[name] = kinds[0]
        elif all(getattr(kind, "kind", "O") in "iuf" for kind in kinds):
            common[name] = np.result_type(*kinds)
        else:
            common[name] = object
    return common


@dataclass
class _Reading:
    """The second pass over the points: each point sent to the pieces that need it."""

    points: PointChunks
    names: dict[str, dict[str, str]]
    chunk_rows: int
    router: PointRouter
    progress: PiecesProgress
    template: Any

    def spill(self, spill: SpillFiles) -> None:
        """Every piece's points into its file."""
        for chunk, routed in self._routed():
            if spill.columnar:
                # Taken column by column: a frame's own row selection costs much more
                # for the many small parts a chunk of shuffled points makes.
                columns = [chunk.iloc[:, place].to_numpy()
                           for place in range(chunk.shape[1])]
                for piece, taken in routed:
                    spill.append(piece, [column[taken] for column in columns])
                continue
            for piece, taken in routed:
                spill.append(piece, _rows(chunk, taken))

    def streamed(self, pieces: int) -> Iterator[Any]:
        """Each piece's points, in piece order, as soon as the points of a later piece
        come: the points come record after record, so it has them all."""
        current = 0
        parts: list[Any] = []
        for chunk, routed in self._routed():
            for piece, taken in routed:
                while piece > current:
                    table = _joined(parts, self.template)
                    current, parts = current + 1, []
                    yield table
                    del table  # merged: not held while the next piece is read
                # A whole chunk is kept as it is, not copied.
                parts.append(chunk if taken.size == len(chunk) else _rows(chunk, taken))
        while current < pieces:
            table = _joined(parts, self.template)
            current, parts = current + 1, []
            yield table
            del table

    def _routed(self) -> Iterator[tuple[Any, Any]]:
        for chunk in self.points.chunks(self.chunk_rows):
            key_a, key_b = _key_columns(chunk, self.names)
            yield chunk, self.router.route(key_a, key_b)
            self.progress.read(len(chunk))


def _rows(chunk: Any, taken: np.ndarray) -> Any:
    return chunk[taken] if isinstance(chunk, np.ndarray) else chunk.iloc[taken]


def _merge_pieces(target: Place, pieces: list[Any], tables: _EngineTables,
                  piece_tables: Iterator[Any], survey: _Survey,
                  point_columns: Sequence[str] | None, progress: PiecesProgress) -> int:
    """Each piece merged as its points come, its kept rows appended to the output."""
    with committed_file(target) as out:
        writer = piece_writer(suffix_of(target.path), out, target.shown, survey.template,
                              point_columns, survey.counts.gathered)
        for number, piece in enumerate(pieces):
            # Taken here, not through zip(): zip's reused tuple would hold the last
            # piece's rows while the next piece's are read.
            table = next(piece_tables)
            progress.merging(number, len(pieces))
            if isinstance(table, np.ndarray):
                columns = [table[:, column] for column in range(4)] if len(table) else \
                    [np.zeros(0)] * 4
            else:
                columns = list(_point_columns(table, tables.names))
            positions = _positions(tables.connections[piece.records], columns, tables.rows,
                                   tables.distance, tables.threads)
            writer.write(table[positions] if isinstance(table, np.ndarray)
                         else take_rows(table, "pandas", positions))
            # Freed now, not when the next piece's rows are already read; handed back
            # to the system when the allocators keep too much of it.
            del table, columns, positions
            tables.memory.check()
            progress.read(piece.points)
        writer.finish()
    return writer.rows


@dataclass
class _EngineTables:
    """The two small tables as the engine takes them, and the merge's settings."""

    connections: np.ndarray
    rows: np.ndarray
    distance: float
    threads: int
    names: dict[str, dict[str, str]]
    memory: _MemoryWatch


class _MemoryWatch:
    """Hands freed memory back to the system when the process holds more than a share
    of the budget above what it held at the start (trimming costs time: not always)."""

    def __init__(self, budget: int) -> None:
        self._start = resident_memory() or 0
        self._limit = budget // 2

    def check(self) -> None:
        resident = resident_memory()
        if resident is not None and resident - self._start > self._limit:
            return_freed_memory()


def _positions(connections: np.ndarray, columns: list[np.ndarray], rows: np.ndarray,
               distance: float, threads: int) -> np.ndarray:
    """The engine's kept positions for one piece, its bar hidden (ours is drawn)."""
    with engine_failures_as_merge_errors():
        positions: np.ndarray = native_argmerge(connections, columns, rows, distance, threads,
                                                progress=False)
    return positions


def _point_columns(chunk: Any, names: dict[str, dict[str, str]]) -> tuple[np.ndarray, ...]:
    """key_a, key_b, x and y of a chunk, as float64 columns (refused as merge_frame
    refuses them)."""
    if isinstance(chunk, np.ndarray):
        return tuple(chunk[:, column] for column in range(4))
    return tuple(float_column(chunk, "pandas", names["points"][role], "points")
                 for role in POINT_ROLES)


def _key_columns(chunk: Any, names: dict[str, dict[str, str]]) -> tuple[np.ndarray, np.ndarray]:
    if isinstance(chunk, np.ndarray):
        return chunk[:, 0], chunk[:, 1]
    return (float_column(chunk, "pandas", names["points"]["key_a"], "points"),
            float_column(chunk, "pandas", names["points"]["key_b"], "points"))


def _joined(parts: list[Any], template: Any) -> Any:
    if not parts:
        return template
    if len(parts) == 1:
        return parts[0]
    if isinstance(parts[0], np.ndarray):
        return np.concatenate(parts)
    import pandas

    return pandas.concat(parts, ignore_index=True)


def _budget(memory: int | str | None) -> int:
    if memory is None:
        available = available_memory()
        return DEFAULT_BUDGET if available is None else max(available // 2, 16 * 2**20)
    if isinstance(memory, str):
        return parse_memory_size(memory)
    if isinstance(memory, bool) or not isinstance(memory, int):
        raise TypeError(f"memory must be a byte count or a size such as '256M', got "
                        f"{type(memory).__name__} {memory!r}")
    return parse_memory_size(str(memory))


def _output_path(output: str) -> str:
    suffix = suffix_of(output)
    if suffix == ".npz":
        raise ValueError(f"{output}: the kept points are one table; save them as .npy, .csv "
                         "or .parquet")
    return output if suffix in (".npy", ".csv", ".parquet") else output + ".npy"


@contextmanager
def _spill_folder(given: str | os.PathLike[str] | None, target: Place) -> Iterator[str]:
    # Beside a local output, on its disk; the system's temporary folder for a remote one.
    if given is not None:
        parent: str | None = os.fspath(given)
    else:
        parent = os.path.dirname(os.path.abspath(target.path)) if target.is_local else None
    try:
        folder = tempfile.TemporaryDirectory(prefix=".quillmoor-pieces-", dir=parent)
    except OSError as error:
        raise TableFileError(f"{parent}: cannot keep the pieces of the field there: "
                             f"{os_reason(error)}") from None
    with folder as path:
        yield path


def _fixed_bytes(connections: np.ndarray, rows: np.ndarray) -> int:
    """What the budget holds besides the points: the small tables' copies and lookups."""
    return 3 * (connections.nbytes + rows.nbytes) + 48 * connections.shape[0]


def _usable(budget: int, connections: np.ndarray, rows: np.ndarray) -> int:
    usable = budget - budget // _FIXED_SHARE - _FIXED_BYTES - _fixed_bytes(connections, rows)
    if usable < budget // 8:
        raise ValueError(
            f"the budget of {budget:,} bytes is too small for this field's "
            f"{connections.shape[0]:,} connection records; give more memory"
        )
    return usable


def _chunk_rows(budget: int, connections: np.ndarray, rows: np.ndarray,
                points: PointChunks) -> int:
    """Rows per chunk of the first pass, before the rows' size is known for frames."""
    row_bytes = 8.0 * points.width if points.width else 256.0
    return _chunk_rows_for(_usable(budget, connections, rows), row_bytes, points.kind)


def _chunk_rows_for(usable: int, row_bytes: float, kind: str) -> int:
    if kind == "frame":
        return max(1024, int(usable / _FRAME_CHUNK_SHARE / row_bytes))
    # A chunk, its columns as float64 and the copies sent to the pieces' files.
    return max(1024, int(usable / 4 / (row_bytes + 64)))


def _piece_points(budget: int, connections: np.ndarray, rows: np.ndarray, kind: str,
                  row_bytes: float) -> int:
    per_point = _COPIES_OF_A_PIECE[kind] * row_bytes + _ENGINE_BYTES_PER_POINT
    return max(1, int(_usable(budget, connections, rows) / per_point))


def in_memory_bytes(sources: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> int:
    """About what merging the field whole in memory would take, told from the points'
    file without reading it (an .npy header, an .npz member's header, a Parquet file's
    metadata, else the file's size); 0 when the files do not say."""
    try:
        field = _FieldFiles.of(sources)
        points = open_point_chunks(field.points, npz=field.archive is not None)
    except (TableFileError, OSError, ValueError):
        return 0  # the reader says what is wrong with it, when it reads it
    if points.rows is not None and points.width is not None:
        size = 8 * points.rows * points.width
        if points.kind == "frame":
            return COPIES_OF_A_FRAME * size
    else:
        try:
            size = os.path.getsize(points.path) if os.path.isfile(points.path) else 0
        except OSError:
            size = 0
    return COPIES_IN_MEMORY * size
