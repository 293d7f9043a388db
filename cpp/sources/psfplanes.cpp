#include "cpp/sources/psfplanes.h"

#include <algorithm>
#include <cmath>

#include "cpp/sources/psftables.h"

namespace {

// The displacements dx in [dx0, dx1] at which the entry can be non-zero: those with
// centre.x + dx in (-1, columns), give or take one, which evaluates to zero. Computed in double so
// that a huge or NaN centre gives an empty range instead of an overflowing conversion.
void SupportColumns(const TALVEN_PSF_Entry& entry, int dx0, int dx1, int* first, int* last) {
  const double cx = entry.Centre().x;
  const double lo = std::max(std::floor(-1.0 - cx), static_cast<double>(dx0));
  const double hi = std::min(std::ceil(entry.Size().x - cx), static_cast<double>(dx1));
  if (lo <= hi) {
    *first = static_cast<int>(lo);
    *last = static_cast<int>(hi);
  } else {
    *first = 0;
    *last = -1;
  }
}

// out (n values, stride 1) += the sum over u < binx, v < biny of column(u)[i * biny + v], where
// column(u) starts at the displacement of element 0. Internal linkage keeps the clones' dispatcher
// out of the module's exported symbols.
TALVEN_VECTOR_CLONES void SumFootprint(const TALVEN_PSF_DisplacementPlane& plane, int x0, int y0,
                                       int binx, int biny, ptrdiff_t n, double* out) {
  for (int u = 0; u < binx; ++u) {
    const double* first = plane.Column(x0 + u) + (y0 - plane.Dy0());
    for (int v = 0; v < biny; ++v) {
      const double* source = first + v;
      for (ptrdiff_t i = 0; i < n; ++i) out[i] += source[i * biny];
    }
  }
}

}  // namespace

void TALVEN_PSF_DisplacementPlane::Build(const TALVEN_PSF_Entry& entry, int dx0, int dx1, int dy0,
                                         int dy1) {
  SupportColumns(entry, dx0, dx1, &m_dx0, &m_dx1);
  m_dy0 = dy0;
  m_ny = std::max<ptrdiff_t>(ptrdiff_t{dy1} - dy0 + 1, 0);
  const ptrdiff_t nx = ptrdiff_t{m_dx1} - m_dx0 + 1;
  m_zeros.assign(static_cast<size_t>(m_ny), 0.0);
  m_values.assign(static_cast<size_t>(nx * m_ny), 0.0);
  for (ptrdiff_t i = 0; i < nx; ++i) {
    const int dx = static_cast<int>(m_dx0 + i);
    double* column = m_values.data() + i * m_ny;
    for (ptrdiff_t j = 0; j < m_ny; ++j) {
      column[j] = entry.ValueAtDisplacement(dx, static_cast<int>(dy0 + j));
    }
  }
}

void TALVEN_PSF_FootprintPlanes::Build(const TALVEN_PSF_DisplacementPlane& plane, int binx,
                                       int biny, int numx, int numy) {
  m_biny = biny;
  m_numx = numx;
  m_nX = 2 * static_cast<ptrdiff_t>(numx) - 1;
  m_nY = 2 * static_cast<ptrdiff_t>(numy) - 1;
  m_values.assign(static_cast<size_t>(ptrdiff_t{binx} * biny * m_nX * m_nY), 0.0);
  for (int a = 0; a < binx; ++a) {
    for (int b = 0; b < biny; ++b) {
      for (int dX = 1 - numx; dX < numx; ++dX) {
        // Element dY of the row starts at displacement (dX * binx - a, dY * biny - b); the first
        // is dY = 1 - numy.
        SumFootprint(plane, dX * binx - a, (1 - numy) * biny - b, binx, biny, m_nY,
                     m_values.data() + Offset(a, b, dX));
      }
    }
  }
}
