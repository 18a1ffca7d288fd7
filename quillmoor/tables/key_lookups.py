"""The key lookups of a merge, made before the engine is called.

Once the tables' widths are checked, the only refusals the engine can still make for a
caller's data are keys with no row record: a connection record's base key, or one of
its neighbour keys. The engine reports such a refusal on standard error as well as in
its exception, so the forgiving layer looks the keys up first, with the engine's rules
and words, and calls the engine only on tables it accepts: a ``MergeError`` of ours
then carries the same text, and nothing is written to standard error. Only keys are
compared here; no geometry.

The rules: a base key's parts compare after truncation to unsigned 32-bit integers
(NaN, zero and negatives as 0, large values as 2**32 - 1); a neighbour key must equal a
row record's ``key_a`` and ``key_b`` cells exactly (0.0 equals -0.0, NaN matches
nothing); each neighbour list ends at the first NaN ``key_a``. The lowest failing
connection record is reported, its base key before its neighbours, as the engine does.
"""

from __future__ import annotations

from decimal import Decimal

import numpy as np

UINT32_MAX = 4294967295.0
MAX_NEIGHBOURS = 4


def unmatched_key(connected_crop_rows: np.ndarray, row_information: np.ndarray) -> str | None:
    """The engine's text for the first key without a row record, or ``None``.

    Both tables are float64 and wide enough (see ``quillmoor.tables.widths``).
    """
    records, width = connected_crop_rows.shape
    if records == 0:
        return None
    base_a = _key_cells(connected_crop_rows[:, 1])
    base_b = _key_cells(connected_crop_rows[:, 2])
    known_bases = _packed(_key_cells(row_information[:, 0]), _key_cells(row_information[:, 4]))
    failing = ~np.isin(_packed(base_a, base_b), known_bases)
    known_neighbours = _neighbour_keys(row_information[:, 0], row_information[:, 4])
    listed = np.ones(records, dtype=bool)
    neighbour_failures = []
    for k in range(MAX_NEIGHBOURS):
        column = 3 + 2 * k
        if column >= width:
            break
        listed &= ~np.isnan(connected_crop_rows[:, column])
        if column + 1 >= width:
            break  # every list has ended by now: the width check saw to that
        keys = _neighbour_keys(connected_crop_rows[:, column], connected_crop_rows[:, column + 1])
        missing = listed & ~np.isin(keys, known_neighbours)
        neighbour_failures.append(missing)
        failing |= missing
    if not failing.any():
        return None
    record = int(np.flatnonzero(failing)[0])
    if not np.isin(_packed(base_a[record : record + 1], base_b[record : record + 1]),
                   known_bases)[0]:
        key = f"({int(base_a[record])}, {int(base_b[record])})"
        return f"connection record {record}: no row record matches base key {key}"
    k = next(k for k, missing in enumerate(neighbour_failures) if missing[record])
    column = 3 + 2 * k
    a, b = connected_crop_rows[record, column], connected_crop_rows[record, column + 1]
    return (
        f"connection record {record}: no row record matches neighbour key "
        f"({shortest_text(float(a))}, {shortest_text(float(b))})"
    )


def _key_cells(cells: np.ndarray) -> np.ndarray:
    keys = np.where(cells > 0.0, cells, 0.0)  # NaN, zero and negatives
    keys = np.minimum(keys, UINT32_MAX)
    return np.trunc(keys).astype(np.uint64)


def _packed(key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
    packed: np.ndarray = (key_a << np.uint64(32)) | key_b
    return packed


def _neighbour_keys(key_a: np.ndarray, key_b: np.ndarray) -> np.ndarray:
    """Key pairs as complex numbers, which compare both parts exactly; a pair with a NaN
    part becomes NaN, which matches nothing."""
    keys = np.empty(len(key_a), dtype=np.complex128)
    keys.real = key_a + 0.0  # -0.0 becomes 0.0
    keys.imag = key_b + 0.0
    keys[np.isnan(key_a) | np.isnan(key_b)] = complex(np.nan, np.nan)
    return keys


def shortest_text(value: float) -> str:
    """``value`` as the shortest text that reads back as it, fixed or scientific,
    whichever is shorter (fixed on a tie): the engine's way of writing a cell."""
    if value != value:
        return "-nan" if np.signbit(value) else "nan"
    if value in (float("inf"), float("-inf")):
        return "inf" if value > 0 else "-inf"
    sign = "-" if np.signbit(value) else ""
    if value == 0.0:
        return sign + "0"
    digits_tuple, exponent = _digits(abs(value))
    digits = "".join(map(str, digits_tuple))
    fixed = _fixed(digits, exponent)
    scientific = _scientific(digits, exponent)
    return sign + (fixed if len(fixed) <= len(scientific) else scientific)


def _digits(value: float) -> tuple[tuple[int, ...], int]:
    # repr gives the shortest digits that read back as the value.
    parts = Decimal(repr(value)).normalize().as_tuple()
    assert isinstance(parts.exponent, int)
    return parts.digits, parts.exponent


def _fixed(digits: str, exponent: int) -> str:
    if exponent >= 0:
        return digits + "0" * exponent
    point = len(digits) + exponent
    if point > 0:
        return digits[:point] + "." + digits[point:]
    return "0." + "0" * -point + digits


def _scientific(digits: str, exponent: int) -> str:
    power = len(digits) - 1 + exponent
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{mantissa}e{'+' if power >= 0 else '-'}{abs(power):02d}"
