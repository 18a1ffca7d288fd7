"""The temporaries a write makes beside its target, and clearing away those left behind.

A table is written under ``.NAME.quillmoor-tmp-HEX`` in the folder of ``NAME`` and
renamed to ``NAME`` only when complete (a writer of several files, such as a
Shapefile's, writes into a folder of that name instead). A process killed while
writing leaves its temporary behind, so the next write to ``NAME`` removes every
temporary of ``NAME``, and a results folder removes all of its temporaries older than
the run. Only names of this pattern (and ``.NAME.HEX.partial``, the pattern of earlier
versions) are ever removed, and never a temporary that a running writer still holds: a
writer keeps an exclusive ``flock`` on its temporary until it is renamed.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import shutil
import uuid
from collections.abc import Callable, Iterator

from quillmoor.tables.places import Place

MARK = ".quillmoor-tmp-"
_PATTERN = re.compile(
    r"^\.(?P<target>.+?)(?:" + re.escape(MARK) + r"[0-9a-f]{32}|\.[0-9a-f]{32}\.partial)$"
)


def temporary_name(target: str) -> str:
    """A new temporary's name for the file named ``target`` (a name, not a path)."""
    return f".{target}{MARK}{uuid.uuid4().hex}"


def target_of(name: str) -> str | None:
    """The file a temporary of this name was meant to become; ``None`` for other names."""
    found = _PATTERN.match(name)
    return found.group("target") if found else None


def create_locked(place: Place, *, folder: bool = False) -> tuple[Place, int]:
    """A new empty temporary file (or folder) beside ``place``, created and locked; its
    place and its open descriptor (the caller closes it, which releases the lock)."""
    parent = place.parent()
    while True:
        temporary = parent.child(temporary_name(place.name))
        if folder:
            os.mkdir(temporary.path, 0o777)
            descriptor = os.open(temporary.path, os.O_RDONLY | os.O_DIRECTORY)
        else:
            descriptor = os.open(temporary.path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        try:
            # A cleaner could have removed it between its creation and the lock.
            if os.stat(temporary.path).st_ino == os.fstat(descriptor).st_ino:
                return temporary, descriptor
        except FileNotFoundError:
            pass
        os.close(descriptor)


def remove_temporaries_of(place: Place) -> list[str]:
    """Remove the temporaries left beside ``place`` by writes that did not finish."""
    return _remove(place.parent(), lambda name: target_of(name) == place.name)


def remove_old_temporaries(folder: Place, started: float) -> list[str]:
    """Remove every temporary in ``folder`` last changed before ``started`` (a time)."""
    def stale(name: str) -> bool:
        if target_of(name) is None:
            return False
        try:
            return os.stat(os.path.join(folder.path, name)).st_mtime < started
        except OSError:
            return False

    if not folder.is_local:
        return []  # object stores hold no temporaries; other stores are cleared per target
    return _remove(folder, stale)


def _remove(folder: Place, wanted: Callable[[str], bool]) -> list[str]:
    try:
        names = folder.names()
    except (FileNotFoundError, NotADirectoryError):
        return []
    removed = []
    for name in names:
        if wanted(name) and _remove_unless_held(folder.child(name)):
            removed.append(name)
    return removed


def _remove_unless_held(temporary: Place) -> bool:
    if not temporary.is_local:
        with contextlib.suppress(FileNotFoundError):
            temporary.remove()
        return True
    try:
        with _locked_if_free(temporary.path) as free:
            if free and os.path.isdir(temporary.path):
                shutil.rmtree(temporary.path)
            elif free:
                os.remove(temporary.path)
            return free
    except OSError:  # gone already, or a link: not ours to remove
        return False


@contextlib.contextmanager
def _locked_if_free(path: str) -> Iterator[bool]:
    descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                yield False
                return
            raise
        yield True
    finally:
        os.close(descriptor)
