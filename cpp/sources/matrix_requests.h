// The two matrix requests with their settings passed in. The exported entry points fill the
// settings from the process-wide variables; the Python module's request functions pass their own
// and read no process-wide setting but the version text, which they copy before the request.
#pragma once

#include <string>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/window_layout.h"

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

// The caller's PSF inputs: M blocks of psf_Nx x psf_Ny doubles, the PSF centres (numpsf rows of
// numcentres_mustbe3 values) and the per-pixel interpolation coefficients and indices, each with
// its row-major shape.
struct TALVEN_PsfInputs {
  const double** psfarraypointers = nullptr;
  int M = 0, psf_Nx = 0, psf_Ny = 0;
  double* psf_location2D = nullptr;
  int numpsf = 0, numcentres_mustbe3 = 0;
  double* psf_interp_coeffs3D = nullptr;
  int num_interp_coeffs0 = 0, num_interp_coeffs1 = 0, num_interp_coeffs2 = 0;
  int* psf_interp_indices3D = nullptr;
  int num_interp_indices0 = 0, num_interp_indices1 = 0, num_interp_indices2 = 0;
};

// The PSF arguments of an exported entry point, in their order.
inline TALVEN_PsfInputs TALVEN_MakePsfInputs(const double** psfarraypointers, int M, int psf_Nx,
                                             int psf_Ny, double* psf_location2D, int numpsf,
                                             int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                             int num_interp_coeffs0, int num_interp_coeffs1,
                                             int num_interp_coeffs2, int* psf_interp_indices3D,
                                             int num_interp_indices0, int num_interp_indices1,
                                             int num_interp_indices2) {
  return {psfarraypointers,
          M,
          psf_Nx,
          psf_Ny,
          psf_location2D,
          numpsf,
          numcentres_mustbe3,
          psf_interp_coeffs3D,
          num_interp_coeffs0,
          num_interp_coeffs1,
          num_interp_coeffs2,
          psf_interp_indices3D,
          num_interp_indices0,
          num_interp_indices1,
          num_interp_indices2};
}

// The horizontal request's vignetting array (Vnx x Vny, or 0 x 0 for none) and sampling steps.
struct TALVEN_HorizontalInputs {
  double* vignettingarray = nullptr;
  int Vnx = 0, Vny = 0;
  int delta_nx = 1, delta_ny = 1, delta_sx = 1, delta_sy = 1;
};

// The settings that the exported entry points use: the process-wide variables, the whole matrix.
TALVEN_RequestSettings TALVEN_SettingsFromGlobals();

// The requests of talvendll_create_deconvolution_matrix and
// talvendll_create_horizontal_stray_light_matrix, with the same arguments and checks. matrix
// holds the rows of the sources in settings.scope (KK x KK for the whole matrix) and is set to 0.0
// on failure.
bool TALVEN_CreateInfieldMatrix(const TALVEN_RequestSettings& settings, double* matrix, int KK,
                                const TALVEN_PsfInputs& psfs, const TALVEN_WindowLayout& w);
bool TALVEN_CreateHorizontalMatrix(const TALVEN_RequestSettings& settings, double* matrix, int KK,
                                   const TALVEN_HorizontalInputs& horizontal,
                                   const TALVEN_PsfInputs& psfs, const TALVEN_WindowLayout& w);
