// Brute-force reference matrices, computed straight from the defining sums and written without
// the library's geometry, PSF or column code: every in-field element (r, s) is summed on its own
// over the detector pixels of the two L1C pixels, the quadratic weights come from averaging the
// Lagrange basis over a detector row, and the horizontal samples are picked by membership tests.
// Elements are laid out (receiver r, source s) at r + s * N. Small problems only.
#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

#include "matrix_test_problem.h"

namespace brute_force {

// Measured PSF k moved so that its centre pixel lands on the centre pixel of the blend, read at a
// whole-pixel displacement (dx, dy) from there. The centre (X - 0.5, Y - 0.5) may be fractional;
// then the value is bilinear in the cell that the sample position truncates (toward zero) into,
// and 0 when that cell is not wholly inside the PSF.
inline double ShiftedPsf(const SyntheticPsfs& p, int k, int dx, int dy) {
  const double cx = p.locations[3 * k + 1] - 0.5;
  const double cy = p.locations[3 * k] - 0.5;
  const double a = cx + dx;
  const double c = cy + dy;
  const int col = static_cast<int>(std::trunc(a));
  const int row = static_cast<int>(std::trunc(c));
  if (col < 0 || col >= p.columns || row < 0 || row >= p.rows) return 0.0;
  const std::vector<double>& v = p.samples[k];
  auto sample = [&](int y, int x) { return v[y + x * p.rows]; };
  if (cx == std::trunc(cx) && cy == std::trunc(cy)) return sample(row, col);
  if (col + 1 >= p.columns || row + 1 >= p.rows) return 0.0;
  const double fx = a - col;
  const double fy = c - row;
  return (1 - fx) * (1 - fy) * sample(row, col) + fx * (1 - fy) * sample(row, col + 1) +
         (1 - fx) * fy * sample(row + 1, col) + fx * fy * sample(row + 1, col + 1);
}

// The blended PSF centred on table pixel (cx, cy), read at table pixel (x, y).
inline double BlendedPsf(const SyntheticPsfs& p, int cx, int cy, int x, int y) {
  double sum = 0.0;
  for (int k = 0; k < p.ncoef; ++k) {
    const int at = p.Position(k, cx, cy);
    sum += p.coefficients[at] * ShiftedPsf(p, p.indices[at], x - cx, y - cy);
  }
  return sum;
}

// Weights of the previous, own and next L1C row for a source detector row [c, c + 1] (in detector
// rows from the L1C pixel's centre, pixel height f): the quadratic Lagrange basis through the
// three pixel centres, t = -1, 0, 1, averaged over the row, with t = u / f.
inline void QuadraticWeights(double c, double f, double w[3]) {
  const double mean_t = (c + 0.5) / f;
  const double mean_t2 = ((c + 1) * (c + 1) * (c + 1) - c * c * c) / (3.0 * f * f);
  w[0] = 0.5 * (mean_t2 - mean_t);
  w[1] = 1.0 - mean_t2;
  w[2] = 0.5 * (mean_t2 + mean_t);
}

struct LowerEdge {
  bool on = false;
  int below = 0;
  int above = 0;
};

// Sum of the PSF centred on detector pixel (sx, sy) over the detector pixels of L1C pixel
// (rx, ry) for which `keep(science x, science y)` holds.
template <typename Keep>
double LightOnL1cPixel(const TALVEN_WindowLayout& w, const SyntheticPsfs& p, int sx, int sy, int rx,
                       int ry, Keep keep) {
  double sum = 0.0;
  for (int i = rx * w.Binx(); i < (rx + 1) * w.Binx(); ++i) {
    for (int j = ry * w.Biny(); j < (ry + 1) * w.Biny(); ++j) {
      if (keep(i, j)) sum += BlendedPsf(p, sx, sy, w.SOFSx + i, w.SOFSy + j);
    }
  }
  return sum;
}

// The in-field matrix with a PSF table over the detector window.
inline std::vector<double> InfieldMatrix(const TALVEN_WindowLayout& w, const SyntheticPsfs& p,
                                         bool simpson, const LowerEdge& edge) {
  const int n = w.KK();
  const int bx = w.Binx();
  const int by = w.Biny();
  std::vector<double> m(static_cast<size_t>(n) * n, 0.0);
  auto everywhere = [](int, int) { return true; };
  for (int r = 0; r < n; ++r) {
    const int rx = r / w.Ky;
    const int ry = r % w.Ky;
    for (int s = 0; s < n; ++s) {
      const int sx = s / w.Ky;
      const int sy = s % w.Ky;
      double sum = 0.0;
      // Source L1C rows whose light can be booked in column s: its own and its two neighbours.
      for (int row = std::max(sy - 1, 0); row <= std::min(sy + 1, w.Ky - 1); ++row) {
        const int booked_rows[3] = {std::max(row - 1, 0), row, std::min(row + 1, w.Ky - 1)};
        for (int b = 0; b < by; ++b) {
          double weights[3] = {0.0, 1.0, 0.0};
          if (simpson) QuadraticWeights(b - by / 2.0, by, weights);
          double weight = 0.0;
          for (int q = 0; q < 3; ++q) {
            if (booked_rows[q] == sy) weight += weights[q];
          }
          if (weight == 0.0) continue;
          for (int a = 0; a < bx; ++a) {
            sum += weight * LightOnL1cPixel(w, p, w.SOFSx + sx * bx + a, w.SOFSy + row * by + b, rx,
                                            ry, everywhere);
          }
        }
      }
      if (edge.on && sy == 0) {
        for (int a = 0; a < bx; ++a) {
          const int s_column = sx * bx + a;  // science column of the source
          auto in_band = [&](int i, int j) {
            return i >= s_column - edge.above && i < s_column + edge.above && j < edge.above;
          };
          for (int k = 1; k <= edge.below; ++k) {
            sum += LightOnL1cPixel(w, p, w.SOFSx + s_column, w.SOFSy - k, rx, ry, in_band);
          }
        }
      }
      m[r + static_cast<size_t>(s) * n] = sum / (bx * by);
    }
  }
  return m;
}

// The horizontal stray light matrix with a PSF table over the NOOF window. `vignetting` holds
// NOOFy rows of NOOFx factors, or is empty for factor 1.
inline std::vector<double> HorizontalMatrix(const TALVEN_WindowLayout& w, const SyntheticPsfs& p,
                                            const std::vector<double>& vignetting,
                                            const HorizontalSteps& d) {
  const int n = w.KK();
  std::vector<double> m(static_cast<size_t>(n) * n, 0.0);
  const int x0 = w.DOFSx + w.SOFSx;  // NOOF column of science column 0
  const int y0 = w.DOFSy + w.SOFSy;
  const int x1 = x0 + w.Sx;
  auto sampled = [](int offset, int step) { return offset % step == step / 2; };
  for (int y = 0; y < w.Sy; ++y) {
    if (!sampled(y, d.ny)) continue;
    const int l1c_row = y / w.Biny();
    for (int x = 0; x < w.NOOFx; ++x) {
      int target;
      if (x < x0 && sampled(x0 - 1 - x, d.nx)) {
        target = l1c_row;
      } else if (x >= x1 && sampled(x - x1, d.nx)) {
        target = ((w.Sx - 1) / w.Binx()) * w.Ky + l1c_row;
      } else {
        continue;
      }
      double weight = 1.0 * d.sx * d.sy * d.nx * d.ny;
      if (!vignetting.empty()) weight *= vignetting[(y0 + y) * w.NOOFx + x];
      if (!std::isfinite(weight) || weight == 0.0) continue;
      for (int i = 0; i < w.Sx; ++i) {
        for (int j = 0; j < w.Sy; ++j) {
          if (!sampled(i, d.sx) || !sampled(j, d.sy)) continue;
          if (i / w.Binx() >= w.Kx || j / w.Biny() >= w.Ky) continue;
          const int r = (i / w.Binx()) * w.Ky + j / w.Biny();
          m[r + static_cast<size_t>(target) * n] +=
              weight * BlendedPsf(p, x, y0 + y, x0 + i, y0 + j);
        }
      }
    }
  }
  for (double& v : m) v /= w.Binx() * w.Biny();
  return m;
}

}  // namespace brute_force
