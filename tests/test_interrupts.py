"""Ctrl-C during a merge: the call stops and raises what the signal handler raised.

The profiler hook sees the native call begin and arms an interval timer then, so the
kernel sends SIGALRM every few milliseconds while the call runs, with no helper thread
that has to be scheduled in time. The hook also tells how the native call itself ended
(``c_exception``: it raised; ``c_return``: it returned a result, and a pending signal
could only be acted on after that) and from which frame it was made; a handler that runs
with that frame current before the call ended ran inside the call. So these tests see
whether the merge ran the handlers and was stopped from inside, without looking at a
clock. An attempt in which no handler ran inside the call says nothing either way and
is repeated.
"""

from __future__ import annotations

import os
import pty
import re
import select
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import FrameType
from typing import Any

import numpy as np
import pytest

from emulation import under_emulator

import quillmoor
from quillmoor._native import merge_points_removing_overlap
from quillmoor.synthetic import make_field

TOLERANCE = 0.05
# Big enough that a merge takes a good many of the engine's polling intervals.
FIELD_POINTS = 3_000_000
ATTEMPTS = 5
FIRST_SIGNAL = 0.002  # seconds from the call's start to the first signal
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
    caller: FrameType | None = None
    outcome: str | None = None

    def hook(self, frame: FrameType, event: str, arg: Any) -> None:
        if arg is not self.function:
            return
        if event == "c_call":
            self.caller = frame
            signal.setitimer(signal.ITIMER_REAL, FIRST_SIGNAL, SEND_EVERY)
        elif event in ("c_return", "c_exception"):
            signal.setitimer(signal.ITIMER_REAL, 0)
            self.outcome = event

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
        # Decided before any call: on a slow (emulated) machine the next signal can come
        # while this run is still going, and its run, nested in this one's next call,
        # counts too.
        first = self.runs == 0
        self.runs += 1
        if self.call.is_inside(frame):
            self.runs_during_call += 1
        if self.error is not None and first:
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
) -> Attempt:
    """One call of `merge` while SIGALRM keeps coming."""
    call = NativeCall(function)
    handler = Handler(call, error)
    previous = signal.signal(signal.SIGALRM, handler)
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
        signal.setitimer(signal.ITIMER_REAL, 0)
        # signal.signal runs the handlers of pending signals first: ours, which no longer
        # raises, takes the stragglers.
        signal.signal(signal.SIGALRM, previous)
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
    ("error", "expected"),
    [(keyboard_interrupt, KeyboardInterrupt), (field_abandoned, FieldAbandoned)],
    ids=["ctrl-c", "custom-handler"],
)
def test_a_raising_handler_stops_the_merge_and_its_exception_is_raised(
    tables: Tables,
    clean_results: dict[int, np.ndarray],
    capfd: pytest.CaptureFixture[str],
    threads: int,
    error: Callable[[int, FrameType | None], BaseException],
    expected: type[BaseException],
) -> None:
    for tried in attempts(exact_call(tables, threads), merge_points_removing_overlap, error):
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
    call = NativeCall(merge_points_removing_overlap)
    done = threading.Event()

    def worker() -> None:
        sys.setprofile(call.hook)  # this thread's own: the timer runs during its call
        try:
            results.append(merge_exactly(tables, 2))
        finally:
            sys.setprofile(None)
            signal.setitimer(signal.ITIMER_REAL, 0)
            done.set()

    runs = 0

    def handler(signum: int, frame: FrameType | None) -> None:
        # Raises once: a handler runs between any two bytecodes of this thread, so later
        # raises could escape any try of the waiting below.
        nonlocal runs
        runs += 1
        if runs == 1 and not done.is_set():
            raise FieldAbandoned("on the main thread")

    previous = signal.signal(signal.SIGALRM, handler)
    thread = threading.Thread(target=worker)
    try:
        # Not join(): an exception raised into it marks the thread as ended.
        try:
            thread.start()
            done.wait(PATIENCE)
        except FieldAbandoned:
            pass
        done.wait(PATIENCE)
    finally:
        thread.join(PATIENCE)
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert call.outcome == "c_return"
    assert len(results) == 1
    assert np.array_equal(results[0], clean_results[2])
    # The timer runs only during the worker's call: a signal came while it merged.
    assert runs > 0


