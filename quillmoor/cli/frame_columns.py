"""The columns of CSV and Parquet tables, checked before the merge in the command line's
words: the file, the column, and the ``--column`` flag that names another one."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from quillmoor.cli.command_error import CommandError

#: The roles a table must have; neighbour keys of connection records are optional.
REQUIRED_ROLES = {
    "points_in_rows": ("key_a", "key_b", "x", "y"),
    "row_information": ("key_a", "key_b", "p0_x", "p0_y", "p1_x", "p1_y", "p2_x", "p2_y"),
    "connected_crop_rows": ("key_a", "key_b"),
}
#: The table names of ``--column TABLE.ROLE=NAME``.
FLAG_TABLE = {"points_in_rows": "points", "row_information": "row_information",
              "connected_crop_rows": "connected_crop_rows"}


def check_column_flags(mapping: Mapping[str, str] | None) -> None:
    """Refuse a ``--column ROLE=NAME`` whose role (or table) the merge does not know."""
    from quillmoor.frames.columns import (
        BASE_KEY_ROLES,
        NEIGHBOUR_ROLES,
        POINT_ROLES,
        ROW_RECORD_ROLES,
    )

    roles = {
        "points": POINT_ROLES,
        "points_in_rows": POINT_ROLES,
        "row_information": ROW_RECORD_ROLES,
        "connected_crop_rows": BASE_KEY_ROLES + tuple(r for pair in NEIGHBOUR_ROLES for r in pair),
    }
    every = list(dict.fromkeys(role for known in roles.values() for role in known))
    for role, name in (mapping or {}).items():
        table, dot, bare = role.rpartition(".")
        if dot and table not in roles:
            raise CommandError(
                f"--column {role}={name}: {table!r} is not a table; use points, "
                "row_information or connected_crop_rows before the dot"
            )
        if bare not in (roles[table] if dot else every):
            known = ", ".join(roles[table] if dot else every)
            raise CommandError(
                f"--column {role}={name}: {bare!r} is not a column the merge reads"
                f"{' in ' + table if dot else ''}; it reads {known}"
            )


def column_names(mapping: Mapping[str, str] | None) -> dict[str, dict[str, str]]:
    """The column name of every role per table, after ``--column``."""
    from quillmoor.frames.columns import resolve_columns

    return resolve_columns(mapping)


def check_frame_columns(
    tables: Mapping[str, Any], sources: Mapping[str, str], mapping: Mapping[str, str] | None
) -> None:
    """Refuse a table read from CSV or Parquet that lacks a column the merge reads."""
    names = column_names(mapping)
    for table, frame in tables.items():
        present = _columns_of(frame)
        if present is None:
            continue  # a plain array, in the merge's own layout
        wanted = names[FLAG_TABLE[table]]
        for role in REQUIRED_ROLES[table]:
            if wanted[role] not in present:
                shown = ", ".join(map(str, present)) or "none"
                raise CommandError(
                    f"{sources[table]}: no column {wanted[role]!r} (it has: {shown}); name "
                    f"the column that holds {role} with --column "
                    f"{FLAG_TABLE[table]}.{role}=NAME"
                )


def _columns_of(table: Any) -> list[Any] | None:
    if hasattr(table, "column_names"):  # an Arrow table
        return list(table.column_names)
    if hasattr(table, "columns") and hasattr(table, "iloc"):
        return list(table.columns)
    return None
