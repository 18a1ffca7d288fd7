"""Speed and memory of merge_points_removing_overlap on synthetic fields.

Run from the checkout with the module importable, for example:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_merge.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_merge.py --sizes 1e5 1e6 --json out.json

Every field size, point order and thread count is measured in a fresh subprocess, so
peak memory belongs to that case alone. Within it:

* points come shuffled (as the generator writes them) or grouped by segment (a stable
  sort by key, the way most real maps arrive);
* floor: the least any merge must do, ``points_in_rows[mask]`` with a precomputed mask
  that selects exactly the output rows: one read of the table, one write of the result.
  It is timed in the same process, each repeat right after a merge (interleaved), and
  the merge is reported as the ratio of the two medians;
* merge: the median of several calls, after one untimed call that measures memory (and
  one on a tiny field before it, which starts the worker pool's threads);
* peak extra memory: the growth of the resident set during that untimed call (VmHWM
  after the call minus VmRSS before it, with the high-water mark reset through
  /proc/self/clear_refs), compared with a budget of the result plus 12 bytes per point
  record;
* naive scan (small sizes, shuffled, 1 thread): one pass of a NumPy mask over
  points_in_rows per connection record, the gathering that the engine's index replaces.

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

DEFAULT_SIZES = (100_000, 1_000_000, 10_000_000)
THREAD_COUNTS = (1, 2)
ORDERS = ("shuffled", "grouped")
TOLERANCE = 0.05
SEED = 2024
MB = 1 << 20

TARGET_FLOOR_RATIO = 1.5        # 1 thread at the largest size, each order
TARGET_RATIO_SPREAD = 1.3       # largest over smallest ratio across sizes, each order
BUDGET_BYTES_PER_POINT = 12     # peak extra memory: the result plus this per point record


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", type=lambda s: int(float(s)),
                        default=list(DEFAULT_SIZES), help="numbers of points")
    parser.add_argument("--repeats", type=int, default=7, help="timed calls per case")
    parser.add_argument("--scan-up-to", type=lambda s: int(float(s)), default=300_000,
                        metavar="N", help="time the naive scan up to this many points")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker is not None:
        size, order, threads = int(args.worker[0]), args.worker[1], int(args.worker[2])
        json.dump(measure_one_case(size, order, threads, args.repeats, args.scan_up_to),
                  sys.stdout)
        return 0

    results = []
    for size in args.sizes:
        for order in ORDERS:
            result = {"order": order}
            for threads in THREAD_COUNTS:
                print(f"measuring {size:,} {order} points with {threads} thread(s) ...",
                      file=sys.stderr, flush=True)
                result.update(run_worker(size, order, threads, args.repeats, args.scan_up_to))
            results.append(result)
    print_report(results)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)
    return 0


def run_worker(size: int, order: str, threads: int, repeats: int, scan_up_to: int) -> dict:
    command = [sys.executable, os.path.abspath(__file__), "--worker", str(size), order,
               str(threads), "--repeats", str(repeats), "--scan-up-to", str(scan_up_to)]
    # stderr is captured, not a terminal, so the progress bar stays out of the timings.
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"the measurement of {size:,} {order} points, {threads} thread(s) failed")
    return json.loads(done.stdout)


def measure_one_case(size: int, order: str, threads: int, repeats: int, scan_up_to: int) -> dict:
    """Figures of one field size, point order and thread count; keys end in the thread count."""
    import numpy as np

    from quillmoor import merge_points_removing_overlap
    from quillmoor.synthetic import make_field

    field = make_field(size, seed=SEED)
    connected, points, rows = field.connected_crop_rows, field.points_in_rows, field.row_information
    del field
    if order == "grouped":
        points = points[np.lexsort((points[:, 1], points[:, 0]))]  # the shuffled one is freed

    def merge():
        return merge_points_removing_overlap(connected, points, rows, TOLERANCE, threads)

    # The worker pool's threads start once per process: a tiny field starts them first, so
    # the measured call holds only what merging this field takes.
    tiny = make_field(1000, seed=SEED)
    merge_points_removing_overlap(tiny.connected_crop_rows, tiny.points_in_rows,
                                  tiny.row_information, TOLERANCE, threads)
    del tiny

    reset_peak_memory()
    before = resident_kib("VmRSS")
    merged = merge()
    peak = resident_kib("VmHWM")
    result = {
        "points": size,
        "records": int(connected.shape[0]),
        "input_bytes": int(connected.nbytes + points.nbytes + rows.nbytes),
        "output_bytes": int(merged.nbytes),
        "output_points": int(merged.shape[0]),
        f"peak_extra_bytes_{threads}": (peak - before) * 1024,
    }
    del merged

    # The mask of exactly the output rows: merge the keys and coordinates with each row's
    # number as the one further column (every key belongs to one record in these fields).
    numbered = np.column_stack([points[:, :4], np.arange(len(points), dtype=np.float64)])
    kept = merge_points_removing_overlap(connected, numbered, rows, TOLERANCE, threads)
    mask = np.zeros(len(points), dtype=bool)
    mask[kept[:, -1].astype(np.intp)] = True
    del numbered, kept
    if int(mask.sum()) != result["output_points"]:
        raise SystemExit("the mask does not select the output rows")

    def floor():
        return points[mask]

    merge_times, floor_times = interleaved_seconds(merge, floor, repeats)
    result[f"seconds_{threads}"] = merge_times
    result[f"floor_seconds_{threads}"] = floor_times

    if size <= scan_up_to and threads == 1 and order == "shuffled":
        def naive_scan():
            for record in connected:
                points[(points[:, 0] == record[1]) & (points[:, 1] == record[2])]

        result["naive_scan_seconds"] = interleaved_seconds(naive_scan, None, 1)[0]
    return result


def interleaved_seconds(first, second, repeats: int):
    """Medians of `first` and `second`, timed alternately `repeats` times each."""
    first_times: list[float] = []
    second_times: list[float] = []
    for _ in range(repeats):
        for action, times in ((first, first_times), (second, second_times)):
            if action is None:
                continue
            started = time.perf_counter()
            outcome = action()
            times.append(time.perf_counter() - started)
            del outcome
    return (statistics.median(first_times),
            statistics.median(second_times) if second_times else None)


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
    return result["output_bytes"] + BUDGET_BYTES_PER_POINT * result["points"]


def ratio(result: dict, threads: int) -> float:
    return result[f"seconds_{threads}"] / result[f"floor_seconds_{threads}"]


def print_report(results: list[dict]) -> None:
    header = (f"{'points':>11} {'order':>8} {'records':>7} {'out MB':>7} {'floor ms':>9} "
              f"{'1 thr ms':>9} {'x floor':>7} {'2 thr ms':>9} {'x floor':>7} "
              f"{'peak+ MB':>9} {'budget MB':>9} {'scan ms':>8}")
    print(header)
    print("-" * len(header))
    for r in results:
        scan = r.get("naive_scan_seconds")
        print(
            f"{r['points']:>11,} {r['order']:>8} {r['records']:>7,} "
            f"{r['output_bytes'] / MB:>7.1f} {r['floor_seconds_1'] * 1e3:>9.2f} "
            f"{r['seconds_1'] * 1e3:>9.2f} {ratio(r, 1):>7.2f} "
            f"{r['seconds_2'] * 1e3:>9.2f} {ratio(r, 2):>7.2f} "
            f"{r['peak_extra_bytes_1'] / MB:>9.1f} {budget_bytes(r) / MB:>9.1f} "
            f"{'' if scan is None else f'{scan * 1e3:.1f}':>8}"
        )
    print()
    two_threads = ", ".join(f"{r['peak_extra_bytes_2'] / MB:.1f}" for r in results)
    print(f"peak+ : growth of the resident set during one call with 1 thread "
          f"(with 2 threads: {two_threads} MB)")
    print(f"budget: the result + {BUDGET_BYTES_PER_POINT} B per point record")
    print("floor : points_in_rows[mask], the mask selecting exactly the output rows; "
          "x floor: merge median over floor median, same process, interleaved "
          "(floor ms: the 1-thread process's)")
    print("scan  : one NumPy mask over points_in_rows per connection record (naive gathering)")

    print()
    for order in ORDERS:
        of_order = [r for r in results if r["order"] == order]
        if not of_order:
            continue
        largest = of_order[-1]
        ratios = [ratio(r, 1) for r in of_order]
        spread = max(ratios) / min(ratios)
        print(f"targets ({order}): 1 thread at {largest['points']:,} points is "
              f"{ratio(largest, 1):.2f}x the floor (target <= {TARGET_FLOOR_RATIO}); "
              f"ratios across sizes within {spread:.2f}x (target <= {TARGET_RATIO_SPREAD})")
    within = all(r["peak_extra_bytes_1"] <= budget_bytes(r) and
                 r["peak_extra_bytes_2"] <= budget_bytes(r) for r in results)
    print(f"peak extra memory within budget at every size, order and thread count: "
          f"{'yes' if within else 'no'}")


if __name__ == "__main__":
    sys.exit(main())