# A merge on a terminal, as a user at the keyboard has it: the bar is drawn, Ctrl-C comes.
# The handler acts once (later signals are dropped), so the child's answer is one line.
TERMINAL_CHILD = f"""
import signal, sys
from quillmoor._native import merge_points_removing_overlap as merge
from quillmoor.synthetic import make_field

field = make_field({FIELD_POINTS}, seed=5)
small = make_field(1000, seed=5)  # the first call loads NumPy's C API
merge(small.connected_crop_rows, small.points_in_rows, small.row_information, 0.05, 2)
outcome = []
def hook(frame, event, arg):
    if arg is merge:
        outcome.append(event)
armed = [True]
def handler(signum, frame):
    if armed[0] and outcome:  # the call has begun
        armed[0] = False
        signal.default_int_handler(signum, frame)
signal.signal(signal.SIGINT, handler)
try:
    sys.setprofile(hook)
    sys.stderr.write("merging\\n")
    sys.stderr.flush()
    merge(field.connected_crop_rows, field.points_in_rows, field.row_information, 0.05, 1)
    raised = "nothing"
except KeyboardInterrupt:
    raised = "KeyboardInterrupt"
sys.setprofile(None)
# Without its end: the signal was acted on in the hook, as the call returned.
print(outcome[-1] if len(outcome) > 1 else "at-return", raised, flush=True)
"""
BAR_FRAME = re.compile(r"\[[█░]{40}\] \d+/\d+")
ESCAPE = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def screen_lines(written: str) -> list[str]:
    """The lines that `written` leaves on a terminal (carriage return, erase line, newline)."""
    lines, column = [""], 0
    for token in re.findall(r"\x1b\[[0-9;]*[A-Za-z]|\r|\n|.", written):
        if token == "\x1b[2K":
            lines[-1] = ""
        elif token.startswith("\x1b"):
            continue
        elif token == "\r":
            column = 0
        elif token == "\n":
            lines.append("")
            column = 0
        else:
            line = lines[-1].ljust(column)
            lines[-1] = line[:column] + token + line[column + 1:]
            column += 1
    return [line for line in lines if line]


def default_interrupts() -> None:
    """In a child before it starts: SIGINT acted on, as in a shell, whatever this
    process's own handling of it (a child inherits an ignored or blocked signal)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


def interrupted_on_terminal(
    arguments: list[str], marker: str = "", cwd: Any = None
) -> tuple[int, str, str]:
    """Runs ``python ARGUMENTS`` with standard error on a pseudo-terminal; once the
    merge's bar is drawn after ``marker``, as a user sees it before pressing Ctrl-C,
    sends SIGINT until it ends. Returns its exit code, what it drew and its output."""
    controller, terminal = pty.openpty()
    env = dict(os.environ, TERM="xterm-256color", OPENBLAS_NUM_THREADS="1")
    for name in ("NO_COLOR", "CLICOLOR", "CLICOLOR_FORCE"):
        env.pop(name, None)
    process = subprocess.Popen(
        [sys.executable, *arguments], cwd=cwd,
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=terminal, env=env,
        preexec_fn=default_interrupts,
    )
    os.close(terminal)
    written = ""
    deadline = time.monotonic() + PATIENCE
    try:
        while time.monotonic() < deadline:
            after = written.partition(marker)[2] if marker else written
            if process.poll() is None and BAR_FRAME.search(ESCAPE.sub("", after)):
                process.send_signal(signal.SIGINT)
            if not select.select([controller], [], [], SEND_EVERY)[0]:
                continue
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # EIO: the child has closed its end
                break
            if not chunk:
                break
            written += chunk.decode(errors="replace")
        stdout, _ = process.communicate(timeout=PATIENCE)
    finally:
        process.kill()
        os.close(controller)
    return process.returncode, written, stdout.decode()


def test_an_interrupted_merge_erases_its_bar() -> None:
    if under_emulator():
        pytest.skip("under an emulator the first signal comes before the bar's first frame")
    for _ in range(ATTEMPTS):
        _, written, answer = interrupted_on_terminal(["-c", TERMINAL_CHILD], "merging")
        answer = answer.strip()
        if answer in ("c_return nothing", "at-return KeyboardInterrupt"):
            continue  # the call ended before the signal came, or just as it came
        if not BAR_FRAME.search(ESCAPE.sub("", written.partition("merging")[2])):
            continue  # stopped before its bar was drawn: the erasure would show nothing
        assert answer == "c_exception KeyboardInterrupt", (answer, written)
        # The warm-up call's finished bar, then nothing after the marker.
        assert screen_lines(written)[-1] == "merging", written
        return
    pytest.fail(f"in {ATTEMPTS} calls no signal was acted on inside the merge")


# Ctrl-C while the first call loads NumPy's C API (Python code runs then): simulated by a
# NumPy function that raises KeyboardInterrupt, as a signal handler would at that moment.
FIRST_CALL_CHILD = """
import numpy as np, numpy.lib
from quillmoor._native import merge_points_removing_overlap as merge
from quillmoor.synthetic import make_field

