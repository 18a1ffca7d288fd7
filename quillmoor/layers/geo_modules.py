"""The GIS libraries, imported on first use.

They are optional: the package must import without them, and a missing one is reported
as the extra to install rather than as a bare ``ModuleNotFoundError``.
"""

from __future__ import annotations

import importlib
from typing import Any

from quillmoor.layers.errors import GeoExtraMissing


def _load(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:
        raise GeoExtraMissing(name) from None


def shapely() -> Any:
    return _load("shapely")


def geopandas() -> Any:
    return _load("geopandas")


def pyogrio() -> Any:
    return _load("pyogrio")


def require_all() -> None:
    """Fails with the install hint unless every library of the ``[geo]`` extra loads."""
    for name in ("shapely", "pyogrio", "geopandas"):
        _load(name)
