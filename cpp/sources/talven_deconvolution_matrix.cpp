#include "cpp/sources/talven_deconvolution_matrix.h"

#include <omp.h>

#include <cstdint>
#include <optional>

#include "cpp/sources/log_sources.h"
#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/request_checks.h"
#include "cpp/sources/thread_limit.h"
#include "cpp/sources/windowbinning.h"
#include "math/arrays/zvarraylib.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_EntryPointsSource;

namespace {

// What a request is given when nothing sets its options.
const TALVEN_RequestSettings kDefaults;

}  // namespace

bool g_use_simspons_interpolation = kDefaults.use_simpsons;
bool g_create_lower_edge_adjustment = kDefaults.lower_edge;
int32_t g_rows_below_bottom_edge = kDefaults.rows_below;
int32_t g_rows_above_bottom_edge = kDefaults.rows_above;
bool g_diagnosticonly = kDefaults.diagnostic;
int32_t g_maxthreads = kDefaults.threads;
std::string g_versionstr = "Version 0.2.0 2021-01-10";

namespace {

// The texts in which the two requests word the same checks and outcomes differently; each takes
// the request's name first.
struct RequestTexts {
  const char* name;
  const char* psf_size;
  const char* coefficients;
  const char* indices;
  const char* num_coefficients;
  const char* failed;
};

const RequestTexts kInfield = {
    "talvendll_create_deconvolution_matrix",
    "%s, The size of the PSF arrays (%d, %d) must be bigger or same size as the science window "
    "(%d, %d)",
    "%s, the array of PSF interpolation coefficients (%d,%d) must equal the size of the detector "
    "window (%d,%d)",
    "%s, the array of PSF interpolation indices (%d,%d) must equal the size of the detector "
    "window (%d,%d)",
    "%s, the Number of coefficients in the PSF interpolation coefficient (%d) and index (%d) "
    "arrays must match",
    "%s. Error generating the convolution matrix of size (%d,%d). It is set to 0.0"};

const RequestTexts kHorizontal = {
    "talvendll_create_horizontal_stray_light_matrix",
    "%s, The size of the PSF arrays (%d, %d) must be at least as big as the science window (%d, "
    "%d)",
    "%s, the array of PSF interpolation coefficients (%d,%d) must be the same size as the NOOF "
    "window (%d,%d)",
    "%s, the array of PSF interpolation indices (%d,%d) must be the same size as the NOOF window "
    "(%d,%d)",
    "%s, the Number of coefficients in the PSF interpolation (%d) and coefficient (%d) arrays "
    "must match",
    "%s. Error generating the horizontal stray light convolution matrix of size (%d,%d)"};

// The rows of the matrix that the request writes: KK, or those of the scope's block of L1C
// columns.
int64_t OutputRows(const TALVEN_BuildScope& scope, int KK, const TALVEN_WindowLayout& w) {
  return scope.IsWhole(w.Kx) ? KK : scope.Rows(w.Kx, w.Ky);
}

// A negative size cannot describe caller memory: it is refused like any view that fails.
bool AttachMatrix(const char* request, zv2dArray<double>* output, double* matrix, int KK,
                  int64_t rows) {
  if (KK >= 0 && rows >= 0 && TALVEN_FitsInt32(rows) && output->Attach(KK, rows, matrix)) {
    return true;
  }
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, Error attaching to the (%d, %d) input convolution matrix storage", request,
                    TALVEN_Shown(rows), KK);
  return false;
}

// An empty (0 x 0) vignetting array asks for no vignetting.
bool AttachVignetting(const char* request, zv2dArray<double>* vignetting,
                      const TALVEN_HorizontalInputs& h) {
  if (h.Vnx >= 0 && h.Vny >= 0 && vignetting->Attach(h.Vnx, h.Vny, h.vignettingarray)) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, Error attaching to the (%d, %d) vignetting array", request, h.Vnx, h.Vny);
  return false;
}

