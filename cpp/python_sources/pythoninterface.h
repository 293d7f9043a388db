// The module's own functions: the four setters and the two matrix creators that the Python
// wrapper layer calls with raw pointers and the sizes taken from the NumPy shapes (row-major,
// sizes listed slowest first), and the module's logger.
#pragma once

#include <cstdint>

class zvLogPython;
struct TALVEN_BuildScope;
struct TALVEN_RequestSettings;
struct TALVEN_WindowLayout;

// Constructed when the module is loaded; the default logger from then on.
extern zvLogPython* const g_master_logger;

// Installs g_master_logger as the default logger again on the first creator call.
void checklogger();

// Writes log lines that worker threads left behind; call with the interpreter lock held.
void write_held_log_lines();

// The output rows of a request: KK, or the source L1C pixels of the scope's block. KK is formed
// in 64 bits, so that an overflowing product compares unequal with every output shape.
int64_t OutputRows(const TALVEN_BuildScope& scope, const TALVEN_WindowLayout& w);

bool cimpl_create_deconvolution(int* window_specs, int Nspecs, double* array_of_psfarray, int M,
                                int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
                                int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                int num_interp_coeffs0, int num_interp_coeffs1,
                                int num_interp_coeffs2, int* psf_interp_indices3D,
                                int num_interp_indices0, int num_interp_indices1,
                                int num_interp_indices2, double* goodanswer2D, int answer_x,
                                int answer_y);

bool cimpl_create_horizontal_stray_light_matrix(
    int* window_specs, int Nspecs, double* vignettingarray, int Vnx, int Vny,
    double* array_of_psfarray, int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
    int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0,
    int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
    int num_interp_indices0, int num_interp_indices1, int num_interp_indices2, double* goodanswer2D,
    int answer_x, int answer_y, int delta_nx, int delta_ny, int delta_sx, int delta_sy);

// The two creators with their settings passed in: the module's checks, then the entry point's.
// The output has answer_x rows of answer_y = KK doubles: KK rows, or those of the block of source
// L1C columns in settings.scope.
bool create_deconvolution_request(const TALVEN_RequestSettings& settings, int* window_specs,
                                  int Nspecs, double* array_of_psfarray, int M, int psf_Nx,
                                  int psf_Ny, double* psf_location2D, int numpsf,
                                  int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                  int num_interp_coeffs0, int num_interp_coeffs1,
                                  int num_interp_coeffs2, int* psf_interp_indices3D,
                                  int num_interp_indices0, int num_interp_indices1,
                                  int num_interp_indices2, double* goodanswer2D, int answer_x,
                                  int answer_y);

bool create_horizontal_stray_light_request(
    const TALVEN_RequestSettings& settings, int* window_specs, int Nspecs, double* vignettingarray,
    int Vnx, int Vny, double* array_of_psfarray, int M, int psf_Nx, int psf_Ny,
    double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
    int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, double* goodanswer2D, int answer_x, int answer_y, int delta_nx,
    int delta_ny, int delta_sx, int delta_sy);

bool cimpl_set_option(const char* name, int value);
bool cimpl_set_diagnostic(int value);
bool cimpl_set_numthreads(int value);
bool cimpl_set_versionstr(const char* text);
