"""Shows the machine word of this interpreter and how `num_threads` narrows to it.

On a 32-bit word, 2**32 must fail with OverflowError "out of range integral type
conversion attempted" (noted "while processing 'num_threads'") and 2**32 - 1 must be
accepted, giving the same result as one thread. Exits non-zero otherwise.
"""

import platform
import struct
import sys

from quillmoor import merge_points_removing_overlap
from result_digest import make_field

bits = struct.calcsize("P") * 8
print(f"machine {platform.machine()}, pointer {bits} bits, sys.maxsize {sys.maxsize:#x}")
if bits != 32:
    sys.exit("expected a 32-bit machine word")

connections, points, rows, tolerance = make_field(0)
one_thread = merge_points_removing_overlap(connections, points, rows, tolerance, 1)
try:
    merge_points_removing_overlap(connections, points, rows, tolerance, 2**32)
except OverflowError as exc:
    print(f"num_threads=2**32: OverflowError: {exc} (notes {getattr(exc, '__notes__', None)})")
    if str(exc) != "out of range integral type conversion attempted":
        sys.exit("unexpected message")
    if getattr(exc, "__notes__", None) != ["while processing 'num_threads'"]:
        sys.exit("missing note")
else:
    sys.exit("num_threads=2**32 was accepted on a 32-bit word")
largest = merge_points_removing_overlap(connections, points, rows, tolerance, 2**32 - 1)
same = largest.tobytes() == one_thread.tobytes()
print(f"num_threads=2**32-1: accepted, {largest.shape[0]} rows, same result as one thread: {same}")
sys.exit(0 if same else 1)
