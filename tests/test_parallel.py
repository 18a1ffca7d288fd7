"""The worker pool seen from Python: any thread count gives the same bytes, calls may
come one after another or from many threads at once, the environment picks the count
for num_threads=0, a forked child can use the pool, and among many failing records the
lowest one is reported.
"""

import hashlib
import multiprocessing
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import MergeFailed, reference_merge
from quillmoor.synthetic import make_field

TOLERANCE = 0.05
# Fields of a few hundred short overlapping segments, so that every thread gets records.
FIELD = {"n_points": 20000, "segment_length": 2.0, "overlap": 0.3}
FIELD_SEEDS = (11, 12)


def field_tables(seed):
    field = make_field(seed=seed, **FIELD)
    return field.connected_crop_rows, field.points_in_rows, field.row_information


@pytest.fixture(scope="module")
def fields():
    return [field_tables(seed) for seed in FIELD_SEEDS]


@pytest.fixture(scope="module")
def expected(native_merge, fields):
    """One-thread results, checked against the reference."""
    results = []
    for tables in fields:
        result = native_merge(*tables, TOLERANCE, 1)
        assert np.array_equal(result, reference_merge(*tables, TOLERANCE, 1))
        assert result.shape[0] > 1000
        results.append(result)
    return results


def same_bytes(result, expected_result):
    return (
        result.dtype == expected_result.dtype
        and result.shape == expected_result.shape
        and result.tobytes() == expected_result.tobytes()
    )


def digest(array):
    return f"{array.shape} {hashlib.sha256(array.tobytes()).hexdigest()}"


@pytest.mark.parametrize("num_threads", [1, 2, 4, 255])
def test_every_thread_count_gives_the_same_bytes(native_merge, fields, expected, num_threads):
    for tables, expected_result in zip(fields, expected):
        assert same_bytes(native_merge(*tables, TOLERANCE, num_threads), expected_result)


def test_calls_in_a_row_with_changing_thread_counts(native_merge, fields, expected):
    for call, num_threads in enumerate([3, 1, 8, 2, 255, 0, 1, 4, 1000, 2, 1]):
        which = call % len(fields)
        result = native_merge(*fields[which], TOLERANCE, num_threads)
        assert same_bytes(result, expected[which]), f"call {call}, num_threads {num_threads}"


def test_python_threads_calling_at_once(native_merge, fields, expected):
    thread_counts = [1, 2, 3, 4, 8, 255, 0, 2]
    start = threading.Barrier(len(thread_counts))
    outcomes = [None] * len(thread_counts)

    def caller(slot):
        start.wait()
        try:
            for call in range(4):
                which = (slot + call) % len(fields)
                result = native_merge(*fields[which], TOLERANCE, thread_counts[slot])
                if not same_bytes(result, expected[which]):
                    outcomes[slot] = f"call {call} gave another result"
                    return
            outcomes[slot] = "ok"
        except BaseException as error:  # noqa: BLE001 - reported below, per thread
            outcomes[slot] = repr(error)

    threads = [threading.Thread(target=caller, args=(slot,)) for slot in range(len(thread_counts))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert outcomes == ["ok"] * len(thread_counts)


CHILD_SCRIPT = """
import hashlib
from quillmoor._native import merge_points_removing_overlap
from quillmoor.synthetic import make_field
field = make_field(seed={seed}, **{field_arguments!r})
tables = (field.connected_crop_rows, field.points_in_rows, field.row_information)
for _ in range(2):
    result = merge_points_removing_overlap(*tables, {tolerance}, 0)
    print(result.shape, hashlib.sha256(result.tobytes()).hexdigest())
"""


@pytest.mark.parametrize(
    "environment",
    [
        {"RAYON_NUM_THREADS": "3"},
        {"RAYON_NUM_THREADS": "0"},
        {"RAYON_NUM_THREADS": "garbage", "RAYON_RS_NUM_CPUS": "2"},
        {"RAYON_NUM_THREADS": "1000"},
        {},
    ],
    ids=lambda environment: ",".join(f"{k}={v}" for k, v in environment.items()) or "unset",
)
def test_zero_threads_follows_the_environment(expected, environment, tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env.update(environment)
    script = CHILD_SCRIPT.format(seed=FIELD_SEEDS[0], field_arguments=FIELD, tolerance=TOLERANCE)
    # Run from an empty directory: a checkout's package sources must not shadow the build.
    done = subprocess.run(
        [sys.executable, "-c", script],
        env=env, cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [digest(expected[0])] * 2


def merge_in_child(connection, tables, num_threads):
    from quillmoor._native import merge_points_removing_overlap

    try:
        result = digest(merge_points_removing_overlap(*tables, TOLERANCE, num_threads))
        # The pool's worker threads outlive the call. A child whose pool still counted on
        # the parent's threads would have run everything on one thread.
        deadline = time.monotonic() + 60
        while len(os.listdir("/proc/self/task")) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        connection.send((result, len(os.listdir("/proc/self/task"))))
    except BaseException as error:  # noqa: BLE001 - the parent reports it
        connection.send((repr(error), 0))


@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
@pytest.mark.parametrize("other_thread", ["none", "idle", "calling"])
def test_forked_child_uses_the_pool(native_merge, fields, expected, other_thread):
    # The parent has used the pool with several threads before it forks, and another
    # Python thread has called it and lives on, or is calling it as the fork happens.
    assert same_bytes(native_merge(*fields[0], TOLERANCE, 4), expected[0])
    stop, called = threading.Event(), threading.Event()

    def other_caller():
        while True:
            native_merge(*fields[1], TOLERANCE, 3)
            called.set()
            if other_thread == "idle" or stop.is_set():
                break
        stop.wait(60)

    other = threading.Thread(target=other_caller)
    if other_thread != "none":
        other.start()
        called.wait(60)
    try:
        receiver, sender = multiprocessing.Pipe(duplex=False)
        child = multiprocessing.get_context("fork").Process(
            target=merge_in_child, args=(sender, fields[0], 4)
        )
        child.start()
        child.join(timeout=60)
        if child.is_alive():
            child.kill()
            child.join()
            pytest.fail("the forked child hung")
        assert child.exitcode == 0
        assert receiver.poll(5)
        result, child_threads = receiver.recv()
        assert result == digest(expected[0])
        assert child_threads > 1
    finally:
        stop.set()
        if other_thread != "none":
            other.join()
    assert same_bytes(native_merge(*fields[1], TOLERANCE, 4), expected[1])


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_lowest_failing_record_is_reported(native_merge, fields, seed):
    connected, points, rows = fields[0]
    records = connected.shape[0]
    rng = np.random.default_rng(seed)
    # Failures in the later half only, so that threads starting there meet them first.
    failing = np.sort(rng.choice(np.arange(records // 2, records), size=40, replace=False))
    broken = connected.copy()
    broken[failing, 2] = 9999.0  # base key (key_a, 9999): no row record has it
    lowest = int(failing[0])
    for num_threads in (1, 2, 4, 255, 2, 4):
        with pytest.raises(MergeFailed) as failed:
            native_merge(broken, points, rows, TOLERANCE, num_threads)
        assert failed.value.record == lowest, f"num_threads {num_threads}"
        assert failed.value.text.startswith(f"connection record {lowest}: ")
    with pytest.raises(MergeFailed) as by_reference:
        reference_merge(broken, points, rows, TOLERANCE, 1)
    assert by_reference.value.record == lowest
