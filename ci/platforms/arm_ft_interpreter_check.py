"""Checks that an interpreter is a working CPython cross-built for ARM.

Prints one line (version, machine, SOABI, lock state) and exits non-zero when the build
is not free-threaded or its lock is on (or, with "classic", when the build is
free-threaded), a pointer is not POINTER_BYTES wide (4 on 32-bit ARM, 8 on 64-bit), zlib
or ctypes are missing, or threads summing side by side disagree with one thread.

Usage: arm_ft_interpreter_check.py POINTER_BYTES [t|classic]
"""

from __future__ import annotations

import ctypes
import platform
import struct
import sys
import sysconfig
import threading
import zlib

THREADS = 8
TERMS = 200_000


def partial_sum(start: int, results: list[int], index: int) -> None:
    total = 0
    for value in range(start, start + TERMS):
        total += value * value
    results[index] = total


def main() -> int:
    pointer_bytes = int(sys.argv[1])
    classic = sys.argv[2:] == ["classic"]
    problems = []
    if bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == classic:
        problems.append("a free-threaded build" if classic else "not a free-threaded build")
    if struct.calcsize("P") != pointer_bytes:
        problems.append(f"pointer of {struct.calcsize('P')} bytes")
    results = [0] * THREADS
    workers = [threading.Thread(target=partial_sum, args=(i * TERMS, results, i)) for i in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    expected = sum(v * v for v in range(THREADS * TERMS))
    if sum(results) != expected:
        problems.append(f"threads summed {sum(results)}, expected {expected}")
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    if gil and not classic:
        problems.append("the interpreter lock is on")
    print(f"{platform.python_version()} {platform.machine()} {sysconfig.get_config_var('SOABI')} "
          f"Py_GIL_DISABLED={sysconfig.get_config_var('Py_GIL_DISABLED')} "
          f"sys._is_gil_enabled()={gil} zlib {zlib.ZLIB_RUNTIME_VERSION} "
          f"ctypes pointer {ctypes.sizeof(ctypes.c_void_p)} bytes, {THREADS} threads summed")
    for problem in problems:
        print("problem:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
