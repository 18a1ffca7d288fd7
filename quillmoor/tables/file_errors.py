"""The one error of reading and writing table files, and the plain words it uses.

Every failure to read or write a table is a ``TableFileError`` whose message is one
line: the path as the user gave it, then what is wrong, in words a user can act on.
The texts of NumPy, pandas and pyarrow are not passed on: they advise loading data
unsafely, speak of buffers and footers, or run over several lines.
"""

from __future__ import annotations

import errno
import os


class TableFileError(ValueError):
    """A table file that cannot be read or written, with the path in the message."""


def suffix_of(path: str | os.PathLike[str]) -> str:
    return os.path.splitext(os.fspath(path))[1].lower()


_OS_REASONS = {
    errno.ENOENT: "no such file or folder",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
    errno.ENOSPC: "no space left on the device",
    errno.EDQUOT: "the disk quota is used up",
    errno.EROFS: "the file system is read-only",
    errno.EISDIR: "it is a folder",
    errno.ENOTDIR: "a part of the path is not a folder",
    errno.ENAMETOOLONG: "the name is too long",
    errno.EIO: "an input/output error of the device",
}


def os_reason(error: OSError) -> str:
    """An ``OSError`` in a few words, without the path (the message names it first)."""
    if error.errno in _OS_REASONS:
        return _OS_REASONS[error.errno]
    return one_line(error.strerror or str(error) or type(error).__name__)


def one_line(text: str) -> str:
    """``text`` with its lines joined and the spaces squeezed."""
    return " ".join(str(text).split())
