"""Memory sizes as users write them, and how much memory this process may use."""

from __future__ import annotations

import os
import re
import sys
from typing import Any

_SIZE = re.compile(r"^\s*(\d+(?:\.\d*)?|\.\d+)\s*([kmgt]?)(i?b?)\s*$", re.IGNORECASE)
_UNITS = {"": 1, "k": 2**10, "m": 2**20, "g": 2**30, "t": 2**40}

#: The smallest budget a merge piece by piece is run with: its fixed buffers need it.
MINIMUM_BUDGET = 16 * 2**20

#: What a 32-bit process can map at most, with room for the interpreter and libraries.
_ADDRESS_SPACE_32_BIT = 2_500 * 2**20


def parse_memory_size(text: str) -> int:
    """Bytes from ``256M``, ``1.5G``, ``512MiB``, ``2g`` or a plain byte count.

    K, M, G and T are powers of 1024, as ``free`` and ``top`` count them."""
    found = _SIZE.match(text)
    if found is None:
        raise ValueError(
            f"{text!r} is not a memory size; write a number with K, M, G or T after it, "
            "such as 256M or 2G"
        )
    number, unit = float(found.group(1)), found.group(2).lower()
    size = int(number * _UNITS[unit])
    if size < MINIMUM_BUDGET:
        raise ValueError(
            f"{text.strip()} is too little memory to merge in; give at least "
            f"{MINIMUM_BUDGET // 2**20}M"
        )
    return size


def shown_size(size: int) -> str:
    """``size`` bytes as ``256 MiB`` or ``1.5 GiB``."""
    for unit, scale in (("GiB", 2**30), ("MiB", 2**20), ("KiB", 2**10)):
        if size >= scale:
            value = size / scale
            return f"{value:.0f} {unit}" if value >= 100 or value == int(value) \
                else f"{value:.1f} {unit}"
    return f"{size} B"


def available_memory() -> int | None:
    """Bytes this process can still use: the system's available memory, within a
    container's (cgroup's) limit and a 32-bit process's address space; ``None`` when
    the system does not say."""
    candidates = [size for size in (_meminfo_available(), _cgroup_room()) if size is not None]
    if sys.maxsize < 2**32:
        candidates.append(_ADDRESS_SPACE_32_BIT)
    return min(candidates) if candidates else None


def task_memory() -> int | None:
    """Bytes one merge may use here: on a Dask worker, its memory limit shared among its
    threads (and no more than is available); elsewhere ``available_memory()``."""
    available = available_memory()
    try:
        from distributed import get_worker

        worker = get_worker()
    except (ImportError, ValueError):  # no Dask, or not on a worker
        return available
    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    if not limit:
        return available
    share = int(limit) // max(1, int(getattr(worker, "nthreads", 1) or 1))
    return share if available is None else min(share, available)


def _meminfo_available() -> int | None:
    try:
        with open("/proc/meminfo", encoding="ascii") as meminfo:
            for line in meminfo:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _cgroup_room() -> int | None:
    """The container's limit less what it uses, where there is a limit."""
    for limit_file, usage_file in (
        ("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"),
        ("/sys/fs/cgroup/memory/memory.limit_in_bytes",
         "/sys/fs/cgroup/memory/memory.usage_in_bytes"),
    ):
        limit, usage = _read_number(limit_file), _read_number(usage_file)
        if limit is not None and usage is not None and limit < 2**60:
            return max(limit - usage, 0)
    return None


def _read_number(path: str) -> int | None:
    try:
        with open(path, encoding="ascii") as file:
            text = file.read().strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None


def return_freed_memory() -> None:
    """Hands memory freed by this process back to the system: pyarrow's pool keeps freed
    blocks for reuse, and glibc's malloc keeps large freed blocks in its heap once it has
    raised its threshold for mapping them apart. Both then count as resident memory."""
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None:
        pyarrow.default_memory_pool().release_unused()
    trim = _malloc_trim()
    if trim is not None:
        trim(0)


def _malloc_trim() -> Any:
    if not _trim:
        try:
            import ctypes

            _trim.append(ctypes.CDLL(None).malloc_trim)
        except (OSError, AttributeError):  # not glibc (musl has no malloc_trim)
            _trim.append(None)
    return _trim[0]


_trim: list[Any] = []


def resident_memory() -> int | None:
    """This process's resident memory now, in bytes (Linux)."""
    try:
        with open(f"/proc/{os.getpid()}/statm", encoding="ascii") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return None
