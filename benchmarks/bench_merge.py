"""Speed and memory of merge_points_removing_overlap on synthetic fields.

Run from the checkout with the module importable, for example:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_merge.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_merge.py --sizes 1e5 1e6 --json out.json

Every field size and thread count is measured in a fresh subprocess, so peak memory
belongs to that case alone. Within it:

* floor: the least any merge must do, timed the same way as the merge: copy
  points_in_rows once (``copy = points.copy()``), then fill an array of the result's
  shape from it (``out = np.empty_like(result); out[...] = copy[:len(result)]``).
  Each merge time is compared with the floor timed in the same process.
* merge: the median of several calls, after one untimed call that warms up the pool
  and measures memory.
* peak extra memory: the growth of the resident set during that untimed call (VmHWM
  after the call minus VmRSS before it, with the high-water mark reset through
  /proc/self/clear_refs), compared with a budget of one copy of the three inputs plus
  the output plus 16 bytes per point record.
* naive scan (small sizes only): one pass of a NumPy mask over points_in_rows per
  connection record, the gathering that the engine's index replaces.

The targets are printed beside the figures; nothing is asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

DEFAULT_SIZES = (100_000, 300_000, 1_000_000, 3_000_000, 10_000_000)
THREAD_COUNTS = (1, 2)
TOLERANCE = 0.05
SEED = 2024
MB = 1 << 20

TARGET_FLOOR_RATIO = 2.5        # 1 thread at the largest size, against the floor
TARGET_PER_POINT_GROWTH = 1.5   # ns per point at the largest size over the smallest
BUDGET_BYTES_PER_POINT = 16


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", type=lambda s: int(float(s)),
                        default=list(DEFAULT_SIZES), help="numbers of points")
    parser.add_argument("--repeats", type=int, default=5, help="timed calls per case")
    parser.add_argument("--scan-up-to", type=lambda s: int(float(s)), default=300_000,
                        metavar="N", help="time the naive scan up to this many points")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--worker", type=int, nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker is not None:
        size, threads = args.worker
        json.dump(measure_one_case(size, threads, args.repeats, args.scan_up_to), sys.stdout)
        return 0

    results = []
    for size in args.sizes:
        result = {}
        for threads in THREAD_COUNTS:
            print(f"measuring {size:,} points with {threads} thread(s) ...",
                  file=sys.stderr, flush=True)
            result.update(run_worker(size, threads, args.repeats, args.scan_up_to))
        results.append(result)
    print_report(results)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)
    return 0


def run_worker(size: int, threads: int, repeats: int, scan_up_to: int) -> dict:
    command = [sys.executable, os.path.abspath(__file__), "--worker", str(size), str(threads),
               "--repeats", str(repeats), "--scan-up-to", str(scan_up_to)]
    # stderr is captured, not a terminal, so the progress bar stays out of the timings.
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"the measurement of {size:,} points, {threads} thread(s) failed")
    return json.loads(done.stdout)


def measure_one_case(size: int, threads: int, repeats: int, scan_up_to: int) -> dict:
    """Figures of one field size and thread count; keys end in the thread count."""
    import numpy as np

    from quillmoor import merge_points_removing_overlap
    from quillmoor.synthetic import make_field

    field = make_field(size, seed=SEED)
    tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
    points = field.points_in_rows

    def merge():
        return merge_points_removing_overlap(*tables, TOLERANCE, threads)

    reset_peak_memory()
    before = resident_kib("VmRSS")
    merged = merge()
    peak = resident_kib("VmHWM")
    kept_rows = int(merged.shape[0])
    result = {
        "points": size,
        "records": int(field.connected_crop_rows.shape[0]),
        "input_bytes": int(sum(table.nbytes for table in tables)),
        "output_bytes": int(merged.nbytes),
        "output_points": kept_rows,
        f"peak_extra_bytes_{threads}": (peak - before) * 1024,
    }
    del merged
    result[f"seconds_{threads}"] = median_seconds(merge, repeats)

    def floor():
        copy = points.copy()
        out = np.empty((kept_rows, points.shape[1]))
        out[...] = copy[:kept_rows]

    result[f"floor_seconds_{threads}"] = median_seconds(floor, repeats)

    if size <= scan_up_to and threads == 1:
        def naive_scan():
            for record in field.connected_crop_rows:
                points[(points[:, 0] == record[1]) & (points[:, 1] == record[2])]

        result["naive_scan_seconds"] = median_seconds(naive_scan, 1)
    return result


def median_seconds(action, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def reset_peak_memory() -> None:
    # Writing 5 resets the resident high-water mark (Linux 4.0 and later).
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
    except OSError:
        pass


def resident_kib(field_name: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"/proc/self/status has no {field_name}")


def budget_bytes(result: dict) -> int:
    return (result["input_bytes"] + result["output_bytes"]
            + BUDGET_BYTES_PER_POINT * result["points"])


def print_report(results: list[dict]) -> None:
    header = (f"{'points':>11} {'records':>8} {'in MB':>7} {'out MB':>7} {'floor ms':>9} "
              f"{'1 thr ms':>9} {'x floor':>7} {'2 thr ms':>9} {'x floor':>7} "
              f"{'ns/pt':>6} {'peak+ MB':>9} {'budget MB':>9} {'scan ms':>9}")
    print(header)
    print("-" * len(header))
    for r in results:
        floor = r["floor_seconds_1"]
        scan = r.get("naive_scan_seconds")
        print(
            f"{r['points']:>11,} {r['records']:>8,} {r['input_bytes'] / MB:>7.1f} "
            f"{r['output_bytes'] / MB:>7.1f} {floor * 1e3:>9.2f} "
            f"{r['seconds_1'] * 1e3:>9.2f} {r['seconds_1'] / floor:>7.2f} "
            f"{r['seconds_2'] * 1e3:>9.2f} {r['seconds_2'] / r['floor_seconds_2']:>7.2f} "
            f"{r['seconds_1'] / r['points'] * 1e9:>6.1f} "
            f"{r['peak_extra_bytes_1'] / MB:>9.1f} {budget_bytes(r) / MB:>9.1f} "
            f"{'' if scan is None else f'{scan * 1e3:.1f}':>9}"
        )
    print()
    two_threads = ", ".join(f"{r['peak_extra_bytes_2'] / MB:.1f}" for r in results)
    print(f"peak+ : growth of the resident set during one call with 1 thread "
          f"(with 2 threads: {two_threads} MB)")
    print("budget: one copy of the inputs + the output + "
          f"{BUDGET_BYTES_PER_POINT} B per point record")
    print("x floor: merge time over the floor timed in the same process (floor ms: 1 thread's)")
    print("scan  : one NumPy mask over points_in_rows per connection record (naive gathering)")

    largest, smallest = results[-1], results[0]
    ratio = largest["seconds_1"] / largest["floor_seconds_1"]
    per_point = [r["seconds_1"] / r["points"] for r in (smallest, largest)]
    growth = per_point[1] / per_point[0]
    within = all(r["peak_extra_bytes_1"] <= budget_bytes(r) for r in results)
    print()
    print(f"targets: 1 thread at {largest['points']:,} points is {ratio:.2f}x the floor "
          f"(target <= {TARGET_FLOOR_RATIO})")
    print(f"         time per point grows {growth:.2f}x from {smallest['points']:,} to "
          f"{largest['points']:,} points (target <= {TARGET_PER_POINT_GROWTH})")
    print(f"         peak extra memory within budget at every size: {'yes' if within else 'no'}")


if __name__ == "__main__":
    sys.exit(main())
