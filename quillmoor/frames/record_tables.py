"""The two small tables (row records, connection records) in the engine's layout, from
frames whose columns are found by name; plain tables pass through as they are."""

from __future__ import annotations

from typing import Any

import numpy as np

from quillmoor.frames.columns import NEIGHBOUR_ROLES
from quillmoor.frames.float_columns import float_column
from quillmoor.frames.frame_kinds import column_names, frame_kind, row_count

#: The reference points, in the order of columns 5 to 10 of a row record.
REFERENCE_ROLES = ("p0_x", "p0_y", "p1_x", "p1_y", "p2_x", "p2_y")


def row_records(rows: Any, names: dict[str, str]) -> Any:
    kind = frame_kind(rows)
    if kind is None:
        return rows  # a plain table in the engine's own layout
    table = np.zeros((row_count(rows, kind), 11))
    table[:, 0] = float_column(rows, kind, names["key_a"], "row_information")
    table[:, 4] = float_column(rows, kind, names["key_b"], "row_information")
    for offset, role in enumerate(REFERENCE_ROLES):
        table[:, 5 + offset] = float_column(rows, kind, names[role], "row_information")
    return table


def connection_records(connections: Any, names: dict[str, str]) -> Any:
    kind = frame_kind(connections)
    if kind is None:
        return connections
    present = set(column_names(connections, kind))
    pairs = 0
    for key_a, _ in NEIGHBOUR_ROLES:
        if names[key_a] not in present:
            break
        pairs += 1
    for key_a, _ in NEIGHBOUR_ROLES[pairs:]:
        if names[key_a] in present:
            raise KeyError(
                f"connected_crop_rows has a column {names[key_a]!r} but not the neighbour "
                f"columns before it; neighbour keys fill n0_key_a, n0_key_b, n1_key_a, ... "
                "in order"
            )
    records = row_count(connections, kind)
    # Column 0 is not read; after the last neighbour pair a NaN column ends every list.
    width = 3 + 2 * pairs + (1 if pairs < len(NEIGHBOUR_ROLES) else 0)
    table = np.full((records, width), np.nan)
    table[:, 0] = np.arange(records)

    def fill(column: int, role: str) -> None:
        table[:, column] = float_column(connections, kind, names[role], "connected_crop_rows")

    fill(1, "key_a")
    fill(2, "key_b")
    for k, (key_a, key_b) in enumerate(NEIGHBOUR_ROLES[:pairs]):
        fill(3 + 2 * k, key_a)
        fill(4 + 2 * k, key_b)
    return table
