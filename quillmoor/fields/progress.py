"""One progress bar over many fields, drawn by the process that hands out the fields.

It follows the engine's own rules for when to draw: only when the stream is a terminal,
``NO_COLOR`` is not set and ``TERM`` is set to something other than "dumb".
"""

from __future__ import annotations

import os
import sys
import time
from typing import TextIO

BAR_CELLS = 40
REDRAWS_PER_SECOND = 20


def bar_is_visible(stream: TextIO) -> bool:
    try:
        terminal = stream.isatty()
    except (AttributeError, ValueError):
        return False
    term = os.environ.get("TERM")
    return terminal and "NO_COLOR" not in os.environ and term is not None and term != "dumb"


class FieldProgress:
    """``[elapsed] [bar] done/total fields (eta)`` on one line; it counts when hidden too."""

    def __init__(self, total: int, stream: TextIO | None = None, *, visible: bool | None = None):
        self.total = total
        self.done = 0
        self.failed = 0
        self._stream = sys.stderr if stream is None else stream
        self._visible = bar_is_visible(self._stream) if visible is None else visible
        self._started = time.monotonic()
        self._last_draw = -1.0
        self._draw(force=True)

    def advance(self, fields: int = 1, *, failed: int = 0) -> None:
        self.done += fields
        self.failed += failed
        self._draw(force=self.done >= self.total)

    def finish(self) -> None:
        """Leave the bar on screen, at its final count, and end its line."""
        self._draw(force=True)
        if self._visible:
            self._stream.write("\n")
            self._stream.flush()
        self._visible = False

    def line(self) -> str:
        elapsed = time.monotonic() - self._started
        filled = BAR_CELLS if self.total == 0 else BAR_CELLS * self.done // self.total
        bar = "█" * filled + "░" * (BAR_CELLS - filled)
        if 0 < self.done < self.total:
            eta = f"{elapsed / self.done * (self.total - self.done):.0f}s"
        else:
            eta = "0s"
        failures = f", {self.failed} failed" if self.failed else ""
        return (
            f"[{clock(elapsed)}] [{bar}] {self.done}/{self.total} fields{failures} ({eta})"
        )

    def _draw(self, *, force: bool) -> None:
        if not self._visible:
            return
        now = time.monotonic()
        if not force and now - self._last_draw < 1.0 / REDRAWS_PER_SECOND:
            return
        self._last_draw = now
        self._stream.write("\r\x1b[2K" + self.line())
        self._stream.flush()


def clock(seconds: float) -> str:
    """``seconds`` as hh:mm:ss."""
    whole = int(seconds)
    return f"{whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}"
