"""Type stub of the extension module _corvane_if.

The six cimpl functions take positional arguments only. The creators (cimpl_create_* and build_*)
fill a C-contiguous, native-order float64 array in place and return True when the matrix was
built; on failure they log why, zero the array and return False. Inputs are converted to
C-contiguous float64 (int32 for the specs and indices).
"""

import numpy as np
from numpy.typing import ArrayLike, NDArray

def cimpl_create_deconvolution(
    window_specs: ArrayLike,
    array_of_psfarray: ArrayLike,
    psf_location2D: ArrayLike,
    psf_interp_coeffs3D: ArrayLike,
    psf_interp_indices3D: ArrayLike,
    goodanswer2D: NDArray[np.float64],
    /,
) -> bool: ...
def cimpl_create_horizontal_stray_light_matrix(
    window_specs: ArrayLike,
    vignettingarray: ArrayLike,
    array_of_psfarray: ArrayLike,
    psf_location2D: ArrayLike,
    psf_interp_coeffs3D: ArrayLike,
    psf_interp_indices3D: ArrayLike,
    goodanswer2D: NDArray[np.float64],
    delta_nx: int,
    delta_ny: int,
    delta_sx: int,
    delta_sy: int,
    /,
) -> bool: ...
def cimpl_set_option(name: str, value: int, /) -> bool: ...
def cimpl_set_diagnostic(flag: int, /) -> bool: ...
def cimpl_set_numthreads(threads: int, /) -> bool: ...
def cimpl_set_versionstr(text: str, /) -> bool: ...

LOG_ERROR: int
LOG_WARNING: int
LOG_INFO: int
LOG_CONTINUATION: int

def build_infield(
    window_specs: ArrayLike,
    psfs: ArrayLike,
    locations: ArrayLike,
    coefficients: ArrayLike,
    indices: ArrayLike,
    out: NDArray[np.float64],
    *,
    use_simpsons: bool = True,
    lower_edge: bool = True,
    rows_below: int = 42,
    rows_above: int = 42,
    diagnostic: bool = False,
    threads: int = 0,
    columns: tuple[int, int] | None = None,
    control: NDArray[np.int64] | None = None,
) -> bool: ...
def build_horizontal(
    window_specs: ArrayLike,
    vignetting: ArrayLike,
    psfs: ArrayLike,
    locations: ArrayLike,
    coefficients: ArrayLike,
    indices: ArrayLike,
    out: NDArray[np.float64],
    *,
    steps: tuple[int, int, int, int] = (1, 1, 1, 1),
    diagnostic: bool = False,
    threads: int = 0,
    columns: tuple[int, int] | None = None,
    control: NDArray[np.int64] | None = None,
) -> bool: ...
def max_threads() -> int: ...
def capture_log(on: bool, /) -> bool: ...
def take_log() -> list[tuple[int, str, str, int]]: ...
