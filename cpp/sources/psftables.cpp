#include "cpp/sources/psftables.h"

#include <algorithm>
#include <cmath>

#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/sources/psftables";

using WMT = WindowMappingType;

// ---------------------------------------------------------------------------------------------
// TALVEN_PSF_Entry

TALVEN_PSF_Entry::TALVEN_PSF_Entry()
    : m_working_centre_locn_format(WMT::WINDOW_UNDEFINED),
      m_centre{-9999.0, -9999.0},
      m_measured_windowtype(WMT::WINDOW_UNDEFINED),
      m_centre_is_whole(true),
      m_size(WMT::WINDOW_DETECTOR) {}

bool TALVEN_PSF_Entry::Configure(WindowMappingType working_format, const zv2dArray<double>& values,
                                 FloatCoords centre, WindowMappingType measured_kind) {
  m_working_centre_locn_format = working_format;
  m_measured_windowtype = measured_kind;
  m_centre = centre;
  m_centre_is_whole = centre.x == std::trunc(centre.x) && centre.y == std::trunc(centre.y);

  // A view left by an earlier Configure would make the shallow copy refuse.
  m_values.Detach();
  bool ok = m_values.ShallowCopy(values);
  m_values.SetBoundsChecking(false);
  if (ok && m_values.size() > 0 && !m_values.ArrayRankSpecs()->IsContiguous()) {
    // Sample() addresses the storage as rows fastest without strides.
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Entry::Configure, The PSF samples must be contiguous in memory "
                      "with rows varying fastest");
    m_values.Detach();
    ok = false;
  }
  // An entry without samples has size 0 and evaluates to 0 everywhere.
  const bool has_samples = ok && m_values.size() > 0;
  m_size.x = has_samples ? static_cast<int>(m_values.YSize()) : 0;
  m_size.y = has_samples ? static_cast<int>(m_values.XSize()) : 0;
  return ok;
}

void TALVEN_PSF_Entry::ValuesAtDisplacements(int dx, int dy0, ptrdiff_t n, double* out) const {
  const double a = m_centre.x + dx;
  const bool column_inside = a > -1.0 && a < m_size.x;
  const int b = column_inside ? static_cast<int>(a) : 0;
  const bool runs = column_inside && (m_centre_is_whole || b + 1 < m_size.x);
  const double* left = m_values.ArrayBasePtr() + static_cast<ptrdiff_t>(b) * m_size.y;
  const double* right = left + m_size.y;
  const double x0 = b, x1 = b + 1;
  ptrdiff_t j = 0;
  while (j < n) {
    const double c = m_centre.y + (dy0 + static_cast<int>(j));
    if (!runs || !(c >= 0.0 && c < m_size.y)) {
      out[j] = ValueAtDisplacement(dx, dy0 + static_cast<int>(j));
      ++j;
      continue;
    }
    // A run of rows whose positions truncate to consecutive cells d0, d0 + 1, ... that all lie
    // inside the PSF: their values need no tests. The positions are those ValueAtDisplacement
    // computes, so a position that rounds onto a cell edge ends the run instead of misplacing it.
    const int d0 = static_cast<int>(c);
    const int last_cell = m_centre_is_whole ? m_size.y - 1 : m_size.y - 2;
    ptrdiff_t end = j;
    while (end < n) {
      const double ce = m_centre.y + (dy0 + static_cast<int>(end));
      if (!(ce >= 0.0 && ce < m_size.y)) break;
      const int d = static_cast<int>(ce);
      if (d != d0 + (end - j) || d > last_cell) break;
      ++end;
    }
    if (end == j) {
      out[j] = ValueAtDisplacement(dx, dy0 + static_cast<int>(j));
      ++j;
      continue;
    }
    const int len = static_cast<int>(end - j);
    const int dy = dy0 + static_cast<int>(j);
    const double* __restrict v = left + d0;
    double* __restrict o = out + j;
    if (m_centre_is_whole) {
      std::copy(v, v + len, o);
    } else {
      const double* __restrict w = right + d0;
      // The arithmetic of zvLinearInterpolate::FromSquare over the unit cell, term for term,
      // written out: its tests for degenerate cells keep the loop from vectorising.
      const double cy = m_centre.y;
      for (int k = 0; k < len; ++k) {
        const double y = cy + (dy + k);
        const double y0 = d0 + k;
        const double y1 = d0 + k + 1;
        o[k] = ((x1 - a) * (y1 - y) * v[k] + (a - x0) * (y1 - y) * w[k] +
                (x1 - a) * (y - y0) * v[k + 1] + (a - x0) * (y - y0) * w[k + 1]) /
               ((x1 - x0) * (y1 - y0));
      }
    }
    j = end;
  }
}

