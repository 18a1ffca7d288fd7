"""The input paths of ``quillmoor merge``, checked before anything is read: how many,
of which kinds, and whether ``--column`` applies to them."""

from __future__ import annotations

import os

from quillmoor.cli.command_error import CommandError

TABLE_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
TABLE_SUFFIXES = (".npy", ".csv", ".parquet")
NAMED_COLUMN_SUFFIXES = (".csv", ".parquet")


def table_sources(inputs: list[str], column_flags: bool) -> dict[str, str]:
    """Which path each table comes from; mistakes in the paths given as a ``CommandError``.

    One input is an .npz file or a folder with all three tables; three are the tables
    in the merge's order, each a .npy, .csv or .parquet file (or a folder of Parquet
    files).
    """
    if len(inputs) not in (1, 3):
        raise CommandError(
            "expected one .npz file, or three table files (connected_crop_rows, "
            f"points_in_rows, row_information as .npy, .csv or .parquet), got {len(inputs)}"
        )
    if len(inputs) == 1:
        (path,) = inputs
        if _suffix(path) != ".npz" and not os.path.isdir(path):
            raise CommandError(
                f"{path}: a single input is an .npz file or a folder holding the three "
                "tables; otherwise give connected_crop_rows, points_in_rows and "
                "row_information as three files"
            )
    else:
        for path in inputs:
            if _suffix(path) == ".npz":
                raise CommandError(f"{path}: an .npz file holds all three tables; give it alone")
            if _suffix(path) not in TABLE_SUFFIXES and not os.path.isdir(path):
                raise CommandError(
                    f"{path}: not a kind of table file this command reads; use .npy, .csv "
                    "or .parquet"
                )
    if column_flags and not any(_suffix(path) in NAMED_COLUMN_SUFFIXES or os.path.isdir(path)
                                for path in inputs):
        raise CommandError(
            "--column names columns of CSV and Parquet tables; "
            f"{', '.join(inputs)} {'holds' if len(inputs) == 1 else 'hold'} NumPy arrays, "
            "whose columns go by position"
        )
    if len(inputs) == 1:
        return dict.fromkeys(TABLE_NAMES, inputs[0])
    return dict(zip(TABLE_NAMES, inputs))


def _suffix(path: str) -> str:
    return os.path.splitext(path.rstrip("/"))[1].lower()
