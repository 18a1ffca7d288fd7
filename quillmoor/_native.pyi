from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

__all__: list[str]

def merge_points_removing_overlap(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64],
    row_information: npt.NDArray[np.float64],
    tolerance: SupportsFloat | SupportsIndex,
    num_threads: SupportsIndex,
) -> npt.NDArray[np.float64]: ...
@overload
def argmerge(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64] | Sequence[npt.NDArray[np.float64]],
    row_information: npt.NDArray[np.float64],
    tolerance: SupportsFloat | SupportsIndex,
    num_threads: SupportsIndex,
    *,
    with_bounds: Literal[False] = False,
    progress: bool = True,
) -> npt.NDArray[np.intp]: ...
@overload
def argmerge(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64] | Sequence[npt.NDArray[np.float64]],
    row_information: npt.NDArray[np.float64],
    tolerance: SupportsFloat | SupportsIndex,
    num_threads: SupportsIndex,
    *,
    with_bounds: Literal[True],
    progress: bool = True,
) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]: ...
