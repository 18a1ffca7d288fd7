"""Checks of the output path made before any reading or merging, so that a result is
never computed only to find it has nowhere to go."""

from __future__ import annotations

import os
import tempfile

from quillmoor.cli.command_error import CommandError
from quillmoor.tables.locations import StorageError, check_location, is_url


def check_output_file(given: str, written: str) -> None:
    """Refuse an output the result cannot be written to: a folder, a place in a folder
    that does not exist, or one this process may not write in. ``written`` is the path
    the result will have (``given`` with a suffix added, maybe)."""
    if is_url(given):
        try:
            check_location(given)
        except StorageError as error:
            raise CommandError(str(error)) from None
        return
    for path in dict.fromkeys((given, written)):
        if os.path.isdir(path):
            raise CommandError(f"{path}: is a folder; give the path of a file to write, "
                               f"e.g. {os.path.join(path, 'merged.npy')}")
    folder = os.path.dirname(os.path.abspath(written))
    shown = os.path.dirname(written) or "."  # as the user wrote it
    if not os.path.exists(folder):
        raise CommandError(f"{written}: the folder {shown} does not exist")
    if not os.path.isdir(folder):
        raise CommandError(f"{written}: {shown} is not a folder")
    try:
        # An unnamed file where the filesystem allows it: nothing is left behind.
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise CommandError(
            f"{written}: cannot write in {shown}: {error.strerror or error}"
        ) from None
