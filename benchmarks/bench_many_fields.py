"""Many fields: a serial loop against a local Dask cluster, and merge_frame against merge.

Run from the checkout with the module importable and dask[distributed], pandas installed:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_many_fields.py [--repeats 3] [--json out.json]

Cases, each timed ``--repeats`` times and reported as the median:

* sets: 200 fields of 50,000 points, and 8 fields of 10**6 points (synthetic, one seed
  per field), given as arrays in memory or as .npz paths written beforehand;
* serial: ``quillmoor.merge`` field after field in this process, 1 and 2 engine threads;
* cluster: ``quillmoor.dask.merge_fields`` on a LocalCluster of 2 worker processes x 1
  thread and of 1 worker process x 2 threads (one engine thread per task), batched
  (the default) and not (one task per field), results gathered to this process;
* crossover: serial loop against the 2 x 1 cluster, by paths, for equal totals of
  points in fields of growing size, to find the size from which the cluster pays;
* frame: ``merge_frame`` on a DataFrame of a 10**6-point field against ``merge`` on its
  array, 1 and 2 engine threads.

Cluster start-up is not timed. Nothing is asserted; the machine's other load shows in
the figures, which is why they are medians.

``--farm`` measures only the farm case instead: 40 fields of 10**6 points as .npz files,
merged on a LocalCluster of 2 worker processes x 1 thread, once with the results gathered
to the client (``merge_fields(paths, client=...)``) and once written by the workers
(``output=FOLDER``). Each run is a fresh client process, whose peak resident set (the
client and the in-process scheduler, not the workers) and run time are printed.
``--farm-fields`` and ``--farm-points`` change the farm's size.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from typing import Any, Callable

import numpy as np

import quillmoor
from quillmoor.dask import merge_fields
from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS
from quillmoor.synthetic import make_field

TOLERANCE = 0.05
SETS = {"200 x 50k": (200, 50_000), "8 x 1M": (8, 1_000_000)}
CROSSOVER_TOTAL = 2_000_000
CROSSOVER_SIZES = (10_000, 50_000, 250_000, 1_000_000)
FRAME_TARGET = 1.3


def median_time(run: Callable[[], Any], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def make_set(count: int, size: int, seed0: int, folder: str) -> tuple[list[Any], list[str]]:
    fields, paths = [], []
    for i in range(count):
        field = make_field(size, seed=seed0 + i)
        path = os.path.join(folder, f"f{seed0 + i}.npz")
        np.savez(path, connected_crop_rows=field.connected_crop_rows,
                 points_in_rows=field.points_in_rows, row_information=field.row_information)
        fields.append(field)
        paths.append(path)
    return fields, paths


def serial(fields: list[Any], threads: int) -> None:
    for field in fields:
        quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                        field.row_information, tolerance=TOLERANCE, num_threads=threads)


def serial_paths(paths: list[str], threads: int) -> None:
    for path in paths:
        with np.load(path) as tables:
            quillmoor.merge(tables["connected_crop_rows"], tables["points_in_rows"],
                            tables["row_information"], tolerance=TOLERANCE,
                            num_threads=threads)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--json", metavar="PATH")
    parser.add_argument("--farm", action="store_true",
                        help="only the farm case: client memory, gathering against writing")
    parser.add_argument("--farm-fields", type=int, default=40)
    parser.add_argument("--farm-points", type=int, default=1_000_000)
    parser.add_argument("--farm-child", nargs=3, metavar=("MODE", "FIELDS", "OUT"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.farm_child:
        return farm_child(*args.farm_child)
    if args.farm:
        report = {"versions": versions(), "farm": farm_case(args.farm_fields, args.farm_points)}
        print_farm(report)
        if args.json:
            with open(args.json, "w") as out:
                json.dump(report, out, indent=2)
        return 0
    from distributed import Client

    from quillmoor.dask.local import loopback_cluster

    report: dict[str, Any] = {"versions": versions()}
    with tempfile.TemporaryDirectory() as folder:
        print("making fields ...", file=sys.stderr, flush=True)
        sets = {name: make_set(count, size, 1000 * k, folder)
                for k, (name, (count, size)) in enumerate(SETS.items())}
        crossover = {size: make_set(max(1, CROSSOVER_TOTAL // size), size, 100_000 + size,
                                    folder)[1] for size in CROSSOVER_SIZES}

        cases: dict[str, dict[str, float]] = {name: {} for name in SETS}
        for name, (fields, paths) in sets.items():
            for threads in (1, 2):
                cases[name][f"serial, arrays, {threads} engine thread(s)"] = median_time(
                    lambda: serial(fields, threads), args.repeats)
                cases[name][f"serial, paths, {threads} engine thread(s)"] = median_time(
                    lambda: serial_paths(paths, threads), args.repeats)
        crossing: dict[int, dict[str, float]] = {}
        for size, paths in crossover.items():
            crossing[size] = {"fields": len(paths),
                              "serial": median_time(lambda: serial_paths(paths, 1), args.repeats)}

        for workers, threads in ((2, 1), (1, 2)):
            print(f"cluster {workers} x {threads} ...", file=sys.stderr, flush=True)
            with loopback_cluster(workers, threads) as cluster, Client(cluster) as client:
                label = f"cluster {workers}x{threads}"
                for name, (fields, paths) in sets.items():
                    for kind, given in (("arrays", fields), ("paths", paths)):
                        for batched in (True, False):
                            batch = {} if batched else {"batch_points": 1}
                            run = lambda: merge_fields(given, client=client,  # noqa: E731
                                                       tolerance=TOLERANCE, progress=False,
                                                       **batch)
                            run()  # warm the workers: imports, pools
                            key = f"{label}, {kind}, {'batched' if batched else 'one task a field'}"
                            cases[name][key] = median_time(run, args.repeats)
                if (workers, threads) == (2, 1):
                    for size, paths in crossover.items():
                        crossing[size]["cluster 2x1"] = median_time(
                            lambda: merge_fields(paths, client=client, tolerance=TOLERANCE,
                                                 progress=False, batch_points=1),
                            args.repeats)
        report["cases"] = cases
        report["crossover"] = crossing
    report["frame"] = frame_case(max(args.repeats, 7))

    print_report(report)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)
    return 0


def frame_case(repeats: int) -> dict[str, float]:
    import pandas as pd

    field = make_field(1_000_000, seed=77)
    points = pd.DataFrame(field.points_in_rows, columns=POINT_COLUMNS)
    rows = pd.DataFrame(field.row_information, columns=ROW_INFORMATION_COLUMNS)
    connections = pd.DataFrame(field.connected_crop_rows, columns=CONNECTION_COLUMNS)
    out: dict[str, float] = {}
    for threads in (1, 2):
        out[f"merge, {threads} thread(s)"] = median_time(
            lambda: quillmoor.merge(field.connected_crop_rows, field.points_in_rows,
                                    field.row_information, tolerance=TOLERANCE,
                                    num_threads=threads), repeats)
        out[f"merge_frame, {threads} thread(s)"] = median_time(
            lambda: quillmoor.merge_frame(connections, points, rows, tolerance=TOLERANCE,
                                          num_threads=threads), repeats)
    return out


def farm_case(count: int, size: int) -> dict[str, dict[str, float]]:
    """Each mode in a fresh client process, over the same .npz fields."""
    import subprocess

    out: dict[str, dict[str, float]] = {}
    with tempfile.TemporaryDirectory() as folder:
        fields = os.path.join(folder, "fields")
        os.makedirs(fields)
        print(f"making {count} fields of {size:,} points ...", file=sys.stderr, flush=True)
        for i in range(count):
            field = make_field(size, seed=5000 + i)
            np.savez(os.path.join(fields, f"field-{i:03d}.npz"),
                     connected_crop_rows=field.connected_crop_rows,
                     points_in_rows=field.points_in_rows,
                     row_information=field.row_information)
        for mode in ("gather", "write"):
            print(f"farm, {mode} ...", file=sys.stderr, flush=True)
            run = subprocess.run(
                [sys.executable, os.path.abspath(__file__), "--farm-child", mode, fields,
                 os.path.join(folder, "out-" + mode)],
                capture_output=True, text=True, check=True,
            )
            out[mode] = json.loads(run.stdout.strip().splitlines()[-1])
    return out


def farm_child(mode: str, fields: str, output: str) -> int:
    """One farm run in this process; prints its figures as JSON."""
    import resource

    from distributed import Client

    from quillmoor.dask.local import loopback_cluster

    paths = sorted(os.path.join(fields, name) for name in os.listdir(fields))
    with loopback_cluster(2, 1) as cluster, Client(cluster) as client:
        # Warm the workers (imports, engine pools) on one field, discarded.
        merge_fields(paths[:1], client=client, tolerance=TOLERANCE, progress=False)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        started = time.perf_counter()
        if mode == "gather":
            results = merge_fields(paths, client=client, tolerance=TOLERANCE, progress=False)
            kept = sum(len(result) for result in results)
        else:
            summaries = merge_fields(paths, client=client, tolerance=TOLERANCE, progress=False,
                                     output=output)
            kept = sum(summary.points_kept for summary in summaries)
        seconds = time.perf_counter() - started
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "client_peak_rss_mb": peak / 1e6,
                      "client_rss_before_mb": before / 1e6, "fields": len(paths),
                      "points_kept": kept}))
    return 0


def print_farm(report: dict[str, Any]) -> None:
    print("versions:", ", ".join(f"{k} {v}" for k, v in report["versions"].items()))
    for mode, row in report["farm"].items():
        print(f"  {mode:<7} {row['fields']} fields, {row['points_kept']:,} points kept: "
              f"{row['seconds']:7.1f} s, client peak RSS {row['client_peak_rss_mb']:7.0f} MB "
              f"(before the run {row['client_rss_before_mb']:.0f} MB)")


def versions() -> dict[str, str]:
    import dask
    import distributed
    import pandas

    found = {"numpy": np.__version__, "pandas": pandas.__version__,
             "dask": dask.__version__, "distributed": distributed.__version__}
    for optional in ("s3fs", "moto", "fsspec"):
        try:
            found[optional] = __import__(optional).__version__
        except ImportError:
            pass
    try:
        import pyarrow

        found["pyarrow"] = pyarrow.__version__
    except ImportError:
        pass
    return found


def print_report(report: dict[str, Any]) -> None:
    print("versions:", ", ".join(f"{k} {v}" for k, v in report["versions"].items()))
    for name, cases in report["cases"].items():
        base = cases["serial, arrays, 1 engine thread(s)"]
        print(f"\n{name}: median seconds (x = serial arrays 1 thread / case)")
        for case, seconds in cases.items():
            print(f"  {case:<48} {seconds:8.3f} s   {base / seconds:5.2f}x")
    print("\ncrossover (equal totals of points, by paths, one task a field):")
    for size, row in report["crossover"].items():
        ratio = row["serial"] / row["cluster 2x1"]
        print(f"  {row['fields']:>4} fields of {size:>9,}: serial {row['serial']:.3f} s, "
              f"cluster 2x1 {row['cluster 2x1']:.3f} s, speed-up {ratio:.2f}x")
    print("\none field of 10**6 points:")
    frame = report["frame"]
    for threads in (1, 2):
        ratio = frame[f"merge_frame, {threads} thread(s)"] / frame[f"merge, {threads} thread(s)"]
        print(f"  {threads} thread(s): merge {frame[f'merge, {threads} thread(s)'] * 1e3:.1f} ms, "
              f"merge_frame {frame[f'merge_frame, {threads} thread(s)'] * 1e3:.1f} ms, "
              f"ratio {ratio:.2f} (target <= {FRAME_TARGET})")


if __name__ == "__main__":
    sys.exit(main())
