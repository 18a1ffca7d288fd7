"""An interpreter that exits while daemon threads are inside a call exits cleanly.

CPython before 3.14 ends a daemon thread that tries to re-attach during finalisation
with pthread_exit, whose forced unwind runs through the module's frames; 3.14 leaves
such a thread parked for good. Either way the process must exit with status 0.

Each program is the one a user would write: daemon threads merging in a loop, the main
thread ending soon after. To keep the suite fast, one launcher process imports NumPy and
the module once and forks the runs; every child then ends its interpreter the ordinary
way. A few runs use a fresh interpreter each, exactly as a user starts one.

Each program makes its first call (which loads NumPy's C API, running NumPy's own Python
code) before its daemon threads start, so that at exit they run nothing but the loop and
the module's calls. A daemon thread running Python code while the interpreter finalises
can crash free-threaded CPython 3.13 itself: it frees the thread's state while the thread
may still read it (python/cpython#124878, fixed in 3.14). Seen under emulation, about one
run in 300, with the crash inside CPython's re-attach, never in the module.
"""

from __future__ import annotations

import json
import os
import pty
import subprocess
import sys
import threading

import pytest

# The user's program: daemon threads merging, the main thread ending after `linger`.
USER_PROGRAM = """
import sys, threading, time, numpy as np
from quillmoor._native import merge_points_removing_overlap as merge
ccr = np.full((64, 11), np.nan); ccr[:, 1] = 1; ccr[:, 2] = 1
pir = np.ones((int(sys.argv[1]), 4)); ri = np.array([[1.0, 0, 0, 0, 1, 0, 0, 10, 0, 5, 0]])

merge(ccr, pir, ri, 0.5, 1)  # the first call loads NumPy's C API

def start_merging(num_threads, daemon_threads):
    def loop():
        while True:
            merge(ccr, pir, ri, 0.5, num_threads)
    for _ in range(daemon_threads):
        threading.Thread(target=loop, daemon=True).start()
"""

# Forks `runs` children in batches; each starts its daemon threads, lingers, and falls
# off the end of the program, so its interpreter finalises with the threads in calls.
LAUNCHER = USER_PROGRAM + """
import json, os, sys
num_threads, daemon_threads, runs = (int(value) for value in sys.argv[2:5])
statuses = []
for batch in range(0, runs, 5):
    children = []
    for _ in range(min(5, runs - batch)):
        pid = os.fork()
        if pid == 0:
            start_merging(num_threads, daemon_threads)
            time.sleep(0.05)
            break
        children.append(pid)
    else:
        statuses += [os.waitpid(pid, 0)[1] for pid in children]
        continue
    break
else:
    print(json.dumps(statuses))
"""

FRESH_PROGRAM = USER_PROGRAM + """
import sys
start_merging(int(sys.argv[2]), int(sys.argv[3]))
time.sleep(0.1)
"""


def describe(status: int) -> str:
    """A wait status in words."""
    if os.WIFSIGNALED(status):
        return f"signal {os.WTERMSIG(status)}"
    return f"exit {os.WEXITSTATUS(status)}"


def run_launcher(num_threads: int, daemon_threads: int, runs: int,
                 on_terminal: bool = False) -> list[int]:
    # Shorter calls than the user's (2,000 points): more of them end in each run.
    argv = [sys.executable, "-c", LAUNCHER, "2000", str(num_threads), str(daemon_threads),
            str(runs)]
    env = dict(os.environ, PYTHONWARNINGS="ignore", OPENBLAS_NUM_THREADS="1")
    if not on_terminal:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=env, cwd="/", timeout=600)
        stderr = done.stderr.decode(errors="replace")
    else:
        # Standard error is a pseudo-terminal, so the bar draws while the threads merge.
        env.update(TERM="xterm-256color")
        env.pop("NO_COLOR", None)
        controller, terminal = pty.openpty()
        drained: list[bytes] = []

        def drain() -> None:
            while True:
                try:
                    chunk = os.read(controller, 65536)
                except OSError:  # the terminal side has closed
                    return
                if not chunk:
                    return
                drained.append(chunk)

        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        try:
            done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=terminal, env=env,
                                  cwd="/", timeout=600)
        finally:
            os.close(terminal)
            reader.join(timeout=60)
            os.close(controller)
        stderr = b"".join(drained).decode(errors="replace")
        assert "/64" in stderr, "the bar was never drawn"
    assert done.returncode == 0, stderr[-2000:]
    statuses = json.loads(done.stdout)
    assert len(statuses) == runs
    return statuses


# 50 runs of the user's program over the thread counts 1, 2 and 255, then variants.
CASES = [
    pytest.param(1, 1, 17, False, id="one-daemon-1-thread"),
    pytest.param(2, 1, 17, False, id="one-daemon-2-threads"),
    pytest.param(255, 1, 16, False, id="one-daemon-255-threads"),
    pytest.param(2, 4, 5, False, id="four-daemons-2-threads"),
    pytest.param(255, 3, 5, False, id="three-daemons-255-threads"),
    pytest.param(2, 2, 5, True, id="two-daemons-bar-on-terminal"),
]


@pytest.mark.parametrize(("num_threads", "daemon_threads", "runs", "on_terminal"), CASES)
def test_exit_with_daemon_threads_inside_calls_is_clean(
        num_threads: int, daemon_threads: int, runs: int, on_terminal: bool) -> None:
    statuses = run_launcher(num_threads, daemon_threads, runs, on_terminal)
    failed = [describe(status) for status in statuses if status != 0]
    assert failed == [], f"{len(failed)} of {runs} runs did not exit cleanly: {failed}"


@pytest.mark.parametrize(("num_threads", "daemon_threads"), [(1, 1), (2, 2), (255, 1)])
def test_exit_of_a_fresh_interpreter_is_clean(num_threads: int, daemon_threads: int) -> None:
    done = subprocess.run(
        [sys.executable, "-c", FRESH_PROGRAM, "20000", str(num_threads), str(daemon_threads)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd="/", timeout=300,
        env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert done.returncode == 0, (done.returncode, done.stderr.decode(errors="replace")[-2000:])
