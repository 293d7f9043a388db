#include "cpp/python_sources/pythoninterface.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cpp/python_sources/zvlogpython.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/talven_deconvolution_matrix.h"
#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/python_sources/pythoninterface";

// Never released: the module is never unloaded while the process runs.
zvLogPython* const g_master_logger = new zvLogPython();

namespace {

constexpr int kNumWindowSpecs = 22;

// Pointer k is PSF k of the (M, psf_Nx, psf_Ny) block.
std::vector<const double*> PsfPointers(const double* psfs, int M, int psf_Nx, int psf_Ny) {
  const size_t stride = static_cast<size_t>(psf_Nx) * static_cast<size_t>(psf_Ny);
  std::vector<const double*> pointers(static_cast<size_t>(M));
  for (size_t k = 0; k < pointers.size(); ++k) pointers[k] = psfs + k * stride;
  return pointers;
}

void ZeroOutput(double* output, int answer_x, int answer_y) {
  std::fill(output, output + static_cast<size_t>(answer_x) * static_cast<size_t>(answer_y), 0.0);
}

// Kx * Ky of the windowing parameters; 64 bits, so that an overflowing product compares unequal
// with every output shape instead of wrapping.
int64_t L1cPixelCount(const int* window_specs) {
  return static_cast<int64_t>(window_specs[20]) * window_specs[21];
}

// The output rows of a request: KK, or the source L1C pixels of the scope's block.
int64_t OutputRows(const TALVEN_BuildScope& scope, const int* window_specs) {
  const int kx = window_specs[20];
  return scope.IsWhole(kx) ? L1cPixelCount(window_specs) : scope.Rows(kx, window_specs[21]);
}

// What a 64-bit value shows as in a "%d" message.
int Shown(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace

void checklogger() {
  static bool firsttime = true;
  if (firsttime) {
    g_master_logger->AddRef();
    firsttime = false;
    talvendll_set_logger(g_master_logger);
  }
}

void write_held_log_lines() { g_master_logger->WriteHeldLines(); }

bool cimpl_create_deconvolution(int* window_specs, int Nspecs, double* array_of_psfarray, int M,
                                int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
                                int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                int num_interp_coeffs0, int num_interp_coeffs1,
                                int num_interp_coeffs2, int* psf_interp_indices3D,
                                int num_interp_indices0, int num_interp_indices1,
                                int num_interp_indices2, double* goodanswer2D, int answer_x,
                                int answer_y) {
  return create_deconvolution_request(
      TALVEN_SettingsFromGlobals(), window_specs, Nspecs, array_of_psfarray, M, psf_Nx, psf_Ny,
      psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0,
      num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D, num_interp_indices0,
      num_interp_indices1, num_interp_indices2, goodanswer2D, answer_x, answer_y);
}

bool create_deconvolution_request(const TALVEN_RequestSettings& settings, int* window_specs,
                                  int Nspecs, double* array_of_psfarray, int M, int psf_Nx,
                                  int psf_Ny, double* psf_location2D, int numpsf,
                                  int numcentres_mustbe3, double* psf_interp_coeffs3D,
                                  int num_interp_coeffs0, int num_interp_coeffs1,
                                  int num_interp_coeffs2, int* psf_interp_indices3D,
                                  int num_interp_indices0, int num_interp_indices1,
                                  int num_interp_indices2, double* goodanswer2D, int answer_x,
                                  int answer_y) {
  checklogger();
  const zvLogThreadMute mute(!settings.scope.LogsRequestLines());
  bool result = false;
  if (Nspecs != kNumWindowSpecs) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "cimpl_create_deconvolution needs exactly 22 windowing parameters, you "
                      "passed in %d",
                      Nspecs);
  } else {
    const int* w = window_specs;
    const int Dx = w[8];
    const int Dy = w[9];
    const int64_t KK = L1cPixelCount(w);
    const bool shapes_ok = numpsf == M && numcentres_mustbe3 == 3 && num_interp_coeffs0 == Dx &&
                           num_interp_coeffs1 == Dy && num_interp_indices0 == Dx &&
                           num_interp_indices1 == Dy && psf_Nx >= Dx && psf_Ny >= Dy &&
                           answer_x == OutputRows(settings.scope, w) && answer_y == KK;
    const bool ncoeffs_ok = num_interp_coeffs2 == num_interp_indices2;
    if (shapes_ok && ncoeffs_ok) {
      // Only now: the PSF count is confirmed by the locations, whose storage exists.
      std::vector<const double*> psfs = PsfPointers(array_of_psfarray, M, psf_Nx, psf_Ny);
      result = TALVEN_CreateInfieldMatrix(
          settings, goodanswer2D, static_cast<int>(KK), psfs.data(), M, psf_Nx, psf_Ny,
          psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0,
          num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D, num_interp_indices0,
          num_interp_indices1, num_interp_indices2, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7],
          w[8], w[9], w[10], w[11], w[12], w[13], w[14], w[15], w[16], w[17], w[18], w[19], w[20],
          w[21]);
    } else {
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "cimpl_create_deconvolution, there were errors in the psf locations, "
                        "coefficients or indexing arrays");
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "cimpl_create_deconvolution, locn size   = (%d, %d)", numcentres_mustbe3,
                        numpsf);
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "cimpl_create_deconvolution, index size  = (%d, %d, %d)",
                        num_interp_indices2, num_interp_indices1, num_interp_indices0);
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "cimpl_create_deconvolution, coeffs size = (%d, %d, %d)",
                        num_interp_coeffs2, num_interp_coeffs1, num_interp_coeffs0);
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "cimpl_create_deconvolution, (Dy,Dx) = (%d,%d),  M = %d, (psf_Ny, "
                        "psf_Nx) = (%d,%d)",
                        Dy, Dx, M, psf_Ny, psf_Nx);
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "cimpl_create_deconvolution, (answery, answerx) = (%d,%d),  KK = %d, "
                        "Ncoeffs = %d",
                        answer_y, answer_x, Shown(KK), shapes_ok ? num_interp_coeffs2 : 0);
    }
  }
  if (!result) ZeroOutput(goodanswer2D, answer_x, answer_y);
  write_held_log_lines();
  return result;
}

