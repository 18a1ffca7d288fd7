"""Folders and fsspec URLs (``s3://``, ``gs://``, ``az://``, ``file://``): telling them
apart, refusing a URL nobody can open, and opening one.

A URL whose scheme has no installed fsspec implementation is refused, with the package
to install, before any work: taken for a local path, ``s3://bucket/out`` would become a
local folder named ``s3:``, and a farm's results would be written there instead.
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping
from typing import Any

URL = re.compile(r"^([A-Za-z][A-Za-z0-9+.\-]*)://")
#: Object stores written as URLs with a slash missing (``s3:/bucket``, ``gs:bucket``).
BROKEN_URL = re.compile(r"^(s3|s3a|gs|gcs|az|abfs|abfss|adl|gdrive|hdfs):(?!//)", re.IGNORECASE)
#: The package that gives fsspec each object store.
PACKAGES = {
    "s3": "s3fs", "s3a": "s3fs", "gs": "gcsfs", "gcs": "gcsfs",
    "az": "adlfs", "abfs": "adlfs", "abfss": "adlfs", "adl": "adlfs",
}


class StorageError(ValueError):
    """A location that cannot be used: a URL without its fsspec implementation, say."""


def is_url(location: object) -> bool:
    return isinstance(location, str) and URL.match(location) is not None


def scheme_of(location: str) -> str:
    found = URL.match(location)
    return found.group(1).lower() if found else ""


def check_location(location: str) -> None:
    """Refuse a URL that no installed fsspec implementation opens, naming the package."""
    if BROKEN_URL.match(location):
        scheme = location.split(":", 1)[0]
        raise StorageError(
            f"{location}: looks like a {scheme}:// URL with a slash missing; write "
            f"{scheme}://bucket/path (or ./{location} for a local folder of that name)"
        )
    if not is_url(location) or scheme_of(location) == "file":
        return
    scheme = scheme_of(location)
    package = PACKAGES.get(scheme)
    hint = f"pip install {package}" if package else "see fsspec's list of implementations"
    try:
        import fsspec
    except ImportError:
        raise StorageError(
            f"{location}: URLs need fsspec and the package for {scheme}://: "
            f"pip install fsspec {package or ''}".rstrip()
        ) from None
    try:
        fsspec.get_filesystem_class(scheme)
    except ImportError:
        raise StorageError(
            f"{location}: no fsspec implementation for {scheme}:// is installed; {hint}"
        ) from None
    except ValueError:
        raise StorageError(f"{location}: fsspec knows no protocol {scheme}://") from None


def open_location(location: str, storage_options: Mapping[str, Any] | None) -> tuple[Any, str]:
    """``(filesystem, path)`` for a URL; ``(None, absolute path)`` for a local path."""
    if not is_url(location):
        return None, os.path.abspath(location)
    check_location(location)
    from fsspec.core import url_to_fs

    fs, path = url_to_fs(location, **dict(storage_options or {}))
    return fs, path


def is_local_filesystem(fs: Any) -> bool:
    protocol = fs.protocol if isinstance(fs.protocol, str) else fs.protocol[0]
    return protocol in ("file", "local")


def as_url(fs: Any, path: str) -> str:
    """A path of ``fs`` as the URL a worker opens again."""
    return str(fs.unstrip_protocol(path))