bool CheckPsfSize(const RequestTexts& texts, const TALVEN_PsfInputs& p,
                  const TALVEN_WindowLayout& w) {
  if (p.psf_Nx >= w.Sx && p.psf_Ny >= w.Sy) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, texts.psf_size, texts.name, p.psf_Ny,
                    p.psf_Nx, w.Sy, w.Sx);
  return false;
}

// The coefficient and index tables cover the window of the request's PSF table, (nx, ny).
bool CheckTableSizes(const RequestTexts& texts, const TALVEN_PsfInputs& p, int nx, int ny) {
  bool ok = true;
  if (p.num_interp_coeffs1 != ny || p.num_interp_coeffs0 != nx) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, texts.coefficients, texts.name,
                      p.num_interp_coeffs1, p.num_interp_coeffs0, ny, nx);
    ok = false;
  }
  if (p.num_interp_indices1 != ny || p.num_interp_indices0 != nx) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, texts.indices, texts.name,
                      p.num_interp_indices1, p.num_interp_indices0, ny, nx);
    ok = false;
  }
  if (p.num_interp_indices2 != p.num_interp_coeffs2) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, texts.num_coefficients, texts.name,
                      p.num_interp_coeffs2, p.num_interp_indices2);
    ok = false;
  }
  return ok;
}

// The views of the PSF location, coefficient and index arrays, their row-major shapes reversed.
struct PsfTableViews {
  zv2dArray<double> locations;
  zv3dArray<double> coefficients;
  zv3dArray<int> indices;

  bool Attach(const TALVEN_PsfInputs& p) {
    return locations.Attach(p.numcentres_mustbe3, p.numpsf, p.psf_location2D) &&
           coefficients.Attach(p.num_interp_coeffs2, p.num_interp_coeffs1, p.num_interp_coeffs0,
                               p.psf_interp_coeffs3D) &&
           indices.Attach(p.num_interp_indices2, p.num_interp_indices1, p.num_interp_indices0,
                          p.psf_interp_indices3D);
  }
};

// The calling thread's OpenMP settings, put back when the request asks for it.
class OpenMPSettings {
 public:
  explicit OpenMPSettings(bool restore)
      : m_restore(restore), m_dynamic(omp_get_dynamic()), m_threads(omp_get_max_threads()) {}
  ~OpenMPSettings() {
    if (!m_restore) return;
    omp_set_dynamic(m_dynamic);
    omp_set_num_threads(m_threads);
  }
  OpenMPSettings(const OpenMPSettings&) = delete;
  OpenMPSettings& operator=(const OpenMPSettings&) = delete;

 private:
  const bool m_restore;
  const int m_dynamic;
  const int m_threads;
};

// Both requests log the version and the thread limit once the generator exists.
void SetUpOpenMP(const char* request, const TALVEN_RequestSettings& settings) {
  omp_set_dynamic(0);
  if (settings.threads > 0) omp_set_num_threads(TALVEN_ThreadsToUse(settings.threads));
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__, "%s, Version [%s]", request,
                    settings.version.c_str());
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "%s, Processing with a maximum of %d threads", request, omp_get_max_threads());
}

// One generator for a checked request, once the views of the PSF inputs are made: it views the
// caller's storage only when the request is the whole matrix. The PSF table is initialised over
// `table_window`, then build(generator) runs; *built says whether it did (a build leaves its
// output zeroed when it fails).
template <typename Build>
bool Generate(const RequestTexts& texts, const TALVEN_RequestSettings& settings,
              const TALVEN_CheckedLayout& checked, double* matrix, int rows_below, int rows_above,
              const TALVEN_PsfInputs& psfs, WindowMappingType table_window, bool* built,
              Build build) {
  PsfTableViews views;
  if (!views.Attach(psfs)) return false;
  const TALVEN_BuildScope& scope = settings.scope;
  TALVEN_DeconvolutionMatrixGenerator generator(
      checked.Layout(), scope.IsWhole(checked.Layout().Kx) ? matrix : nullptr, checked.KK(),
      settings.diagnostic, rows_below, rows_above);
  generator.set_scope(scope);
  SetUpOpenMP(texts.name, settings);
  if (!generator.PSF_Table().Initialize(psfs.psfarraypointers, psfs.M, psfs.psf_Nx, psfs.psf_Ny,
                                        table_window, generator.WindowHierachy(), views.locations,
                                        views.coefficients, views.indices)) {
    return false;
  }
  *built = true;
  return build(generator);
}

