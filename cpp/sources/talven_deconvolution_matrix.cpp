#include "cpp/sources/talven_deconvolution_matrix.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/thread_limit.h"
#include "cpp/sources/windowbinning.h"
#include "math/arrays/zvarraylib.h"
#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/sources/talven_deconvolution_matrix";

bool g_use_simspons_interpolation = true;
bool g_create_lower_edge_adjustment = true;
int32_t g_rows_below_bottom_edge = 42;
int32_t g_rows_above_bottom_edge = 42;
bool g_diagnosticonly = false;
int32_t g_maxthreads = 0;
std::string g_versionstr = "Version 0.2.0 2021-01-10";

namespace {

const char* const kInfield = "talvendll_create_deconvolution_matrix";
const char* const kHorizontal = "talvendll_create_horizontal_stray_light_matrix";

// The 22 windowing parameters by name.
struct WindowSpecs {
  int FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx, Sy,
      LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky;

  // Detector pixels per L1C pixel along x and y.
  int64_t Binx() const { return static_cast<int64_t>(LBINx) * KBINx; }
  int64_t Biny() const { return static_cast<int64_t>(LBINy) * KBINy; }
};

struct NamedValue {
  const char* name;
  int64_t value;
};

bool FitsInt32(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

// How a 64-bit product shows in a "%d" message.
int Shown(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// The rows of the matrix that the request writes: KK, or those of the scope's block of L1C
// columns.
int64_t OutputRows(const TALVEN_BuildScope& scope, int KK, const WindowSpecs& w) {
  return scope.IsWhole(w.Kx) ? KK : scope.Rows(w.Kx, w.Ky);
}

// A negative size cannot describe caller memory: it is refused like any view that fails.
bool AttachMatrix(const char* request, zv2dArray<double>* output, double* matrix, int KK,
                  int64_t rows) {
  if (KK >= 0 && rows >= 0 && FitsInt32(rows) && output->Attach(KK, rows, matrix)) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, Error attaching to the (%d, %d) input convolution matrix storage", request,
                    Shown(rows), KK);
  return false;
}

bool CheckScope(const char* request, const TALVEN_BuildScope& scope, const WindowSpecs& w) {
  const int end = scope.EndColumn(w.Kx);
  if (scope.IsWhole(w.Kx) || (scope.first_column >= 0 && scope.first_column < end && end <= w.Kx)) {
    return true;
  }
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The L1C columns [%d, %d) are not a block of the %d L1C columns", request,
                    scope.first_column, end, w.Kx);
  return false;
}

bool CheckPsfCount(const char* request, int M, int numpsf) {
  if (M == numpsf) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The number of PSF arrays (%d) does not equal the number of locations (%d)",
                    request, M, numpsf);
  return false;
}

// The science window is binned into whole L1B pixels, and those into whole L1C pixels.
bool CheckBinnedSizes(const char* request, const WindowSpecs& w) {
  bool ok = true;
  const int64_t science_x = static_cast<int64_t>(w.LBINx) * w.Lx;
  const int64_t science_y = static_cast<int64_t>(w.LBINy) * w.Ly;
  if (w.Sx != science_x || w.Sy != science_y) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "%s, The science window size (%d,%d) is not the same size as the L1B binned "
                      "window (%d,%d)",
                      request, w.Sy, w.Sx, Shown(science_x), Shown(science_y));
    ok = false;
  }
  const int64_t l1b_x = static_cast<int64_t>(w.KBINx) * w.Kx;
  const int64_t l1b_y = static_cast<int64_t>(w.KBINy) * w.Ky;
  if (w.Lx != l1b_x || w.Ly != l1b_y) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "%s, The L1B binned window size (%d,%d) is not the same size as the L1C "
                      "binned window (%d,%d)",
                      request, w.Ly, w.Lx, Shown(l1b_x), Shown(l1b_y));
    ok = false;
  }
  return ok;
}

bool CheckMatrixSize(const char* request, int KK, const WindowSpecs& w) {
  if (KK == static_cast<int64_t>(w.Kx) * w.Ky) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The square convolution matrix dimension size (%d) is inconsistent with "
                    "the L1C binned window size (%d,%d)",
                    request, KK, w.Ky, w.Kx);
  return false;
}

