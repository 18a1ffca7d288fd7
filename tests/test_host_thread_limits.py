"""A process that may not start the threads a call asks for still gets its results.

A pids limit (of a container or a systemd unit) or a tight address-space limit makes
thread creation fail. The call must then run on the threads it can get, with the same
result, and the process must live on: no abort, then or later, and the next call works.

Each case runs in a child process that sets the limit on itself. RLIMIT_NPROC does not
bind root, so a child started as root first becomes an ordinary user (nobody's ids);
everything it needs is imported before that, and its code comes through -c, so nothing
it reads afterwards has to be readable by that user.
"""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

CHILD = r"""
import os, resource, sys
import numpy as np
from quillmoor._native import merge_points_removing_overlap as merge

limit_kind = sys.argv[1]
nan = float("nan")
segments = 600
connections = np.full((segments, 11), nan)
rows = np.full((segments, 11), nan)
points = []
for k in range(1, segments + 1):
    connections[k - 1, :3] = (0, k, 1)
    if k < segments:
        connections[k - 1, 3:5] = (k + 1, 1)
    rows[k - 1] = (k, 0, 0, 0, 1, 10 * k, 0, 10 * k + 10, 0, 10 * k + 5, 0)
    points += [(k, 1, 10 * k + w / 2, 0, k * 100 + w) for w in range(21)]
points = np.array(points)
expected = merge(connections, points, rows, 0.5, 1)

def thread_count():
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith("Threads:")).split()[1])

if limit_kind == "processes":
    if os.geteuid() == 0:
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    # Room for a few more threads of this user at most (fewer when it runs others).
    allowed = thread_count() + int(sys.argv[2])
    resource.setrlimit(resource.RLIMIT_NPROC, (allowed, allowed))
else:
    with open("/proc/self/status") as status:
        size_kib = int(next(line for line in status if line.startswith("VmSize:")).split()[1])
    # A few thread stacks' worth of address space beyond what the process maps now.
    cap = (size_kib << 10) + (24 << 20)
    allowed = None
    resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

for num_threads in (2, 3, 4, 7, 16, 40, 100, 254, 255, 0, 255, 2):
    result = merge(connections, points, rows, 0.5, num_threads)
    if not np.array_equal(result, expected):
        sys.exit(f"num_threads={num_threads}: a different result")
if allowed is not None and thread_count() > allowed:
    sys.exit(f"{thread_count()} threads, more than the limit of {allowed}")
print("all calls gave the expected result")
"""


def run_child(limit_kind: str, room: int) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", CHILD, limit_kind, str(room)], capture_output=True, text=True,
        cwd="/", timeout=600, env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))


def under_user_mode_emulation() -> bool:
    # 32-bit ARM is only run under qemu-user here; elsewhere qemu-user shows in the
    # process's name.
    import platform

    if platform.machine().startswith("arm"):
        return True
    try:
        with open("/proc/self/comm") as comm:
            if comm.read().startswith("qemu-"):
                return True
    except OSError:
        return False
    # Run through binfmt (the 64-bit ARM root), the process keeps its own name, and qemu
    # answers for itself: another process sees the emulator as this one's binary.
    probe = subprocess.run(
        [sys.executable, "-c", "import os, sys; print(os.readlink(f'/proc/{sys.argv[1]}/exe'))",
         str(os.getpid())], capture_output=True, text=True, timeout=600)
    return "qemu" in os.path.basename(probe.stdout.strip())


@pytest.mark.parametrize(("limit_kind", "room"), [
    pytest.param("processes", 2, id="two-more-threads"),
    pytest.param("processes", 36, id="about-forty-threads"),
    pytest.param("address-space", 0, id="address-space-cap"),
])
def test_calls_succeed_when_threads_cannot_be_started(limit_kind: str, room: int) -> None:
    if under_user_mode_emulation():
        pytest.skip("qemu-user starts threads of its own and does not apply these limits")
    done = run_child(limit_kind, room)
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr[-3000:])
    assert done.stdout.strip() == "all calls gave the expected result"
    assert "pthread_create" not in done.stderr