// Logs the outcome and, when `zero`, sets the output to 0.0.
bool Finish(const RequestTexts& texts, bool ok, int KK, bool zero, zv2dArray<double>* output) {
  if (ok) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "%s. Successfuly generated the convolution matrix of size (%d,%d)",
                      texts.name, KK, KK);
    return true;
  }
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__, texts.failed, texts.name, KK, KK);
  if (zero) output->SetTo(0.0);
  return false;
}

}  // namespace

void talvendll_set_option(const char* name, int value) {
  const std::string key = (name != nullptr) ? name : "";
  if (key == "use_simpsons") {
    g_use_simspons_interpolation = (value != 0);
  } else if (key == "create_lower_edge_adjustment") {
    g_create_lower_edge_adjustment = (value != 0);
  } else if (key == "lower_edge_rows_below") {
    g_rows_below_bottom_edge = value;
  } else if (key == "lower_edge_rows_above") {
    g_rows_above_bottom_edge = value;
  } else {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "cimpl_set_option::Deconvolution option interface: Unknow option [%s]",
                      key.c_str());
  }
}

void talvenddl_set_versionstring(const char* text) { g_versionstr = (text != nullptr) ? text : ""; }

void talvendll_set_logger(zvLog* logger) {
  if (logger == nullptr) return;
  logger->AddRef();
  logger->SetAsDefaultLogger();
  logger->Release();
}

void talvendll_set_diagnostic(int flag) { g_diagnosticonly = (flag != 0); }

void talvendll_set_numthreads(int count) { g_maxthreads = count; }

TALVEN_RequestSettings TALVEN_SettingsFromGlobals() {
  TALVEN_RequestSettings settings;
  settings.use_simpsons = g_use_simspons_interpolation;
  settings.lower_edge = g_create_lower_edge_adjustment;
  settings.rows_below = g_rows_below_bottom_edge;
  settings.rows_above = g_rows_above_bottom_edge;
  settings.diagnostic = g_diagnosticonly;
  settings.threads = g_maxthreads;
  settings.version = g_versionstr;
  return settings;
}

bool talvendll_create_deconvolution_matrix(
    double* matrix, int KK, const double** psfarraypointers, int M, int psf_Nx, int psf_Ny,
    double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
    int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx,
    int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
    int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky) {
  const TALVEN_PsfInputs psfs = TALVEN_MakePsfInputs(
      psfarraypointers, M, psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3,
      psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
      psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2);
  const TALVEN_WindowLayout w{FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                              Dx,        Dy,        SOFSx, SOFSy, Sx,    Sy,    LBINx, LBINy,
                              Lx,        Ly,        KBINx, KBINy, Kx,    Ky};
  return TALVEN_CreateInfieldMatrix(TALVEN_SettingsFromGlobals(), matrix, KK, psfs, w);
}

bool talvendll_create_horizontal_stray_light_matrix(
    double* matrix, int KK, double* vignettingarray, int Vnx, int Vny,
    const double** psfarraypointers, int M, int psf_Nx, int psf_Ny, double* psf_location2D,
    int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D, int num_interp_coeffs0,
    int num_interp_coeffs1, int num_interp_coeffs2, int* psf_interp_indices3D,
    int num_interp_indices0, int num_interp_indices1, int num_interp_indices2, int FULLCONVx,
    int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy,
    int SOFSx, int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx,
    int KBINy, int Kx, int Ky, int delta_nx, int delta_ny, int delta_sx, int delta_sy) {
  const TALVEN_PsfInputs psfs = TALVEN_MakePsfInputs(
      psfarraypointers, M, psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3,
      psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
      psf_interp_indices3D, num_interp_indices0, num_interp_indices1, num_interp_indices2);
  const TALVEN_HorizontalInputs horizontal{vignettingarray, Vnx,      Vny,     delta_nx,
                                           delta_ny,        delta_sx, delta_sy};
  const TALVEN_WindowLayout w{FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                              Dx,        Dy,        SOFSx, SOFSy, Sx,    Sy,    LBINx, LBINy,
                              Lx,        Ly,        KBINx, KBINy, Kx,    Ky};
  return TALVEN_CreateHorizontalMatrix(TALVEN_SettingsFromGlobals(), matrix, KK, horizontal, psfs,
                                       w);
}

