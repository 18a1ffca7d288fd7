"""What the layer functions raise: a refused input, or the missing ``[geo]`` extra."""

from __future__ import annotations

GEO_INSTALL_HINT = "pip install 'quillmoor[geo]'"


class LayerError(ValueError):
    """A layer the merge cannot use; the message is one line naming what is wrong."""


class GeoExtraMissing(ImportError):
    """geopandas, pyogrio or shapely is not installed."""

    def __init__(self, module: str) -> None:
        super().__init__(f"GIS layers need {module}: {GEO_INSTALL_HINT}")
        self.module = module
