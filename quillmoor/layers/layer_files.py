"""Reading and writing GIS layers by the file's suffix.

Read with pyogrio (GeoPackage, Shapefile, GeoJSON, FlatGeobuf, and whatever else GDAL
opens) or as GeoParquet (a Parquet file without geo metadata is read as a plain table,
for points given as x/y columns). Written as GeoPackage, GeoParquet, FlatGeobuf or
Shapefile, with every column, the CRS and the geometry as they are, under a temporary
name beside the target that becomes the target only once complete.
"""

from __future__ import annotations

import os
from typing import Any

from quillmoor.layers import geo_modules
from quillmoor.layers.errors import LayerError
from quillmoor.tables.writing import committed_path

PARQUET_SUFFIXES = (".parquet", ".geoparquet")
WRITE_DRIVERS = {".gpkg": "GPKG", ".fgb": "FlatGeobuf", ".shp": "ESRI Shapefile"}
WRITABLE = (".gpkg", ".parquet", ".geoparquet", ".fgb", ".shp")
#: FlatGeobuf's spatial index would store the features in another order than the
#: merge's.
LAYER_OPTIONS = {".fgb": {"SPATIAL_INDEX": "NO"}}
#: A Shapefile's name for a column has at most this many characters.
SHAPEFILE_NAME_LIMIT = 10


def suffix_of(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def read_layer(path: str, layer: str | None, option: str) -> Any:
    """The layer as a GeoDataFrame (or a DataFrame, for a table without geometry).

    ``option`` is the command-line option that names a layer, for the message when the
    file holds several."""
    if not os.path.exists(path):
        raise LayerError(f"{path}: no such file")
    if suffix_of(path) in PARQUET_SUFFIXES:
        _require_pyarrow(path)
        return _read_parquet(path)
    pyogrio = geo_modules.pyogrio()
    try:
        if layer is None:
            names = [str(name) for name in pyogrio.list_layers(path)[:, 0]]
            if len(names) > 1:
                raise LayerError(
                    f"{path}: holds {len(names)} layers ({', '.join(names)}); name one "
                    f"with {option}"
                )
        return pyogrio.read_dataframe(path, layer=layer)
    except (RuntimeError, OSError, ValueError) as error:  # pyogrio's are RuntimeErrors
        raise LayerError(f"{path}: cannot read it: {_one_line(error)}") from None


def check_writable(path: str) -> None:
    """Refuses an output path before any work: an unknown suffix or a missing folder."""
    if suffix_of(path) not in WRITABLE:
        raise LayerError(
            f"{path}: unknown kind of layer file; use .gpkg (GeoPackage), .parquet "
            "(GeoParquet), .fgb (FlatGeobuf) or .shp (Shapefile)"
        )
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise LayerError(f"{path}: the folder {folder} does not exist")
    if os.path.isdir(path):
        raise LayerError(f"{path}: is a folder")
    if suffix_of(path) in PARQUET_SUFFIXES:
        _require_pyarrow(path)


def has_geometry(frame: Any) -> bool:
    try:
        return getattr(frame, "geometry", None) is not None
    except AttributeError:  # a GeoDataFrame whose geometry column is gone
        return False


def check_fits(frame: Any, path: str) -> None:
    """Refuses what the output format would change or cannot hold: a table without
    geometry in FlatGeobuf or a Shapefile; in a Shapefile, column names of more than 10
    characters (cut short) and timestamps (only the date is kept)."""
    suffix = suffix_of(path)
    if suffix in (".fgb", ".shp") and not has_geometry(frame):
        raise LayerError(
            f"{path}: the points have no geometry, which {WRITE_DRIVERS[suffix]} needs; "
            "write .gpkg or .parquet instead"
        )
    if suffix != ".shp":
        return
    long = [str(name) for name in frame.columns
            if str(name) != getattr(frame, "_geometry_column_name", None)
            and len(str(name)) > SHAPEFILE_NAME_LIMIT]
    if long:
        raise LayerError(
            f"{path}: a Shapefile cuts column names to {SHAPEFILE_NAME_LIMIT} characters "
            f"({', '.join(long)}); write .gpkg, .parquet or .fgb instead"
        )
    timed = [str(name) for name, dtype in frame.dtypes.items() if dtype.kind == "M"]
    if timed:
        raise LayerError(
            f"{path}: a Shapefile keeps only the date of a timestamp ({', '.join(timed)}); "
            "write .gpkg, .parquet or .fgb instead"
        )


def write_layer(frame: Any, path: str, layer: str | None) -> None:
    """Writes ``frame`` to ``path`` as its suffix says; the target appears only complete.

    Raises ``LayerError`` for what the writer refuses, ``TableFileError`` for a target
    that cannot be written."""
    suffix = suffix_of(path)
    with committed_path(path) as temporary:
        try:
            if suffix in PARQUET_SUFFIXES:
                frame.to_parquet(temporary)
            else:
                geo_modules.pyogrio().write_dataframe(
                    frame, temporary, layer=layer, driver=WRITE_DRIVERS[suffix],
                    **LAYER_OPTIONS.get(suffix, {}),
                )
        except (OSError, ValueError, RuntimeError) as error:
            raise LayerError(f"{path}: cannot write it: {_one_line(error)}") from None


def _require_pyarrow(path: str) -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        raise LayerError(f"{path}: GeoParquet needs pyarrow: pip install pyarrow") from None


def _read_parquet(path: str) -> Any:
    geopandas = geo_modules.geopandas()
    try:
        return geopandas.read_parquet(path)
    except ValueError as error:
        if "geo" not in str(error).lower():
            raise LayerError(f"{path}: cannot read it: {_one_line(error)}") from None
    except (OSError, ImportError) as error:
        raise LayerError(f"{path}: cannot read it: {_one_line(error)}") from None
    # A plain Parquet table: points given as x/y columns.
    import pandas

    try:
        return pandas.read_parquet(path)
    except (OSError, ValueError, ImportError) as error:
        raise LayerError(f"{path}: cannot read it: {_one_line(error)}") from None


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__