// ---------------------------------------------------------------------------------------------
// TALVEN_PSF_Table

TALVEN_PSF_Table::TALVEN_PSF_Table()
    : m_windowtype(WMT::WINDOW_UNDEFINED),
      m_hierarchy(nullptr),
      m_coefficients(nullptr),
      m_indices(nullptr) {}

const WindowMapping* TALVEN_PSF_Table::TableWindow() const {
  if (m_windowtype == WMT::WINDOW_DETECTOR) return &m_hierarchy->m_detector;
  if (m_windowtype == WMT::WINDOW_NOOF) return &m_hierarchy->m_noof;
  return nullptr;
}

// The tables must be (n, Numy, Numx) with the same n, and contiguous so that the n values of a
// pixel follow each other.
static bool TablesFitWindow(const WindowMapping& window, const zv3dArray<double>& coefficients,
                            const zv3dArray<int>& indices) {
  const long long numx = window.Numx();
  const long long numy = window.Numy();
  const auto fits = [numx, numy](long long ysize, long long zsize) {
    return ysize == numy && zsize == numx;
  };
  if (!fits(coefficients.YSize(), coefficients.ZSize()) ||
      !fits(indices.YSize(), indices.ZSize())) {
    zvLogBase::Record(
        zvlog_error, kSourcePath, __LINE__,
        "TALVEN_PSF_Table::Initialize, The PSF coeffiecient and index tables are the "
        "wong size. Expected (x,%d,%d) but got (%d,%d,%d)",
        static_cast<int>(numy), static_cast<int>(numx), static_cast<int>(coefficients.XSize()),
        static_cast<int>(coefficients.YSize()), static_cast<int>(coefficients.ZSize()));
    return false;
  }
  if (indices.XSize() != coefficients.XSize()) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, The PSF index table has (%d) entries per "
                      "pixel but the coefficient table has (%d)",
                      static_cast<int>(indices.XSize()), static_cast<int>(coefficients.XSize()));
    return false;
  }
  const bool contiguous =
      (coefficients.size() == 0 || coefficients.ArrayRankSpecs()->IsContiguous()) &&
      (indices.size() == 0 || indices.ArrayRankSpecs()->IsContiguous());
  if (!contiguous) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, The PSF coefficient and index tables must be "
                      "contiguous in memory");
    return false;
  }
  return true;
}

// Counts and sizes that would make the PSF loop read outside its inputs.
static bool PsfInputsAreReadable(const double* const* psfs, int numpsf, int numcolumns, int numrows,
                                 const zv2dArray<double>& locations) {
  if (numpsf < 0 || numcolumns < 0 || numrows < 0 || (numpsf > 0 && psfs == nullptr)) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, Invalid PSF arguments: (%d) PSFs of size "
                      "(%d, %d)",
                      numpsf, numrows, numcolumns);
    return false;
  }
  const long long needed = 3LL * numpsf;
  if (static_cast<long long>(locations.size()) < needed) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, The PSF location array holds (%d) values but "
                      "(%d) PSFs need (%d), a (Y, X, window kind) triple each",
                      static_cast<int>(locations.size()), numpsf, static_cast<int>(needed));
    return false;
  }
  return true;
}

// Value number i of the location array in storage order (dimension 0 fastest).
static double LocationValue(const zv2dArray<double>& locations, size_t i) {
  const size_t nx = locations.XSize();
  return locations.At(i % nx, i / nx);
}

