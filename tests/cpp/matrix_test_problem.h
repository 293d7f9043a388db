// Runners that feed the synthetic instruments of the generator tests to the library's generator
// the way the entry points do.
#pragma once

#include <omp.h>

#include <memory>
#include <vector>

#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/thread_limit.h"
#include "cpp/sources/window_layout.h"
#include "cpp/synthetic/synthetic_instrument.h"

// The tests' problems are far smaller than a thread's worth of work: they run on every thread
// they ask for, so that the thread counts they compare are the ones that run.
inline const bool kTestsUseEveryThread = (TALVEN_SetWorkPerThread(1), true);

struct GeneratorOptions {
  bool simpson = false;
  bool lower_edge = false;
  int rows_below = 0;
  int rows_above = 0;
  bool diagnostic = false;
  int threads = 2;
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
inline BuildResult RunInfield(const TALVEN_WindowLayout& w, SyntheticPsfs& p,
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
inline BuildResult RunHorizontal(const TALVEN_WindowLayout& w, SyntheticPsfs& p,
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
