"""The exceptions the forgiving layer raises for tables the merge cannot use, and the
warning for points that belong to no connection record."""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quillmoor.merging.point_counts import UnassignedPoints


class MergeError(ValueError):
    """The merge refused the tables: a key without a row record, a table too narrow.

    The message is the engine's own text (it names the connection record and the key
    at fault), prefixed with the field's name when the merge ran for a named field.
    ``engine_message`` holds the engine's text alone, ``field`` the field's name or
    ``None``. Unlike the engine's ``PanicException``, this is an ordinary ``ValueError``:
    ``except Exception`` catches it, and it travels back from a Dask worker intact.
    """

    def __init__(self, engine_message: str, field: object | None = None) -> None:
        self.engine_message = engine_message
        self.field = field
        prefix = "" if field is None else f"field {field!r}: "
        super().__init__(prefix + engine_message)

    def __reduce__(self) -> tuple[Any, ...]:
        # Exceptions pickle as cls(*args); keep the field apart from the text.
        return (type(self), (self.engine_message, self.field))


class _CountsCarrier:
    """The counts of ``UnassignedPoints`` as attributes of a warning or an error."""

    counts: UnassignedPoints
    points: int
    unassigned: int
    nan_key: int
    invalid_key: int
    unknown_key: int
    gathered: int

    def _carry(self, counts: UnassignedPoints) -> None:
        self.counts = counts
        self.points = counts.points
        self.unassigned = counts.unassigned
        self.nan_key = counts.nan_key
        self.invalid_key = counts.invalid_key
        self.unknown_key = counts.unknown_key
        self.gathered = counts.gathered


class UnassignedPointsError(_CountsCarrier, MergeError):
    """Some points belong to no connection record (``merge(..., unassigned="raise")``).

    Raised before the merge runs. ``counts`` is the ``UnassignedPoints``; its figures are
    attributes of the error too (``unassigned``, ``nan_key``, ``invalid_key``,
    ``unknown_key``, ``points``, ``gathered``).
    """

    def __init__(self, counts: UnassignedPoints, field: object | None = None) -> None:
        self._carry(counts)
        super().__init__(str(counts), field)

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.counts, self.field))


class UnassignedPointsWarning(_CountsCarrier, UserWarning):
    """Some points belong to no connection record, so the result leaves them out.

    Issued by ``merge`` (``unassigned="warn"``, the default) after a merge whose points
    include such points. ``counts`` is the ``UnassignedPoints``, its figures attributes
    too (as for ``UnassignedPointsError``); ``field`` the field's name or ``None``.
    """

    def __init__(self, counts: UnassignedPoints, field: object | None = None) -> None:
        self._carry(counts)
        self.field = field
        prefix = "" if field is None else f"field {field!r}: "
        super().__init__(prefix + str(counts))

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.counts, self.field))


def is_engine_failure(error: BaseException) -> bool:
    """Whether ``error`` is the engine's internal-failure exception (``PanicException``).

    The type is made by the extension and derives from ``BaseException``; it is known
    here by its qualified name, as it is not exported.
    """
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"


@contextmanager
def engine_failures_as_merge_errors(field: object | None = None) -> Iterator[None]:
    """Turns the engine's internal failure raised inside into ``MergeError``, with the
    engine's text and ``field``; any other exception passes unchanged."""
    try:
        yield
    except BaseException as error:  # noqa: B036 - the engine's failures derive from it
        if is_engine_failure(error):
            raise MergeError(str(error), field) from None
        raise