// One error line per negative value.
bool CheckNotNegative(const char* request, std::initializer_list<NamedValue> values) {
  bool ok = true;
  for (const NamedValue& v : values) {
    if (v.value < 0) {
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, "%s, %s (%d) must not be negative",
                        request, v.name, Shown(v.value));
      ok = false;
    }
  }
  return ok;
}

// The generator counts in 32-bit ints: a product that does not fit would wrap. One error line
// per product.
bool CheckProducts(const char* request, std::initializer_list<NamedValue> products) {
  bool ok = true;
  for (const NamedValue& p : products) {
    if (!FitsInt32(p.value)) {
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "%s, The product %s = %lld does not fit a 32-bit integer", request, p.name,
                        static_cast<long long>(p.value));
      ok = false;
    }
  }
  return ok;
}

// What both requests need beyond the sizes they compare: locations the PSF table can read,
// binnings it can divide by, sizes it can multiply, and detector pixels under every science
// pixel (the PSF tables and the index table are read there). One error line per problem.
bool CheckWindowsUsable(const char* request, const WindowSpecs& w, int numcentres_mustbe3) {
  bool ok = true;
  if (numcentres_mustbe3 != 3) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "%s, The PSF location array has %d values per PSF, it must have 3", request,
                      numcentres_mustbe3);
    ok = false;
  }
  if (w.LBINx < 1 || w.LBINy < 1 || w.KBINx < 1 || w.KBINy < 1) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "%s, The binnings (LBINx, LBINy, KBINx, KBINy) = (%d, %d, %d, %d) must all "
                      "be at least 1",
                      request, w.LBINx, w.LBINy, w.KBINx, w.KBINy);
    ok = false;
  }
  const bool binnings_fit = FitsInt32(w.Binx()) && FitsInt32(w.Biny());
  ok = CheckProducts(request, {{"Kx * Ky", static_cast<int64_t>(w.Kx) * w.Ky},
                               {"LBINx * Lx", static_cast<int64_t>(w.LBINx) * w.Lx},
                               {"LBINy * Ly", static_cast<int64_t>(w.LBINy) * w.Ly},
                               {"KBINx * Kx", static_cast<int64_t>(w.KBINx) * w.Kx},
                               {"KBINy * Ky", static_cast<int64_t>(w.KBINy) * w.Ky},
                               {"LBINx * KBINx", w.Binx()},
                               {"LBINy * KBINy", w.Biny()}}) &&
       ok;
  if (binnings_fit) {
    ok = CheckProducts(request, {{"LBINx * KBINx * LBINy * KBINy", w.Binx() * w.Biny()}}) && ok;
  }
  if (static_cast<int64_t>(w.SOFSx) + w.Sx > w.Dx || static_cast<int64_t>(w.SOFSy) + w.Sy > w.Dy) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "%s, The science window of size (%d,%d) at offset (%d,%d) does not lie "
                      "inside the detector window (%d,%d)",
                      request, w.Sy, w.Sx, w.SOFSy, w.SOFSx, w.Dy, w.Dx);
    ok = false;
  }
  return ok;
}

// The views of the PSF location, coefficient and index arrays, their row-major shapes reversed.
struct PsfTableViews {
  zv2dArray<double> locations;
  zv3dArray<double> coefficients;
  zv3dArray<int> indices;

