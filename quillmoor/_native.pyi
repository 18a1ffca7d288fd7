from typing import SupportsFloat, SupportsIndex

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
