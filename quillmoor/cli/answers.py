"""How the command line answers a mistake: one line on standard error, in its own words.

Every answer starts with the command (``quillmoor merge: ...``) and fits on one line, so
a script's log shows what went wrong without a traceback. Usage mistakes exit with 2,
everything else that stops a command with 1; ``quillmoor.__main__`` answers an
interrupt with 130 (128 + SIGINT).
"""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, NoReturn, TextIO

from quillmoor.errors import UnassignedPointsWarning

USAGE_ERROR = 2
FAILED = 1


def one_line(text: str) -> str:
    """``text`` with its line breaks (a hint, an exception's notes) turned into "; "."""
    parts = [part.strip() for part in text.splitlines() if part.strip()]
    return "; ".join(parts)


def answer(command: str, text: str, stream: TextIO | None = None) -> None:
    """Print ``command: text`` as one line on standard error."""
    print(f"{command}: {one_line(text)}", file=sys.stderr if stream is None else stream,
          flush=True)


class OneLineParser(argparse.ArgumentParser):
    """An argument parser whose usage mistakes are one line, without the usage text."""

    def error(self, message: str) -> NoReturn:
        # argparse says "argument --threads: ..."; the flag alone is the user's word.
        unknown = "argument COMMAND: invalid choice: "
        if message.startswith(unknown):
            message = "unknown command " + message[len(unknown):]
        elif message.startswith("argument "):
            message = message[len("argument "):]
        answer(self.prog, f"{message} (see '{self.prog} --help')")
        raise SystemExit(USAGE_ERROR)


@contextmanager
def one_line_warnings(command: str, before: str = "") -> Iterator[None]:
    """Warnings during a command as one line each, ``command: warning: ...``; each
    unassigned-points warning is shown, whichever field it is for. ``before`` is
    written ahead of each (a line break when a progress bar holds the line)."""
    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: TextIO | None = None, line: str | None = None) -> None:
        stream = sys.stderr if file is None else file
        stream.write(before)
        answer(command, f"warning: {message}", stream)

    with warnings.catch_warnings():  # restores showwarning too
        warnings.simplefilter("always", UnassignedPointsWarning)
        warnings.showwarning = show
        yield


def exception_text(error: BaseException) -> str:
    """An exception's message and its notes, for one line."""
    if isinstance(error, KeyError) and len(error.args) == 1:
        text = str(error.args[0])  # a KeyError's str() is the repr of its message
    else:
        text = str(error)
    notes: Any = getattr(error, "__notes__", None) or []
    return "; ".join([text, *map(str, notes)])
