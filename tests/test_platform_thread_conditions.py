"""What the robots' runtime (free-threaded CPython on 32-bit ARM with musl) does to the
module's threads: musl gives new threads small stacks (128 KiB) unless asked otherwise, and
a free-threaded interpreter counts references from other threads separately from the
owner's. These hold everywhere; that runtime is where a fault in them would show first."""

import subprocess
import sys
import sysconfig
import textwrap
import threading

from quillmoor import merge_points_removing_overlap
from quillmoor.synthetic import make_field

CALLERS = 16
TOLERANCE = 0.05


def tables(field):
    return field.connected_crop_rows, field.points_in_rows, field.row_information


def run_fresh_interpreter(script: str) -> str:
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=600
    )
    # A stack overflow ends the child with a signal: the return code says so.
    assert completed.returncode == 0, (completed.returncode, completed.stdout + completed.stderr)
    return completed.stdout


def test_callers_on_small_stacks_with_workers_get_exact_results():
    # Python threads with musl's default stack size call with pool workers and without;
    # a module frame or worker that needs more stack ends the process.
    out = run_fresh_interpreter(
        """
        import threading
        from quillmoor import merge_points_removing_overlap as merge
        from quillmoor.synthetic import make_field

        field = make_field(20_000, seed=5)
        inputs = (field.connected_crop_rows, field.points_in_rows, field.row_information)
        expected = merge(*inputs, 0.05, 1).tobytes()
        threading.stack_size(128 * 1024)
        results = {}

        def call(index):
            results[index] = merge(*inputs, 0.05, (1, 2, 4, 0)[index % 4]).tobytes()

        callers = [threading.Thread(target=call, args=(i,)) for i in range(8)]
        for caller in callers:
            caller.start()
        for caller in callers:
            caller.join()
        assert sorted(results) == list(range(8)), sorted(results)
        assert all(result == expected for result in results.values())
        print("exact on 128 KiB stacks")
        """
    )
    assert out.strip() == "exact on 128 KiB stacks"


def test_shared_inputs_keep_their_reference_counts_after_concurrent_calls():
    # Other threads' references to the owner's arrays go to the shared count in a
    # free-threaded build; every one taken must be given back, none given back twice.
    inputs = tables(make_field(2_000, seed=9))
    expected = merge_points_removing_overlap(*inputs, TOLERANCE, 1).tobytes()
    before = [sys.getrefcount(array) for array in inputs]
    barrier = threading.Barrier(CALLERS)
    results = [b""] * CALLERS
    failures = []

    def call(index):
        try:
            barrier.wait()
            for _ in range(4):
                results[index] = merge_points_removing_overlap(*inputs, TOLERANCE, 2).tobytes()
        except BaseException as exc:  # noqa: BLE001 - any failure is reported below
            failures.append(exc)

    callers = [threading.Thread(target=call, args=(i,)) for i in range(CALLERS)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join()
    assert not failures, failures
    assert results == [expected] * CALLERS
    assert [sys.getrefcount(array) for array in inputs] == before, (
        "free-threaded build" if sysconfig.get_config_var("Py_GIL_DISABLED") else "build with the lock"
    )
