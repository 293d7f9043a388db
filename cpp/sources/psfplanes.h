// Measured PSFs resampled onto whole-pixel displacements, the tables of the fast matrix engine.
//
// For integer locations and centres TALVEN_PSF_Entry::OffsetedValue depends only on the
// displacement D = location - centre, so each measured PSF is tabulated once per request over the
// displacements a matrix can ask for (TALVEN_PSF_DisplacementPlane), and the values are those of
// OffsetedValue to the last bit. A receiving L1C pixel sums a PSF over its Binx x Biny footprint:
// TALVEN_PSF_FootprintPlanes holds those box sums once per phase of the source pixel inside its own
// L1C pixel, laid out so that the values for all receivers of one L1C row are contiguous.
#pragma once

#include <cstddef>
#include <vector>

// The hot loops are compiled twice, for AVX2 and for the baseline x86-64 instruction set, and the
// loader picks the version the processor supports: the package stays portable without giving up
// wider vectors where they exist.
#if defined(__x86_64__) && defined(__GNUC__)
#define TALVEN_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TALVEN_VECTOR_CLONES
#endif

class TALVEN_PSF_Entry;

class TALVEN_PSF_DisplacementPlane {
 public:
  // Tabulates entry.ValueAtDisplacement(dx, dy) for dx in [dx0, dx1] and dy in [dy0, dy1]. A PSF
  // is zero beyond its own columns, so only the displacements dx at which it can be non-zero are
  // stored: the table's size follows the PSF, however wide the requested range. Throws
  // std::bad_alloc (or std::length_error) when the storage cannot be had.
  void Build(const TALVEN_PSF_Entry& entry, int dx0, int dx1, int dy0, int dy1);

  // The stored displacements along x, [FirstDx(), LastDx()]; empty when FirstDx() > LastDx().
  int FirstDx() const { return m_dx0; }
  int LastDx() const { return m_dx1; }
  int Dy0() const { return m_dy0; }
  // The values for displacement dx, indexed by dy - Dy0(); a column of zeros for a dx in the
  // requested range that is not stored.
  const double* Column(int dx) const {
    if (dx < m_dx0 || dx > m_dx1) return m_zeros.data();
    return m_values.data() + static_cast<ptrdiff_t>(dx - m_dx0) * m_ny;
  }
  double At(int dx, int dy) const { return Column(dx)[dy - m_dy0]; }

 private:
  std::vector<double> m_values;
  std::vector<double> m_zeros;
  int m_dx0 = 0;
  int m_dx1 = -1;
  int m_dy0 = 0;
  ptrdiff_t m_ny = 0;
};

class TALVEN_PSF_FootprintPlanes {
 public:
  // For a source detector pixel at phase (a, b) inside its L1C pixel and a receiving L1C pixel
  // dX columns and dY rows away, the sum of the plane over the receiver's footprint:
  //   sum over u < binx, v < biny of V(dX * binx + u - a, dY * biny + v - b)
  // for |dX| < numx and |dY| < numy. The plane must cover those displacements.
  // Throws std::bad_alloc when the storage cannot be had.
  void Build(const TALVEN_PSF_DisplacementPlane& plane, int binx, int biny, int numx, int numy);

  // The sums for phase (a, b) and column distance dX, indexed by dY + numy - 1.
  const double* Row(int a, int b, int dX) const { return m_values.data() + Offset(a, b, dX); }
  // Row(a, b, dX + 1) - Row(a, b, dX).
  ptrdiff_t RowStride() const { return m_nY; }
  // No NaN or infinity among the sums.
  bool AllFinite() const;
  size_t Bytes() const { return m_values.size() * sizeof(double); }

  // Values after the last row that a reader may load (they are 0).
  static constexpr ptrdiff_t kPadding = 8;

 private:
  ptrdiff_t Offset(int a, int b, int dX) const {
    return ((static_cast<ptrdiff_t>(a) * m_biny + b) * m_nX + (dX + m_numx - 1)) * m_nY;
  }

  std::vector<double> m_values;
  int m_biny = 0;
  int m_numx = 0;
  ptrdiff_t m_nX = 0;
  ptrdiff_t m_nY = 0;
};

