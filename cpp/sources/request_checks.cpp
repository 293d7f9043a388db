#include "cpp/sources/request_checks.h"

#include <algorithm>
#include <initializer_list>

#include "cpp/sources/log_sources.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_EntryPointsSource;

namespace {

struct NamedValue {
  const char* name;
  int64_t value;
};

bool CheckNotNegative(const char* request, std::initializer_list<NamedValue> values) {
  bool ok = true;
  for (const NamedValue& v : values) {
    if (v.value < 0) {
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, "%s, %s (%d) must not be negative",
                        request, v.name, TALVEN_Shown(v.value));
      ok = false;
    }
  }
  return ok;
}

// The sizes and offsets inside the detector window, in the order of the parameters.
bool CheckDetectorSizesNotNegative(const char* request, const TALVEN_WindowLayout& w) {
  return CheckNotNegative(request, {{"Dx", w.Dx},
                                    {"Dy", w.Dy},
                                    {"SOFSx", w.SOFSx},
                                    {"SOFSy", w.SOFSy},
                                    {"Sx", w.Sx},
                                    {"Sy", w.Sy},
                                    {"Lx", w.Lx},
                                    {"Ly", w.Ly},
                                    {"Kx", w.Kx},
                                    {"Ky", w.Ky}});
}

// The generator counts in 32-bit ints: a product that does not fit would wrap.
bool CheckProducts(const char* request, std::initializer_list<NamedValue> products) {
  bool ok = true;
  for (const NamedValue& p : products) {
    if (!TALVEN_FitsInt32(p.value)) {
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
// pixel (the PSF tables and the index table are read there).
bool CheckWindowsUsable(const char* request, const TALVEN_WindowLayout& w, int numcentres_mustbe3) {
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
  const bool binnings_fit = TALVEN_FitsInt32(w.Binx()) && TALVEN_FitsInt32(w.Biny());
  ok = CheckProducts(request, {{"Kx * Ky", w.KK()},
                               {"LBINx * Lx", w.L1bCoverX()},
                               {"LBINy * Ly", w.L1bCoverY()},
                               {"KBINx * Kx", w.L1cCoverX()},
                               {"KBINy * Ky", w.L1cCoverY()},
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

bool CheckScope(const char* request, const TALVEN_BuildScope& scope, const TALVEN_WindowLayout& w) {
  const int end = scope.EndColumn(w.Kx);
  if (scope.IsWhole(w.Kx) || (scope.first_column >= 0 && scope.first_column < end && end <= w.Kx)) {
    return true;
  }
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The L1C columns [%d, %d) are not a block of the %d L1C columns", request,
                    scope.first_column, end, w.Kx);
  return false;
}

// The lower edge correction takes its source rows from the detector rows below the science
// window, where the PSF tables must have entries.
bool CheckLowerEdgeRows(const char* request, const TALVEN_RequestSettings& settings,
                        const TALVEN_WindowLayout& w) {
  if (!settings.lower_edge || settings.rows_below <= w.SOFSy) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The lower edge correction needs %d detector rows below the science window "
                    "(option lower_edge_rows_below) but the detector window has %d",
                    request, settings.rows_below, w.SOFSy);
  return false;
}

// The sources are NOOF pixels in the rows of the science window, and the vignetting rows are
// read at those rows.
bool CheckScienceInsideNoof(const char* request, const TALVEN_WindowLayout& w) {
  if (TALVEN_ScienceInsideNoof(w)) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The science window of size (%d,%d) at offset (%d,%d) in the NOOF window "
                    "does not lie inside the NOOF window (%d,%d)",
                    request, w.Sy, w.Sx, TALVEN_Shown(w.ScienceInNoofY()),
                    TALVEN_Shown(w.ScienceInNoofX()), w.NOOFy, w.NOOFx);
  return false;
}

bool CheckSteps(const char* request, const TALVEN_HorizontalInputs& h) {
  bool ok = true;
  if (!TALVEN_StepsUsable(h.delta_nx, h.delta_ny, h.delta_sx, h.delta_sy)) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "%s, The sampling steps (delta_ny, delta_nx, delta_sy, delta_sx) = (%d, %d, "
                      "%d, %d) must all be at least 1",
                      request, h.delta_ny, h.delta_nx, h.delta_sy, h.delta_sx);
    ok = false;
  }
  return CheckProducts(request,
                       {{"delta_sx * delta_sy", static_cast<int64_t>(h.delta_sx) * h.delta_sy}}) &&
         ok;
}

// A window of (x, y) pixels against the (cover_x, cover_y) that its binned pixels cover; the
// message shows (y, x) and then the cover's x and y.
bool CheckCover(const char* request, const char* message, int x, int y, int64_t cover_x,
                int64_t cover_y) {
  if (x == cover_x && y == cover_y) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__, message, request, y, x,
                    TALVEN_Shown(cover_x), TALVEN_Shown(cover_y));
  return false;
}

}  // namespace

