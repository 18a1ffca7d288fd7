"""Free-threaded CPython: the module keeps the interpreter lock off and stays exact when
many Python threads call it at once, including at the lazy first use of NumPy."""

import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

pytestmark = pytest.mark.skipif(
    not sysconfig.get_config_var("Py_GIL_DISABLED"),
    reason="needs a free-threaded CPython build",
)

from quillmoor import merge_points_removing_overlap  # noqa: E402

THREADS = 16
ROUNDS = 8

# A field generator shared with the subprocess scripts below (kept as source text so that
# a fresh interpreter can run it before anything else touches the module).
FIELD_SOURCE = textwrap.dedent(
    """
    import numpy as np

    def make_field(seed, crop_rows=4, segments=3, points=12):
        rng = np.random.default_rng(seed)
        connections, point_records, row_records = [], [], []
        for row in range(crop_rows):
            slope = rng.random() - 0.5
            for segment in range(segments):
                start, end = segment * 6.0 - 1.0, segment * 6.0 + 7.0
                ends = [start, end, (start + end) / 2]
                row_records.append([row, 0.0, 0.0, 0.0, segment]
                                   + [c for t in ends for c in (t, row * 3.0 + slope * t)])
                for t in start + (end - start) * rng.random(points):
                    point_records.append([row, segment, t, row * 3.0 + slope * t + rng.random() * 0.1,
                                          rng.random()])
                record = [0.0, row, segment]
                for neighbour in (segment - 1, segment + 1):
                    if 0 <= neighbour < segments:
                        record += [row, neighbour]
                record += [np.nan] * (11 - len(record))
                connections.append(record)
        return (np.array(connections), np.array(point_records), np.array(row_records))
    """
)
_namespace = {}
exec(FIELD_SOURCE, _namespace)
make_field = _namespace["make_field"]


def run_threads(target, count=THREADS):
    """Starts `count` threads at once behind a barrier; re-raises the first failure."""
    barrier = threading.Barrier(count)
    failures = []

    def body(index):
        try:
            barrier.wait()
            target(index)
        except BaseException as exc:  # PanicException derives from BaseException
            failures.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        raise failures[0]


def run_fresh_interpreter(script, with_field=True):
    source = (FIELD_SOURCE if with_field else "") + textwrap.dedent(script)
    completed = subprocess.run(
        [sys.executable, "-W", "error::RuntimeWarning", "-c", source],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert completed.returncode == 0, completed.stdout + completed.stderr
    return completed.stdout


def test_interpreter_lock_stays_off_after_import_and_calls():
    # A fresh interpreter: a module without the lock declaration would turn the lock on at
    # import (and with -W error the RuntimeWarning would fail the import).
    out = run_fresh_interpreter(
        """
        import sys, threading
        import quillmoor
        assert not sys._is_gil_enabled(), "after import"
        tables = make_field(1)
        quillmoor.merge_points_removing_overlap(*tables, 0.1, 2)
        assert not sys._is_gil_enabled(), "after the first call"
        workers = [threading.Thread(target=quillmoor.merge_points_removing_overlap,
                                    args=(*tables, 0.1, n)) for n in (1, 2, 3, 4)]
        for w in workers: w.start()
        for w in workers: w.join()
        assert not sys._is_gil_enabled(), "after concurrent calls"
        print("lock off")
        """
    )
    assert out.strip() == "lock off"


@pytest.mark.parametrize("shared", [False, True], ids=["own-inputs", "shared-inputs"])
def test_many_threads_calling_at_once_get_exact_results(shared):
    fields = [make_field(0)] * THREADS if shared else [make_field(seed) for seed in range(THREADS)]
    snapshots = [[a.tobytes() for a in field] for field in fields]
    expected = [merge_points_removing_overlap(*field, 0.25, 1).tobytes() for field in fields]
    assert len(set(expected)) == (1 if shared else THREADS)

    def call(index):
        for round_ in range(ROUNDS):
            threads = (1, 2, 4, 0)[(index + round_) % 4]
            result = merge_points_removing_overlap(*fields[index], 0.25, threads)
            assert result.tobytes() == expected[index], (index, round_, threads)

    run_threads(call)
    # Nobody wrote into the shared inputs.
    assert [[a.tobytes() for a in field] for field in fields] == snapshots


def test_concurrent_failures_reach_their_own_callers():
    good = make_field(3)
    expected = merge_points_removing_overlap(*good, 0.25, 1).tobytes()
    # No row records: every connection record fails inside the engine.
    bad = (good[0], good[1], np.empty((0, 11)))
    with pytest.raises(BaseException) as single:
        merge_points_removing_overlap(*bad, 0.25, 1)
    assert type(single.value).__name__ == "PanicException"

    def call(index):
        for _ in range(ROUNDS):
            if index % 2:
                with pytest.raises(BaseException) as raised:
                    merge_points_removing_overlap(*bad, 0.25, 2)
                assert type(raised.value) is type(single.value)
                assert raised.value.args == single.value.args
            else:
                assert merge_points_removing_overlap(*good, 0.25, 2).tobytes() == expected

    run_threads(call)


def test_first_use_of_numpy_raced_from_many_threads():
    # Every thread's first call is also the process's first: loading NumPy's C API, the
    # registry of borrows and the exception type for internal errors all race here.
    script = """
        import sys, threading
        import quillmoor
        fields = [make_field(seed) for seed in range(16)]
        results, errors = [None] * 16, [None] * 16
        barrier = threading.Barrier(16)
        def call(i):
            barrier.wait()
            try:
                if i % 4 == 3:  # an internal error: no row records
                    quillmoor.merge_points_removing_overlap(fields[i][0], fields[i][1],
                                                            fields[i][2][:0], 0.25, 2)
                else:
                    results[i] = quillmoor.merge_points_removing_overlap(*fields[i], 0.25, 2).tobytes()
            except BaseException as exc:
                errors[i] = exc
        threads = [threading.Thread(target=call, args=(i,)) for i in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        for i in range(16):
            if i % 4 == 3:
                assert type(errors[i]).__name__ == "PanicException", repr(errors[i])
            else:
                assert errors[i] is None, repr(errors[i])
                assert results[i] == quillmoor.merge_points_removing_overlap(*fields[i], 0.25, 1).tobytes()
        assert len({type(errors[i]) for i in range(3, 16, 4)}) == 1
        assert not sys._is_gil_enabled()
        print("ok")
        """
    for _ in range(3):
        assert run_fresh_interpreter(script).strip() == "ok"


def test_lazy_numpy_import_raced_by_argument_errors():
    # NumPy not imported at all yet: sixteen threads whose first call fails the array check,
    # which needs NumPy's array type, so NumPy itself is imported under contention.
    out = run_fresh_interpreter(
        """
        import sys, threading
        import quillmoor
        assert "numpy" not in sys.modules
        messages = [None] * 16
        barrier = threading.Barrier(16)
        def call(i):
            barrier.wait()
            try:
                quillmoor.merge_points_removing_overlap([[1.0]], None, None, 0.0, 1)
            except TypeError as exc:
                messages[i] = (str(exc), tuple(exc.__notes__))
        threads = [threading.Thread(target=call, args=(i,)) for i in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert set(messages) == {("'list' object is not an instance of 'ndarray'",
                                  ("while processing 'connected_crop_rows'",))}, messages
        assert "numpy" in sys.modules
        print("ok")
        """,
        with_field=False,
    )
    assert out.strip() == "ok"
