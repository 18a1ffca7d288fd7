"""Ctrl-C during a merge: the call stops and raises what the signal handler raised.

A helper thread sends the signal again and again while the call runs. The profiler hook
tells how the native call itself ended (``c_exception``: it raised; ``c_return``: it
returned a result, and a pending signal could only be acted on after that) and from
which frame it was made; a handler that runs with that frame current before the call
ended ran inside the call. So these tests see whether the merge ran the handlers and was
stopped from inside, without looking at a clock. An attempt in which no handler ran
inside the call says nothing either way and is repeated.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

import numpy as np
import pytest

import quillmoor
from quillmoor._native import merge_points_removing_overlap
from quillmoor.synthetic import make_field

TOLERANCE = 0.05
# Big enough that a merge takes a good many of the engine's polling intervals.
FIELD_POINTS = 3_000_000
ATTEMPTS = 5
SEND_EVERY = 0.005  # seconds between two signals
PATIENCE = 120.0  # seconds a helper thread waits for a call to start or end

Tables = tuple[np.ndarray, np.ndarray, np.ndarray]


class FieldAbandoned(Exception):
    """What the custom handler raises."""


@pytest.fixture(scope="module")
def tables() -> Tables:
    generated = make_field(n_points=FIELD_POINTS, seed=5)
    return generated.connected_crop_rows, generated.points_in_rows, generated.row_information


@pytest.fixture(scope="module")
def clean_results(tables: Tables) -> dict[int, np.ndarray]:
    return {threads: merge_exactly(tables, threads) for threads in (1, 2)}


@pytest.fixture(autouse=True)
def on_main_thread() -> None:
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("signal handlers run on the main thread only")


@dataclass
class NativeCall:
    """How the watched native function's call went, as the profiler hook saw it."""

    function: Any
    started: threading.Event = field(default_factory=threading.Event)
    ended: threading.Event = field(default_factory=threading.Event)
    caller: FrameType | None = None
    outcome: str | None = None

    def hook(self, frame: FrameType, event: str, arg: Any) -> None:
        if arg is not self.function:
            return
        if event == "c_call":
            self.caller = frame
            self.started.set()
        elif event in ("c_return", "c_exception"):
            self.outcome = event
            self.ended.set()

    def is_inside(self, frame: FrameType | None) -> bool:
        """Whether a handler that sees `frame` as the current frame runs inside the call."""
        return frame is not None and frame is self.caller and self.outcome is None


@dataclass
class Handler:
    """A signal handler that raises `error()` the first time it runs (never, if None) and
    notes every time it runs whether the native call was running."""

    call: NativeCall
    error: Callable[[int, FrameType | None], BaseException] | None
    runs: int = 0
    runs_during_call: int = 0

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        self.runs += 1
        if self.call.is_inside(frame):
            self.runs_during_call += 1
        if self.error is not None and self.runs == 1:
            raise self.error(signum, frame)


def keyboard_interrupt(signum: int, frame: FrameType | None) -> BaseException:
    """Ctrl-C's own handler, as Python installs it."""
    try:
        signal.default_int_handler(signum, frame)
    except KeyboardInterrupt as error:
        return error
    raise AssertionError("the default SIGINT handler did not raise")


def field_abandoned(signum: int, frame: FrameType | None) -> BaseException:
    return FieldAbandoned(f"signal {signum}")


def send_while_running(call: NativeCall, signum: int, to_process: bool) -> None:
    if not call.started.wait(PATIENCE):
        return
    main = threading.main_thread().ident
    assert main is not None
    while not call.ended.wait(SEND_EVERY):
        if to_process:
            os.kill(os.getpid(), signum)
        else:
            signal.pthread_kill(main, signum)


@dataclass
class Attempt:
    result: np.ndarray | None
    error: BaseException | None
    outcome: str | None
    handler: Handler


def attempt(
    merge: Callable[[], np.ndarray],
    function: Any,
    error: Callable[[int, FrameType | None], BaseException] | None,
    signum: int = signal.SIGINT,
    to_process: bool = False,
) -> Attempt:
    """One call of `merge` while signals `signum` keep coming."""
    call = NativeCall(function)
    handler = Handler(call, error)
    previous = signal.signal(signum, handler)
    sender = threading.Thread(target=send_while_running, args=(call, signum, to_process))
    sender.start()
    result = None
    raised = None
    try:
        sys.setprofile(call.hook)
        try:
            result = merge()
        except BaseException as caught:  # noqa: B036 - KeyboardInterrupt is the point
            raised = caught
        finally:
            sys.setprofile(None)
    finally:
        call.started.set()
        call.ended.set()
        sender.join(PATIENCE)
        # signal.signal runs the handlers of pending signals first: ours, which no longer
        # raises, takes the stragglers.
        signal.signal(signum, previous)
    return Attempt(result, raised, call.outcome, handler)


