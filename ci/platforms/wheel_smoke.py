"""Run against an installed quillmoor: where the module comes from, one merge.

Fails when the module is not the installed one, or when importing it turned a
free-threaded interpreter's lock back on.
"""

import os
import sys
import sysconfig

import numpy as np

import quillmoor
from quillmoor import _native

package = os.path.dirname(quillmoor.__file__)
assert "site-packages" in package, f"quillmoor imported from {package}, not an installed wheel"
merged = quillmoor.merge([[0, 1, 1, np.nan]], [[1, 1, 0, 0], [1, 1, 5, 5]],
                         [[1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5]])
assert merged.shape == (2, 4), merged

print(f"module: {_native.__file__}")
print(f"numpy {np.__version__}, {sys.version.split()[0]}, merged {merged.shape[0]} points")
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    assert not sys._is_gil_enabled(), "importing quillmoor turned the interpreter lock on"
    print("free-threaded: the interpreter lock stays off")
