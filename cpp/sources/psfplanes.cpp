#include "cpp/sources/psfplanes.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

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
    entry.ValuesAtDisplacements(static_cast<int>(m_dx0 + i), dy0, m_ny, m_values.data() + i * m_ny);
  }
}

void TALVEN_PSF_FootprintPlanes::Build(const TALVEN_PSF_DisplacementPlane& plane, int binx,
                                       int biny, int numx, int numy) {
  m_biny = biny;
  m_numx = numx;
  m_nX = 2 * static_cast<ptrdiff_t>(numx) - 1;
  m_nY = 2 * static_cast<ptrdiff_t>(numy) - 1;
  // Zeros past the last row, which the vector kernels may read into lanes they discard.
  m_values.assign(static_cast<size_t>(ptrdiff_t{binx} * biny * m_nX * m_nY) + kPadding, 0.0);
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

bool TALVEN_PSF_FootprintPlanes::AllFinite() const {
  return std::all_of(m_values.begin(), m_values.end(), [](double v) { return std::isfinite(v); });
}

void TALVEN_PSF_LowerEdgePlanes::Build(const TALVEN_PSF_DisplacementPlane& plane, int binx,
                                       int biny, int numx, int band, int rows_below,
                                       int band_rows) {
  // In 64 bits: the band's half-width is the caller's option, unchecked.
  const int64_t half_band = band;
  m_half = static_cast<int>(std::min<int64_t>(half_band / binx + 1, numx - 1));
  m_ndx = 2 * static_cast<ptrdiff_t>(m_half) + 1;
  m_nry = (band_rows + biny - 1) / biny;
  // Value j of run r sums the rows from s = r + j * biny on, s = kk - 1 + ry * biny; without whole
  // L1C rows in the band, the last row's sum stops early, and each kk keeps a run of its own.
  const bool shared = band_rows % biny == 0;
  m_period = shared ? biny : std::max(rows_below, 1);
  m_runs = std::max<ptrdiff_t>(shared ? (rows_below - 1) / biny + m_nry : m_nry, 0);
  m_stride = m_period * m_runs;
  const ptrdiff_t last = rows_below - 1 + static_cast<ptrdiff_t>(m_nry - 1) * biny;
  m_values.assign(static_cast<size_t>(binx * m_ndx * m_stride), 0.0);
  double* out = m_values.data();
  for (int i = 0; i < binx; ++i) {
    for (int dX = -m_half; dX <= m_half; ++dX, out += m_stride) {
      // The columns dx = dX * binx + u - i of the footprint that lie inside the band.
      const int64_t first = int64_t{dX} * binx - i;
      const int u0 = static_cast<int>(std::clamp<int64_t>(-half_band - first, 0, binx));
      const int u1 = static_cast<int>(std::clamp<int64_t>(half_band - first, 0, binx));
      for (int u = u0; u < u1; ++u) {
        const double* column = plane.Column(static_cast<int>(first) + u) - plane.Dy0();
        for (int r = 0; r < m_period && r < rows_below; ++r) {
          double* sums = out + static_cast<ptrdiff_t>(r) * m_runs;
          for (ptrdiff_t j = 0; j < m_runs; ++j) {
            // The receiving rows y = ry * biny + v of the sum, for kk = s - ry * biny + 1.
            const ptrdiff_t s = r + j * biny;
            if (s > last) break;
            const ptrdiff_t y0 = shared ? 0 : j * biny;
            double sum = sums[j];
            for (ptrdiff_t y = y0; y < y0 + biny && y < band_rows; ++y)
              sum += column[s - y0 + y + 1];
            sums[j] = sum;
          }
        }
      }
    }
  }
}

double* TALVEN_AlignedRows(std::vector<double>* values, ptrdiff_t count, ptrdiff_t padding) {
  values->assign(static_cast<size_t>(count + 2 * padding + 7), 0.0);
  const uintptr_t first = reinterpret_cast<uintptr_t>(values->data() + padding);
  return values->data() + padding + static_cast<ptrdiff_t>((64 - first % 64) % 64 / sizeof(double));
}

void TALVEN_PSF_SampledFootprintPlanes::Build(const TALVEN_PSF_DisplacementPlane& plane, int dx0,
                                              ptrdiff_t nx, int binx, int biny, int numy,
                                              int step_x, int step_y, ptrdiff_t run) {
  m_nY = 2 * static_cast<ptrdiff_t>(numy) - 1;
  m_stride = (m_nY + 7) / 8 * 8;
  // Footprint i reads the plane's columns dx0 + i .. dx0 + i + binx - 1.
  const ptrdiff_t reached0 = std::max<ptrdiff_t>(ptrdiff_t{plane.FirstDx()} - dx0 - binx + 1, 0);
  const ptrdiff_t reached1 = std::min<ptrdiff_t>(ptrdiff_t{plane.LastDx()} - dx0, nx - 1);
  m_first = 0;
  m_last_reached = -1;
  m_ni = 0;
  if (plane.FirstDx() <= plane.LastDx() && reached0 <= reached1) {
    m_first = std::max<ptrdiff_t>(reached0 - run, 0);
    m_last_reached = reached1;
    m_ni = std::min(reached1 + run, nx - 1) - m_first + 1;
  }
  double* rows = TALVEN_AlignedRows(&m_values, biny * m_ni * m_stride, kPadding);
  m_rows = rows;
  for (int b = 0; b < biny; ++b) {
    for (ptrdiff_t i = std::max(m_first, reached0); i <= m_last_reached; ++i) {
      double* out = rows + (b * m_ni + (i - m_first)) * m_stride;
      for (int u = step_x / 2; u < binx; u += step_x) {
        // Element dY of the row reads displacement dY * biny + v - b; the first is dY = 1 - numy.
        const double* column =
            plane.Column(dx0 + static_cast<int>(i) + u) - plane.Dy0() + (1 - numy) * biny - b;
        for (ptrdiff_t k = 0; k < m_nY; ++k) {
          for (int v = step_y / 2; v < biny; v += step_y) out[k] += column[k * biny + v];
        }
      }
    }
  }
}
