"""A note on a refusal whose key the engine spells differently from the table's cells.

The engine names a base key by its converted parts, so a record whose ``key_a`` cell is
NaN is reported as having key 0 ("no row record matches base key (0, 2)"), and one of
7.6 as key 7. The text stays the engine's; a note says which cell was read how.
"""

from __future__ import annotations

import re

import numpy as np

from quillmoor.errors import MergeError

_BASE_KEY_REFUSAL = re.compile(r"^connection record (\d+): no row record matches base key ")
KEY_MAX = 4294967295.0


def explained_refusal(error: MergeError, connected_crop_rows: np.ndarray) -> MergeError:
    """``error``, with a note for each base-key cell of its record that is not a key as
    written (NaN, negative, fractional, beyond 2**32 - 1)."""
    found = _BASE_KEY_REFUSAL.match(error.engine_message)
    if found is None or not hasattr(error, "add_note"):
        return error
    record = int(found.group(1))
    for column, part in ((1, "key_a"), (2, "key_b")):
        note = cell_note(float(connected_crop_rows[record, column]))
        if note:
            error.add_note(f"connected_crop_rows[{record}, {column}] ({part}) is {note}")
    return error


def cell_note(cell: float) -> str | None:
    """How the engine reads a key cell that is not a whole number from 0 to 2**32 - 1,
    e.g. ``nan, read as 0``; ``None`` for a cell read as it is."""
    if cell != cell:
        return "nan, read as 0"
    if 0.0 <= cell <= KEY_MAX and cell == int(cell):
        return None
    read = 0 if cell < 0 else int(KEY_MAX) if cell >= KEY_MAX else int(cell)
    return f"{cell!r}, read as {read}"
