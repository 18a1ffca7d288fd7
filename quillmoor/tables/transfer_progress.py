"""A one-line byte counter on standard error while a large file is read or written.

"reading field.npz 1.2/3.4 GB", redrawn a few times a second and erased when the file
is done, so that the merge's own bar or the command's summary follows on a clean line.
It is drawn only where the merge's bar would be (standard error a terminal, ``NO_COLOR``
unset, ``TERM`` set and not "dumb"), and only for a file worth waiting for: one known to
be large, or one that has already taken a second. Otherwise nothing is written, not
even a control character.
"""

from __future__ import annotations

import io
import sys
import time
from typing import IO, Any, TextIO

from quillmoor.fields.progress import bar_is_visible

#: Files at least this large show the counter from their first byte.
LARGE_FILE_BYTES = 64 * 2**20
#: Any file shows it once it has taken this long.
SLOW_FILE_SECONDS = 1.0
REDRAWS_PER_SECOND = 10


class TransferProgress:
    """Counts the bytes of one file; draws them when that is wanted (see above)."""

    def __init__(
        self,
        verb: str,
        name: str,
        total: int | None,
        stream: TextIO | None = None,
        *,
        visible: bool | None = None,
    ) -> None:
        self._stream = sys.stderr if stream is None else stream
        self._visible = bar_is_visible(self._stream) if visible is None else visible
        self._label = f"{verb} {name}"
        self._total = total
        self._started = time.monotonic()
        self._last_draw = -1.0
        self._drawn = False
        self.position = 0
        if total is not None and total >= LARGE_FILE_BYTES:
            self._draw()

    def moved(self, position: int) -> None:
        """``position`` bytes of the file have been read or written so far."""
        self.position = position if self._total is None else min(position, self._total)
        if not self._visible:
            return
        now = time.monotonic()
        if now - self._last_draw < 1.0 / REDRAWS_PER_SECOND:
            return
        large = self._total is not None and self._total >= LARGE_FILE_BYTES
        if large or now - self._started >= SLOW_FILE_SECONDS:
            self._draw()

    def close(self) -> None:
        """Erase the line, if anything was drawn."""
        if self._drawn:
            self._stream.write("\r\x1b[2K")
            self._stream.flush()
            self._drawn = False
        self._visible = False

    def __enter__(self) -> TransferProgress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def line(self) -> str:
        if self._total is None:
            return f"{self._label} {_amount(self.position, max(self.position, 1))}"
        done = _amount(self.position, self._total, unit_only=False)
        return f"{self._label} {done}/{_amount(self._total, self._total)}"

    def _draw(self) -> None:
        if not self._visible:
            return
        self._last_draw = time.monotonic()
        self._stream.write("\r\x1b[2K" + self.line())
        self._stream.flush()
        self._drawn = True


def _amount(count: int, scale: int, *, unit_only: bool = True) -> str:
    """``count`` bytes in the unit that suits ``scale``; the unit only where asked."""
    for unit, size in (("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if scale >= size:
            number = f"{count / size:.1f}"
            return f"{number} {unit}" if unit_only else number
    return f"{count} B" if unit_only else str(count)


class CountingReader(io.RawIOBase):
    """A binary file that tells ``progress`` how many bytes have been read from it.

    Bytes read, not the position: a Parquet file or a zip archive is read from its end
    first, and the count still rises evenly to the file's size.
    """

    def __init__(self, raw: IO[bytes], progress: TransferProgress) -> None:
        super().__init__()
        self._raw: Any = raw
        self._progress = progress
        self._position = 0
        self._count = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return bool(self._raw.seekable())

    def readinto(self, buffer: Any) -> int:
        readinto = getattr(self._raw, "readinto", None)
        if readinto is not None:
            count = int(readinto(buffer) or 0)
        else:  # a file object that only reads into new bytes
            data = self._raw.read(len(memoryview(buffer)))
            count = len(data)
            memoryview(buffer).cast("B")[:count] = data
        self._counted(count)
        return count

    def read(self, size: int = -1) -> bytes:
        # Straight from the file: the default would read into a buffer and copy it.
        data: bytes = self._raw.read(size)
        self._counted(len(data))
        return data

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        self._position = int(self._raw.seek(offset, whence))
        return self._position

    def tell(self) -> int:
        return self._position

    def _counted(self, count: int) -> None:
        self._position += count
        self._count += count
        self._progress.moved(self._count)


class CountingWriter(io.RawIOBase):
    """A binary file that tells ``progress`` how much has been written to it."""

    def __init__(self, raw: IO[bytes], progress: TransferProgress) -> None:
        super().__init__()
        self._raw: Any = raw
        self._progress = progress
        self._written = 0

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        view = memoryview(data)
        self._raw.write(view)
        self._written += view.nbytes
        self._progress.moved(self._written)
        return view.nbytes

    def tell(self) -> int:
        return self._written

    def flush(self) -> None:
        # Also called when this wrapper is collected, by then perhaps after the file
        # itself was closed (an interrupted write): nothing is left to flush then.
        if not getattr(self._raw, "closed", False):
            self._raw.flush()
