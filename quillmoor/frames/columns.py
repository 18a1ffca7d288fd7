"""Which column of a caller's frame holds each value the merge reads.

Every role has the name that ``quillmoor.synthetic`` gives its column, and that name is
also the default column name. A mapping renames roles for all three tables at once
(``{"x": "easting"}``), or for one table when the role is prefixed with the table's name
(``{"row_information.key_a": "row"}``; the points are ``points_in_rows.`` or
``points.``).
"""

from __future__ import annotations

from collections.abc import Mapping

from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS

TABLES = ("points", "row_information", "connected_crop_rows")
#: The points table goes by merge's name for it too.
TABLE_ALIASES = {"points_in_rows": "points"}

#: The roles the merge reads from each table, in the order the engine's layout needs them.
POINT_ROLES: tuple[str, ...] = POINT_COLUMNS[:4]
ROW_RECORD_ROLES: tuple[str, ...] = ("key_a", "key_b") + ROW_INFORMATION_COLUMNS[5:]
BASE_KEY_ROLES: tuple[str, ...] = CONNECTION_COLUMNS[1:3]
NEIGHBOUR_ROLES: tuple[tuple[str, str], ...] = tuple(
    (CONNECTION_COLUMNS[i], CONNECTION_COLUMNS[i + 1]) for i in range(3, 11, 2)
)

_ROLES = {
    "points": POINT_ROLES,
    "row_information": ROW_RECORD_ROLES,
    "connected_crop_rows": BASE_KEY_ROLES + tuple(r for pair in NEIGHBOUR_ROLES for r in pair),
}


def resolve_columns(columns: Mapping[str, str] | None) -> dict[str, dict[str, str]]:
    """The column name of every role, per table, after the caller's renames."""
    names = {table: {role: role for role in roles} for table, roles in _ROLES.items()}
    if columns is None:
        return names
    if not isinstance(columns, Mapping):
        raise TypeError(
            "columns must be a mapping from the package's column names to yours, e.g. "
            f"{{'x': 'easting'}}, got {type(columns).__name__}"
        )
    # A table's own rename wins over one for all tables, whatever the order given.
    for role, name in sorted(columns.items(), key=lambda item: "." in str(item[0])):
        table, dot, bare = str(role).rpartition(".")
        table = TABLE_ALIASES.get(table, table)
        if dot and table not in TABLES:
            raise ValueError(
                f"columns: {role!r} names no table; prefix a role with one of {', '.join(TABLES)}"
            )
        targets = [table] if dot else [t for t in TABLES if bare in _ROLES[t]]
        if not targets or any(bare not in _ROLES[t] for t in targets):
            where = f"in {table}" if dot else "in any table"
            raise ValueError(
                f"columns: {bare!r} is not a column the merge reads {where}; the roles are "
                f"points: {', '.join(POINT_ROLES)}; row_information: "
                f"{', '.join(ROW_RECORD_ROLES)}; connected_crop_rows: "
                f"{', '.join(_ROLES['connected_crop_rows'])}"
            )
        for target in targets:
            names[target][bare] = name
    return names
