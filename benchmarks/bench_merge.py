"""Speed and memory of merge_points_removing_overlap on synthetic fields, beside floors and peers.

Run from outside the checkout with the module importable and, for the peers, NumPy,
Numba and pandas installed (a venv of its own, see benchmarks/README.md):

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_merge.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_merge.py --sizes 1e5 1e6 --json out.json

Every field size, point order, thread count and memory mode is measured in a fresh
subprocess, so peak memory belongs to that case alone. Within it:

* points come shuffled (as the generator writes them) or grouped by segment (a stable
  sort by key, the way most real maps arrive);
* memory is fresh (as users get it: large blocks come from the kernel and are faulted
  in on first touch) or hot (``MALLOC_MMAP_MAX_=0`` and a trim threshold beyond any
  result, so glibc keeps freed blocks in its heap and the next call reuses them): the
  difference is page faults, not work;
* floors: the least any merge must do. Grouped points: ``points_in_rows[mask]``, one read
  of the table and one write of the result. Shuffled points:
  ``points_in_rows.take(order, axis=0)``, the gather of the kept rows in output order
  that regrouping shuffled points takes (the fancy index ``points_in_rows[order]`` is
  slower and no floor). ``mask`` and ``order`` select exactly the output rows;
* every operation (floor, merge, peers) runs back to back after one untimed call, and
  is reported as its minimum and median; ratios are of medians taken in one process;
* peers (1 thread, fresh memory): vectorised NumPy and a Numba loop (merge_peers.py),
  checked bit for bit against the merge's result on the same field before they are timed;
* peak extra memory: the growth of the resident set during the first merge call (VmHWM
  after the call minus VmRSS before it, the high-water mark reset through
  /proc/self/clear_refs), against a budget of the result plus 12 bytes per point record;
* merge_frame: a DataFrame of the 10^6-point field's 7 columns against merge on its array,
  with the points shuffled and grouped.

The load average is printed before and after: figures from a loaded machine are noise.
Every target is printed as met or missed; nothing is asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from typing import Any

DEFAULT_SIZES = (100_000, 1_000_000, 10_000_000)
THREAD_COUNTS = (1, 2)
ORDERS = ("shuffled", "grouped")
MEMORY_MODES = ("fresh", "hot")
TOLERANCE = 0.05
SEED = 2024
MB = 1 << 20
FRAME_POINTS = 1_000_000

TARGET_FLOOR_RATIO = 1.5        # merge over floor, 1 thread, fresh memory, every size
TARGET_TWO_THREAD_SPEEDUP = 1.7  # at the largest size
TARGET_OVER_NUMPY = 10.0        # peer time over merge time, largest size, 1 thread
TARGET_OVER_NUMBA = 2.0
TARGET_FRAME_RATIO = 1.3        # merge_frame over merge, 1 and 2 threads
BUDGET_BYTES_PER_POINT = 12     # peak extra memory: the result plus this per point record
HOT_MALLOC = {"MALLOC_MMAP_MAX_": "0", "MALLOC_TRIM_THRESHOLD_": str(1 << 40)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", type=lambda s: int(float(s)),
                        default=list(DEFAULT_SIZES), help="numbers of points")
    parser.add_argument("--repeats", type=int, default=7, help="timed calls per operation")
    parser.add_argument("--peer-repeats", type=int, default=3, help="timed calls per peer")
    parser.add_argument("--no-peers", action="store_true", help="skip the NumPy and Numba peers")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker is not None:
        kind, size, order, threads = args.worker
        measure = measure_frame_case if kind == "frame" else measure_merge_case
        json.dump(measure(int(size), order, int(threads), args), sys.stdout)
        return 0

    load_before = os.getloadavg()
    cases = []
    for size in args.sizes:
        for order in ORDERS:
            for threads in THREAD_COUNTS:
                for memory in MEMORY_MODES:
                    cases.append(run_worker("merge", size, order, threads, memory, args))
    frames = [run_worker("frame", FRAME_POINTS, order, threads, "fresh", args)
              for order in ORDERS for threads in THREAD_COUNTS]
    report = {"load_before": load_before, "load_after": os.getloadavg(),
              "cases": cases, "frames": frames}
    print_report(report)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)
    return 0


def run_worker(kind: str, size: int, order: str, threads: int, memory: str,
               args: argparse.Namespace) -> dict[str, Any]:
    print(f"measuring {kind}: {size:,} {order} points, {threads} thread(s), {memory} memory ...",
          file=sys.stderr, flush=True)
    command = [sys.executable, os.path.abspath(__file__), "--worker", kind, str(size), order,
               str(threads), "--repeats", str(args.repeats), "--peer-repeats",
               str(args.peer_repeats)] + (["--no-peers"] if args.no_peers else [])
    env = dict(os.environ, **(HOT_MALLOC if memory == "hot" else {}))
    # stderr is captured, not a terminal, so the progress bar stays out of the timings.
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"the measurement of {kind} {size:,} {order} points, {threads} "
                         f"thread(s), {memory} memory failed")
    result: dict[str, Any] = json.loads(done.stdout)
    result.update(kind=kind, order=order, threads=threads, memory=memory)
    return result


def back_to_back(action: Callable[[], Any], repeats: int) -> dict[str, float]:
    """Min and median wall time of `action`, run `repeats` times after one untimed call."""
    run_once(action)
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        outcome = action()
        times.append(time.perf_counter() - started)
        del outcome
    return {"min": min(times), "median": statistics.median(times)}


def run_once(action: Callable[[], Any]) -> None:
    outcome = action()
    del outcome


def make_points(size: int, order: str):
    import numpy as np

    from quillmoor.synthetic import make_field

    field = make_field(size, seed=SEED)
    points = field.points_in_rows
    if order == "grouped":
        points = points[np.lexsort((points[:, 1], points[:, 0]))]  # the shuffled one is freed
    return field.connected_crop_rows, points, field.row_information


def start_pool(threads: int) -> None:
    # A tiny field first: whatever starts once per process is not in the measured call.
    from quillmoor import merge_points_removing_overlap
    from quillmoor.synthetic import make_field

    tiny = make_field(1000, seed=SEED)
    merge_points_removing_overlap(tiny.connected_crop_rows, tiny.points_in_rows,
                                  tiny.row_information, TOLERANCE, threads)


def measure_merge_case(size: int, order: str, threads: int,
                       args: argparse.Namespace) -> dict[str, Any]:
    import numpy as np

    from quillmoor import merge_points_removing_overlap

    connected, points, rows = make_points(size, order)
    start_pool(threads)

    def merge():
        return merge_points_removing_overlap(connected, points, rows, TOLERANCE, threads)

    reset_peak_memory()
    before = resident_kib("VmRSS")
    merged = merge()
    peak = resident_kib("VmHWM")
    result: dict[str, Any] = {
        "points": size,
        "records": int(connected.shape[0]),
        "output_bytes": int(merged.nbytes),
        "output_points": int(merged.shape[0]),
        "peak_extra_bytes": (peak - before) * 1024,
    }

    # The output rows' numbers: merge keys and coordinates with each row's number as the
    # one further column.
    numbered = np.column_stack([points[:, :4], np.arange(len(points), dtype=np.float64)])
    output_rows = merge_points_removing_overlap(connected, numbered, rows, TOLERANCE,
                                                threads)[:, -1].astype(np.intp)
    del numbered
    if order == "grouped":
        mask = np.zeros(len(points), dtype=bool)
        mask[output_rows] = True

        def floor():
            return points[mask]
    else:
        def floor():
            return points.take(output_rows, axis=0)
    if floor().tobytes() != merged.tobytes():
        raise SystemExit(f"the {order} floor does not give the merge's result")

    peers: dict[str, Callable[[], Any]] = {}
    if threads == 1 and not args.no_peers:
        import merge_peers

        merge_peers.numba_warm_up()
        peers = {
            "numpy": lambda: merge_peers.merge_numpy(connected, points, rows, TOLERANCE),
            "numba": lambda: merge_peers.merge_numba(connected, points, rows, TOLERANCE),
        }
        for name, peer in peers.items():
            if peer().tobytes() != merged.tobytes():
                raise SystemExit(f"the {name} peer does not give the merge's result bit for bit")
    del merged

    result["floor"] = back_to_back(floor, args.repeats)
    result["merge"] = back_to_back(merge, args.repeats)
    for name, peer in peers.items():
        result[name] = back_to_back(peer, args.peer_repeats)
    return result


def measure_frame_case(size: int, order: str, threads: int,
                       args: argparse.Namespace) -> dict[str, Any]:
    try:
        import pandas as pd
    except ImportError:
        return {"points": size, "skipped": "pandas is not installed"}
    import quillmoor
    from quillmoor.synthetic import POINT_COLUMNS

    connected, points, rows = make_points(size, order)
    start_pool(threads)
    frame = pd.DataFrame(points, columns=list(POINT_COLUMNS))

    def merge():
        return quillmoor.merge(connected, points, rows, tolerance=TOLERANCE, num_threads=threads)

    def merge_frame():
        return quillmoor.merge_frame(connected, frame, rows, tolerance=TOLERANCE,
                                     num_threads=threads)

    if merge_frame().to_numpy().tobytes() != merge().tobytes():
        raise SystemExit("merge_frame does not give merge's rows")
    return {"points": size, "order": order, "merge": back_to_back(merge, args.repeats),
            "merge_frame": back_to_back(merge_frame, args.repeats)}


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


def budget_bytes(case: dict[str, Any]) -> int:
    return int(case["output_bytes"]) + BUDGET_BYTES_PER_POINT * int(case["points"])


def ms(figure: dict[str, float]) -> str:
    return f"{figure['min'] * 1e3:.1f}/{figure['median'] * 1e3:.1f}"


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


def print_report(report: dict[str, Any]) -> None:
    cases = report["cases"]
    print("load average before: {:.2f} {:.2f} {:.2f}".format(*report["load_before"]))
    header = (f"{'points':>11} {'order':>8} {'thr':>3} {'memory':>6} {'floor ms':>15} "
              f"{'merge ms':>15} {'x floor':>7} {'numpy ms':>17} {'numba ms':>15} "
              f"{'peak+ MB':>8} {'budget MB':>9}")
    print(header)
    print("-" * len(header))
    for c in cases:
        numpy_ms = ms(c["numpy"]) if "numpy" in c else ""
        numba_ms = ms(c["numba"]) if "numba" in c else ""
        print(f"{c['points']:>11,} {c['order']:>8} {c['threads']:>3} {c['memory']:>6} "
              f"{ms(c['floor']):>15} {ms(c['merge']):>15} {floor_ratio(c):>7.2f} "
              f"{numpy_ms:>17} {numba_ms:>15} "
              f"{c['peak_extra_bytes'] / MB:>8.1f} {budget_bytes(c) / MB:>9.1f}")
    print()
    for f in report["frames"]:
        if "skipped" in f:
            print(f"merge_frame: skipped ({f['skipped']})")
        else:
            print(f"merge_frame, {f['points']:,} {f['order']} points, {f['threads']} thread(s): "
                  f"{ms(f['merge_frame'])} ms against merge {ms(f['merge'])} ms, "
                  f"{frame_ratio(f):.2f}x")
    print()
    print("figures: min/median of back-to-back calls after one untimed call; ratios of medians")
    print("floor  : grouped points_in_rows[mask], shuffled points_in_rows.take(order, axis=0)")
    print("memory : fresh as users get it; hot with MALLOC_MMAP_MAX_=0 (freed blocks reused)")
    print(f"peak+  : growth of the resident set during one call; budget: the result + "
          f"{BUDGET_BYTES_PER_POINT} B per point record")
    print()
    print("targets:")
    for line in target_lines(report):
        print("  " + line)
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*report["load_after"]))


def floor_ratio(case: dict[str, Any]) -> float:
    return float(case["merge"]["median"] / case["floor"]["median"])


def frame_ratio(frame: dict[str, Any]) -> float:
    return float(frame["merge_frame"]["median"] / frame["merge"]["median"])


def find(cases: list[dict[str, Any]], **match: Any) -> dict[str, Any] | None:
    for case in cases:
        if all(case.get(key) == value for key, value in match.items()):
            return case
    return None


def target_lines(report: dict[str, Any]) -> list[str]:
    cases = report["cases"]
    lines = []
    sizes = sorted({c["points"] for c in cases})
    for order in ORDERS:
        for size in sizes:
            case = find(cases, points=size, order=order, threads=1, memory="fresh")
            if case is not None:
                ratio = floor_ratio(case)
                lines.append(f"{order} {size:,} points, 1 thread: {ratio:.2f}x the floor "
                             f"(at most {TARGET_FLOOR_RATIO}): "
                             f"{verdict(ratio <= TARGET_FLOOR_RATIO)}")
        largest = sizes[-1]
        one = find(cases, points=largest, order=order, threads=1, memory="fresh")
        two = find(cases, points=largest, order=order, threads=2, memory="fresh")
        if one is not None and two is not None:
            speedup = one["merge"]["median"] / two["merge"]["median"]
            lines.append(f"{order} {largest:,} points: 2 threads {speedup:.2f}x as fast as 1 "
                         f"(at least {TARGET_TWO_THREAD_SPEEDUP}): "
                         f"{verdict(speedup >= TARGET_TWO_THREAD_SPEEDUP)}")
        for peer, target in (("numpy", TARGET_OVER_NUMPY), ("numba", TARGET_OVER_NUMBA)):
            if one is not None and peer in one:
                lead = one[peer]["median"] / one["merge"]["median"]
                lines.append(f"{order} {largest:,} points: the {peer} peer takes {lead:.1f}x "
                             f"the merge's time (at least {target}): {verdict(lead >= target)}")
    for frame in report["frames"]:
        if "skipped" not in frame:
            ratio = frame_ratio(frame)
            lines.append(f"merge_frame {frame['points']:,} {frame['order']} points, "
                         f"{frame['threads']} thread(s): {ratio:.2f}x merge "
                         f"(at most {TARGET_FRAME_RATIO}): {verdict(ratio <= TARGET_FRAME_RATIO)}")
    within = all(c["peak_extra_bytes"] <= budget_bytes(c) for c in cases)
    lines.append(f"peak extra memory within the budget in every case: {verdict(within)}")
    return lines


if __name__ == "__main__":
    sys.exit(main())
