"""Digests of merge results on generated fields, to compare platforms bit for bit.

Generates crop-row fields deterministically (PCG64 uniform doubles and IEEE arithmetic
only, no libm calls, so the inputs are the same bytes everywhere), merges each with
several thread counts, and prints one line per field: the sha256 of the input tables and
of ``result.tobytes()``. Two machines agree when their outputs are identical.

Usage: python3 result_digest.py [--fields N]
"""

import argparse
import hashlib
import sys

import numpy as np

from quillmoor import merge_points_removing_overlap

EXTRA_COLUMNS = 3
THREAD_COUNTS = (1, 2, 3)


def shuffled(rng, table):
    # argsort of uniform doubles instead of rng.permutation: its algorithm may change
    # between NumPy versions, plain uniform draws do not.
    return table[np.argsort(rng.random(len(table)), kind="stable")]


def make_field(seed):
    """One field: tilted, axis-aligned and vertical crop rows split into overlapping segments."""
    rng = np.random.default_rng(seed)
    n_rows = 3 + int(rng.random() * 6)
    connections, points, row_records = [], [], []
    for row in range(n_rows):
        kind = int(rng.random() * 4)
        # Direction (not normalised: no square roots) and start of the crop row.
        if kind == 0:
            direction = (1.0, 0.0)  # along x: ties in y at every junction
        elif kind == 1:
            direction = (0.0, 1.0)  # along y: ties in x
        else:
            direction = (1.0, rng.random() * 2.0 - 1.0)
            if kind == 3:
                direction = (-direction[0], direction[1])  # runs backwards in x
        origin = (rng.random() * 5.0, row * 3.0 + rng.random())
        n_segments = 1 + int(rng.random() * 5)
        length = 4.0 + rng.random() * 6.0
        overlap = rng.random() * 1.5
        for segment in range(n_segments):
            start = segment * length - overlap
            end = (segment + 1) * length + overlap
            middle = start + (end - start) * rng.random()
            ends = [(origin[0] + t * direction[0], origin[1] + t * direction[1]) for t in (start, end, middle)]
            row_records.append(
                [row, rng.random(), rng.random(), rng.random(), segment]
                + [c for point in ends for c in point]
            )
            for _ in range(2 + int(rng.random() * 25)):
                t = start + (end - start) * rng.random()
                x = origin[0] + t * direction[0] + (rng.random() - 0.5) * 0.2
                y = origin[1] + t * direction[1] + (rng.random() - 0.5) * 0.2
                extra = list(rng.random(EXTRA_COLUMNS))
                points.append([row, segment, x, y] + extra)
            neighbours = [(row, s) for s in (segment - 1, segment + 1) if 0 <= s < n_segments]
            record = [float(len(connections)), row, segment]
            for key in neighbours:
                record += list(key)
            record += [np.nan] * (11 - len(record))
            connections.append(record)
    tolerance = (0.0, 0.05, 0.4)[int(rng.random() * 3)]
    return (
        shuffled(rng, np.array(connections, dtype=np.float64)),
        shuffled(rng, np.array(points, dtype=np.float64)),
        shuffled(rng, np.array(row_records, dtype=np.float64)),
        tolerance,
    )


def digest(*arrays):
    h = hashlib.sha256()
    for a in arrays:
        h.update(repr(a.shape).encode())
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()[:32]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fields", type=int, default=40)
    args = parser.parse_args()
    disagreements = 0
    for seed in range(args.fields):
        connections, points, rows, tolerance = make_field(seed)
        results = {}
        for threads in THREAD_COUNTS:
            result = merge_points_removing_overlap(connections, points, rows, tolerance, threads)
            if result.dtype != np.float64 or result.ndim != 2:
                raise SystemExit(f"field {seed}: result of dtype {result.dtype}, {result.ndim} dimensions")
            results[threads] = digest(result)
        if len(set(results.values())) != 1:
            disagreements += 1
            print(f"field {seed}: results differ between thread counts: {results}", file=sys.stderr)
        print(
            f"field {seed:3d} input {digest(connections, points, rows)} tolerance {tolerance} "
            f"rows {result.shape[0]:4d} result {results[1]}"
        )
    return 1 if disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
