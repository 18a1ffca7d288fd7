"""``--picture PNG``: the user's own field drawn as the demo draws it, for ``merge`` and
``merge-layers``."""

from __future__ import annotations

import os
from typing import Any

from quillmoor.cli.command_error import CommandError


def check_picture(path: str) -> None:
    """Refuses, before any work, a picture that could not be written."""
    from quillmoor.cli.plotting import matplotlib_missing

    if matplotlib_missing():
        raise CommandError("--picture needs matplotlib: pip install 'quillmoor[demo]'")
    if not path.lower().endswith(".png"):
        raise CommandError(f"{path}: --picture writes a PNG (.png)")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CommandError(f"{path}: the folder {folder} does not exist")


def draw_picture(path: str, connected_crop_rows: Any, points: Any, row_information: Any,
                 kept: Any, title: str) -> None:
    """The field (points: key_a, key_b, x, y first) with the ``kept`` points (a mask,
    positions or the merged rows), written to ``path`` whole or not at all."""
    from quillmoor.layers.picture import draw_field

    try:
        draw_field(connected_crop_rows, points, row_information, kept, path, title=title)
    except OSError as error:
        raise CommandError(f"{path}: cannot write the picture: {error.strerror or error}") \
            from None
    print(f"picture: {path}")
