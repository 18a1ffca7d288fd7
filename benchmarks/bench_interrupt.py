"""How soon Ctrl-C stops merge_points_removing_overlap: signal sent -> exception caught.

Run from outside the checkout with the module importable, on a quiet machine:

    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_interrupt.py
    PYTHONPATH=build/<name>/pkg python3 benchmarks/bench_interrupt.py --sizes 1e6 1e7 --tries 7

For every field size (synthetic fields, points shuffled as generated) and thread count,
one clean call is timed first; then each try starts a call and, from a helper thread,
sends SIGINT to the main thread at a random moment inside it (uniformly within the
clean call's duration, from 2% on). The latency is the time from the signal's sending
to the KeyboardInterrupt caught around the call: polling, the workers' stop, unwinding,
freeing the partial result. A try whose call ended before the signal was sent is
discarded and repeated. Reported: the median of the tries, with the fastest and slowest.
The handler is Python's own SIGINT handler (signal.default_int_handler).

The load average is printed before and after: figures from a loaded machine are noise.
Nothing is asserted.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import signal
import statistics
import sys
import threading
import time
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

import numpy as np

DEFAULT_SIZES = (1_000_000, 10_000_000, 30_000_000)
THREAD_COUNTS = (1, 2)
TOLERANCE = 0.05
SEED = 2024
EARLIEST_SHARE = 0.02  # of the clean call's duration
PATIENCE = 600.0  # seconds


@dataclass
class Try:
    """One interrupted call, as the helper thread and the main thread saw it."""

    delay: float
    started: threading.Event = field(default_factory=threading.Event)
    ended: threading.Event = field(default_factory=threading.Event)
    sent_at: float | None = None


class OneShotInterrupt:
    """Python's SIGINT handler for the first signal of a try; later ones are dropped."""

    def __init__(self) -> None:
        self.armed = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        if self.armed:
            self.armed = False
            signal.default_int_handler(signum, frame)


def send_after_delay(attempt: Try, main_thread: int) -> None:
    if not attempt.started.wait(PATIENCE):
        return
    if attempt.ended.wait(attempt.delay):
        return  # the call was over before the moment came
    attempt.sent_at = time.perf_counter()
    signal.pthread_kill(main_thread, signal.SIGINT)


def latency_of_one_try(merge: Any, args: tuple[Any, ...], delay: float,
                       handler: OneShotInterrupt) -> float | None:
    """Seconds from the signal to the exception, or None when the call ended first."""
    main_thread = threading.main_thread().ident
    assert main_thread is not None
    attempt = Try(delay)
    sender = threading.Thread(target=send_after_delay, args=(attempt, main_thread))
    sender.start()
    caught_at = None
    handler.armed = True
    try:
        try:
            attempt.started.set()
            merge(*args)
        except KeyboardInterrupt:
            caught_at = time.perf_counter()
        attempt.ended.set()
        handler.armed = False
    except KeyboardInterrupt:
        pass  # sent as the call returned: acted on after it
    finally:
        attempt.ended.set()
        handler.armed = False
        sender.join(PATIENCE)
    if caught_at is None or attempt.sent_at is None:
        return None
    return caught_at - attempt.sent_at


def measure(n_points: int, threads: int, tries: int, rng: random.Random) -> dict[str, Any]:
    from quillmoor._native import merge_points_removing_overlap as merge
    from quillmoor.synthetic import make_field

    generated = make_field(n_points=n_points, seed=SEED)
    args = (generated.connected_crop_rows, generated.points_in_rows,
            generated.row_information, TOLERANCE, threads)
    merge(*args)  # the pool's threads started, the memory touched once
    started = time.perf_counter()
    merge(*args)
    clean = time.perf_counter() - started

    handler = OneShotInterrupt()
    previous = signal.signal(signal.SIGINT, handler)
    latencies: list[float] = []
    discarded = 0
    try:
        while len(latencies) < tries:
            delay = rng.uniform(EARLIEST_SHARE, 1.0) * clean
            latency = latency_of_one_try(merge, args, delay, handler)
            if latency is None:
                discarded += 1
                if discarded > 10 * tries:
                    break
                continue
            latencies.append(latency)
    finally:
        signal.signal(signal.SIGINT, previous)
    # The next call is whole again.
    if not np.array_equal(merge(*args), merge(*args)):
        raise SystemExit("results of two calls after the interrupts differ")
    return {
        "points": n_points,
        "threads": threads,
        "clean_call_ms": 1000 * clean,
        "latency_ms": [1000 * value for value in latencies],
        "median_ms": 1000 * statistics.median(latencies) if latencies else None,
        "discarded": discarded,
    }


def load_average() -> str:
    return " ".join(f"{value:.2f}" for value in os.getloadavg())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", nargs="+", type=lambda s: int(float(s)),
                        default=list(DEFAULT_SIZES), help="points per field")
    parser.add_argument("--threads", nargs="+", type=int, default=list(THREAD_COUNTS))
    parser.add_argument("--tries", type=int, default=5, help="interrupted calls per case")
    parser.add_argument("--seed", type=int, default=1, help="of the random moments")
    parser.add_argument("--json", metavar="PATH", help="also write the figures as JSON")
    args = parser.parse_args()
    if threading.current_thread() is not threading.main_thread():
        raise SystemExit("run on the main thread")

    print(f"load average before: {load_average()}")
    rng = random.Random(args.seed)
    rows = []
    print(f"{'points':>12} {'threads':>7} {'clean call':>11} {'median':>9} {'fastest':>9} "
          f"{'slowest':>9}  tries")
    for n_points in args.sizes:
        for threads in args.threads:
            row = measure(n_points, threads, args.tries, rng)
            rows.append(row)
            latencies = row["latency_ms"]
            if not latencies:
                print(f"{n_points:>12,} {threads:>7} {row['clean_call_ms']:>8.1f} ms"
                      "   no call was interrupted")
                continue
            print(f"{n_points:>12,} {threads:>7} {row['clean_call_ms']:>8.1f} ms "
                  f"{row['median_ms']:>6.1f} ms {min(latencies):>6.1f} ms "
                  f"{max(latencies):>6.1f} ms  {len(latencies)}"
                  + (f" ({row['discarded']} ended before the signal)" if row["discarded"] else ""),
                  flush=True)
    print(f"load average after: {load_average()}")
    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({"load_average": os.getloadavg(), "cases": rows}, out, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
