// Small matrix problems for the generator tests: window parameters, measured PSFs with their
// centres, per-pixel interpolation tables, and runners that feed them to the library's generator
// the way the entry points do.
#pragma once

#include <omp.h>

#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/thread_limit.h"
#include "cpp/sources/window_layout.h"

// The tests' problems are far smaller than a thread's worth of work: they run on every thread
// they ask for, so that the thread counts they compare are the ones that run.
inline const bool kTestsUseEveryThread = (TALVEN_SetWorkPerThread(1), true);

// A science window of Kx x Ky L1C pixels at the given binning, SOFS into a detector window that
// has `margin` pixels around it, inside a NOOF window with `noof_margin` pixels around that.
inline TALVEN_WindowLayout MakeWindows(int kx, int ky, int lbinx, int lbiny, int kbinx, int kbiny,
                                       int margin, int noof_margin) {
  TALVEN_WindowLayout w;
  w.Kx = kx;
  w.Ky = ky;
  w.KBINx = kbinx;
  w.KBINy = kbiny;
  w.LBINx = lbinx;
  w.LBINy = lbiny;
  w.Lx = kx * kbinx;
  w.Ly = ky * kbiny;
  w.Sx = w.Lx * lbinx;
  w.Sy = w.Ly * lbiny;
  w.SOFSx = margin;
  w.SOFSy = margin;
  w.Dx = w.Sx + 2 * margin;
  w.Dy = w.Sy + 2 * margin;
  w.DOFSx = noof_margin;
  w.DOFSy = noof_margin;
  w.NOOFx = w.Dx + 2 * noof_margin;
  w.NOOFy = w.Dy + 2 * noof_margin;
  w.NOFSx = 1;
  w.NOFSy = 1;
  w.FULLCONVx = w.NOOFx + 2;
  w.FULLCONVy = w.NOOFy + 2;
  return w;
}

// Measured PSFs (rows fastest: sample (row y, column x) at y + x * rows), their centres as
// (Y, X, kind) triples, and interpolation tables over a table window of (table_nx, table_ny)
// pixels, laid out (k, y, x) with k fastest.
struct TestPsfs {
  int rows = 0;
  int columns = 0;
  std::vector<std::vector<double>> samples;
  std::vector<double> locations;
  int table_nx = 0;
  int table_ny = 0;
  int ncoef = 0;
  std::vector<double> coefficients;
  std::vector<int> indices;

  int Position(int k, int x, int y) const { return k + ncoef * (y + table_ny * x); }
};

// Random positive PSFs with the given centres (Y, X as stored, so non-whole centres come from
// values that are not n + 0.5), and random blends of them for every table pixel, some
// coefficients zero.
inline TestPsfs MakeRandomPsfs(unsigned seed, int rows, int columns,
                               const std::vector<std::pair<double, double>>& centres_yx,
                               int table_nx, int table_ny, int ncoef) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  TestPsfs p;
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

