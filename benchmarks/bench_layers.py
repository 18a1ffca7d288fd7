"""How long deriving the two small tables from segment lines takes, and a picture of a
field merged from its layers.

Run from outside the checkout with the module and the [geo] extra importable, on a
quiet machine:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_layers.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_layers.py --segments 1e4 1e5 \
        --picture field-from-layers.png

For each size a synthetic field with about that many segments is generated; its
segments become a GeoDataFrame of LineStrings (key_a, key_b, the line from one end to
the other), as a GIS user holds them, and ``tables_from_segments`` derives
connected_crop_rows and row_information from them. Reported: the median of three
derivations, and whether the merge on the derived tables equals the merge on the
generator's tables. With --picture, the smallest field is merged on the derived tables
and drawn. The load average is printed before and after. Nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import numpy as np

POINTS_PER_SEGMENT = 20
TOLERANCE = 0.05


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--segments", type=float, nargs="+", default=[1e4, 1e5])
    parser.add_argument("--picture", help="PNG of the smallest field, merged from layers")
    args = parser.parse_args()

    from quillmoor import merge, tables_from_segments
    from quillmoor.synthetic import make_field

    print(f"load average before: {os.getloadavg()}")
    for target in sorted(int(count) for count in args.segments):
        crop_rows = max(1, int(target ** 0.5))
        field = make_field(target * POINTS_PER_SEGMENT, seed=3, n_crop_rows=crop_rows,
                           segments_per_row=max(1, target // crop_rows))
        lines = segment_lines(field)
        seconds = []
        for _ in range(3):
            started = time.perf_counter()
            connected, derived_rows = tables_from_segments(lines)
            seconds.append(time.perf_counter() - started)
        same = np.array_equal(
            merge(connected, field.points_in_rows, derived_rows, tolerance=TOLERANCE),
            merge(field.connected_crop_rows, field.points_in_rows, field.row_information,
                  tolerance=TOLERANCE))
        print(f"{len(lines):>8,} segments: derivation {statistics.median(seconds):.3f} s "
              f"(median of 3, fastest {min(seconds):.3f} s); merge on the derived tables "
              f"{'equals' if same else 'DIFFERS FROM'} the generator's")
    if args.picture:
        from quillmoor.layers.picture import draw_field

        # A field of the generator's own layout, dense enough to see its junctions.
        field = make_field(60_000, seed=3)
        connected, derived_rows = tables_from_segments(segment_lines(field))
        kept = merge(connected, field.points_in_rows, derived_rows, tolerance=TOLERANCE)
        draw_field(connected, field.points_in_rows, derived_rows, kept, args.picture,
                   title=f"{len(derived_rows):,} segments derived from their lines, "
                         f"{len(field.points_in_rows):,} points, tolerance {TOLERANCE}")
        print(f"picture: {args.picture}")
    print(f"load average after: {os.getloadavg()}")


def segment_lines(field):  # type: ignore[no-untyped-def]
    """The field's segments as a GeoDataFrame of lines, as a GIS user holds them."""
    import geopandas
    import shapely

    rows = field.row_information
    return geopandas.GeoDataFrame(
        {"key_a": rows[:, 0].astype(np.int64), "key_b": rows[:, 4].astype(np.int64)},
        geometry=shapely.linestrings(np.stack([rows[:, 5:7], rows[:, 7:9]], axis=1)),
    )


if __name__ == "__main__":
    main()