  bool Attach(double* psf_location2D, int numpsf, int numcentres, double* psf_interp_coeffs3D,
              int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
              int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
              int num_interp_indices2) {
    return locations.Attach(numcentres, numpsf, psf_location2D) &&
           coefficients.Attach(num_interp_coeffs2, num_interp_coeffs1, num_interp_coeffs0,
                               psf_interp_coeffs3D) &&
           indices.Attach(num_interp_indices2, num_interp_indices1, num_interp_indices0,
                          psf_interp_indices3D);
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
  return TALVEN_CreateInfieldMatrix(
      TALVEN_SettingsFromGlobals(), matrix, KK, psfarraypointers, M, psf_Nx, psf_Ny, psf_location2D,
      numpsf, numcentres_mustbe3, psf_interp_coeffs3D, num_interp_coeffs0, num_interp_coeffs1,
      num_interp_coeffs2, psf_interp_indices3D, num_interp_indices0, num_interp_indices1,
      num_interp_indices2, FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy,
      SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky);
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
  return TALVEN_CreateHorizontalMatrix(
      TALVEN_SettingsFromGlobals(), matrix, KK, vignettingarray, Vnx, Vny, psfarraypointers, M,
      psf_Nx, psf_Ny, psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D,
      num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2, psf_interp_indices3D,
      num_interp_indices0, num_interp_indices1, num_interp_indices2, FULLCONVx, FULLCONVy, NOFSx,
      NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx, LBINy, Lx, Ly, KBINx,
      KBINy, Kx, Ky, delta_nx, delta_ny, delta_sx, delta_sy);
}

bool TALVEN_CreateInfieldMatrix(
    const TALVEN_RequestSettings& settings, double* matrix, int KK, const double** psfarraypointers,
    int M, int psf_Nx, int psf_Ny, double* psf_location2D, int numpsf, int numcentres_mustbe3,
    double* psf_interp_coeffs3D, int num_interp_coeffs0, int num_interp_coeffs1,
    int num_interp_coeffs2, int* psf_interp_indices3D, int num_interp_indices0,
    int num_interp_indices1, int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx,
    int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy,
    int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky) {
  const WindowSpecs w{FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                      Dx,        Dy,        SOFSx, SOFSy, Sx,    Sy,    LBINx, LBINy,
                      Lx,        Ly,        KBINx, KBINy, Kx,    Ky};
  const TALVEN_BuildScope& scope = settings.scope;
  const zvLogThreadMute mute(!scope.LogsRequestLines());
  const OpenMPSettings openmp(settings.restore_openmp);
  // Every check runs, so that each problem gets its own line.
  zv2dArray<double> output;
  const bool attached = AttachMatrix(kInfield, &output, matrix, KK, OutputRows(scope, KK, w));
  bool ok = attached;
  if (psf_Nx < Sx || psf_Ny < Sy) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_deconvolution_matrix, The size of the PSF arrays (%d, %d) "
                      "must be bigger or same size as the science window (%d, %d)",
                      psf_Ny, psf_Nx, Sy, Sx);
    ok = false;
  }
  ok = CheckBinnedSizes(kInfield, w) && ok;
  if (num_interp_coeffs1 != Dy || num_interp_coeffs0 != Dx) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_deconvolution_matrix, the array of PSF interpolation "
                      "coefficients (%d,%d) must equal the size of the detector window (%d,%d)",
                      num_interp_coeffs1, num_interp_coeffs0, Dy, Dx);
    ok = false;
  }
  if (num_interp_indices1 != Dy || num_interp_indices0 != Dx) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_deconvolution_matrix, the array of PSF interpolation "
                      "indices (%d,%d) must equal the size of the detector window (%d,%d)",
                      num_interp_indices1, num_interp_indices0, Dy, Dx);
    ok = false;
  }
  if (num_interp_indices2 != num_interp_coeffs2) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_deconvolution_matrix, the Number of coefficients in the "
                      "PSF interpolation coefficient (%d) and index (%d) arrays must match",
                      num_interp_coeffs2, num_interp_indices2);
    ok = false;
  }
  // The Python layer compares these; a direct caller gets the same protection here.
  ok = CheckPsfCount(kInfield, M, numpsf) && ok;
  ok = CheckMatrixSize(kInfield, KK, w) && ok;
  ok = CheckNotNegative(kInfield, {{"M", M},
                                   {"num_interp_coeffs2", num_interp_coeffs2},
                                   {"Dx", Dx},
                                   {"Dy", Dy},
                                   {"SOFSx", SOFSx},
                                   {"SOFSy", SOFSy},
                                   {"Sx", Sx},
                                   {"Sy", Sy},
                                   {"Lx", Lx},
                                   {"Ly", Ly},
                                   {"Kx", Kx},
                                   {"Ky", Ky}}) &&
       ok;
  ok = CheckWindowsUsable(kInfield, w, numcentres_mustbe3) && ok;
  ok = CheckScope(kInfield, scope, w) && ok;
  // The lower edge correction takes its source rows from the detector rows below the science
  // window, where the PSF tables must have entries.
  if (settings.lower_edge && settings.rows_below > SOFSy) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_deconvolution_matrix, The lower edge correction needs %d "
                      "detector rows below the science window (option lower_edge_rows_below) but "
                      "the detector window has %d",
                      settings.rows_below, SOFSy);
    ok = false;
  }

  PsfTableViews views;
  ok = ok && views.Attach(psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D,
                          num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
                          psf_interp_indices3D, num_interp_indices0, num_interp_indices1,
                          num_interp_indices2);
  if (ok) {
    // The generator views the caller's storage only when it is the whole matrix.
    TALVEN_DeconvolutionMatrixGenerator generator(
        FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx,
        Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky, scope.IsWhole(Kx) ? matrix : nullptr, KK,
        settings.diagnostic, settings.rows_below, settings.rows_above);
    generator.set_option_create_lower_edge_adjustment(settings.lower_edge);
    generator.set_option_use_simpsons(settings.use_simpsons);
    generator.set_scope(scope);
    SetUpOpenMP(kInfield, settings);
    ok = generator.PSF_Table().Initialize(
             psfarraypointers, M, psf_Nx, psf_Ny, WindowMappingType::WINDOW_DETECTOR,
             generator.WindowHierachy(), views.locations, views.coefficients, views.indices) &&
         generator.build_transfer_function(&output);
  }

  if (ok) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "talvendll_create_deconvolution_matrix. Successfuly generated the "
                      "convolution matrix of size (%d,%d)",
                      KK, KK);
    return true;
  }
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "talvendll_create_deconvolution_matrix. Error generating the convolution "
                    "matrix of size (%d,%d). It is set to 0.0",
                    KK, KK);
  if (attached) output.SetTo(0.0);
  return false;
}