// One PSF of the given size, zero except `kernel` (kh rows x kw columns, row fastest) placed with
// its first sample at (row0, col0); every table pixel uses it with coefficient 1.
inline TestPsfs MakeSinglePsf(int rows, int columns, double centre_y, double centre_x,
                              const std::vector<double>& kernel, int kh, int kw, int row0, int col0,
                              int table_nx, int table_ny) {
  TestPsfs p;
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

// A problem's PSF inputs as a request takes them; `pointers` receives the PSF pointers and must
// outlive the result.
inline TALVEN_PsfInputs RequestPsfInputs(TestPsfs& p, std::vector<const double*>* pointers) {
  pointers->clear();
  for (const auto& s : p.samples) pointers->push_back(s.data());
  const int m = static_cast<int>(pointers->size());
  return {pointers->data(),   m,          p.columns, p.rows,
          p.locations.data(), m,          3,         p.coefficients.data(),
          p.table_nx,         p.table_ny, p.ncoef,   p.indices.data(),
          p.table_nx,         p.table_ny, p.ncoef};
}

struct GeneratorOptions {
  bool simpson = false;
  bool lower_edge = false;
  int rows_below = 0;
  int rows_above = 0;
  bool diagnostic = false;
  int threads = 2;
};

// Views over a problem's PSF inputs, made as the entry points make them.
class PsfViews {
 public:
  explicit PsfViews(TestPsfs& p)
      : m_locations(3, p.samples.size(), p.locations.data()),
        m_coefficients(p.ncoef, p.table_ny, p.table_nx, p.coefficients.data()),
        m_indices(p.ncoef, p.table_ny, p.table_nx, p.indices.data()) {
    for (const auto& s : p.samples) m_pointers.push_back(s.data());
  }
  bool Initialize(TALVEN_DeconvolutionMatrixGenerator* g, const TestPsfs& p,
                  WindowMappingType kind) {
    return g->PSF_Table().Initialize(m_pointers.data(), static_cast<int>(m_pointers.size()),
                                     p.columns, p.rows, kind, g->WindowHierachy(), m_locations,
                                     m_coefficients, m_indices);
  }

 private:
  std::vector<const double*> m_pointers;
  zv2dArray<double> m_locations;
  zv3dArray<double> m_coefficients;
  zv3dArray<int> m_indices;
};

inline std::unique_ptr<TALVEN_DeconvolutionMatrixGenerator> NewGenerator(
    const TALVEN_WindowLayout& w, double* storage, int size, const GeneratorOptions& o) {
  return std::make_unique<TALVEN_DeconvolutionMatrixGenerator>(w, storage, size, o.diagnostic,
                                                               o.rows_below, o.rows_above);
}

struct BuildResult {
  bool ok = false;
  std::vector<double> matrix;  // element (receiver r, source s) at r + s * N
};

// The in-field matrix from the library, with a detector-window PSF table. The matrix starts
// filled with a non-zero pattern so that a missing zero-fill shows.
inline BuildResult RunInfield(const TALVEN_WindowLayout& w, TestPsfs& p,
                              const GeneratorOptions& o) {
  BuildResult result;
  result.matrix.assign(static_cast<size_t>(w.KK()) * w.KK(), 7.0);
  auto g = NewGenerator(w, result.matrix.data(), w.KK(), o);
  g->set_option_create_lower_edge_adjustment(o.lower_edge);
  g->set_option_use_simpsons(o.simpson);
  PsfViews views(p);
  omp_set_dynamic(0);
  omp_set_num_threads(o.threads);
  result.ok = views.Initialize(g.get(), p, WindowMappingType::WINDOW_DETECTOR) &&
              g->build_transfer_function(&g->OutputMatrix());
  return result;
}

struct HorizontalSteps {
  int ny = 1, nx = 1, sy = 1, sx = 1;
};

// The horizontal stray light matrix from the library, with a NOOF-window PSF table. `vignetting`
// holds vx * vy factors (NOOF row y, column x at y * vx + x) and may be empty with vx = vy = 0.
inline BuildResult RunHorizontal(const TALVEN_WindowLayout& w, TestPsfs& p,
                                 std::vector<double>& vignetting, int vx, int vy,
                                 const HorizontalSteps& d, bool diagnostic = false,
                                 int threads = 2) {
  BuildResult result;
  result.matrix.assign(static_cast<size_t>(w.KK()) * w.KK(), 7.0);
  GeneratorOptions o;
  o.diagnostic = diagnostic;
  auto g = NewGenerator(w, result.matrix.data(), w.KK(), o);
  PsfViews views(p);
  zv2dArray<double> vignetting_view(vx, vy, vignetting.data());
  omp_set_dynamic(0);
  omp_set_num_threads(threads);
  result.ok =
      views.Initialize(g.get(), p, WindowMappingType::WINDOW_NOOF) &&
      g->build_horizontal_stray_light(&g->OutputMatrix(), vignetting_view, d.ny, d.nx, d.sy, d.sx);
  return result;
}
