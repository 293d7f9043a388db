#include "cpp/synthetic/synthetic_instrument.h"

#include <algorithm>
#include <cmath>
#include <random>

TALVEN_WindowLayout SyntheticWindows(int kx, int ky, int lbinx, int lbiny, int kbinx, int kbiny,
                                     const SyntheticMargins& m) {
  const int lx = kx * kbinx, ly = ky * kbiny;
  const int sx = lx * lbinx, sy = ly * lbiny;
  const int dx = sx + m.detector_x, dy = sy + m.detector_y;
  const int noofx = dx + m.noof_x, noofy = dy + m.noof_y;
  const int fullx = noofx + m.fullconv, fully = noofy + m.fullconv;
  return {fullx,    fully, m.nofs, m.nofs, noofx, noofy, m.dofs_x, m.dofs_y, dx,    dy, m.sofs_x,
          m.sofs_y, sx,    sy,     lbinx,  lbiny, lx,    ly,       kbinx,    kbiny, kx, ky};
}

TALVEN_WindowLayout MakeWindows(int kx, int ky, int lbinx, int lbiny, int kbinx, int kbiny,
                                int margin, int noof_margin) {
  const SyntheticMargins margins{
      margin,      margin,          2 * margin,      2 * margin, noof_margin,
      noof_margin, 2 * noof_margin, 2 * noof_margin, 1,          2};
  return SyntheticWindows(kx, ky, lbinx, lbiny, kbinx, kbiny, margins);
}

TALVEN_WindowLayout BenchmarkWindows(int kx, int ky, int lbinx, int lbiny) {
  const SyntheticMargins margins{4, 46, 8, 50, 64, 0, 128, 0, 0, 0};
  return SyntheticWindows(kx, ky, lbinx, lbiny, 1, 1, margins);
}

SyntheticPsfs MakeRandomPsfs(unsigned seed, int rows, int columns,
                             const std::vector<std::pair<double, double>>& centres_yx, int table_nx,
                             int table_ny, int ncoef) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  SyntheticPsfs p;
  p.rows = rows;
  p.columns = columns;
  for (const auto& centre : centres_yx) {
    std::vector<double> s(static_cast<size_t>(rows) * columns);
    for (double& v : s) v = unit(rng);
    p.samples.push_back(s);
    p.locations.insert(p.locations.end(), {centre.first, centre.second, 3.0});
  }
  p.table_nx = table_nx;
  p.table_ny = table_ny;
  p.ncoef = ncoef;
  const int numpsf = static_cast<int>(centres_yx.size());
  p.coefficients.resize(static_cast<size_t>(ncoef) * table_nx * table_ny);
  p.indices.resize(p.coefficients.size());
  for (size_t i = 0; i < p.coefficients.size(); ++i) {
    p.coefficients[i] = unit(rng) < 0.25 ? 0.0 : unit(rng);
    p.indices[i] = static_cast<int>(rng() % numpsf);
  }
  return p;
}

SyntheticPsfs MakeSinglePsf(int rows, int columns, double centre_y, double centre_x,
                            const std::vector<double>& kernel, int kh, int kw, int row0, int col0,
                            int table_nx, int table_ny) {
  SyntheticPsfs p;
  p.rows = rows;
  p.columns = columns;
  std::vector<double> s(static_cast<size_t>(rows) * columns, 0.0);
  for (int x = 0; x < kw; ++x) {
    for (int y = 0; y < kh; ++y) s[(row0 + y) + (col0 + x) * rows] = kernel[y + x * kh];
  }
  p.samples.push_back(s);
  p.locations = {centre_y, centre_x, 3.0};
  p.table_nx = table_nx;
  p.table_ny = table_ny;
  p.ncoef = 1;
  p.coefficients.assign(static_cast<size_t>(table_nx) * table_ny, 1.0);
  p.indices.assign(p.coefficients.size(), 0);
  return p;
}

