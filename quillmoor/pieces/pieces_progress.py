"""One bar over a merge piece by piece: every pass over the points, every piece.

``[elapsed] [bar] 41% of 50,000,000 points, piece 3/25 (eta)``, drawn by the engine's own
rules (a terminal, ``NO_COLOR`` unset, ``TERM`` set and not "dumb"); the engine's bar
stays hidden meanwhile, so the field has one bar, not one per piece.
"""

from __future__ import annotations

import sys
import time
from typing import TextIO

from quillmoor.fields.progress import BAR_CELLS, REDRAWS_PER_SECOND, bar_is_visible, clock


class PiecesProgress:
    """Counts work in points: each pass over the table, then each piece's points."""

    def __init__(self, points: int | None, passes: int, stream: TextIO | None = None) -> None:
        self._points = points
        self._passes = passes
        self._total = max(1, (points or 0) * passes)
        self._done = 0
        self._pieces = 0
        self._piece = 0
        self._stream = sys.stderr if stream is None else stream
        self._visible = bar_is_visible(self._stream)
        self._started = time.monotonic()
        self._last_draw = -1.0

    def read(self, points: int) -> None:
        """``points`` more rows of a pass are done."""
        self._done = self._done + points
        if self._points is not None:
            self._done = min(self._total, self._done)
        self._draw()

    def planned(self, points: int, passes: int) -> None:
        """After the first pass: the points now known, and how many passes there are."""
        self._points, self._passes = points, passes
        self._total = max(1, points * passes)
        self._done = min(self._total, points)
        self._draw()

    def merging(self, piece: int, pieces: int) -> None:
        """Piece ``piece`` (from 0) of ``pieces`` is being merged."""
        self._piece, self._pieces = piece + 1, pieces
        self._draw()

    def close(self) -> None:
        """Erase the bar: the summary follows on a clean line."""
        if self._visible and self._last_draw >= 0:
            self._stream.write("\r\x1b[2K")
            self._stream.flush()
        self._visible = False

    def line(self) -> str:
        elapsed = time.monotonic() - self._started
        if self._points is None:  # a CSV table's first pass: its length is not known yet
            return f"[{clock(elapsed)}] counting the points: {self._done:,} so far"
        filled = BAR_CELLS * self._done // self._total
        bar = "█" * filled + "░" * (BAR_CELLS - filled)
        eta = (f"{elapsed / self._done * (self._total - self._done):.0f}s"
               if 0 < self._done < self._total else "0s")
        piece = f", piece {self._piece}/{self._pieces}" if self._pieces else ""
        share = 100 * self._done // self._total
        return (f"[{clock(elapsed)}] [{bar}] {share}% of {self._points:,} points{piece} "
                f"({eta})")

    def _draw(self) -> None:
        if not self._visible:
            return
        now = time.monotonic()
        if now - self._last_draw < 1.0 / REDRAWS_PER_SECOND:
            return
        self._last_draw = now
        self._stream.write("\r\x1b[2K" + self.line())
        self._stream.flush()
