"""One large field merged in one process, to compare platforms bit for bit.

    python3 large_field_digest.py generate DIR [POINTS]   writes the three tables as .npy,
                                                          merges them, prints one line
    python3 large_field_digest.py digest DIR              merges them, prints one line

The field is generated once (on the host) and the same files are merged everywhere, so
only the merge itself is compared. The points are memory-mapped read-only: the merge
reads them where they lie, which keeps a field of ten million points within a 32-bit
process's address space.
"""

import hashlib
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


def main() -> int:
    command, directory = sys.argv[1], Path(sys.argv[2])
    if command == "generate":
        generate(directory, int(float(sys.argv[3])) if len(sys.argv) > 3 else 10_000_000)
    print(digest(directory))
    return 0


if __name__ == "__main__":
    sys.exit(main())
