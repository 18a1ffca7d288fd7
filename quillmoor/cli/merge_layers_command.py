"""``quillmoor merge-layers``: merge a field kept as GIS layers, segment lines and points."""

from __future__ import annotations

import argparse
import os
import time
from typing import Any

from quillmoor.cli.command_error import CommandError
from quillmoor.cli.field_picture import check_picture, draw_picture
from quillmoor.cli.options import finite_float, thread_count

DESCRIPTION = """\
Merge a field kept as two GIS layers: its crop-row segments as lines and its measured
points. Each segment is one LineString with its key in two columns (by default key_a,
e.g. the row number, and key_b, the segment's number in its row); each point has the
key of the segment it was measured on. Segments that continue each other along a row
(overlapping a little, or leaving a small gap) are found from the lines, and the points
in the overlap at each junction are dropped.

Layers are read with GDAL (GeoPackage, Shapefile, GeoJSON, FlatGeobuf, ...) or as
GeoParquet. Points are Point geometries, or x and y columns in a table without
geometry. Both layers must share a projected CRS: distances are in its units.

The kept points are written to OUTPUT by its suffix (.gpkg, .parquet for GeoParquet,
.fgb, .shp) with every column, the CRS and the geometry unchanged; the file is replaced
as a whole, and only once complete. Needs geopandas, pyogrio and shapely:
pip install 'quillmoor[geo]'.
"""