// Every non-zero coefficient (a NaN counts) must name a measured PSF, so that PSF() never reads an
// entry that does not exist.
bool TALVEN_PSF_Table::CheckInterpolationIndices() const {
  const long long numpsf = static_cast<long long>(m_entries.size());
  const size_t n = m_coefficients->XSize();
  const size_t numy = m_coefficients->YSize();
  const size_t total = m_coefficients->size();
  const double* coefficients = m_coefficients->ArrayBasePtr();
  const int* indices = m_indices->ArrayBasePtr();
  size_t numbad = 0;
  size_t firstbad = 0;
  for (size_t e = 0; e < total; ++e) {
    if (coefficients[e] != 0.0 && (indices[e] < 0 || indices[e] >= numpsf)) {
      if (numbad == 0) firstbad = e;
      ++numbad;
    }
  }
  if (numbad == 0) return true;
  const size_t pixel = firstbad / n;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "TALVEN_PSF_Table::Initialize, PSF interpolation index (%d) of pixel (y=%d, "
                    "x=%d) is outside the measured PSFs [0, %d); the tables hold (%d) such "
                    "indices",
                    indices[firstbad], static_cast<int>(pixel % numy),
                    static_cast<int>(pixel / numy), static_cast<int>(numpsf),
                    static_cast<int>(numbad));
  return false;
}

bool TALVEN_PSF_Table::ConfigureEntries(const double* const* psfs, int numpsf, int numcolumns,
                                        int numrows, const zv2dArray<double>& locations) {
  m_entries.resize(static_cast<size_t>(numpsf));
  bool ok = true;
  for (int k = 0; k < numpsf; ++k) {
    const size_t first = 3 * static_cast<size_t>(k);
    const double Y = LocationValue(locations, first);
    const double X = LocationValue(locations, first + 1);
    const double code = LocationValue(locations, first + 2);
    // Pixel n spans [n, n+1): the centre in index coordinates is half a pixel lower.
    const FloatCoords centre{X - 0.5, Y - 0.5};
    // A code beyond the int range (or NaN) is no kind; keep it away from the conversion.
    const WMT measured = std::fabs(code) < 1e9
                             ? WindowMappingType_From_Integer(static_cast<int>(code))
                             : WMT::WINDOW_UNDEFINED;
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, Adding measured PSF[%d] of size (%d, %d) with "
                      "its center at (Y=%f, X=%f)",
                      k, numrows, numcolumns, Y, X);
    if (psfs[k] == nullptr) {
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "TALVEN_PSF_Table::Initialize, PSF[%d] has no sample storage", k);
      ok = false;
      continue;
    }
    // The view only reads; Attach takes a writable pointer.
    zv2dArray<double> samples;
    const bool attached =
        samples.Attach(static_cast<size_t>(numrows), static_cast<size_t>(numcolumns),
                       const_cast<double*>(psfs[k]));
    if (!(attached && m_entries[k].Configure(m_windowtype, samples, centre, measured))) ok = false;
  }
  return ok;
}

bool TALVEN_PSF_Table::Initialize(const double* const* psfs, int numpsf, int numcolumns,
                                  int numrows, WindowMappingType windowtype,
                                  const WindowMappingHierarchy& hierarchy,
                                  const zv2dArray<double>& locations,
                                  const zv3dArray<double>& coefficients,
                                  const zv3dArray<int>& indices) {
  m_hierarchy = &hierarchy;
  m_windowtype = windowtype;
  m_entries.clear();
  m_coefficients = nullptr;
  m_indices = nullptr;

  bool ok = false;
  const WindowMapping* window = TableWindow();
  if (window == nullptr) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, PSF table only support DETECTOR or NOOF "
                      "windows. And all PSF windows must use the same window");
  } else {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      windowtype == WMT::WINDOW_DETECTOR
                          ? "All PSF coordinates will be mapped to the detector window"
                          : "All PSF coordinates will be mapped to the NOOF window");
    if (TablesFitWindow(*window, coefficients, indices) &&
        PsfInputsAreReadable(psfs, numpsf, numcolumns, numrows, locations)) {
      m_coefficients = &coefficients;
      m_indices = &indices;
      ok = ConfigureEntries(psfs, numpsf, numcolumns, numrows, locations);
      if (!CheckInterpolationIndices()) {
        // Without the tables no centre can be looked up, so no bad index can ever be followed.
        m_coefficients = nullptr;
        m_indices = nullptr;
        ok = false;
      }
    }
  }
  if (!ok) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::Initialize, There were errors configuring the TALVEN PSF "
                      "Interpolation Table. Thats not good.");
  }
  return ok;
}

