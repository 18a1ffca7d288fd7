"""Speed and memory of argmerge, merge and merge_frame (pandas, polars, Arrow), side by side.

Run from outside the checkout with the module importable and NumPy, pandas, polars and
pyarrow installed:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_frames.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_frames.py --sizes 1e6 --json out.json

Each field size and point order is measured in a fresh subprocess (the field is made
once there, with ``quillmoor.synthetic.make_field``: shuffled as generated, or grouped by
segment with a stable sort by key). Within it, for 1 and then 2 threads, the five
operations run on the same points, back to back in one process:

* ``argmerge``: ``quillmoor.argmerge`` on the points' 7-column float64 array (positions);
* ``merge``: ``quillmoor.merge`` on that array (the kept rows as one array);
* ``merge_frame`` on a pandas DataFrame, a polars DataFrame and an Arrow table of the same
  7 columns (the kept rows as a frame of the caller's own library).

Each operation gets one untimed call, then ``--repeats`` timed calls (median and min
shown); ratios are of medians. Peak extra memory is the growth of the resident set during
an operation's first call (VmHWM after minus VmRSS before, the high-water mark reset
through /proc/self/clear_refs). Before anything is timed, every operation's rows are
checked against ``merge``'s, bit for bit.

Targets, printed as met or MISSED (nothing is asserted): ``merge_frame`` at most 1.25x
``merge`` on the same points, for every library; ``argmerge`` faster than ``merge``.
The load average is printed before and after: figures from a loaded machine are noise.
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

DEFAULT_SIZES = (1_000_000, 10_000_000)
THREAD_COUNTS = (1, 2)
ORDERS = ("grouped", "shuffled")
OPERATIONS = ("argmerge", "merge", "pandas", "polars", "arrow")
LIBRARIES = ("pandas", "polars", "arrow")
TOLERANCE = 0.05
SEED = 2024
MB = 1 << 20
TARGET_FRAME_RATIO = 1.25  # merge_frame over merge, every library, size, order and thread count
QUIET_LOAD = 1.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", type=lambda s: int(float(s)),
                        default=list(DEFAULT_SIZES), help="numbers of points")
    parser.add_argument("--repeats", type=int, default=5, help="timed calls per operation")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker is not None:
        size, order = args.worker
        json.dump(measure_case(int(size), order, args.repeats), sys.stdout)
        return 0

    load_before = os.getloadavg()
    cases = [run_worker(size, order, args.repeats) for size in args.sizes for order in ORDERS]
    report = {"load_before": load_before, "load_after": os.getloadavg(),
              "versions": versions(), "cases": cases}
    print_report(report)
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)
    return 0


def run_worker(size: int, order: str, repeats: int) -> dict[str, Any]:
    print(f"measuring {size:,} {order} points ...", file=sys.stderr, flush=True)
    command = [sys.executable, os.path.abspath(__file__), "--worker", str(size), order,
               "--repeats", str(repeats)]
    # stderr is captured, not a terminal, so the progress bar stays out of the timings.
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"the measurement of {size:,} {order} points failed")
    result: dict[str, Any] = json.loads(done.stdout)
    return result


def versions() -> dict[str, str]:
    import numpy
    import pandas
    import polars
    import pyarrow

    import quillmoor

    return {"python": sys.version.split()[0], "numpy": numpy.__version__,
            "pandas": pandas.__version__, "polars": polars.__version__,
            "pyarrow": pyarrow.__version__, "quillmoor": os.path.dirname(quillmoor.__file__)}


def make_points(size: int, order: str) -> tuple[Any, Any, Any]:
    import numpy as np

    from quillmoor.synthetic import make_field

    field = make_field(size, seed=SEED)
    points = field.points_in_rows
    if order == "grouped":
        points = points[np.lexsort((points[:, 1], points[:, 0]))]  # the shuffled one is freed
    return field.connected_crop_rows, np.ascontiguousarray(points), field.row_information


def measure_case(size: int, order: str, repeats: int) -> dict[str, Any]:
    import numpy as np
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    import quillmoor
    from quillmoor.synthetic import CONNECTION_COLUMNS, POINT_COLUMNS, ROW_INFORMATION_COLUMNS

    connected, points, rows = make_points(size, order)
    names = list(POINT_COLUMNS)
    # Each library holds the points in its own memory, column by column, as read from a
    # file; the two small tables are frames of the same library.
    frames = {
        "pandas": tuple(pd.DataFrame(table, columns=list(cols)).copy() for table, cols in
                        ((connected, CONNECTION_COLUMNS), (points, names),
                         (rows, ROW_INFORMATION_COLUMNS))),
        "polars": tuple(pl.DataFrame({c: table[:, i].copy() for i, c in enumerate(cols)})
                        for table, cols in ((connected, CONNECTION_COLUMNS), (points, names),
                                            (rows, ROW_INFORMATION_COLUMNS))),
        "arrow": tuple(pa.table({c: table[:, i].copy() for i, c in enumerate(cols)})
                       for table, cols in ((connected, CONNECTION_COLUMNS), (points, names),
                                           (rows, ROW_INFORMATION_COLUMNS))),
    }
    result: dict[str, Any] = {"points": size, "order": order,
                              "records": int(connected.shape[0]), "threads": {}}
    for threads in THREAD_COUNTS:
        def argmerge(threads: int = threads) -> Any:
            return quillmoor.argmerge(connected, points, rows, num_threads=threads,
                                      tolerance=TOLERANCE, unassigned="ignore")

        def merge(threads: int = threads) -> Any:
            return quillmoor.merge(connected, points, rows, num_threads=threads,
                                   tolerance=TOLERANCE, unassigned="ignore")

        def frame_merge(library: str, threads: int = threads) -> Callable[[], Any]:
            c, p, r = frames[library]
            return lambda: quillmoor.merge_frame(c, p, r, num_threads=threads,
                                                 tolerance=TOLERANCE, unassigned="ignore")

        actions: dict[str, Callable[[], Any]] = {"argmerge": argmerge, "merge": merge}
        actions.update({library: frame_merge(library) for library in LIBRARIES})
        start_pool(threads)
        memory = {name: peak_extra_bytes(action) for name, action in actions.items()}
        check_results(actions, points, names)
        timings = {name: back_to_back(action, repeats) for name, action in actions.items()}
        result["output_points"] = int(len(argmerge()))
        result["threads"][str(threads)] = {"times": timings, "peak_extra_bytes": memory}
    return result


def start_pool(threads: int) -> None:
    # A tiny field first: whatever starts once per process is not in the measured calls.
    import quillmoor
    from quillmoor.synthetic import make_field

    tiny = make_field(1000, seed=SEED)
    quillmoor.merge(tiny.connected_crop_rows, tiny.points_in_rows, tiny.row_information,
                    tolerance=TOLERANCE, num_threads=threads)


def check_results(actions: dict[str, Callable[[], Any]], points: Any, names: list[str]) -> None:
    import numpy as np

    expected = actions["merge"]()
    outcomes = {
        "argmerge": points[actions["argmerge"]()],
        "pandas": actions["pandas"]().to_numpy(),
        "polars": actions["polars"]().select(names).to_numpy(),
        "arrow": np.column_stack([actions["arrow"]().column(c).to_numpy() for c in names]),
    }
    for name, rows in outcomes.items():
        if np.ascontiguousarray(rows, dtype=np.float64).tobytes() != expected.tobytes():
            raise SystemExit(f"{name} does not give merge's rows")


def back_to_back(action: Callable[[], Any], repeats: int) -> dict[str, float]:
    """Min and median wall time of `action`, run `repeats` times after one untimed call."""
    outcome = action()
    del outcome
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        outcome = action()
        times.append(time.perf_counter() - started)
        del outcome
    return {"min": min(times), "median": statistics.median(times)}


def peak_extra_bytes(action: Callable[[], Any]) -> int:
    """Growth of the resident set during one call of `action`, its result included."""
    reset_peak_memory()
    before = resident_kib("VmRSS")
    outcome = action()
    peak = resident_kib("VmHWM")
    del outcome
    return (peak - before) * 1024


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


def ms(figure: dict[str, float]) -> str:
    return f"{figure['min'] * 1e3:.1f}/{figure['median'] * 1e3:.1f}"


def verdict(met: bool) -> str:
    return "met" if met else "MISSED"


def ratio(times: dict[str, Any], name: str) -> float:
    return float(times[name]["median"] / times["merge"]["median"])


def print_report(report: dict[str, Any]) -> None:
    before = report["load_before"]
    print("load average before: {:.2f} {:.2f} {:.2f}".format(*before))
    if before[0] >= QUIET_LOAD:
        print(f"LOADED MACHINE (load {before[0]:.2f}): these figures are not for the README")
    print("versions: " + ", ".join(f"{k} {v}" for k, v in report["versions"].items()))
    header = (f"{'points':>11} {'order':>8} {'thr':>3} "
              + " ".join(f"{name + ' ms':>17}" for name in OPERATIONS))
    print(header)
    print("-" * len(header))
    for case in report["cases"]:
        for threads, figures in case["threads"].items():
            times = figures["times"]
            print(f"{case['points']:>11,} {case['order']:>8} {threads:>3} "
                  + " ".join(f"{ms(times[name]):>17}" for name in OPERATIONS))
    print()
    print(f"{'points':>11} {'order':>8} {'thr':>3} "
          + " ".join(f"{name + ' peak+ MB':>17}" for name in OPERATIONS))
    for case in report["cases"]:
        for threads, figures in case["threads"].items():
            memory = figures["peak_extra_bytes"]
            print(f"{case['points']:>11,} {case['order']:>8} {threads:>3} "
                  + " ".join(f"{memory[name] / MB:>17.1f}" for name in OPERATIONS))
    print()
    print("figures: min/median ms of back-to-back calls after one untimed call; ratios of "
          "medians")
    print("peak+  : growth of the resident set during an operation's first call (1 thread:"
          " fresh memory; 2 threads: after the 1-thread calls, so freed heap is reused)")
    print("merge_frame: pandas, polars, arrow columns; the frames' own tables of the same "
          "7 float64 columns")
    print()
    print("targets:")
    for line in target_lines(report):
        print("  " + line)
    print("load average after: {:.2f} {:.2f} {:.2f}".format(*report["load_after"]))


def target_lines(report: dict[str, Any]) -> list[str]:
    lines = []
    for case in report["cases"]:
        for threads, figures in case["threads"].items():
            times = figures["times"]
            where = f"{case['points']:,} {case['order']} points, {threads} thread(s)"
            for library in LIBRARIES:
                r = ratio(times, library)
                lines.append(f"{where}: merge_frame ({library}) {r:.2f}x merge "
                             f"(at most {TARGET_FRAME_RATIO}): "
                             f"{verdict(r <= TARGET_FRAME_RATIO)}")
            r = ratio(times, "argmerge")
            lines.append(f"{where}: argmerge {r:.2f}x merge (below 1): {verdict(r < 1.0)}")
    return lines


if __name__ == "__main__":
    sys.exit(main())