bool TALVEN_CreateHorizontalMatrix(
    const TALVEN_RequestSettings& settings, double* matrix, int KK, double* vignettingarray,
    int Vnx, int Vny, const double** psfarraypointers, int M, int psf_Nx, int psf_Ny,
    double* psf_location2D, int numpsf, int numcentres_mustbe3, double* psf_interp_coeffs3D,
    int num_interp_coeffs0, int num_interp_coeffs1, int num_interp_coeffs2,
    int* psf_interp_indices3D, int num_interp_indices0, int num_interp_indices1,
    int num_interp_indices2, int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx,
    int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy, int SOFSx, int SOFSy, int Sx, int Sy,
    int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky, int delta_nx,
    int delta_ny, int delta_sx, int delta_sy) {
  const WindowSpecs w{FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy,
                      Dx,        Dy,        SOFSx, SOFSy, Sx,    Sy,    LBINx, LBINy,
                      Lx,        Ly,        KBINx, KBINy, Kx,    Ky};
  const TALVEN_BuildScope& scope = settings.scope;
  const zvLogThreadMute mute(!scope.LogsRequestLines());
  const OpenMPSettings openmp(settings.restore_openmp);
  // Every check runs, so that each problem gets its own line. An empty (0 x 0) vignetting array
  // asks for no vignetting.
  zv2dArray<double> vignetting;
  bool ok = Vnx >= 0 && Vny >= 0 && vignetting.Attach(Vnx, Vny, vignettingarray);
  if (!ok) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, Error attaching to the (%d, "
                      "%d) vignetting array",
                      Vnx, Vny);
  }
  zv2dArray<double> output;
  const bool attached = AttachMatrix(kHorizontal, &output, matrix, KK, OutputRows(scope, KK, w));
  ok = attached && ok;
  if (psf_Nx < Sx || psf_Ny < Sy) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, The size of the PSF arrays "
                      "(%d, %d) must be at least as big as the science window (%d, %d)",
                      psf_Ny, psf_Nx, Sy, Sx);
    ok = false;
  }
  ok = CheckPsfCount(kHorizontal, M, numpsf) && ok;
  ok = CheckBinnedSizes(kHorizontal, w) && ok;
  ok = CheckMatrixSize(kHorizontal, KK, w) && ok;
  if (num_interp_coeffs1 != NOOFy || num_interp_coeffs0 != NOOFx) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, the array of PSF "
                      "interpolation coefficients (%d,%d) must be the same size as the NOOF "
                      "window (%d,%d)",
                      num_interp_coeffs1, num_interp_coeffs0, NOOFy, NOOFx);
    ok = false;
  }
  if (num_interp_indices1 != NOOFy || num_interp_indices0 != NOOFx) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, the array of PSF "
                      "interpolation indices (%d,%d) must be the same size as the NOOF window "
                      "(%d,%d)",
                      num_interp_indices1, num_interp_indices0, NOOFy, NOOFx);
    ok = false;
  }
  if (num_interp_indices2 != num_interp_coeffs2) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, the Number of coefficients "
                      "in the PSF interpolation (%d) and coefficient (%d) arrays must match",
                      num_interp_coeffs2, num_interp_indices2);
    ok = false;
  }
  ok = CheckNotNegative(kHorizontal, {{"M", M},
                                      {"num_interp_coeffs2", num_interp_coeffs2},
                                      {"NOOFx", NOOFx},
                                      {"NOOFy", NOOFy},
                                      {"DOFSx", DOFSx},
                                      {"DOFSy", DOFSy},
                                      {"Dx", Dx},
                                      {"Dy", Dy},
                                      {"SOFSx", SOFSx},
                                      {"SOFSy", SOFSy},
                                      {"Sx", Sx},
                                      {"Sy", Sy},
                                      {"Lx", Lx},
                                      {"Ly", Ly},
                                      {"Kx", Kx},
                                      {"Ky", Ky}}) &&
       ok;
  ok = CheckWindowsUsable(kHorizontal, w, numcentres_mustbe3) && ok;
  ok = CheckScope(kHorizontal, scope, w) && ok;
  // The sources are NOOF pixels in the rows of the science window, and the vignetting rows are
  // read at those rows.
  const int64_t science_noof_x = static_cast<int64_t>(DOFSx) + SOFSx;
  const int64_t science_noof_y = static_cast<int64_t>(DOFSy) + SOFSy;
  if (science_noof_x + Sx > NOOFx || science_noof_y + Sy > NOOFy) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, The science window of size "
                      "(%d,%d) at offset (%d,%d) in the NOOF window does not lie inside the NOOF "
                      "window (%d,%d)",
                      Sy, Sx, Shown(science_noof_y), Shown(science_noof_x), NOOFy, NOOFx);
    ok = false;
  }
  // A step below 1 would never advance the sampling loops.
  if (delta_nx < 1 || delta_ny < 1 || delta_sx < 1 || delta_sy < 1) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix, The sampling steps "
                      "(delta_ny, delta_nx, delta_sy, delta_sx) = (%d, %d, %d, %d) must all be at "
                      "least 1",
                      delta_ny, delta_nx, delta_sy, delta_sx);
    ok = false;
  }
  ok = CheckProducts(kHorizontal,
                     {{"delta_sx * delta_sy", static_cast<int64_t>(delta_sx) * delta_sy}}) &&
       ok;

  PsfTableViews views;
  ok = ok && views.Attach(psf_location2D, numpsf, numcentres_mustbe3, psf_interp_coeffs3D,
                          num_interp_coeffs0, num_interp_coeffs1, num_interp_coeffs2,
                          psf_interp_indices3D, num_interp_indices0, num_interp_indices1,
                          num_interp_indices2);
  if (ok) {
    // The named options tune the in-field matrix only: fixed row counts, default options.
    TALVEN_DeconvolutionMatrixGenerator generator(
        FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx,
        Sy, LBINx, LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky, scope.IsWhole(Kx) ? matrix : nullptr, KK,
        settings.diagnostic, 42, 42);
    generator.set_scope(scope);
    SetUpOpenMP(kHorizontal, settings);
    ok = generator.PSF_Table().Initialize(
             psfarraypointers, M, psf_Nx, psf_Ny, WindowMappingType::WINDOW_NOOF,
             generator.WindowHierachy(), views.locations, views.coefficients, views.indices) &&
         generator.build_horizontal_stray_light(&output, vignetting, delta_ny, delta_nx, delta_sy,
                                                delta_sx);
  }

  if (ok) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "talvendll_create_horizontal_stray_light_matrix. Successfuly generated the "
                      "convolution matrix of size (%d,%d)",
                      KK, KK);
    return true;
  }
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "talvendll_create_horizontal_stray_light_matrix. Error generating the "
                    "horizontal stray light convolution matrix of size (%d,%d)",
                    KK, KK);
  if (attached) output.SetTo(0.0);
  return false;
}