bool TALVEN_PSF_Table::GetInterpolationCoefficientsForNewPSFCentre(
    const Coords& incoming_psf_central_core_pixel_location,
    TALVEN_PSF_InterpolationCoeffs* coeffs) const {
  if (m_coefficients == nullptr || m_indices == nullptr) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::GetInterpolationCoefficientsForNewPSFCentre, The PSF "
                      "table was not successfully initialized");
    return false;
  }
  Coords p = incoming_psf_central_core_pixel_location;
  if (p.windowtype != m_windowtype) {
    // Only a NOOF table meets another kind: detector pixels, one level below it.
    assert(p.windowtype == WMT::WINDOW_DETECTOR);
    m_hierarchy->m_detector.ToParentWindow(incoming_psf_central_core_pixel_location, &p, false);
  }
  const long long numx = static_cast<long long>(m_coefficients->ZSize());
  const long long numy = static_cast<long long>(m_coefficients->YSize());
  if (p.x < 0 || p.x >= numx || p.y < 0 || p.y >= numy) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_Table::GetInterpolationCoefficientsForNewPSFCentre, PSF centre "
                      "pixel (y=%d, x=%d) lies outside the (y=%d, x=%d) window of the "
                      "interpolation tables",
                      p.y, p.x, static_cast<int>(numy), static_cast<int>(numx));
    return false;
  }
  // The n values of pixel (x, y) start at (0, y, x) and follow each other.
  const size_t n = m_coefficients->XSize();
  const size_t first = n * (static_cast<size_t>(p.x) * static_cast<size_t>(numy) + p.y);
  return coeffs->InterpolatePsfArrayToPixelLocation(p, this, m_coefficients->ArrayBasePtr() + first,
                                                    m_indices->ArrayBasePtr() + first,
                                                    static_cast<int>(n));
}

// ---------------------------------------------------------------------------------------------
// TALVEN_PSF_InterpolationCoeffs

TALVEN_PSF_InterpolationCoeffs::TALVEN_PSF_InterpolationCoeffs()
    : m_centre(-9999, -9999, WMT::WINDOW_DETECTOR), m_table(nullptr), m_count(0) {
  m_coefficients.SetReuseMemory(true);
  m_indices.SetReuseMemory(true);
  m_coefficients.SetSize(kCapacity);
  m_indices.SetSize(kCapacity);
}

bool TALVEN_PSF_InterpolationCoeffs::InterpolatePsfArrayToPixelLocation(
    const Coords& centre, const TALVEN_PSF_Table* table, const double* coefficients,
    const int* indices, int n) {
  m_table = table;
  m_centre = centre;
  m_count = 0;
  const long long capacity =
      static_cast<long long>(std::min(m_coefficients.size(), m_indices.size()));
  if (capacity < n) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, "
                      "Internal interpolation arrays of size (%d) were smaller than the number of "
                      "incoming PSF interpolation coefficients (%d) ",
                      static_cast<int>(m_coefficients.size()), n);
    return false;
  }
  const long long numpsf =
      table != nullptr ? static_cast<long long>(table->MeasuredPSFEntries().size()) : 0;
  double* kept_coefficients = m_coefficients.UnsafeArrayBasePtr();
  int* kept_indices = m_indices.UnsafeArrayBasePtr();
  int j = 0;
  for (int i = 0; i < n; ++i) {
    if (coefficients[i] != 0.0) {  // a NaN compares unequal and is kept
      if (indices[i] < 0 || indices[i] >= numpsf) {
        zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                          "TALVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, "
                          "PSF index (%d) of coefficient (%d) is outside the measured PSFs [0, %d)",
                          indices[i], i, static_cast<int>(numpsf));
        return false;
      }
      kept_coefficients[j] = coefficients[i];
      kept_indices[j] = indices[i];
      ++j;
    }
  }
  m_count = j;
  return true;
}