def add_parser(subcommands: Any) -> None:
    parser = subcommands.add_parser(
        "merge-layers",
        help="merge a field kept as GIS layers (segment lines and points)",
        description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("segments", metavar="SEGMENTS", help="the layer of segment lines")
    parser.add_argument("points", metavar="POINTS", help="the layer of measured points")
    parser.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="where to write the kept points: .gpkg, .parquet, .fgb or .shp")
    parser.add_argument("--layer", metavar="NAME",
                        help="the written layer's name (default: the output file's name)")
    parser.add_argument("--segments-layer", metavar="NAME",
                        help="the layer of SEGMENTS to read, when it holds several")
    parser.add_argument("--points-layer", metavar="NAME",
                        help="the layer of POINTS to read, when it holds several")
    parser.add_argument("--key-a", default="key_a", metavar="NAME",
                        help="the column of both layers holding key_a (default: key_a)")
    parser.add_argument("--key-b", default="key_b", metavar="NAME",
                        help="the column of both layers holding key_b (default: key_b)")
    parser.add_argument("--row-spacing", type=finite_float, metavar="DIST",
                        help="distance between crop rows (default: estimated from the "
                             "lines); junctions reach 0.7 of it across and along a row")
    parser.add_argument("--tolerance", type=finite_float, default=0.0, metavar="DIST",
                        help="shifts the bounds of each overlap zone (default: 0)")
    parser.add_argument("--threads", type=thread_count, default=0, metavar="N",
                        help="worker threads; 0 uses all cores (default: 0)")
    parser.add_argument("--links", metavar="GPKG",
                        help="also write the junctions found and the free segment ends "
                             "(layers 'junctions' and 'free_ends') to this GeoPackage")
    parser.add_argument("--picture", metavar="PNG",
                        help="also draw the field, its kept and dropped points and a few "
                             "junctions close up (needs matplotlib)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quillmoor.layers.errors import GeoExtraMissing, LayerError
    from quillmoor.tables.file_errors import TableFileError

    try:
        return _merge_layers(args)
    except (GeoExtraMissing, LayerError, TableFileError) as error:
        raise CommandError(str(error)) from None


def _merge_layers(args: argparse.Namespace) -> int:
    from quillmoor.layers import geo_modules
    from quillmoor.layers.layer_files import check_writable

    geo_modules.require_all()
    if args.row_spacing is not None and not args.row_spacing > 0:
        raise CommandError("--row-spacing must be a positive distance")
    _check_outputs(args)
    check_writable(args.output)
    if args.links is not None:
        check_writable(args.links)
    if args.picture is not None:
        check_picture(args.picture)

    from quillmoor.layers.derived_tables import link_segments
    from quillmoor.layers.layer_files import check_fits, read_layer, write_layer
    from quillmoor.layers.points import ROW_COLUMN, prepare_points

    segments = read_layer(args.segments, args.segments_layer, "--segments-layer")
    points = read_layer(args.points, args.points_layer, "--points-layer")
    if len(segments) == 0:
        raise CommandError(f"{args.segments}: holds no segments")
    found = link_segments(segments, key_a=args.key_a, key_b=args.key_b,
                          row_spacing=args.row_spacing)
    prepared = prepare_points(points, args.key_a, args.key_b, found.segments.packed,
                              found.segments.crs)
    check_fits(points, args.output)

    started = time.perf_counter()
    merged = _merged(found, prepared, args)
    elapsed = time.perf_counter() - started
    kept_rows = merged[ROW_COLUMN].to_numpy()
    merged = merged.drop(columns=list(prepared.added))
    write_layer(merged, args.output, args.layer)
    print(
        f"{found.segments.count:,} segments, {found.junction_count:,} junctions, "
        f"{found.free_end_count:,} free ends (row spacing {found.row_spacing:.4g}); "
        f"merged in {elapsed:.3f} s: {len(points):,} points in, {len(merged):,} out; "
        f"saved to {args.output}"
    )
    if args.links is not None:
        _write_links(found, args.links)
    if args.picture is not None:
        _draw(args, found, prepared, kept_rows, points)
    return 0


def _merged(found: Any, prepared: Any, args: argparse.Namespace) -> Any:
    from quillmoor import MergeError
    from quillmoor.frames.frame_merge import merge_frame

    try:
        return merge_frame(found.connected_crop_rows, prepared.frame, found.row_information,
                           tolerance=args.tolerance, num_threads=args.threads,
                           columns=prepared.columns)
    except (MergeError, TypeError, ValueError, KeyError) as error:
        text = str(error.args[0]) if isinstance(error, KeyError) and error.args else str(error)
        raise CommandError(f"the merge failed: {text}") from None


def _check_outputs(args: argparse.Namespace) -> None:
    """Refuses writing over an input (a GeoPackage replaced by the result would lose its
    other layers) or one output over another."""
    inputs = [os.path.abspath(args.segments), os.path.abspath(args.points)]
    outputs = [os.path.abspath(p) for p in (args.output, args.links, args.picture) if p]
    for output in outputs:
        if any(output == given or _same_file(output, given) for given in inputs):
            raise CommandError(f"{output}: is an input; write the result to another file")
    if len(set(outputs)) != len(outputs):
        raise CommandError("-o, --links and --picture must name different files")
    if args.links is not None and not args.links.lower().endswith(".gpkg"):
        raise CommandError(f"{args.links}: --links writes a GeoPackage (.gpkg)")


def _same_file(one: str, other: str) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False


def _write_links(found: Any, path: str) -> None:
    from quillmoor.layers import geo_modules
    from quillmoor.layers.layer_files import committed_path

    pyogrio = geo_modules.pyogrio()
    with committed_path(path) as temporary:
        try:
            pyogrio.write_dataframe(found.links_layer(), temporary, layer="junctions",
                                    driver="GPKG")
            pyogrio.write_dataframe(found.free_ends_layer(), temporary, layer="free_ends",
                                    driver="GPKG")
        except (OSError, RuntimeError) as error:  # pyogrio's errors are RuntimeErrors
            raise CommandError(f"{path}: cannot write it: {' '.join(str(error).split())}") \
                from None
    print(f"junctions and free ends: {path}")


def _draw(args: argparse.Namespace, found: Any, prepared: Any, kept_rows: Any,
          points: Any) -> None:
    import numpy as np

    table = np.column_stack([prepared.key_a, prepared.key_b, prepared.x, prepared.y])
    title = (f"{os.path.basename(args.points)}: {len(points):,} points, tolerance "
             f"{args.tolerance}")
    draw_picture(args.picture, found.connected_crop_rows, table, found.row_information,
                 kept_rows, title)
