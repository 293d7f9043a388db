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