def attempts(*args: Any, **kwargs: Any) -> Iterator[Attempt]:
    """Attempts in which a handler ran inside the native call."""
    conclusive = 0
    for _ in range(ATTEMPTS):
        tried = attempt(*args, **kwargs)
        if tried.handler.runs_during_call > 0 and tried.outcome is not None:
            conclusive += 1
            yield tried
    assert conclusive > 0, f"in {ATTEMPTS} calls no signal handler ran inside the merge"


def merge_exactly(tables: Tables, threads: int) -> np.ndarray:
    connected_crop_rows, points_in_rows, row_information = tables
    return merge_points_removing_overlap(
        connected_crop_rows, points_in_rows, row_information, TOLERANCE, threads
    )


def exact_call(tables: Tables, threads: int) -> Callable[[], np.ndarray]:
    return lambda: merge_exactly(tables, threads)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize(
    ("error", "expected", "signum", "to_process"),
    [
        (keyboard_interrupt, KeyboardInterrupt, signal.SIGINT, False),
        (field_abandoned, FieldAbandoned, signal.SIGUSR1, True),
    ],
    ids=["ctrl-c", "custom-handler"],
)
def test_a_raising_handler_stops_the_merge_and_its_exception_is_raised(
    tables: Tables,
    clean_results: dict[int, np.ndarray],
    capfd: pytest.CaptureFixture[str],
    threads: int,
    error: Callable[[int, FrameType | None], BaseException],
    expected: type[BaseException],
    signum: int,
    to_process: bool,
) -> None:
    for tried in attempts(exact_call(tables, threads), merge_points_removing_overlap, error,
                          signum, to_process):
        assert tried.result is None
        assert type(tried.error) is expected, repr(tried.error)
        # The native call itself raised: it was stopped, not left to finish.
        assert tried.outcome == "c_exception"
        # Not an internal error: nothing is reported on standard error.
        assert capfd.readouterr().err == ""
        assert np.array_equal(merge_exactly(tables, threads), clean_results[threads])
        break


@pytest.mark.parametrize("threads", [1, 2])
def test_a_handler_that_returns_lets_the_merge_finish_exactly(
    tables: Tables, clean_results: dict[int, np.ndarray], threads: int
) -> None:
    for tried in attempts(exact_call(tables, threads), merge_points_removing_overlap, None):
        assert tried.error is None
        assert tried.outcome == "c_return"
        assert tried.result is not None
        assert np.array_equal(tried.result, clean_results[threads])
        break


def test_ctrl_c_passes_through_the_forgiving_merge(
    tables: Tables, clean_results: dict[int, np.ndarray]
) -> None:
    def merge() -> np.ndarray:
        return quillmoor.merge(*tables, tolerance=TOLERANCE, num_threads=2)

    for tried in attempts(merge, merge_points_removing_overlap, keyboard_interrupt):
        assert type(tried.error) is KeyboardInterrupt, repr(tried.error)
        assert tried.outcome == "c_exception"
        assert np.array_equal(merge(), clean_results[2])
        break


def test_a_merge_on_another_thread_is_not_stopped_by_the_main_threads_handler(
    tables: Tables, clean_results: dict[int, np.ndarray]
) -> None:
    """Handlers run on the main thread; a merge elsewhere goes on to its exact result."""
    results: list[np.ndarray] = []
    running = threading.Event()
    done = threading.Event()

    def worker() -> None:
        running.set()
        try:
            results.append(merge_exactly(tables, 2))
        finally:
            done.set()

    raised_during_call = 0

    def handler(signum: int, frame: FrameType | None) -> None:
        nonlocal raised_during_call
        if done.is_set():
            return
        raised_during_call += 1
        raise FieldAbandoned("on the main thread")

    previous = signal.signal(signal.SIGUSR1, handler)
    thread = threading.Thread(target=worker)
    main = threading.main_thread().ident
    assert main is not None
    try:
        thread.start()
        assert running.wait(PATIENCE)
        while not done.is_set():
            # Sent by this thread to itself: acted on inside pthread_kill, so here.
            try:
                signal.pthread_kill(main, signal.SIGUSR1)
            except FieldAbandoned:
                pass
            done.wait(SEND_EVERY)
    finally:
        thread.join(PATIENCE)
        signal.signal(signal.SIGUSR1, previous)
    assert len(results) == 1
    assert np.array_equal(results[0], clean_results[2])
    assert raised_during_call > 0