namespace {

// Measured PSF m of the smooth set, normalised to a sum of 1, and its centre.
void AddSmoothPsf(const TALVEN_WindowLayout& w, int m, SyntheticPsfs* p) {
  const int shape = m % 4;
  const double cx = w.Sx + 0.3 + 0.2 * shape, cy = w.Sy + 0.6 - 0.1 * shape;
  const double core = 1.2 + 0.2 * shape;
  std::vector<double> s(static_cast<size_t>(p->rows) * p->columns);
  double total = 0.0;
  for (int x = 0; x < p->columns; ++x) {
    for (int y = 0; y < p->rows; ++y) {
      const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      const double v = std::exp(-0.5 * r2 / (core * core)) + 1e-3 / (1.0 + r2 / 25.0);
      s[y + static_cast<size_t>(x) * p->rows] = v;
      total += v;
    }
  }
  for (double& v : s) v /= total;
  p->samples.push_back(std::move(s));
  p->locations.insert(p->locations.end(), {cy + 0.5, cx + 0.5, 3.0});
}

// Position of a pixel of a window n pixels wide on a grid of g points: its cell i and the
// fraction inside it.
double GridCell(int x, int n, int g, int* i) {
  const double t = n > 1 ? x / (n - 1.0) * (g - 1) : 0.0;
  *i = std::min(static_cast<int>(t), g - 2);
  return t - *i;
}

}  // namespace

SyntheticPsfs MakeSmoothPsfs(const TALVEN_WindowLayout& w, int table_nx, int table_ny, int g) {
  SyntheticPsfs p;
  p.columns = 2 * w.Sx;
  p.rows = 2 * w.Sy;
  for (int m = 0; m < g * g; ++m) AddSmoothPsf(w, m, &p);
  p.table_nx = table_nx;
  p.table_ny = table_ny;
  p.ncoef = 4;
  p.coefficients.resize(4 * static_cast<size_t>(table_nx) * table_ny);
  p.indices.resize(p.coefficients.size());
  for (int x = 0; x < table_nx; ++x) {
    for (int y = 0; y < table_ny; ++y) {
      int i = 0, j = 0;
      const double tx = GridCell(x, table_nx, g, &i), ty = GridCell(y, table_ny, g, &j);
      const double weights[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
      const int psf[4] = {i + g * j, i + 1 + g * j, i + g * (j + 1), i + 1 + g * (j + 1)};
      for (int k = 0; k < 4; ++k) {
        p.coefficients[p.Position(k, x, y)] = weights[k];
        p.indices[p.Position(k, x, y)] = psf[k];
      }
    }
  }
  return p;
}

TALVEN_PsfInputs RequestPsfInputs(SyntheticPsfs& p, std::vector<const double*>* pointers) {
  pointers->clear();
  for (const auto& s : p.samples) pointers->push_back(s.data());
  const int m = static_cast<int>(pointers->size());
  return {pointers->data(),   m,          p.columns, p.rows,
          p.locations.data(), m,          3,         p.coefficients.data(),
          p.table_nx,         p.table_ny, p.ncoef,   p.indices.data(),
          p.table_nx,         p.table_ny, p.ncoef};
}

PsfViews::PsfViews(SyntheticPsfs& p)
    : m_locations(3, p.samples.size(), p.locations.data()),
      m_coefficients(p.ncoef, p.table_ny, p.table_nx, p.coefficients.data()),
      m_indices(p.ncoef, p.table_ny, p.table_nx, p.indices.data()) {
  for (const auto& s : p.samples) m_pointers.push_back(s.data());
}

bool PsfViews::Initialize(TALVEN_DeconvolutionMatrixGenerator* g, const SyntheticPsfs& p,
                          WindowMappingType kind) {
  return g->PSF_Table().Initialize(m_pointers.data(), static_cast<int>(m_pointers.size()),
                                   p.columns, p.rows, kind, g->WindowHierachy(), m_locations,
                                   m_coefficients, m_indices);
}
