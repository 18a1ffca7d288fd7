"""A field larger than the budget merged from file to file: peak memory and time of
``quillmoor merge --memory SIZE`` against the in-memory ``quillmoor merge``.

Run from outside the checkout with the module importable, on a quiet machine:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_bounded.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_bounded.py --points 1e7 --memory 256M

A synthetic field is written once into a work folder: its points as Parquet (row groups of
a million), the two small tables as .npy. With --order generated (the default) the
points keep the generator's order, which spreads each record's points over the whole
table, so every piece waits in a file of its own between two passes; with --order
grouped they come record after record (as a field is usually recorded), and each piece
is merged as soon as it has been read. Each merge then runs as its own ``quillmoor merge`` process, Parquet to
Parquet; its peak resident memory is the kernel's (``ru_maxrss`` of the child), and the
interpreter with its libraries loaded and started (the same command on a field of 2,000
points) is measured the same way and shown beside it. Throughput is points per second of
the whole command: reading, merging and writing. The in-memory run can be skipped with
--no-whole (a field may not fit). The load average is printed before and after.
Nothing is asserted.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time

import numpy as np

PARQUET_ROW_GROUP = 1_000_000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=float, default=5e7)
    parser.add_argument("--memory", default="256M")
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--work", default="bench-bounded-work",
                        help="folder for the field and the outputs (kept for a rerun)")
    parser.add_argument("--no-whole", action="store_true", help="skip the in-memory merge")
    parser.add_argument("--order", choices=("generated", "grouped"), default="generated")
    args = parser.parse_args()
    points = int(args.points)
    print(f"load average before: {os.getloadavg()}")
    inputs = write_field(args.work, points, args.order)
    size = os.path.getsize(inputs[1])
    print(f"field: {points:,} points in {args.order} order, points file {size / 1e9:.2f} GB "
          "(Parquet, 7 columns)")
    # The interpreter with its libraries loaded and started (NumPy, pandas, pyarrow's
    # reader and writer, the engine's threads): the same command on a field of 2,000
    # points.
    small = write_field(os.path.join(args.work, "small"), 2_000)
    baseline = peak_of([sys.executable, "-m", "quillmoor", "merge", *small, "-o",
                        os.path.join(args.work, "small", "kept.parquet"), "--memory",
                        args.memory])[0]
    print(f"interpreter and libraries alone (the same command on 2,000 points): peak "
          f"{baseline / 2**20:,.0f} MiB")
    runs = [("pieces", ["--memory", args.memory])]
    if not args.no_whole:
        runs.append(("whole", []))
    for name, extra in runs:
        output = os.path.join(args.work, f"kept-{name}.parquet")
        command = [sys.executable, "-m", "quillmoor", "merge", *inputs, "-o", output,
                   "--threads", str(args.threads), "--tolerance", "0.05", *extra]
        peak, seconds = peak_of(command)
        print(f"{name:>6}: {seconds:7.1f} s, {points / seconds / 1e6:5.2f} M points/s, peak "
              f"{peak / 2**20:,.0f} MiB ({(peak - baseline) / 2**20:,.0f} MiB above the "
              "interpreter and libraries)")
    print(f"load average after: {os.getloadavg()}")


def write_field(folder: str, points: int, order: str = "generated") -> list[str]:
    paths = [os.path.join(folder, name) for name in
             ("connected_crop_rows.npy", f"points-{points}-{order}.parquet",
              "row_information.npy")]
    if all(os.path.exists(path) for path in paths):
        return paths
    import pyarrow
    import pyarrow.parquet

    from quillmoor.synthetic import POINT_COLUMNS, make_field

    os.makedirs(folder, exist_ok=True)
    field = make_field(points, seed=7)
    np.save(paths[0], field.connected_crop_rows)
    np.save(paths[2], field.row_information)
    table_rows = field.points_in_rows
    if order == "grouped":  # the records' order: by crop row, then segment
        table_rows = table_rows[np.lexsort((table_rows[:, 1], table_rows[:, 0]))]
    table = pyarrow.table({name: table_rows[:, column]
                           for column, name in enumerate(POINT_COLUMNS)})
    pyarrow.parquet.write_table(table, paths[1], row_group_size=PARQUET_ROW_GROUP)
    return paths


#: Runs its arguments as a command and prints that child's peak resident kilobytes.
MEASURE = ("import resource, subprocess, sys; "
           "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); "
           "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")


def peak_of(command: list[str]) -> tuple[int, float]:
    """Peak resident bytes and seconds of one command, measured by a process of its own
    (the kernel's maximum over a process's children would mix the runs)."""
    started = time.perf_counter()
    measured = subprocess.run([sys.executable, "-c", MEASURE, *command], check=True,
                              capture_output=True, text=True)
    seconds = time.perf_counter() - started
    return int(measured.stdout.split()[-1]) * 1024, seconds


if __name__ == "__main__":
    main()