bool TALVEN_CreateInfieldMatrix(const TALVEN_RequestSettings& settings, double* matrix, int KK,
                                const TALVEN_PsfInputs& psfs, const TALVEN_WindowLayout& w) {
  const zvLogThreadMute mute(!settings.scope.LogsRequestLines());
  const OpenMPSettings openmp(settings.restore_openmp);
  const char* const request = kInfield.name;
  zv2dArray<double> output;
  const bool attached =
      AttachMatrix(request, &output, matrix, KK, OutputRows(settings.scope, KK, w));
  bool ok = attached;
  ok = CheckPsfSize(kInfield, psfs, w) && ok;
  ok = TALVEN_CheckBinnedSizes(request, w) && ok;
  ok = CheckTableSizes(kInfield, psfs, w.Dx, w.Dy) && ok;
  const std::optional<TALVEN_CheckedLayout> checked =
      TALVEN_CheckInfieldRequest(request, settings, KK, psfs, w);
  bool built = false;
  ok = ok && checked &&
       Generate(kInfield, settings, *checked, matrix, settings.rows_below, settings.rows_above,
                psfs, WindowMappingType::WINDOW_DETECTOR, &built,
                [&](TALVEN_DeconvolutionMatrixGenerator& generator) {
                  generator.set_option_create_lower_edge_adjustment(settings.lower_edge);
                  generator.set_option_use_simpsons(settings.use_simpsons);
                  return generator.build_transfer_function(&output);
                });
  return Finish(kInfield, ok, KK, attached && !built, &output);
}

bool TALVEN_CreateHorizontalMatrix(const TALVEN_RequestSettings& settings, double* matrix, int KK,
                                   const TALVEN_HorizontalInputs& horizontal,
                                   const TALVEN_PsfInputs& psfs, const TALVEN_WindowLayout& w) {
  const zvLogThreadMute mute(!settings.scope.LogsRequestLines());
  const OpenMPSettings openmp(settings.restore_openmp);
  const char* const request = kHorizontal.name;
  zv2dArray<double> vignetting;
  bool ok = AttachVignetting(request, &vignetting, horizontal);
  zv2dArray<double> output;
  const bool attached =
      AttachMatrix(request, &output, matrix, KK, OutputRows(settings.scope, KK, w));
  ok = attached && ok;
  ok = CheckPsfSize(kHorizontal, psfs, w) && ok;
  ok = TALVEN_CheckPsfCount(request, psfs.M, psfs.numpsf) && ok;
  ok = TALVEN_CheckBinnedSizes(request, w) && ok;
  ok = TALVEN_CheckMatrixSize(request, KK, w) && ok;
  ok = CheckTableSizes(kHorizontal, psfs, w.NOOFx, w.NOOFy) && ok;
  const std::optional<TALVEN_CheckedLayout> checked =
      TALVEN_CheckHorizontalRequest(request, settings, horizontal, psfs, w);
  // The named options tune the in-field matrix only: default row counts and options.
  bool built = false;
  ok = ok && checked &&
       Generate(kHorizontal, settings, *checked, matrix, kDefaults.rows_below, kDefaults.rows_above,
                psfs, WindowMappingType::WINDOW_NOOF, &built,
                [&](TALVEN_DeconvolutionMatrixGenerator& generator) {
                  return generator.build_horizontal_stray_light(
                      &output, vignetting, horizontal.delta_ny, horizontal.delta_nx,
                      horizontal.delta_sy, horizontal.delta_sx);
                });
  return Finish(kHorizontal, ok, KK, attached && !built, &output);
}
