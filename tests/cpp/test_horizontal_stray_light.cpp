// The horizontal stray light matrix: sampling of sources, receivers and rows, edge targets,
// vignetting, refusals, and whole matrices against brute-force sums.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "brute_force_matrix.h"
#include "capture_log.h"
#include "matrix_compare.h"
#include "matrix_test_problem.h"

namespace {

// NOOF window 30 x 14; the science window (10 x 10, binning 1) covers NOOF columns 10 to 19 and
// rows 3 to 12.
TALVEN_WindowLayout SamplingWindows() {
  TALVEN_WindowLayout w;
  w.FULLCONVx = 32;
  w.FULLCONVy = 16;
  w.NOFSx = 1;
  w.NOFSy = 1;
  w.NOOFx = 30;
  w.NOOFy = 14;
  w.DOFSx = 4;
  w.DOFSy = 2;
  w.Dx = 20;
  w.Dy = 12;
  w.SOFSx = 6;
  w.SOFSy = 1;
  w.Sx = w.Lx = w.Kx = 10;
  w.Sy = w.Ly = w.Ky = 10;
  return w;
}

// 1 within 32 pixels of its whole centre: every source lights every receiver.
SyntheticPsfs FlatNoofPsf(const TALVEN_WindowLayout& w) {
  return MakeSinglePsf(65, 65, 32.5, 32.5, std::vector<double>(65 * 65, 1.0), 65, 65, 0, 0, w.NOOFx,
                       w.NOOFy);
}

SyntheticPsfs RandomNoofPsfs(const TALVEN_WindowLayout& w, unsigned seed) {
  return MakeRandomPsfs(seed, 21, 27, {{10.3, 13.7}, {11.1, 12.6}, {9.5, 14.5}}, w.NOOFx, w.NOOFy,
                        3);
}

std::vector<double> RandomVignetting(const TALVEN_WindowLayout& w, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> factor(0.5, 1.5);
  std::vector<double> v(static_cast<size_t>(w.NOOFx) * w.NOOFy);
  for (double& f : v) f = factor(rng);
  return v;
}

// The source columns of matrix m that hold any light.
std::set<int> LitTargets(const std::vector<double>& m, int n) {
  std::set<int> targets;
  for (size_t k = 0; k < m.size(); ++k) {
    if (m[k] != 0.0) targets.insert(static_cast<int>(k / n));
  }
  return targets;
}

// ---------------------------------------------------------------------------------------------
// Sampling.

TEST(HorizontalSampling, RowsTwoAndSixBookedAgainstTheirEdgePixels) {
  const TALVEN_WindowLayout w = SamplingWindows();
  SyntheticPsfs p = FlatNoofPsf(w);
  std::vector<double> none;
  CaptureLog log;
  const BuildResult r = RunHorizontal(w, p, none, 0, 0, {4, 3, 1, 1});
  ASSERT_TRUE(r.ok);
  // Left edge pixel of L1C row y is flat index y, the right one 9 * 10 + y.
  EXPECT_EQ(LitTargets(r.matrix, w.KK()), (std::set<int>{2, 6, 92, 96}));
  EXPECT_EQ(CountNonZero(r.matrix), 4 * w.KK());
  EXPECT_TRUE(log.contains("Noof region coordinate step sizes    (Ny,Nx) = (4, 3)"));
  EXPECT_TRUE(log.contains("Science window coordinate step sizes (Sy,Sx) = (1, 1)"));
}

TEST(HorizontalSampling, SourceColumnsStepOutwardFromTheWindow) {
  const TALVEN_WindowLayout w = SamplingWindows();
  SyntheticPsfs p = FlatNoofPsf(w);
  CaptureLog log;
  std::set<int> sampled;
  for (int x = 0; x < w.NOOFx; ++x) {
    std::vector<double> only_x(static_cast<size_t>(w.NOOFx) * w.NOOFy, 0.0);
    for (int y = 0; y < w.NOOFy; ++y) only_x[y * w.NOOFx + x] = 1.0;
    const BuildResult r = RunHorizontal(w, p, only_x, w.NOOFx, w.NOOFy, {4, 3, 1, 1});
    ASSERT_TRUE(r.ok);
    if (!AllZero(r.matrix)) sampled.insert(x);
  }
  EXPECT_EQ(sampled, (std::set<int>{2, 5, 8, 21, 24, 27}));
}

TEST(HorizontalSampling, WindowAtTheNoofEdgeHasNoSourcesOnThatSide) {
  TALVEN_WindowLayout w = SamplingWindows();
  w.DOFSx = 0;
  w.SOFSx = 0;  // science starts at NOOF column 0
  SyntheticPsfs p = FlatNoofPsf(w);
  std::vector<double> none;
  CaptureLog log;
  BuildResult r = RunHorizontal(w, p, none, 0, 0, {1, 1, 1, 1});
  ASSERT_TRUE(r.ok);
  for (int target : LitTargets(r.matrix, w.KK())) EXPECT_GE(target, 90);

  w.DOFSx = 14;
  w.Dx = 16;  // science ends at the last NOOF column
  w.SOFSx = 6;
  r = RunHorizontal(w, p, none, 0, 0, {1, 1, 1, 1});
  ASSERT_TRUE(r.ok);
  EXPECT_FALSE(AllZero(r.matrix));
  for (int target : LitTargets(r.matrix, w.KK())) EXPECT_LT(target, 10);
}

// ---------------------------------------------------------------------------------------------
// Whole matrices against the brute-force sums.

struct HorizontalCase {
  int kx, ky, lbinx, lbiny, kbinx, kbiny, margin, noof_margin;
  HorizontalSteps steps;
  bool vignetting;
};

class HorizontalBruteForce : public ::testing::TestWithParam<HorizontalCase> {};

TEST_P(HorizontalBruteForce, MatchesElementByElement) {
  const HorizontalCase c = GetParam();
  const TALVEN_WindowLayout w =
      MakeWindows(c.kx, c.ky, c.lbinx, c.lbiny, c.kbinx, c.kbiny, c.margin, c.noof_margin);
  SyntheticPsfs p = RandomNoofPsfs(w, 3);
  std::vector<double> vignetting;
  if (c.vignetting) vignetting = RandomVignetting(w, 4);
  const int vx = c.vignetting ? w.NOOFx : 0;
  const int vy = c.vignetting ? w.NOOFy : 0;
  CaptureLog log;
  const BuildResult r = RunHorizontal(w, p, vignetting, vx, vy, c.steps);
  ASSERT_TRUE(r.ok);
  const std::vector<double> expected = brute_force::HorizontalMatrix(w, p, vignetting, c.steps);
  EXPECT_GT(CountNonZero(expected), w.KK());
  EXPECT_TRUE(MatricesClose(r.matrix, expected, w.KK(), 1e-12));
}

INSTANTIATE_TEST_SUITE_P(
    BinningsAndSteps, HorizontalBruteForce,
    ::testing::Values(HorizontalCase{4, 3, 1, 1, 1, 1, 2, 3, {1, 1, 1, 1}, true},
                      HorizontalCase{3, 2, 2, 1, 1, 3, 2, 3, {2, 3, 2, 1}, true},
                      HorizontalCase{3, 3, 2, 2, 1, 1, 1, 4, {3, 2, 1, 2}, false}),
    [](const ::testing::TestParamInfo<HorizontalCase>& info) {
      const HorizontalCase& c = info.param;
      const HorizontalSteps& d = c.steps;
      return "binning" + std::to_string(c.lbinx * c.kbinx) + "x" +
             std::to_string(c.lbiny * c.kbiny) + "_steps" + std::to_string(d.ny) +
             std::to_string(d.nx) + std::to_string(d.sy) + std::to_string(d.sx) +
             (c.vignetting ? "_vignetting" : "_novignetting");
    });

TEST(HorizontalAssembly, OneAndTwoThreadsGiveTheSameMatrix) {
  const TALVEN_WindowLayout w = MakeWindows(3, 2, 2, 1, 1, 3, 2, 3);
  SyntheticPsfs p = RandomNoofPsfs(w, 8);
  std::vector<double> vignetting = RandomVignetting(w, 9);
  CaptureLog log;
  const BuildResult one = RunHorizontal(w, p, vignetting, w.NOOFx, w.NOOFy, {1, 1, 1, 1}, false, 1);
  const BuildResult two = RunHorizontal(w, p, vignetting, w.NOOFx, w.NOOFy, {1, 1, 1, 1}, false, 2);
  ASSERT_TRUE(one.ok && two.ok);
  EXPECT_FALSE(AllZero(one.matrix));
  EXPECT_TRUE(MatricesClose(two.matrix, one.matrix, w.KK(), 1e-12));
}

TEST(HorizontalAssembly, RowProgressOnlyWithTheDiagnosticFlag) {
  const TALVEN_WindowLayout w = SamplingWindows();
  SyntheticPsfs p = FlatNoofPsf(w);
  std::vector<double> none;
  {
    CaptureLog log;
    ASSERT_TRUE(RunHorizontal(w, p, none, 0, 0, {4, 3, 1, 1}).ok);
    EXPECT_FALSE(log.contains("Processing row"));
  }
  CaptureLog log;
  ASSERT_TRUE(RunHorizontal(w, p, none, 0, 0, {4, 3, 1, 1}, true).ok);
  EXPECT_TRUE(
      log.contains("INFO\t:TALVEN_DeconvolutionMatrixGenerator::"
                   "build_horizontal_stray_light, Processing row [2] of [10]"));
  EXPECT_TRUE(log.contains("Processing row [6] of [10]"));
  EXPECT_FALSE(log.contains("Processing row [3] of [10]"));
}

// ---------------------------------------------------------------------------------------------
// Vignetting.

class Vignetting : public ::testing::Test {
 protected:
  TALVEN_WindowLayout w = MakeWindows(4, 3, 1, 1, 1, 1, 2, 3);
  SyntheticPsfs p = RandomNoofPsfs(w, 3);
  HorizontalSteps steps{1, 1, 1, 1};
};

TEST_F(Vignetting, MissingOrWrongSizedArraysMeanAFactorOfOne) {
  std::vector<double> none;
  std::vector<double> ones(static_cast<size_t>(w.NOOFx) * w.NOOFy, 1.0);
  CaptureLog log;
  const BuildResult without = RunHorizontal(w, p, none, 0, 0, steps);
  EXPECT_TRUE(
      log.contains("INFO\t:No user defined vignetting array supplied. A value of 1.0 will "
                   "be used"));
  const BuildResult wrong = RunHorizontal(w, p, ones, w.NOOFx, w.NOOFy - 1, steps);
  EXPECT_TRUE(
      log.contains("WARNING\t:The user defined vignetting array was the wrong size. "
                   "Expected an (x,y) size of (14,13) but got (14,12). A value of 1.0 "
                   "will be used"));
  const BuildResult used = RunHorizontal(w, p, ones, w.NOOFx, w.NOOFy, steps);
  EXPECT_TRUE(
      log.contains("INFO\t:The user supplied, ROW major, vignetting array (14,13) willbe "
                   "used for vignetting"));
  ASSERT_TRUE(without.ok && wrong.ok && used.ok);
  const std::vector<double> expected = brute_force::HorizontalMatrix(w, p, none, steps);
  EXPECT_TRUE(MatricesClose(without.matrix, expected, w.KK(), 1e-12));
  EXPECT_TRUE(MatricesClose(wrong.matrix, expected, w.KK(), 1e-12));
  EXPECT_TRUE(MatricesClose(used.matrix, expected, w.KK(), 1e-12));
}

TEST_F(Vignetting, ZeroOrNaNFactorRemovesThatSource) {
  std::vector<double> factors = RandomVignetting(w, 4);
  const int source = (w.DOFSy + w.SOFSy + 1) * w.NOOFx + 1;  // left of science row 1
  CaptureLog log;
  const BuildResult full = RunHorizontal(w, p, factors, w.NOOFx, w.NOOFy, steps);
  factors[source] = 0.0;
  const BuildResult zero = RunHorizontal(w, p, factors, w.NOOFx, w.NOOFy, steps);
  const std::vector<double> expected = brute_force::HorizontalMatrix(w, p, factors, steps);
  factors[source] = std::numeric_limits<double>::quiet_NaN();
  const BuildResult nan = RunHorizontal(w, p, factors, w.NOOFx, w.NOOFy, steps);
  ASSERT_TRUE(full.ok && zero.ok && nan.ok);
  EXPECT_FALSE(MatricesClose(zero.matrix, full.matrix, w.KK(), 1e-6));
  EXPECT_TRUE(MatricesClose(zero.matrix, expected, w.KK(), 1e-12));
  EXPECT_TRUE(MatricesClose(nan.matrix, expected, w.KK(), 1e-12));
}

// ---------------------------------------------------------------------------------------------
// Requests that cannot be built: refused with a message, an all-zero matrix and false.

TEST(HorizontalRefusals, StepsBelowOne) {
  const TALVEN_WindowLayout w = SamplingWindows();
  SyntheticPsfs p = FlatNoofPsf(w);
  std::vector<double> none;
  for (const HorizontalSteps& steps : {HorizontalSteps{0, 1, 1, 1}, HorizontalSteps{1, 0, 1, 1},
                                       HorizontalSteps{1, 1, -2, 1}, HorizontalSteps{1, 1, 1, 0}}) {
    CaptureLog log;
    const BuildResult r = RunHorizontal(w, p, none, 0, 0, steps);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(AllZero(r.matrix));
    EXPECT_TRUE(log.contains("must all be at least 1"));
  }
}

TEST(HorizontalRefusals, ScienceWindowOutsideTheNoofWindow) {
  TALVEN_WindowLayout w = SamplingWindows();
  w.DOFSx = 15;  // the science window would cover NOOF columns 21 to 30
  SyntheticPsfs p = FlatNoofPsf(w);
  std::vector<double> ones(static_cast<size_t>(w.NOOFx) * w.NOOFy, 1.0);
  CaptureLog log;
  BuildResult r = RunHorizontal(w, p, ones, w.NOOFx, w.NOOFy, {1, 1, 1, 1});
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(AllZero(r.matrix));
  EXPECT_TRUE(
      log.contains("The science window (10,10) at NOOF pixel (3,21) does not lie inside "
                   "the NOOF window (14,30)"));

  w = SamplingWindows();
  w.SOFSy = -4;
  r = RunHorizontal(w, p, ones, w.NOOFx, w.NOOFy, {1, 1, 1, 1});
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(AllZero(r.matrix));
}

TEST(HorizontalRefusals, ScienceRowWithoutAnL1cPixelFailsTheMatrix) {
  TALVEN_WindowLayout w = SamplingWindows();
  w.Sy = 11;  // one science row above the L1C area
  SyntheticPsfs p = FlatNoofPsf(w);
  std::vector<double> none;
  CaptureLog log;
  const BuildResult r = RunHorizontal(w, p, none, 0, 0, {1, 1, 1, 1});
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(AllZero(r.matrix));
  EXPECT_TRUE(log.contains("Science row [10] has no L1C pixel at its left or right edge"));
  EXPECT_TRUE(log.contains("There were errors executing the code. Return empty matrix"));
}

TEST(HorizontalRefusals, OutputThatIsNotNxNOrATableNotOverTheNoofWindow) {
  const TALVEN_WindowLayout w = SamplingWindows();
  SyntheticPsfs p = FlatNoofPsf(w);
  zv2dArray<double> none;
  std::vector<double> storage(100 * 99, 7.0);
  CaptureLog log;
  auto g = NewGenerator(w, nullptr, 0, GeneratorOptions());
  PsfViews views(p);
  ASSERT_TRUE(views.Initialize(g.get(), p, WindowMappingType::WINDOW_NOOF));
  zv2dArray<double> wrong(100, 99, storage.data());
  EXPECT_FALSE(g->build_horizontal_stray_light(&wrong, none, 1, 1, 1, 1));
  EXPECT_TRUE(
      log.contains("build_horizontal_stray_light, The output matrix (100 x 99) is not the "
                   "expected size (100 x 100)"));
  EXPECT_TRUE(AllZero(storage));

  SyntheticPsfs detector_psf = MakeSinglePsf(3, 3, 1.5, 1.5, {1.0}, 1, 1, 1, 1, w.Dx, w.Dy);
  PsfViews detector_views(detector_psf);
  std::vector<double> matrix(100 * 100, 7.0);
  auto h = NewGenerator(w, matrix.data(), 100, GeneratorOptions());
  ASSERT_TRUE(detector_views.Initialize(h.get(), detector_psf, WindowMappingType::WINDOW_DETECTOR));
  EXPECT_FALSE(h->build_horizontal_stray_light(&h->OutputMatrix(), none, 1, 1, 1, 1));
  EXPECT_TRUE(log.contains("The PSF table must cover the NOOF window"));
  EXPECT_TRUE(AllZero(matrix));
}

}  // namespace
