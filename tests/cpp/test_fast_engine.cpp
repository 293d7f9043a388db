// The fast engine against the element-by-element reference engine: the same matrices within
// rounding on seeded random instruments, the same log lines, and the same bits whatever the
// number of threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/weighted_row_sums.h"
#include "matrix_test_problem.h"

namespace {

struct Instrument {
  TALVEN_WindowLayout windows;
  SyntheticPsfs psfs;
};

// Random windows of the given binnings with room for `rows_below` rows under the science window,
// random positive PSFs with non-whole centres, some coefficients zero.
Instrument RandomInstrument(unsigned seed, int kx, int ky, int lbinx, int lbiny, int kbinx,
                            int kbiny, int margin, int noof_margin, bool noof_table) {
  Instrument inst;
  inst.windows = MakeWindows(kx, ky, lbinx, lbiny, kbinx, kbiny, margin, noof_margin);
  const TALVEN_WindowLayout& w = inst.windows;
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> frac(0.05, 0.95);
  const int rows = w.Sy + 3, columns = w.Sx + 4;
  std::vector<std::pair<double, double>> centres;
  for (int m = 0; m < 3; ++m) centres.push_back({rows / 2 + frac(rng), columns / 2 + frac(rng)});
  centres.push_back({rows / 2 + 0.5, columns / 2 + 0.5});  // one whole centre
  inst.psfs = MakeRandomPsfs(seed, rows, columns, centres, noof_table ? w.NOOFx : w.Dx,
                             noof_table ? w.NOOFy : w.Dy, 4);
  return inst;
}

std::vector<double> Infield(Instrument& inst, const GeneratorOptions& o, TALVEN_MatrixEngine engine,
                            bool* ok) {
  const TALVEN_WindowLayout& w = inst.windows;
  std::vector<double> matrix(static_cast<size_t>(w.KK()) * w.KK(), 7.0);
  auto g = NewGenerator(w, matrix.data(), w.KK(), o);
  g->set_option_create_lower_edge_adjustment(o.lower_edge);
  g->set_option_use_simpsons(o.simpson);
  g->set_engine(engine);
  PsfViews views(inst.psfs);
  omp_set_dynamic(0);
  omp_set_num_threads(o.threads);
  *ok = views.Initialize(g.get(), inst.psfs, WindowMappingType::WINDOW_DETECTOR) &&
        g->build_transfer_function(&g->OutputMatrix());
  return matrix;
}

std::vector<double> Horizontal(Instrument& inst, std::vector<double>& vignetting, int vx, int vy,
                               const HorizontalSteps& d, TALVEN_MatrixEngine engine, int threads,
                               bool* ok) {
  const TALVEN_WindowLayout& w = inst.windows;
  std::vector<double> matrix(static_cast<size_t>(w.KK()) * w.KK(), 7.0);
  GeneratorOptions o;
  auto g = NewGenerator(w, matrix.data(), w.KK(), o);
  g->set_engine(engine);
  PsfViews views(inst.psfs);
  zv2dArray<double> vignetting_view(vx, vy, vignetting.data());
  omp_set_dynamic(0);
  omp_set_num_threads(threads);
  *ok =
      views.Initialize(g.get(), inst.psfs, WindowMappingType::WINDOW_NOOF) &&
      g->build_horizontal_stray_light(&g->OutputMatrix(), vignetting_view, d.ny, d.nx, d.sy, d.sx);
  return matrix;
}

// max |a - b| <= 1e-12 max |b|, NaNs in the same places.
::testing::AssertionResult AgreeWithReference(const std::vector<double>& fast,
                                              const std::vector<double>& reference) {
  double scale = 0.0, worst = 0.0;
  for (double v : reference) {
    if (std::isfinite(v)) scale = std::max(scale, std::fabs(v));
  }
  for (size_t i = 0; i < fast.size(); ++i) {
    if (std::isnan(reference[i]) != std::isnan(fast[i])) {
      return ::testing::AssertionFailure() << "NaN mismatch at " << i;
    }
    if (!std::isnan(reference[i])) worst = std::max(worst, std::fabs(fast[i] - reference[i]));
  }
  if (scale == 0.0) return ::testing::AssertionFailure() << "the reference matrix is all zero";
  if (worst <= 1e-12 * scale) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "max difference " << worst << " for max |reference| " << scale;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

std::vector<std::string> SortedLines(CaptureLog& log) {
  std::vector<std::string> lines = log.lines();
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A build with the log lines it wrote, sorted (workers write in no fixed order).
struct LoggedRun {
  bool ok = false;
  std::vector<double> matrix;
  std::vector<std::string> lines;
};

LoggedRun LoggedInfield(Instrument& inst, const GeneratorOptions& o, TALVEN_MatrixEngine engine) {
  CaptureLog log;
  LoggedRun run;
  run.matrix = Infield(inst, o, engine, &run.ok);
  run.lines = SortedLines(log);
  return run;
}

// ---------------------------------------------------------------------------------------------
// In-field matrix.

struct InfieldCase {
  int kx, ky, lbinx, lbiny, kbinx, kbiny;
  bool simpson, lower_edge;
  int rows_below, rows_above;
};

class FastInfield : public ::testing::TestWithParam<InfieldCase> {};

// The fast engine on 1, 2 and 3 threads: the same bits each time, and the reference's matrix
// within rounding.
void ExpectFastMatchesReference(Instrument& inst, GeneratorOptions o) {
  bool ok_ref = false, ok[3] = {false, false, false};
  CaptureLog log;
  const auto reference = Infield(inst, o, TALVEN_MatrixEngine::kReference, &ok_ref);
  std::vector<double> fast[3];
  for (int t = 0; t < 3; ++t) {
    o.threads = t + 1;
    fast[t] = Infield(inst, o, TALVEN_MatrixEngine::kFast, &ok[t]);
  }
  ASSERT_TRUE(ok_ref && ok[0] && ok[1] && ok[2]);
  EXPECT_TRUE(AgreeWithReference(fast[1], reference));
  EXPECT_TRUE(SameBits(fast[0], fast[1]));
  EXPECT_TRUE(SameBits(fast[0], fast[2]));
}

TEST_P(FastInfield, AgreesWithTheReferenceAndIsBitReproducible) {
  const InfieldCase c = GetParam();
  Instrument inst = RandomInstrument(17u + c.kx * 31u + c.lbiny, c.kx, c.ky, c.lbinx, c.lbiny,
                                     c.kbinx, c.kbiny, std::max(c.rows_below, 1) + 1, 2, false);
  GeneratorOptions o;
  o.simpson = c.simpson;
  o.lower_edge = c.lower_edge;
  o.rows_below = c.rows_below;
  o.rows_above = c.rows_above;
  ExpectFastMatchesReference(inst, o);
}

INSTANTIATE_TEST_SUITE_P(
    SchemesBinningsAndLowerEdge, FastInfield,
    ::testing::Values(InfieldCase{4, 5, 1, 1, 1, 1, false, false, 0, 0},
                      InfieldCase{4, 5, 1, 1, 1, 1, true, false, 0, 0},
                      InfieldCase{3, 4, 2, 3, 1, 1, true, true, 4, 3},
                      InfieldCase{3, 4, 2, 3, 1, 1, false, true, 4, 3},
                      InfieldCase{5, 3, 3, 1, 1, 1, true, true, 2, 20},  // band clipped both sides
                      InfieldCase{2, 6, 1, 3, 3, 1, true, true, 3, 5},   // odd binnings
                      InfieldCase{3, 4, 2, 3, 1, 1, true, true, 2, 6},   // rows below < Biny
                      InfieldCase{4, 1, 2, 2, 1, 1, true, true, 2, 2},   // a single L1C row
                      InfieldCase{6, 4, 1, 2, 2, 1, true, true, 0, 4},
                      InfieldCase{3, 3, 2, 2, 1, 1, true, true, -2, 3},
                      // Rows summed in blocks: heights off the block and vector sizes, a
                      // single L1C column, one detector pixel per L1C pixel.
                      InfieldCase{1, 40, 1, 1, 1, 1, true, true, 3, 5},
                      InfieldCase{1, 40, 1, 1, 1, 1, false, true, 3, 5},
                      InfieldCase{3, 33, 2, 1, 1, 1, true, true, 2, 7},
                      InfieldCase{2, 17, 1, 2, 1, 1, false, false, 0, 0},
                      InfieldCase{2, 50, 1, 1, 1, 2, true, false, 0, 0}));

// Smooth PSFs blended over a g x g grid: the rows of an L1C column use the same footprint rows
// within a cell of the grid and new ones past it, so the rows are summed in blocks of many rows
// that end at the cells' edges as well as at the block height.
TEST(FastInfield, SmoothPsfGridsAgreeWithTheReference) {
  for (const auto& [ky, lbiny, g] : {std::tuple{40, 1, 2}, {37, 2, 3}, {70, 1, 5}}) {
    Instrument inst;
    inst.windows = MakeWindows(2, ky, 2, lbiny, 1, 1, 4, 2);
    inst.psfs = MakeSmoothPsfs(inst.windows, inst.windows.Dx, inst.windows.Dy, g);
    GeneratorOptions o;
    o.simpson = true;
    o.lower_edge = true;
    o.rows_below = 3;
    o.rows_above = 5;
    SCOPED_TRACE(::testing::Message() << "ky " << ky << " grid " << g);
    ExpectFastMatchesReference(inst, o);
  }
}

TEST(FastInfield, ExtremeLowerEdgeRowCountsNeitherOverflowNorHang) {
  Instrument inst = RandomInstrument(8, 3, 3, 2, 1, 1, 1, 3, 1, false);
  for (TALVEN_MatrixEngine engine : {TALVEN_MatrixEngine::kReference, TALVEN_MatrixEngine::kFast}) {
    GeneratorOptions o;
    o.simpson = true;
    o.lower_edge = true;
    o.rows_above = 2;
    bool ok_none = false, ok_min = false, ok_wide = false, ok_widest = false;
    o.rows_below = 0;
    const auto none = Infield(inst, o, engine, &ok_none);
    o.rows_below = std::numeric_limits<int>::min();  // negative: no rows below
    const auto most_negative = Infield(inst, o, engine, &ok_min);
    // A band wider than the window either way.
    o.rows_below = 3;
    o.rows_above = 1000;
    const auto wide = Infield(inst, o, engine, &ok_wide);
    o.rows_above = std::numeric_limits<int>::max();
    const auto widest = Infield(inst, o, engine, &ok_widest);
    ASSERT_TRUE(ok_none && ok_min && ok_wide && ok_widest);
    // The reference engine merges its thread matrices in no fixed order: compare within rounding.
    EXPECT_TRUE(AgreeWithReference(most_negative, none));
    EXPECT_TRUE(AgreeWithReference(widest, wide));
    EXPECT_FALSE(AgreeWithReference(wide, none));
  }
}

TEST(FastInfieldFailures, LowerEdgeSourcesBelowTheDetectorLogTheSameLines) {
  // Two rows below the science window, but the correction asks for three.
  Instrument inst = RandomInstrument(5, 4, 3, 2, 1, 1, 1, 2, 1, false);
  GeneratorOptions o;
  o.simpson = true;
  o.lower_edge = true;
  o.rows_below = 3;
  o.rows_above = 2;
  const LoggedRun reference = LoggedInfield(inst, o, TALVEN_MatrixEngine::kReference);
  const LoggedRun fast = LoggedInfield(inst, o, TALVEN_MatrixEngine::kFast);
  EXPECT_FALSE(reference.ok);
  EXPECT_FALSE(fast.ok);
  EXPECT_TRUE(
      std::all_of(fast.matrix.begin(), fast.matrix.end(), [](double v) { return v == 0.0; }));
  EXPECT_EQ(fast.lines, reference.lines);
}

TEST(FastInfieldFailures, EveryLookUpFailingLogsTheSameLines) {
  // More coefficients per pixel than the interpolation object holds: every look-up fails, the
  // lower edge correction's first, then every other row's.
  Instrument inst = RandomInstrument(6, 3, 4, 2, 1, 1, 1, 3, 1, false);
  SyntheticPsfs& p = inst.psfs;
  const int more = TALVEN_PSF_InterpolationCoeffs::kCapacity + 1;
  std::vector<double> coefficients(static_cast<size_t>(more) * p.table_nx * p.table_ny, 0.5);
  std::vector<int> indices(coefficients.size(), 0);
  p.ncoef = more;
  p.coefficients = coefficients;
  p.indices = indices;
  for (bool simpson : {false, true}) {
    GeneratorOptions o;
    o.simpson = simpson;
    o.lower_edge = true;
    o.rows_below = 2;
    o.rows_above = 2;
    const LoggedRun reference = LoggedInfield(inst, o, TALVEN_MatrixEngine::kReference);
    const LoggedRun fast = LoggedInfield(inst, o, TALVEN_MatrixEngine::kFast);
    EXPECT_FALSE(reference.ok);
    EXPECT_FALSE(fast.ok);
    EXPECT_EQ(fast.lines, reference.lines);
  }
}

TEST(FastInfieldFailures, NaNCoefficientAndDiagnosticLinesMatchTheReference) {
  Instrument inst = RandomInstrument(9, 3, 4, 1, 2, 1, 1, 2, 1, false);
  const TALVEN_WindowLayout& w = inst.windows;
  // A NaN weight on one source pixel of L1C pixel (1, 2).
  const int x = w.SOFSx + 1 * w.Binx(), y = w.SOFSy + 2 * w.Biny();
  inst.psfs.coefficients[inst.psfs.Position(0, x, y)] = std::nan("");
  GeneratorOptions o;
  o.simpson = true;
  o.lower_edge = true;
  o.rows_below = 2;
  o.rows_above = 2;
  o.diagnostic = true;
  const LoggedRun reference = LoggedInfield(inst, o, TALVEN_MatrixEngine::kReference);
  const LoggedRun fast = LoggedInfield(inst, o, TALVEN_MatrixEngine::kFast);
  ASSERT_TRUE(reference.ok && fast.ok);
  EXPECT_TRUE(AgreeWithReference(fast.matrix, reference.matrix));
  EXPECT_EQ(fast.lines, reference.lines);
}

// ---------------------------------------------------------------------------------------------
// Horizontal stray light matrix.

struct HorizontalCase {
  int kx, ky, lbinx, lbiny, kbinx, kbiny;
  HorizontalSteps steps;
  bool vignetting;
  // Every NOOF row blends the PSFs as row 0 does, so that consecutive target rows share them.
  bool rows_share_blends = false;
};

class FastHorizontal : public ::testing::TestWithParam<HorizontalCase> {};

TEST_P(FastHorizontal, AgreesWithTheReferenceAndIsBitReproducible) {
  const HorizontalCase c = GetParam();
  Instrument inst =
      RandomInstrument(23u + c.ky, c.kx, c.ky, c.lbinx, c.lbiny, c.kbinx, c.kbiny, 1, 7, true);
  const TALVEN_WindowLayout& w = inst.windows;
  SyntheticPsfs& p = inst.psfs;
  for (int x = 0; c.rows_share_blends && x < p.table_nx; ++x) {
    for (int y = 1; y < p.table_ny; ++y) {
      for (int k = 0; k < p.ncoef; ++k) {
        p.coefficients[p.Position(k, x, y)] = p.coefficients[p.Position(k, x, 0)];
        p.indices[p.Position(k, x, y)] = p.indices[p.Position(k, x, 0)];
      }
    }
  }
  std::vector<double> vignetting;
  int vx = 0, vy = 0;
  if (c.vignetting) {
    vx = w.NOOFx;
    vy = w.NOOFy;
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> unit(0.5, 1.0);
    for (int i = 0; i < vx * vy; ++i) vignetting.push_back(unit(rng));
    vignetting[static_cast<size_t>(w.DOFSy + w.SOFSy + w.Biny()) * vx + 1] = 0.0;
    vignetting[static_cast<size_t>(w.DOFSy + w.SOFSy) * vx + w.NOOFx - 2] = std::nan("");
  }
  bool ok_ref = false, ok1 = false, ok2 = false;
  CaptureLog log;
  const auto reference =
      Horizontal(inst, vignetting, vx, vy, c.steps, TALVEN_MatrixEngine::kReference, 2, &ok_ref);
  const auto fast1 =
      Horizontal(inst, vignetting, vx, vy, c.steps, TALVEN_MatrixEngine::kFast, 1, &ok1);
  const auto fast2 =
      Horizontal(inst, vignetting, vx, vy, c.steps, TALVEN_MatrixEngine::kFast, 2, &ok2);
  ASSERT_TRUE(ok_ref && ok1 && ok2);
  EXPECT_TRUE(AgreeWithReference(fast2, reference));
  EXPECT_TRUE(SameBits(fast1, fast2));
}

INSTANTIATE_TEST_SUITE_P(StepsBinningsAndVignetting, FastHorizontal,
                         ::testing::Values(HorizontalCase{3, 4, 1, 1, 1, 1, {1, 1, 1, 1}, false},
                                           HorizontalCase{3, 4, 2, 3, 1, 1, {1, 1, 1, 1}, true},
                                           HorizontalCase{4, 3, 1, 2, 3, 1, {2, 3, 2, 3}, true},
                                           HorizontalCase{2, 5, 2, 1, 1, 2, {4, 1, 1, 5}, false},
                                           HorizontalCase{1, 4, 3, 1, 1, 1, {3, 2, 4, 1}, true},
                                           // One L1C column: both edges book to one column.
                                           HorizontalCase{1, 3, 2, 1, 1, 1, {1, 1, 1, 1}, true},
                                           HorizontalCase{5, 2, 2, 4, 1, 1, {3, 1, 1, 2}, false},
                                           // Target rows summed in batches of 8 after a short
                                           // first one.
                                           HorizontalCase{
                                               3, 19, 2, 1, 1, 1, {1, 1, 1, 1}, false, true},
                                           HorizontalCase{2, 16, 1, 2, 1, 1, {1, 1, 1, 1}, true}));

TEST(FastHorizontalLog, DiagnosticLinesMatchTheReference) {
  Instrument inst = RandomInstrument(4, 3, 4, 2, 1, 1, 1, 1, 5, true);
  std::vector<double> none;
  HorizontalSteps steps;
  steps.ny = 3;
  std::vector<std::string> reference_lines, fast_lines;
  bool ok = false;
  auto run = [&](TALVEN_MatrixEngine engine, std::vector<std::string>* lines) {
    const TALVEN_WindowLayout& w = inst.windows;
    std::vector<double> matrix(static_cast<size_t>(w.KK()) * w.KK());
    GeneratorOptions o;
    o.diagnostic = true;
    CaptureLog log;
    auto g = NewGenerator(w, matrix.data(), w.KK(), o);
    g->set_engine(engine);
    PsfViews views(inst.psfs);
    zv2dArray<double> no_vignetting(0, 0, none.data());
    ok = views.Initialize(g.get(), inst.psfs, WindowMappingType::WINDOW_NOOF) &&
         g->build_horizontal_stray_light(&g->OutputMatrix(), no_vignetting, steps.ny, steps.nx,
                                         steps.sy, steps.sx);
    *lines = SortedLines(log);
  };
  run(TALVEN_MatrixEngine::kReference, &reference_lines);
  ASSERT_TRUE(ok);
  run(TALVEN_MatrixEngine::kFast, &fast_lines);
  ASSERT_TRUE(ok);
  EXPECT_EQ(fast_lines, reference_lines);
}

// The suite runs again under CORVANE_VECTOR_LEVEL; it must then test the level it names.
TEST(VectorLevel, FollowsTheEnvironment) {
  const char* requested = std::getenv("CORVANE_VECTOR_LEVEL");
  if (requested == nullptr) GTEST_SKIP() << "CORVANE_VECTOR_LEVEL is not set";
  const bool baseline = std::strcmp(requested, "baseline") == 0;
  ASSERT_TRUE(baseline || std::strcmp(requested, "avx2") == 0) << requested;
  if (baseline) {
    EXPECT_EQ(TALVEN_BestVectorLevel(), TALVEN_VectorLevel::kBaseline);
  } else {
    EXPECT_NE(TALVEN_BestVectorLevel(), TALVEN_VectorLevel::kAvx512);
  }
  EXPECT_FALSE(TALVEN_SkewedBlocksAvailable());
}

}  // namespace