field = make_field(1000, seed=5)
args = (field.connected_crop_rows, field.points_in_rows, field.row_information, 0.05, 1)
real = numpy.lib.NumpyVersion
def interrupted(*args):
    raise KeyboardInterrupt
numpy.lib.NumpyVersion = interrupted
try:
    merge(*args)
    print("returned")
except BaseException as error:
    print(type(error).__name__)
numpy.lib.NumpyVersion = real
print(merge(*args).shape[0] > 0)
"""


def test_ctrl_c_while_the_first_call_loads_numpy_is_raised_as_it_is() -> None:
    done = subprocess.run([sys.executable, "-c", FIRST_CALL_CHILD], capture_output=True,
                          text=True, timeout=PATIENCE, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["KeyboardInterrupt", "True"]
    assert done.stderr == ""  # no failure report


# A child forked by a thread other than the main one: there the forking thread is the main
# thread, whose Ctrl-C must stop a merge as anywhere else (the parent's main thread has
# merged first). The child answers with its exit status: 0 when a handler's exception
# ended the native call from inside, 3 when every attempt ended before a signal came.
FORKED_CHILD = f"""
import os, signal, sys, threading, warnings
from quillmoor._native import merge_points_removing_overlap as merge
from quillmoor.synthetic import make_field

warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
field = make_field({FIELD_POINTS}, seed=5)
args = (field.connected_crop_rows, field.points_in_rows, field.row_information, 0.05, 1)
merge(*args)

def attempt():
    outcome = []
    def hook(frame, event, arg):
        if arg is merge:
            outcome.append(event)
    armed = [True]
    def handler(signum, frame):
        if armed[0] and outcome:
            armed[0] = False
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, handler)
    me = threading.get_ident()
    done = threading.Event()
    def send():
        while not done.wait({SEND_EVERY}):
            signal.pthread_kill(me, signal.SIGINT)
    sender = threading.Thread(target=send)
    sender.start()
    try:
        sys.setprofile(hook)
        merge(*args)
    except KeyboardInterrupt:
        pass
    finally:
        sys.setprofile(None)
        done.set()
        sender.join()
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return outcome[-1] if len(outcome) > 1 else "at-return"

def in_child():
    if threading.main_thread().ident != threading.get_ident():
        return 4
    for _ in range({ATTEMPTS}):
        if attempt() == "c_exception":
            return 0
    return 3

status = []
def fork_here():
    pid = os.fork()
    if pid == 0:
        os._exit(in_child())
    status.append(os.waitpid(pid, 0)[1])
forker = threading.Thread(target=fork_here)
forker.start()
forker.join()
print(os.waitstatus_to_exitcode(status[0]))
"""


def test_ctrl_c_stops_a_merge_in_a_child_forked_by_another_thread() -> None:
    done = subprocess.run([sys.executable, "-c", FORKED_CHILD], capture_output=True,
                          text=True, timeout=PATIENCE, check=False)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "0", (done.stdout, done.stderr)
