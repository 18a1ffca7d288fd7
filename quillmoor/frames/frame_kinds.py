"""The three table libraries a frame may come from, and the few things asked of each.

pandas (a GeoDataFrame too), polars and Arrow each select rows by position with their
own operation (``row_selection``), which keeps every column, dtype and (pandas) the index
as it was. Each is recognised by its type's module, so none of them is imported to find
out.
"""

from __future__ import annotations

from typing import Any, Literal

Kind = Literal["pandas", "polars", "arrow"]


def frame_kind(obj: object) -> Kind | None:
    """Which library's frame ``obj`` is, or ``None`` for anything else."""
    module = type(obj).__module__
    if module.startswith("pyarrow") and hasattr(obj, "column_names") and hasattr(obj, "take"):
        return "arrow"
    if module.startswith("polars") and hasattr(obj, "height") and hasattr(obj, "get_column"):
        return "polars"
    if hasattr(obj, "iloc") and hasattr(obj, "columns"):
        return "pandas"
    return None


def is_frame(obj: object) -> bool:
    return frame_kind(obj) is not None


def is_lazy_polars(obj: object) -> bool:
    return type(obj).__module__.startswith("polars") and hasattr(obj, "collect")


def row_count(frame: Any, kind: Kind) -> int:
    if kind == "arrow":
        return int(frame.num_rows)
    if kind == "polars":
        return int(frame.height)
    return len(frame)


def column_names(frame: Any, kind: Kind) -> list[Any]:
    return list(frame.column_names) if kind == "arrow" else list(frame.columns)