bool cimpl_create_horizontal_stray_light_matrix(
    int* window_specs, int Nspecs, double* vignettingarray, int Vnx, int Vny,
    double* array_of_psfarray, int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf,
    int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0,
    int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
    int num_interp_indices0, int num_interp_indices1, int num_interp_indices2, double* goodanswer2D,
    int answer_x, int answer_y, int delta_nx, int delta_ny, int delta_sx, int delta_sy) {
  return create_horizontal_stray_light_request(
      TALVEN_SettingsFromGlobals(), window_specs, Nspecs, vignettingarray, Vnx, Vny,
      array_of_psfarray, M, psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3,
      psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
      psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2,
      goodanswer2D, answer_x, answer_y, delta_nx, delta_ny, delta_sx, delta_sy);
}

bool create_horizontal_stray_light_request(
    const TALVEN_RequestSettings& settings, int* window_specs, int Nspecs, double* vignettingarray,
    int Vnx, int Vny, double* array_of_psfarray, int M, int psf_Nx, int psf_Ny,
    double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
    int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, double* goodanswer2D, int answer_x, int answer_y, int delta_nx,
    int delta_ny, int delta_sx, int delta_sy) {
  checklogger();
  const zvLogThreadMute mute(!settings.scope.LogsRequestLines());
  bool result = false;
  if (Nspecs != kNumWindowSpecs) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "cimpl_create_horizontal_stray_light_matrix needs exactly 22 windowing "
                      "parameters, you passed in %d",
                      Nspecs);
  } else if (answer_x != OutputRows(settings.scope, window_specs) ||
             answer_y != L1cPixelCount(window_specs)) {
    // The library writes KK x KK doubles: an output of another shape would be overrun.
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "cimpl_create_horizontal_stray_light_matrix, The output array (%d, %d) "
                      "must be (KK, KK) with KK = Kx * Ky = %lld",
                      answer_x, answer_y, static_cast<long long>(L1cPixelCount(window_specs)));
  } else {
    // A PSF count that the locations contradict gets no pointer list (an empty PSF block may claim
    // any count): the entry point refuses the request with its own message before reading PSFs.
    std::vector<const double*> psfs;
    if (M == numpsf) psfs = PsfPointers(array_of_psfarray, M, psf_Nx, psf_Ny);
    const int* w = window_specs;
    result = TALVEN_CreateHorizontalMatrix(
        settings, goodanswer2D, answer_y, vignettingarray, Vnx, Vny, psfs.data(), M, psf_Nx, psf_Ny,
        psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0,
        num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D, num_interp_indices0,
        num_interp_indices1, num_interp_indices2, w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7],
        w[8], w[9], w[10], w[11], w[12], w[13], w[14], w[15], w[16], w[17], w[18], w[19], w[20],
        w[21], delta_nx, delta_ny, delta_sx, delta_sy);
  }
  if (!result) ZeroOutput(goodanswer2D, answer_x, answer_y);
  write_held_log_lines();
  return result;
}

bool cimpl_set_option(const char* name, int value) {
  talvendll_set_option(name, value);
  return true;
}

bool cimpl_set_diagnostic(int value) {
  talvendll_set_diagnostic(value);
  return true;
}

bool cimpl_set_numthreads(int value) {
  talvendll_set_numthreads(value);
  return true;
}

bool cimpl_set_versionstr(const char* text) {
  talvenddl_set_versionstring(text);
  return true;
}