// The lower edge correction's light, received in a band above the bottom edge of the science
// window from detector rows below it. For a source kk rows below the edge, at phase i inside its
// L1C column, and a receiving L1C pixel dX columns away in L1C row ry of the band:
//   sum over u < binx, v < biny of V(dX * binx + u - i, ry * biny + v + kk)
// over the science pixels with -band <= dX * binx + u - i < band and ry * biny + v < band_rows.
// The sum depends on kk + ry * biny alone when the band holds whole L1C rows, so that the rows of
// kk and kk + biny overlap and are stored once: the table then holds about rows_below + band_rows
// values per phase and dX instead of rows_below times band_rows / biny.
class TALVEN_PSF_LowerEdgePlanes {
 public:
  // For kk in [1, rows_below] and |dX| <= HalfWidth(). The plane must cover those displacements.
  // Throws std::bad_alloc when the storage cannot be had.
  void Build(const TALVEN_PSF_DisplacementPlane& plane, int binx, int biny, int numx, int band,
             int rows_below, int band_rows);

  int HalfWidth() const { return m_half; }
  // Receiving L1C rows of the band.
  int NumRows() const { return m_nry; }
  // The sums for phase i, kk rows below the edge and dX = -HalfWidth(), indexed by ry.
  const double* Row(int i, int kk) const {
    return m_values.data() + static_cast<ptrdiff_t>(i) * m_ndx * m_stride +
           static_cast<ptrdiff_t>((kk - 1) % m_period) * m_runs + (kk - 1) / m_period;
  }
  // Row for dX + 1 minus Row for dX.
  ptrdiff_t RowStride() const { return m_stride; }

 private:
  std::vector<double> m_values;
  int m_half = 0;
  ptrdiff_t m_ndx = 0;
  int m_nry = 0;
  // Row(i, kk) starts in run (kk - 1) % m_period, (kk - 1) / m_period values in; the runs of one
  // phase and dX, m_runs values each, take m_stride values.
  int m_period = 1;
  ptrdiff_t m_runs = 0;
  ptrdiff_t m_stride = 0;
};

// Footprints of the horizontal stray light engine's receivers, which lie at any column distance
// from a source in the NOOF window. For a source at row phase b inside its L1C row and a receiving
// L1C pixel dY rows away whose first science column lies dx0 + i columns right of the source:
//   sum over the sampled u < binx, v < biny of V(dx0 + i + u, dY * biny + v - b)
// for i in [0, nx) and |dY| < numy; u is sampled when u - step_x / 2 is a multiple of step_x,
// v likewise with step_y, which is the sampling of every L1C pixel when the steps divide the
// binning. A reader steps from footprint i to i + 1, ..., i + run; as in the plane, only the runs
// that reach the PSF are stored, so that the table's size follows the PSF (and the run), however
// wide the NOOF window.
class TALVEN_PSF_SampledFootprintPlanes {
 public:
  // The plane must cover the displacements. Throws std::bad_alloc (or std::length_error) when the
  // storage cannot be had.
  void Build(const TALVEN_PSF_DisplacementPlane& plane, int dx0, ptrdiff_t nx, int binx, int biny,
             int numy, int step_x, int step_y, ptrdiff_t run);

  // The sums for phase b and column distance dx0 + i, indexed by dY + numy - 1, with those of
  // footprints i + 1, ..., i + run (within [0, nx)) following RowStride() apart; null when the
  // PSF reaches none of them, whose sums are then all zero. Rows start on 64-byte boundaries, and
  // kPadding zeros lie before the first and after the last.
  const double* Row(int b, ptrdiff_t i) const {
    if (i < m_first || i > m_last_reached) return nullptr;
    return m_rows + (static_cast<ptrdiff_t>(b) * m_ni + (i - m_first)) * m_stride;
  }
  // A whole number of 64-byte lines, at least 2 * numy - 1 values.
  ptrdiff_t RowStride() const { return m_stride; }

  static constexpr ptrdiff_t kPadding = 16;

 private:
  std::vector<double> m_values;
  const double* m_rows = nullptr;
  // The stored footprints, i in [m_first, m_first + m_ni), of which those the PSF reaches end at
  // m_last_reached; the rest are zeros a run may step into.
  ptrdiff_t m_first = 0;
  ptrdiff_t m_last_reached = -1;
  ptrdiff_t m_ni = 0;
  ptrdiff_t m_nY = 0;
  ptrdiff_t m_stride = 0;
};

// Where `values` (at least count + 2 * padding + 7 doubles) holds count doubles from a 64-byte
// boundary with `padding` values before them.
double* TALVEN_AlignedRows(std::vector<double>* values, ptrdiff_t count, ptrdiff_t padding);
