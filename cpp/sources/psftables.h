// The PSF model: the measured PSFs (TALVEN_PSF_Entry), the table that owns them together with the
// per-pixel interpolation coefficient and index tables (TALVEN_PSF_Table), and the weights picked
// for one centre pixel (TALVEN_PSF_InterpolationCoeffs), whose PSF() is the innermost operation of
// the matrix builders.
#pragma once

#include <cassert>
#include <cstddef>
#include <vector>

#include "cpp/sources/windowbinning.h"
#include "math/arrays/zvarraylib.h"
#include "math/zvlinearinterpolate.h"

// One measured PSF. The samples stay in the caller's storage; the entry only views them.
class TALVEN_PSF_Entry {
 public:
  TALVEN_PSF_Entry();

  // `values` is indexed (row y, column x) and must be contiguous (rows fastest). `centre` is in
  // index coordinates of the working window. Fails, with a message, for a view it cannot share.
  bool Configure(WindowMappingType working_format, const zv2dArray<double>& values,
                 FloatCoords centre, WindowMappingType measured_kind);

  // The measured PSF shifted so that its centre lies on working_psf_centre, at working_location.
  // Both must be in the working window kind.
  double OffsetedValue(const Coords& working_location, const Coords& working_psf_centre) const {
    assert(working_location.windowtype == m_working_centre_locn_format);
    assert(working_psf_centre.windowtype == working_location.windowtype);
    return ValueAtDisplacement(working_location.x - working_psf_centre.x,
                               working_location.y - working_psf_centre.y);
  }

  // The value at a whole-pixel displacement (dx, dy) from the centre pixel; this is all the
  // arithmetic of OffsetedValue, so code that resamples a PSF onto a grid of displacements gets
  // exactly the same numbers.
  //
  // The sample position (a, c) truncates toward zero to the cell (b, d). A whole centre returns
  // stored samples; otherwise the value is bilinear over [b, b+1] x [d, d+1], and a cell that
  // leaves the PSF gives 0 (no partial-edge interpolation). A position in (-1, 0) truncates to 0
  // and is extrapolated from cell 0. The range tests run on the doubles (equivalent to testing b
  // and d for finite values) so that a NaN or huge centre never reaches an integer conversion.
  double ValueAtDisplacement(int dx, int dy) const {
    const double a = m_centre.x + dx;
    const double c = m_centre.y + dy;
    if (!(a > -1.0 && a < m_size.x && c > -1.0 && c < m_size.y)) return 0.0;
    const int b = static_cast<int>(a);
    const int d = static_cast<int>(c);
    if (m_centre_is_whole) return Sample(d, b);
    if (b + 1 >= m_size.x || d + 1 >= m_size.y) return 0.0;
    const double corners[4] = {Sample(d, b), Sample(d + 1, b), Sample(d + 1, b + 1),
                               Sample(d, b + 1)};
    return zvLinearInterpolate::FromSquare(a, c, b, b + 1, d, d + 1, corners);
  }

  // out[j] = ValueAtDisplacement(dx, dy0 + j) for j < n, bit for bit, the rows inside one cell
  // column computed together.
  void ValuesAtDisplacements(int dx, int dy0, ptrdiff_t n, double* out) const;

  WindowMappingType WorkingFormat() const { return m_working_centre_locn_format; }
  WindowMappingType MeasuredWindowType() const { return m_measured_windowtype; }
  const FloatCoords& Centre() const { return m_centre; }
  bool CentreIsWhole() const { return m_centre_is_whole; }
  const Coords& Size() const { return m_size; }  // x = columns, y = rows
  const zv2dArray<double>& Values() const { return m_values; }

 private:
  // Row y, column x; the storage is contiguous with rows fastest (checked by Configure).
  double Sample(int y, int x) const {
    return m_values.ArrayBasePtr()[static_cast<ptrdiff_t>(x) * m_size.y + y];
  }

  WindowMappingType m_working_centre_locn_format;
  FloatCoords m_centre;
  WindowMappingType m_measured_windowtype;
  bool m_centre_is_whole;
  Coords m_size;
  zv2dArray<double> m_values;
};

class TALVEN_PSF_InterpolationCoeffs;

// The measured PSFs and, for every pixel of the table's window (detector or NOOF), the weights
// and PSF numbers to blend. Filled once by Initialize, read-only (and shared by threads) after.
class TALVEN_PSF_Table {
 public:
  TALVEN_PSF_Table();

