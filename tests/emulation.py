"""Whether the tests run under a user-mode emulator (qemu-user), found by what it shows.

An emulator runs threads of its own inside the process, so an idle interpreter has more
than one. Its timings differ too much for tests that race a signal against the first
frame of a progress bar or against an interpreter's start.
"""

from __future__ import annotations

import functools
import os
import subprocess
import sys
import time


def thread_count_of(pid: int) -> int:
    try:
        return len(os.listdir(f"/proc/{pid}/task"))
    except OSError:
        return 0


@functools.cache
def idle_interpreter_threads() -> int:
    """The threads of a started interpreter that does nothing: 1 natively."""
    child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                             stdin=subprocess.PIPE)
    try:
        seen: list[int] = []
        while len(seen) < 20 or len(set(seen[-20:])) > 1:
            time.sleep(0.05)
            seen.append(thread_count_of(child.pid))
        return seen[-1]
    finally:
        child.communicate(b"")


def under_emulator() -> bool:
    return idle_interpreter_threads() > 1
