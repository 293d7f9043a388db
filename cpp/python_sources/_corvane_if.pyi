"""Type stub of the extension module _corvane_if. Every function takes positional arguments only.

The creators fill `goodanswer2D`, a C-contiguous, native-order float64 array of shape (KK, KK),
in place and return True when the matrix was built; on failure they log why, zero the array and
return False. Inputs are converted to C-contiguous float64 (int32 for the specs and indices).
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