  // psfs[k] points at rows x columns samples (rows fastest). locations holds one (Y, X, kind)
  // triple per PSF; coefficients and indices are indexed (k, y, x). The table keeps references
  // to the tables and the PSF storage, which must outlive it.
  bool Initialize(const double* const* psfs, int numpsf, int numcolumns, int numrows,
                  WindowMappingType windowtype, const WindowMappingHierarchy& hierarchy,
                  const zv2dArray<double>& locations, const zv3dArray<double>& coefficients,
                  const zv3dArray<int>& indices);

  const std::vector<TALVEN_PSF_Entry>& MeasuredPSFEntries() const { return m_entries; }
  // Valid once Initialize has been called.
  const WindowMappingHierarchy& WindowHierarchy() const {
    assert(m_hierarchy != nullptr);
    return *m_hierarchy;
  }
  WindowMappingType WindowType() const { return m_windowtype; }

  // Picks the weights of the PSF centred on a pixel of the table's window, or on a detector pixel
  // (converted to the NOOF window for a NOOF table). False, with a message, for a centre outside
  // the table's window or a table that did not initialise.
  bool GetInterpolationCoefficientsForNewPSFCentre(
      const Coords& incoming_psf_central_core_pixel_location,
      TALVEN_PSF_InterpolationCoeffs* coeffs) const;

 private:
  // The window the coefficient and index tables cover, or null for an unsupported kind.
  const WindowMapping* TableWindow() const;
  bool ConfigureEntries(const double* const* psfs, int numpsf, int numcolumns, int numrows,
                        const zv2dArray<double>& locations);
  bool CheckInterpolationIndices() const;

  std::vector<TALVEN_PSF_Entry> m_entries;
  WindowMappingType m_windowtype;
  const WindowMappingHierarchy* m_hierarchy;
  const zv3dArray<double>* m_coefficients;
  const zv3dArray<int>* m_indices;
};

// The non-zero weights of one centre pixel and the PSFs they belong to. One object per worker
// thread, refilled for every centre; it allocates only in its constructor.
class TALVEN_PSF_InterpolationCoeffs {
 public:
  static constexpr int kCapacity = 100;

  TALVEN_PSF_InterpolationCoeffs();
  TALVEN_PSF_InterpolationCoeffs(const TALVEN_PSF_InterpolationCoeffs&) = delete;
  TALVEN_PSF_InterpolationCoeffs& operator=(const TALVEN_PSF_InterpolationCoeffs&) = delete;

  // Keeps the non-zero coefficients among the n given (a NaN is kept) with their PSF numbers.
  // Fails, keeping nothing, for n above the capacity or a kept PSF number the table lacks.
  bool InterpolatePsfArrayToPixelLocation(const Coords& centre, const TALVEN_PSF_Table* table,
                                          const double* coefficients, const int* indices, int n);

  // The blended PSF centred on working_psf_centre, at working_location. Coordinates in another
  // kind than the centre's (detector pixels for a NOOF table) are converted first. Called for
  // every integration sample of every matrix element: no allocation, no logging, no virtual
  // call; the cost is one OffsetedValue per kept coefficient.
  double PSF(const Coords& working_location, const Coords& working_psf_centre) const {
    if (m_count == 0) return 0.0;
    Coords location = working_location;
    Coords centre = working_psf_centre;
    const WindowMapping& detector = m_table->WindowHierarchy().m_detector;
    if (location.windowtype != m_centre.windowtype) {
      detector.ToParentWindow(working_location, &location, true);
    }
    if (centre.windowtype != m_centre.windowtype) {
      detector.ToParentWindow(working_psf_centre, &centre, true);
    }
    const TALVEN_PSF_Entry* entries = m_table->MeasuredPSFEntries().data();
    const double* coefficients = m_coefficients.ArrayBasePtr();
    const int* indices = m_indices.ArrayBasePtr();
    double sum = 0.0;
    for (int j = 0; j < m_count; ++j) {
      sum += coefficients[j] * entries[indices[j]].OffsetedValue(location, centre);
    }
    return sum;
  }

  int Count() const { return m_count; }
  const Coords& CentreLocation() const { return m_centre; }
  const TALVEN_PSF_Table* Table() const { return m_table; }
  const double* Coefficients() const { return m_coefficients.ArrayBasePtr(); }
  const int* Indices() const { return m_indices.ArrayBasePtr(); }

 private:
  Coords m_centre;
  const TALVEN_PSF_Table* m_table;
  zv1dArray<double> m_coefficients;
  zv1dArray<int> m_indices;
  int m_count;
};
