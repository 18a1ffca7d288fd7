"""One large field merged in one process, to compare platforms bit for bit.

    python3 large_field_digest.py generate DIR [POINTS]   writes the three tables as .npy,
                                                          merges them, prints one line
    python3 large_field_digest.py digest DIR              merges them, prints one line
    python3 large_field_digest.py bounded DIR MEMORY      merges them with quillmoor merge
                                                          --memory MEMORY into a file, prints
                                                          the same line for it, and its peak
                                                          memory on standard error

The field is generated once (on the host) and the same files are merged everywhere, so
only the merge itself is compared. The points are memory-mapped read-only: the merge
reads them where they lie, which keeps a field of ten million points within a 32-bit
process's address space.
"""

import hashlib
import subprocess
import sys
from pathlib import Path

import numpy as np

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")
TOLERANCE = 0.05


def generate(directory: Path, points: int) -> None:
    from quillmoor.synthetic import make_field

    field = make_field(points, seed=77)
    directory.mkdir(parents=True, exist_ok=True)
    for name in TABLES:
        np.save(directory / f"{name}.npy", getattr(field, name))


def digest(directory: Path) -> str:
    from quillmoor import merge_points_removing_overlap

    connected, points, rows = (np.load(directory / f"{name}.npy", mmap_mode="r") for name in TABLES)
    result = merge_points_removing_overlap(np.array(connected), points, np.array(rows),
                                           TOLERANCE, 2)
    return (f"large field: {points.shape[0]} points, result {result.shape[0]} x "
            f"{result.shape[1]}, sha256 {hashlib.sha256(result.tobytes()).hexdigest()[:32]}")


#: Runs its arguments as a command and prints that child's peak resident kilobytes.
MEASURE = ("import resource, subprocess, sys; "
           "subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL); "
           "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")


def peak_kib(command: list) -> int:
    """The peak resident memory of one command, measured by a process of its own."""
    measured = subprocess.run([sys.executable, "-c", MEASURE, *command], check=True,
                              capture_output=True, text=True)
    return int(measured.stdout.split()[-1])


def bounded(directory: Path, memory: str) -> str:
    """The field merged file to file within ``memory``: the digest line of the result
    file (as ``digest`` gives for the merge in memory); the peak on standard error."""
    output = directory / "kept-in-pieces.npy"
    tables = [str(directory / f"{name}.npy") for name in TABLES]
    command = [sys.executable, "-m", "quillmoor", "merge", *tables, "-o", str(output),
               "--memory", memory, "--tolerance", str(TOLERANCE), "--threads", "2"]
    peak = peak_kib(command)
    # The interpreter with its libraries loaded and started, and an emulator's code for
    # them translated: the same command on a field of 2,000 points.
    small = directory / "small"
    generate(small, 2_000)
    alone = peak_kib([*command[:4], *(str(small / f"{name}.npy") for name in TABLES),
                      "-o", str(small / "kept.npy"), *command[9:]])
    result = np.load(output, mmap_mode="r")
    hashed = hashlib.sha256()
    flat = result.reshape(-1)
    for start in range(0, flat.shape[0], 1 << 20):
        hashed.update(np.ascontiguousarray(flat[start:start + (1 << 20)]).tobytes())
    points = np.load(directory / "points_in_rows.npy", mmap_mode="r").shape[0]
    print(f"merged within {memory}: peak {peak / 1024:.0f} MiB, the same command on 2,000 "
          f"points {alone / 1024:.0f} MiB (an emulator's own memory included in both), "
          f"{peak_over(peak, alone):.0f} MiB above it", file=sys.stderr)
    output.unlink()
    return (f"large field: {points} points, result {result.shape[0]} x "
            f"{result.shape[1]}, sha256 {hashed.hexdigest()[:32]}")


def peak_over(peak: int, alone: int) -> float:
    return (peak - alone) / 1024


def main() -> int:
    command, directory = sys.argv[1], Path(sys.argv[2])
    if command == "generate":
        generate(directory, int(float(sys.argv[3])) if len(sys.argv) > 3 else 10_000_000)
    if command == "bounded":
        print(bounded(directory, sys.argv[3]))
        return 0
    print(digest(directory))
    return 0


if __name__ == "__main__":
    sys.exit(main())