int TALVEN_Shown(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

bool TALVEN_FitsInt32(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

bool TALVEN_CheckPsfCount(const char* request, int M, int numpsf) {
  if (M == numpsf) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The number of PSF arrays (%d) does not equal the number of locations (%d)",
                    request, M, numpsf);
  return false;
}

// The science window is binned into whole L1B pixels, and those into whole L1C pixels.
bool TALVEN_CheckBinnedSizes(const char* request, const TALVEN_WindowLayout& w) {
  const bool science = CheckCover(request,
                                  "%s, The science window size (%d,%d) is not the same size as "
                                  "the L1B binned window (%d,%d)",
                                  w.Sx, w.Sy, w.L1bCoverX(), w.L1bCoverY());
  const bool l1b = CheckCover(request,
                              "%s, The L1B binned window size (%d,%d) is not the same size as the "
                              "L1C binned window (%d,%d)",
                              w.Lx, w.Ly, w.L1cCoverX(), w.L1cCoverY());
  return science && l1b;
}

bool TALVEN_CheckMatrixSize(const char* request, int KK, const TALVEN_WindowLayout& w) {
  if (KK == w.KK()) return true;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The square convolution matrix dimension size (%d) is inconsistent with "
                    "the L1C binned window size (%d,%d)",
                    request, KK, w.Ky, w.Kx);
  return false;
}

std::optional<TALVEN_CheckedLayout> TALVEN_CheckInfieldRequest(
    const char* request, const TALVEN_RequestSettings& settings, int KK,
    const TALVEN_PsfInputs& psfs, const TALVEN_WindowLayout& w) {
  bool ok = TALVEN_CheckPsfCount(request, psfs.M, psfs.numpsf);
  ok = TALVEN_CheckMatrixSize(request, KK, w) && ok;
  ok =
      CheckNotNegative(request, {{"M", psfs.M}, {"num_interp_coeffs2", psfs.num_interp_coeffs2}}) &&
      ok;
  ok = CheckDetectorSizesNotNegative(request, w) && ok;
  ok = CheckWindowsUsable(request, w, psfs.numcentres_mustbe3) && ok;
  ok = CheckScope(request, settings.scope, w) && ok;
  ok = CheckLowerEdgeRows(request, settings, w) && ok;
  if (!ok) return std::nullopt;
  return TALVEN_CheckedLayout(w);
}

std::optional<TALVEN_CheckedLayout> TALVEN_CheckHorizontalRequest(
    const char* request, const TALVEN_RequestSettings& settings,
    const TALVEN_HorizontalInputs& horizontal, const TALVEN_PsfInputs& psfs,
    const TALVEN_WindowLayout& w) {
  bool ok =
      CheckNotNegative(request, {{"M", psfs.M}, {"num_interp_coeffs2", psfs.num_interp_coeffs2}});
  ok = CheckNotNegative(
           request,
           {{"NOOFx", w.NOOFx}, {"NOOFy", w.NOOFy}, {"DOFSx", w.DOFSx}, {"DOFSy", w.DOFSy}}) &&
       ok;
  ok = CheckDetectorSizesNotNegative(request, w) && ok;
  ok = CheckWindowsUsable(request, w, psfs.numcentres_mustbe3) && ok;
  ok = CheckScope(request, settings.scope, w) && ok;
  ok = CheckScienceInsideNoof(request, w) && ok;
  ok = CheckSteps(request, horizontal) && ok;
  if (!ok) return std::nullopt;
  return TALVEN_CheckedLayout(w);
}

bool TALVEN_ScienceInsideNoof(const TALVEN_WindowLayout& w) {
  return w.ScienceInNoofX() + w.Sx <= w.NOOFx && w.ScienceInNoofY() + w.Sy <= w.NOOFy;
}

bool TALVEN_StepsUsable(int delta_nx, int delta_ny, int delta_sx, int delta_sy) {
  return delta_nx >= 1 && delta_ny >= 1 && delta_sx >= 1 && delta_sy >= 1;
}
