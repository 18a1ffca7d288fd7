"""The exception the forgiving layer raises for tables the merge cannot use."""

from __future__ import annotations

from typing import Any


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


def is_engine_failure(error: BaseException) -> bool:
    """Whether ``error`` is the engine's internal-failure exception (``PanicException``).

    The type is made by the extension and derives from ``BaseException``; it is known
    here by its qualified name, as it is not exported.
    """
    kind = type(error)
    return kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
