// The library's exported entry points: the process-wide settings that tune later requests and the
// two requests that build the in-field convolution matrix and the horizontal stray-light matrix
// into caller memory. Unmangled names with default visibility, so that C and ctypes callers reach
// them in the extension module's shared object.
//
// The settings are plain variables: change them only while no request runs. They start at the
// defaults of TALVEN_RequestSettings (matrix_requests.h).
#pragma once

#include <cstdint>
#include <string>

#define TALVEN_EXPORT extern "C" __attribute__((visibility("default")))

class zvLog;

extern bool g_use_simspons_interpolation;    // option "use_simpsons"
extern bool g_create_lower_edge_adjustment;  // option "create_lower_edge_adjustment"
extern int32_t g_rows_below_bottom_edge;     // option "lower_edge_rows_below"
extern int32_t g_rows_above_bottom_edge;     // option "lower_edge_rows_above"
extern bool g_diagnosticonly;                // per-row progress messages
extern int32_t g_maxthreads;                 // OpenMP thread limit; 0 or less leaves OpenMP's own
extern std::string g_versionstr;             // logged at the start of every request

// Sets one of the four named options; an unknown name is logged as a warning and changes nothing.
TALVEN_EXPORT void talvendll_set_option(const char* name, int value);
TALVEN_EXPORT void talvenddl_set_versionstring(const char* text);
// Makes the logger the process-wide default logger.
TALVEN_EXPORT void talvendll_set_logger(zvLog* logger);
TALVEN_EXPORT void talvendll_set_diagnostic(int flag);
TALVEN_EXPORT void talvendll_set_numthreads(int count);

// Fills matrix (KK x KK, row s holding the light that source L1C pixel s spreads over the L1C
// pixels) with the in-field convolution matrix. Returns false, with the reasons logged and the
// matrix set to 0.0, when a check or the generation fails.
TALVEN_EXPORT bool talvendll_create_deconvolution_matrix(
    double* matrix, int KK, const double** psfarraypointers, int M, int psf_Nx, int psf_Ny,
    double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
    int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx,
    int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
    int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky);

// Fills matrix (KK x KK) with the horizontal stray light that the NOOF pixels beside the science
// window send onto the L1C pixels, booked against the L1C pixels at the window's left and right
// edges. The coefficient and index tables cover the NOOF window; the vignetting array is either
// NOOFx x NOOFy or empty. Failures as for the in-field request.
TALVEN_EXPORT bool talvendll_create_horizontal_stray_light_matrix(
    double* matrix, int KK, double* vignettingarray, int Vnx, int Vny,
    const double** psfarraypointers, int M, int psf_Nx, int psf_Ny, double* psf_location2D,
    int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0,
    int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
    int num_interp_indices0, int num_interp_indices1, int num_interp_indices2, int FULLCONVx,
    int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy,
    int SOFSx, int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx,
    int KBINy, int Kx, int Ky, int delta_nx, int delta_ny, int delta_sx, int delta_sy);
