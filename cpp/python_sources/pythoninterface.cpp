#include "cpp/python_sources/pythoninterface.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cpp/python_sources/zvlogpython.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/request_checks.h"
#include "cpp/sources/talven_deconvolution_matrix.h"
#include "cpp/sources/window_layout.h"
#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/python_sources/pythoninterface";

// Never released: the module is never unloaded while the process runs.
zvLogPython* const g_master_logger = new zvLogPython();

namespace {

std::vector<const double*> PsfPointers(const double* psfs, int M, int psf_Nx, int psf_Ny) {
  const size_t stride = static_cast<size_t>(psf_Nx) * static_cast<size_t>(psf_Ny);
  std::vector<const double*> pointers(static_cast<size_t>(M));
  for (size_t k = 0; k < pointers.size(); ++k) pointers[k] = psfs + k * stride;
  return pointers;
}

// A request refused before it reaches the entry point: the output is set to 0.0 here.
bool Refuse(double* output, int answer_x, int answer_y) {
  std::fill(output, output + static_cast<size_t>(answer_x) * static_cast<size_t>(answer_y), 0.0);
  write_held_log_lines();
  return false;
}

void LogRefusedShapes(const TALVEN_PsfInputs& p, const TALVEN_WindowLayout& w, bool shapes_ok,
                      int answer_x, int answer_y) {
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "cimpl_create_deconvolution, there were errors in the psf locations, "
                    "coefficients or indexing arrays");
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "cimpl_create_deconvolution, locn size   = (%d, %d)", p.numcentres_mustbe3,
                    p.numpsf);
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "cimpl_create_deconvolution, index size  = (%d, %d, %d)", p.num_interp_indices2,
                    p.num_interp_indices1, p.num_interp_indices0);
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "cimpl_create_deconvolution, coeffs size = (%d, %d, %d)", p.num_interp_coeffs2,
                    p.num_interp_coeffs1, p.num_interp_coeffs0);
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "cimpl_create_deconvolution, (Dy,Dx) = (%d,%d),  M = %d, (psf_Ny, "
                    "psf_Nx) = (%d,%d)",
                    w.Dy, w.Dx, p.M, p.psf_Ny, p.psf_Nx);
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "cimpl_create_deconvolution, (answery, answerx) = (%d,%d),  KK = %d, "
                    "Ncoeffs = %d",
                    answer_y, answer_x, TALVEN_Shown(w.KK()), shapes_ok ? p.num_interp_coeffs2 : 0);
}

}  // namespace

int64_t OutputRows(const TALVEN_BuildScope& scope, const TALVEN_WindowLayout& w) {
  return scope.IsWhole(w.Kx) ? w.KK() : scope.Rows(w.Kx, w.Ky);
}

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
  if (Nspecs != TALVEN_WindowLayout::kNumParameters) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "cimpl_create_deconvolution needs exactly 22 windowing parameters, you "
                      "passed in %d",
                      Nspecs);
    return Refuse(goodanswer2D, answer_x, answer_y);
  }
  const TALVEN_WindowLayout w = TALVEN_WindowLayout::FromSpecs(window_specs);
  TALVEN_PsfInputs p = TALVEN_MakePsfInputs(
      nullptr, M, psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D,
      num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D,
      num_interp_indices0, num_interp_indices1, num_interp_indices2);
  const bool shapes_ok = p.numpsf == p.M && p.numcentres_mustbe3 == 3 &&
                         p.num_interp_coeffs0 == w.Dx && p.num_interp_coeffs1 == w.Dy &&
                         p.num_interp_indices0 == w.Dx && p.num_interp_indices1 == w.Dy &&
                         p.psf_Nx >= w.Dx && p.psf_Ny >= w.Dy &&
                         answer_x == OutputRows(settings.scope, w) && answer_y == w.KK();
  if (!shapes_ok || p.num_interp_coeffs2 != p.num_interp_indices2) {
    LogRefusedShapes(p, w, shapes_ok, answer_x, answer_y);
    return Refuse(goodanswer2D, answer_x, answer_y);
  }
  // Only now: the PSF count is confirmed by the locations, whose storage exists.
  std::vector<const double*> psfs = PsfPointers(array_of_psfarray, M, psf_Nx, psf_Ny);
  p.psfarraypointers = psfs.data();
  // From here the entry point sets the output to 0.0 on every failure.
  const bool result = TALVEN_CreateInfieldMatrix(settings, goodanswer2D, answer_y, p, w);
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
  if (Nspecs != TALVEN_WindowLayout::kNumParameters) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "cimpl_create_horizontal_stray_light_matrix needs exactly 22 windowing "
                      "parameters, you passed in %d",
                      Nspecs);
    return Refuse(goodanswer2D, answer_x, answer_y);
  }
  const TALVEN_WindowLayout w = TALVEN_WindowLayout::FromSpecs(window_specs);
  if (answer_x != OutputRows(settings.scope, w) || answer_y != w.KK()) {
    // The library writes KK x KK doubles: an output of another shape would be overrun.
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "cimpl_create_horizontal_stray_light_matrix, The output array (%d, %d) "
                      "must be (KK, KK) with KK = Kx * Ky = %lld",
                      answer_x, answer_y, static_cast<long long>(w.KK()));
    return Refuse(goodanswer2D, answer_x, answer_y);
  }
  // A PSF count that the locations contradict gets no pointer list (an empty PSF block may claim
  // any count): the entry point refuses the request with its own message before reading PSFs.
  std::vector<const double*> psfs;
  if (M == numpsf) psfs = PsfPointers(array_of_psfarray, M, psf_Nx, psf_Ny);
  const TALVEN_HorizontalInputs horizontal{vignettingarray, Vnx,      Vny,     delta_nx,
                                           delta_ny,        delta_sx, delta_sy};
  const TALVEN_PsfInputs p = TALVEN_MakePsfInputs(
      psfs.data(), M, psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3,
      psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
      psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2);
  // From here the entry point sets the output to 0.0 on every failure.
  const bool result =
      TALVEN_CreateHorizontalMatrix(settings, goodanswer2D, answer_y, horizontal, p, w);
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
