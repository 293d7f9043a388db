// The two matrix requests with their settings passed in. The exported entry points fill the
// settings from the process-wide variables; the Python module's request functions pass their own
// and read no process-wide setting but the version text, which they copy before the request.
#pragma once

#include <string>

#include "cpp/sources/build_scope.h"

struct TALVEN_RequestSettings {
  // The in-field matrix's options (the horizontal request uses the generator's defaults).
  bool use_simpsons = true;
  bool lower_edge = true;
  int rows_below = 42;
  int rows_above = 42;
  bool diagnostic = false;
  // Above 0: the team size; otherwise the calling thread's OpenMP setting stands.
  int threads = 0;
  // Whether the calling thread's OpenMP settings are put back when the request returns; the
  // exported entry points leave their changes in place.
  bool restore_openmp = false;
  std::string version;
  TALVEN_BuildScope scope;
};

// The settings that the exported entry points use: the process-wide variables, the whole matrix.
TALVEN_RequestSettings TALVEN_SettingsFromGlobals();

// The requests of talvendll_create_deconvolution_matrix and
// talvendll_create_horizontal_stray_light_matrix, with the same arguments and checks. matrix
// holds the rows of the sources in settings.scope (KK x KK for the whole matrix) and is set to 0.0
// on failure.
bool TALVEN_CreateInfieldMatrix(
    const TALVEN_RequestSettings& settings, double* matrix, int KK, const double** psfarraypointers,
    int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3,
    double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
    int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0,
    int num_interp_indices1, int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx,
    int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy,
    int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky);

bool TALVEN_CreateHorizontalMatrix(
    const TALVEN_RequestSettings& settings, double* matrix, int KK, double* vignettingarray,
    int Vnx, int Vny, const double** psfarraypointers, int M, int psf_Nx, int psf_Ny,
    double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
    int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx,
    int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
    int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky, int delta_nx,
    int delta_ny, int delta_sx, int delta_sy);
