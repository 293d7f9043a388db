// The in-field convolution matrix: generator set-up, column operations, lower edge correction and
// parallel assembly, checked against brute-force sums and physical properties.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "brute_force_matrix.h"
#include "capture_log.h"
#include "matrix_compare.h"
#include "matrix_test_problem.h"

namespace {

const WindowMappingType kDetector = WindowMappingType::WINDOW_DETECTOR;

int CountLinesContaining(CaptureLog& log, const std::string& text) {
  int count = 0;
  for (const std::string& line : log.lines()) count += line.find(text) != std::string::npos;
  return count;
}

// Three random PSFs over the detector window; two centres are fractional, one whole.
SyntheticPsfs RandomDetectorPsfs(const TALVEN_WindowLayout& w, unsigned seed) {
  return MakeRandomPsfs(seed, 13, 15, {{6.3, 7.7}, {7.1, 6.6}, {5.5, 8.5}}, w.Dx, w.Dy, 3);
}

// A PSF that is 1 at its (whole) centre and 0 elsewhere, over the detector window.
SyntheticPsfs DeltaPsf(const TALVEN_WindowLayout& w) {
  return MakeSinglePsf(3, 3, 1.5, 1.5, {1.0}, 1, 1, 1, 1, w.Dx, w.Dy);
}

// ---------------------------------------------------------------------------------------------
// Set-up: output matrix attachment and the detector-to-L1C index table.

TEST(GeneratorSetup, AttachesOnlyStorageOfTheRightSize) {
  const TALVEN_WindowLayout w = MakeWindows(4, 3, 1, 1, 1, 1, 2, 1);
  std::vector<double> storage(144, 7.0);
  GeneratorOptions o;
  {
    CaptureLog log;
    auto g = NewGenerator(w, storage.data(), 12, o);
    EXPECT_EQ(g->OutputMatrix().ArrayBasePtr(), storage.data());
    EXPECT_EQ(g->OutputMatrix().XSize(), 12u);
    auto unattached = NewGenerator(w, nullptr, 0, o);
    EXPECT_TRUE(unattached->OutputMatrix().IsEmpty());
    EXPECT_TRUE(log.lines().empty());
  }
  CaptureLog log;
  auto g = NewGenerator(w, storage.data(), 11, o);
  EXPECT_TRUE(g->OutputMatrix().IsEmpty());
  EXPECT_TRUE(
      log.contains("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::"
                   "TALVEN_DeconvolutionMatrixGenerator, The size of the output array "
                   "(11 x 11) is not the expected size (12 x 12"));
  EXPECT_EQ(storage[0], 7.0);
}

TEST(GeneratorSetup, IndexTableWarnsAboutSciencePixelsOutsideTheL1cArea) {
  TALVEN_WindowLayout w = MakeWindows(4, 3, 1, 1, 1, 1, 2, 1);
  GeneratorOptions o;
  {
    CaptureLog log;
    auto g = NewGenerator(w, nullptr, 0, o);
    EXPECT_FALSE(log.contains("did not successfully map"));
  }
  w.Sy += 2;  // two science rows above the L1C area
  w.Dy += 2;
  CaptureLog log;
  auto g = NewGenerator(w, nullptr, 0, o);
  EXPECT_TRUE(
      log.contains("WARNING\t:TALVEN_DeconvolutionMatrixGenerator::"
                   "MakeDetectorPixelToFlatIndexTable, [8] detector pixels from area [4 x "
                   "5] did not successfully map to L1C pixels"));

  // The column operations skip those receivers and say so once per source detector pixel.
  SyntheticPsfs p = DeltaPsf(w);
  PsfViews views(p);
  ASSERT_TRUE(views.Initialize(g.get(), p, kDetector));
  zv2dArray<double> m;
  ASSERT_TRUE(m.SetSize(12, 12));
  m.SetTo(0.0);
  log.clear();
  EXPECT_TRUE(g->GenerateMidpointColumnMatrixElements(0, Coords(3, 4, kDetector), &m));
  EXPECT_EQ(CountLinesContaining(log,
                                 "GenerateColumnMatrixElements, 8 bad elements detected. "
                                 "That should not happen. It should be zero"),
            1);
}

TEST(GeneratorSetup, BuildFailsCleanlyWithoutAnNxNOutput) {
  const TALVEN_WindowLayout w = MakeWindows(3, 2, 1, 1, 1, 1, 2, 1);
  SyntheticPsfs p = DeltaPsf(w);
  std::vector<double> storage(36, 7.0);
  CaptureLog log;
  GeneratorOptions o;
  auto g = NewGenerator(w, storage.data(), 5, o);  // not attached
  PsfViews views(p);
  ASSERT_TRUE(views.Initialize(g.get(), p, kDetector));
  EXPECT_FALSE(g->build_transfer_function(&g->OutputMatrix()));
  EXPECT_TRUE(
      log.contains("build_transfer_function, The output matrix (0 x 0) is not the "
                   "expected size (6 x 6)"));

  zv2dArray<double> wrong(6, 5, storage.data());
  EXPECT_FALSE(g->build_transfer_function(&wrong));
  EXPECT_TRUE(log.contains("The output matrix (6 x 5) is not the expected size (6 x 6)"));
  for (int k = 0; k < 30; ++k) EXPECT_EQ(storage[k], 0.0);
}

TEST(GeneratorSetup, BuildRefusesAnEmptyL1cWindow) {
  TALVEN_WindowLayout w = MakeWindows(3, 2, 1, 1, 1, 1, 2, 1);
  w.Kx = 0;
  SyntheticPsfs p = DeltaPsf(w);
  CaptureLog log;
  GeneratorOptions o;
  auto g = NewGenerator(w, nullptr, 0, o);
  PsfViews views(p);
  ASSERT_TRUE(views.Initialize(g.get(), p, kDetector));
  zv2dArray<double> empty(0, 0, nullptr);
  EXPECT_FALSE(g->build_transfer_function(&empty));
  EXPECT_TRUE(
      log.contains("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, "
                   "The L1C window (2, 0) has no pixels"));
}

TEST(GeneratorSetup, BuildRefusesABinningBelowOne) {
  TALVEN_WindowLayout w = MakeWindows(3, 2, 1, 1, 1, 1, 2, 1);
  w.KBINx = 0;
  SyntheticPsfs p = DeltaPsf(w);
  CaptureLog log;
  GeneratorOptions o;
  const BuildResult r = RunInfield(w, p, o);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(AllZero(r.matrix));
  EXPECT_TRUE(log.contains("build_transfer_function, The window hierarchy is not usable"));
}

// ---------------------------------------------------------------------------------------------
// Column operations.

class ColumnOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    g = NewGenerator(w, nullptr, 0, GeneratorOptions());
    ASSERT_TRUE(views.Initialize(g.get(), p, kDetector));
    ASSERT_TRUE(m.SetSize(w.KK(), w.KK()));
    m.SetTo(0.0);
  }
  // Simpson weights land on the element of the receiver under the source, science (1, 1).
  void Spread(double c, double f) {
    m.SetTo(0.0);
    g->GenerateSimpsonColumnMatrixElements(0, 1, 2, c, f, source, &m);
  }

  TALVEN_WindowLayout w = MakeWindows(3, 3, 1, 1, 1, 1, 2, 1);
  SyntheticPsfs p = DeltaPsf(w);
  PsfViews views{p};
  std::unique_ptr<TALVEN_DeconvolutionMatrixGenerator> g;
  zv2dArray<double> m;
  const Coords source{3, 3, kDetector};  // science pixel (1, 1)
  const int receiver = 1 * 3 + 1;
};

TEST_F(ColumnOperations, QuadraticWeightsAreTheRowAveragesOfTheQuadratic) {
  Spread(-0.5, 1.0);  // binning 1
  EXPECT_NEAR(m.at(receiver, 0), 1.0 / 24, 1e-15);
  EXPECT_NEAR(m.at(receiver, 1), 11.0 / 12, 1e-15);
  EXPECT_NEAR(m.at(receiver, 2), 1.0 / 24, 1e-15);
  Spread(-1.0, 2.0);  // lower detector row of a two-row L1C pixel
  EXPECT_NEAR(m.at(receiver, 0), 1.0 / 6, 1e-15);
  EXPECT_NEAR(m.at(receiver, 1), 11.0 / 12, 1e-15);
  EXPECT_NEAR(m.at(receiver, 2), -1.0 / 12, 1e-15);
  Spread(0.0, 2.0);  // upper row: previous and next swap
  EXPECT_NEAR(m.at(receiver, 0), -1.0 / 12, 1e-15);
  EXPECT_NEAR(m.at(receiver, 2), 1.0 / 6, 1e-15);
  for (double c = -2.5; c < 2.0; c += 0.75) {
    Spread(c, 5.0);
    EXPECT_NEAR(m.at(receiver, 0) + m.at(receiver, 1) + m.at(receiver, 2), 1.0, 1e-14);
    EXPECT_EQ(CountNonZero(std::vector<double>(m.ArrayBasePtr(), m.ArrayBasePtr() + 81)), 3);
  }
}

TEST_F(ColumnOperations, SourceWithZeroCoefficientsAddsNothingAndLogsNothing) {
  for (double& c : p.coefficients) c = 0.0;
  CaptureLog log;
  g->GenerateMidpointColumnMatrixElements(0, source, &m);
  g->GenerateSimpsonColumnMatrixElements(0, 1, 2, -0.5, 1.0, source, &m);
  EXPECT_TRUE(AllZero(std::vector<double>(m.ArrayBasePtr(), m.ArrayBasePtr() + 81)));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ColumnOperations, FailedCoefficientLookUpIsLoggedAndSkipped) {
  CaptureLog log;
  EXPECT_FALSE(g->GenerateMidpointColumnMatrixElements(0, Coords(-1, 3, kDetector), &m));
  EXPECT_TRUE(
      log.contains("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::"
                   "GenerateColumnMatrixElements, Inconsistency error looking up "
                   "interpolated PSF table for raw detector pixel [3,-1]"));
  EXPECT_TRUE(AllZero(std::vector<double>(m.ArrayBasePtr(), m.ArrayBasePtr() + 81)));
}

// ---------------------------------------------------------------------------------------------
// Whole matrices against the brute-force sums.

struct BruteForceCase {
  int lbinx, lbiny, kbinx, kbiny, kx, ky, margin;
};

class InfieldBruteForce : public ::testing::TestWithParam<std::tuple<BruteForceCase, bool, bool>> {
};

TEST_P(InfieldBruteForce, MatchesElementByElement) {
  const BruteForceCase c = std::get<0>(GetParam());
  GeneratorOptions o;
  o.simpson = std::get<1>(GetParam());
  o.lower_edge = std::get<2>(GetParam());
  o.rows_below = 3;
  o.rows_above = 2;
  const TALVEN_WindowLayout w =
      MakeWindows(c.kx, c.ky, c.lbinx, c.lbiny, c.kbinx, c.kbiny, c.margin, 1);
  SyntheticPsfs p = RandomDetectorPsfs(w, 11);
  CaptureLog log;
  const BuildResult r = RunInfield(w, p, o);
  ASSERT_TRUE(r.ok);
  brute_force::LowerEdge edge{o.lower_edge, o.rows_below, o.rows_above};
  const std::vector<double> expected = brute_force::InfieldMatrix(w, p, o.simpson, edge);
  EXPECT_GT(CountNonZero(expected), w.KK() * w.KK() / 4);
  EXPECT_TRUE(MatricesClose(r.matrix, expected, w.KK(), 1e-12));
}

std::string CaseName(const BruteForceCase& c) {
  return "binning" + std::to_string(c.lbinx * c.kbinx) + "x" + std::to_string(c.lbiny * c.kbiny);
}

INSTANTIATE_TEST_SUITE_P(BinningsSchemesAndLowerEdge, InfieldBruteForce,
                         ::testing::Combine(::testing::Values(BruteForceCase{1, 1, 1, 1, 5, 4, 3},
                                                              BruteForceCase{2, 1, 1, 3, 3, 3, 4}),
                                            ::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<InfieldBruteForce::ParamType>& info) {
                           return CaseName(std::get<0>(info.param)) +
                                  (std::get<1>(info.param) ? "_simpson" : "_midpoint") +
                                  (std::get<2>(info.param) ? "_loweredge" : "_noloweredge");
                         });

// ---------------------------------------------------------------------------------------------
// Physical checks with a PSF whose light sums to 1 and stays inside the science window.

// Two normalised 3 x 3 kernels with fractional centres, blended 0.4 and 0.6 everywhere, so the
// light of a source detector pixel reaches at most kReach pixels from it.
constexpr int kReach = 3;
SyntheticPsfs NormalisedPsfs(const TALVEN_WindowLayout& w) {
  const std::vector<double> a = {0.05, 0.1, 0.05, 0.1, 0.4, 0.1, 0.05, 0.1, 0.05};
  const std::vector<double> b = {0.0, 0.2, 0.1, 0.1, 0.3, 0.1, 0.0, 0.1, 0.1};
  SyntheticPsfs p = MakeSinglePsf(9, 9, 4.8, 4.3, a, 3, 3, 3, 3, w.Dx, w.Dy);
  const SyntheticPsfs q = MakeSinglePsf(9, 9, 4.2, 4.9, b, 3, 3, 3, 3, w.Dx, w.Dy);
  p.samples.push_back(q.samples[0]);
  p.locations.insert(p.locations.end(), q.locations.begin(), q.locations.end());
  p.ncoef = 2;
  p.coefficients.clear();
  p.indices.clear();
  for (int k = 0; k < w.Dx * w.Dy; ++k) {
    p.coefficients.insert(p.coefficients.end(), {0.4, 0.6});
    p.indices.insert(p.indices.end(), {0, 1});
  }
  return p;
}

// True when all light of the detector pixels of L1C pixels (x, y0 .. y1) stays in the window.
bool LightStaysInside(const TALVEN_WindowLayout& w, int x, int y0, int y1) {
  return x * w.Binx() - kReach >= 0 && (x + 1) * w.Binx() - 1 + kReach < w.Sx &&
         y0 * w.Biny() - kReach >= 0 && (y1 + 1) * w.Biny() - 1 + kReach < w.Sy;
}

double ColumnSum(const std::vector<double>& m, int n, int s) {
  double sum = 0.0;
  for (int r = 0; r < n; ++r) sum += m[r + static_cast<size_t>(s) * n];
  return sum;
}

class ConservesLight : public ::testing::TestWithParam<BruteForceCase> {};

TEST_P(ConservesLight, ColumnsSumToOne) {
  const BruteForceCase c = GetParam();
  const TALVEN_WindowLayout w =
      MakeWindows(c.kx, c.ky, c.lbinx, c.lbiny, c.kbinx, c.kbiny, c.margin, 1);
  SyntheticPsfs p = NormalisedPsfs(w);
  CaptureLog log;
  GeneratorOptions o;
  const BuildResult midpoint = RunInfield(w, p, o);
  o.simpson = true;
  const BuildResult simpson = RunInfield(w, p, o);
  ASSERT_TRUE(midpoint.ok && simpson.ok);
  int checked_midpoint = 0;
  int checked_simpson = 0;
  for (int x = 0; x < w.Kx; ++x) {
    for (int y = 0; y < w.Ky; ++y) {
      const int s = x * w.Ky + y;
      if (LightStaysInside(w, x, y, y)) {
        EXPECT_NEAR(ColumnSum(midpoint.matrix, w.KK(), s), 1.0, 1e-12) << "column " << s;
        ++checked_midpoint;
      }
      // A Simpson column gathers from its own row and both neighbours, none of them clamped.
      if (y >= 1 && y <= w.Ky - 2 && LightStaysInside(w, x, y - 1, y + 1)) {
        EXPECT_NEAR(ColumnSum(simpson.matrix, w.KK(), s), 1.0, 1e-12) << "column " << s;
        ++checked_simpson;
      }
    }
  }
  EXPECT_GT(checked_midpoint, 1);
  EXPECT_GT(checked_simpson, 1);
}

INSTANTIATE_TEST_SUITE_P(Binnings, ConservesLight,
                         ::testing::Values(BruteForceCase{1, 1, 1, 1, 10, 11, 1},
                                           BruteForceCase{2, 1, 1, 3, 6, 6, 1}),
                         [](const ::testing::TestParamInfo<BruteForceCase>& info) {
                           return CaseName(info.param);
                         });

TEST(InfieldScheme, SingleRowSimpsonEqualsMidpoint) {
  const TALVEN_WindowLayout w = MakeWindows(4, 1, 1, 1, 2, 2, 3, 1);
  SyntheticPsfs p = RandomDetectorPsfs(w, 5);
  CaptureLog log;
  GeneratorOptions o;
  const BuildResult midpoint = RunInfield(w, p, o);
  o.simpson = true;
  const BuildResult simpson = RunInfield(w, p, o);
  ASSERT_TRUE(midpoint.ok && simpson.ok);
  EXPECT_FALSE(AllZero(midpoint.matrix));
  EXPECT_TRUE(MatricesClose(simpson.matrix, midpoint.matrix, w.KK(), 1e-12));
}

// ---------------------------------------------------------------------------------------------
// Lower edge correction.

// A PSF that is 1 everywhere within 20 pixels of its centre: each source below the edge adds
// exactly 1 per receiving detector pixel of its band.
SyntheticPsfs FlatPsf(const TALVEN_WindowLayout& w) {
  return MakeSinglePsf(41, 41, 20.5, 20.5, std::vector<double>(41 * 41, 1.0), 41, 41, 0, 0, w.Dx,
                       w.Dy);
}

TEST(LowerEdge, AddsTheBandAboveTheEdgeToTheBottomPixelsColumn) {
  const TALVEN_WindowLayout w = MakeWindows(6, 4, 1, 1, 1, 1, 4, 1);
  SyntheticPsfs p = FlatPsf(w);
  CaptureLog log;
  GeneratorOptions o;
  o.rows_below = 3;
  o.rows_above = 2;
  const BuildResult off = RunInfield(w, p, o);
  o.lower_edge = true;
  const BuildResult on = RunInfield(w, p, o);
  ASSERT_TRUE(off.ok && on.ok);
  const int n = w.KK();
  for (int s = 0; s < n; ++s) {
    const int column = s / w.Ky;
    for (int r = 0; r < n; ++r) {
      const int i = r / w.Ky;
      const int j = r % w.Ky;
      // Two columns left of the source, the source's own and one to the right; bottom two rows.
      const bool in_band = s % w.Ky == 0 && j < 2 && i >= column - 2 && i <= column + 1;
      const double added = on.matrix[r + s * n] - off.matrix[r + s * n];
      EXPECT_NEAR(added, in_band ? 3.0 : 0.0, 1e-12) << "r=" << r << " s=" << s;
    }
  }
  EXPECT_TRUE(
      log.contains("Generating lower edge correction with [2] detector rows above and "
                   "[3] detector rows below bottom edge."));
}

TEST(LowerEdge, ZeroRowsAddNothing) {
  const TALVEN_WindowLayout w = MakeWindows(3, 3, 1, 1, 1, 1, 2, 1);
  SyntheticPsfs p = FlatPsf(w);
  CaptureLog log;
  GeneratorOptions o;
  o.rows_below = 2;
  const BuildResult off = RunInfield(w, p, o);
  o.lower_edge = true;
  const BuildResult no_rows_above = RunInfield(w, p, o);
  o.rows_below = 0;
  o.rows_above = 2;
  const BuildResult no_rows_below = RunInfield(w, p, o);
  ASSERT_TRUE(off.ok && no_rows_above.ok && no_rows_below.ok);
  EXPECT_TRUE(MatricesClose(no_rows_above.matrix, off.matrix, w.KK(), 1e-12));
  EXPECT_TRUE(MatricesClose(no_rows_below.matrix, off.matrix, w.KK(), 1e-12));
}

TEST(LowerEdge, SourceRowsBelowTheDetectorFailTheWholeMatrix) {
  const TALVEN_WindowLayout w =
      MakeWindows(3, 3, 1, 1, 1, 1, 2, 1);  // two detector rows below the edge
  SyntheticPsfs p = FlatPsf(w);
  CaptureLog log;
  GeneratorOptions o;
  o.lower_edge = true;
  o.rows_below = 3;
  o.rows_above = 2;
  const BuildResult r = RunInfield(w, p, o);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(AllZero(r.matrix));
  EXPECT_TRUE(
      log.contains("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::"
                   "GenerateColumnMatrixForBottomEdgeDetectorPixel, Inconsistency error "
                   "looking up interpolated PSF table for raw source detector pixel [2,-1]"));
  EXPECT_TRUE(
      log.contains("WARNING\t:TALVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, "
                   "There were errors processing L1C column (0)"));
  EXPECT_TRUE(
      log.contains("ERROR\t:TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, "
                   "There were errors executing the code. Return empty matrix"));
}

// ---------------------------------------------------------------------------------------------
// Parallel assembly.

TEST(Assembly, OneAndTwoThreadsGiveTheSameMatrix) {
  const TALVEN_WindowLayout w = MakeWindows(3, 4, 2, 1, 1, 3, 4, 1);
  SyntheticPsfs p = RandomDetectorPsfs(w, 23);
  CaptureLog log;
  GeneratorOptions o;
  o.simpson = true;
  o.lower_edge = true;
  o.rows_below = 4;
  o.rows_above = 3;
  o.threads = 1;
  const BuildResult one = RunInfield(w, p, o);
  o.threads = 2;
  const BuildResult two = RunInfield(w, p, o);
  ASSERT_TRUE(one.ok && two.ok);
  EXPECT_FALSE(AllZero(one.matrix));
  EXPECT_TRUE(MatricesClose(two.matrix, one.matrix, w.KK(), 1e-12));
}

TEST(Assembly, LogsTheRequestAndDiagnosticProgress) {
  const TALVEN_WindowLayout w = MakeWindows(2, 3, 2, 1, 1, 1, 2, 1);
  SyntheticPsfs p = DeltaPsf(w);
  GeneratorOptions o;
  {
    CaptureLog log;
    ASSERT_TRUE(RunInfield(w, p, o).ok);
    EXPECT_TRUE(
        log.contains("INFO\t:TALVEN_DeconvolutionMatrixGenerator, Generating infield "
                     "convolution matrix using [Classic Algorithm] "));
    EXPECT_TRUE(
        log.contains("TALVEN_DeconvolutionMatrixGenerator, NOT generating lower edge "
                     "correction"));
    EXPECT_TRUE(
        log.contains("TALVEN_DeconvolutionMatrixGenerator, Generating convolution matrix "
                     "for a (3, 2) array of L1C pixels. Pixel binning is (1,2) and window "
                     "offset is (2,2)"));
    EXPECT_FALSE(log.contains("Processing L1C pixel"));
  }
  CaptureLog log;
  o.diagnostic = true;
  o.simpson = true;
  ASSERT_TRUE(RunInfield(w, p, o).ok);
  EXPECT_TRUE(log.contains("using [Quadratic Interpolation] "));
  EXPECT_EQ(CountLinesContaining(log,
                                 "TALVEN_DeconvolutionMatrixGenerator, Processing L1C pixel "
                                 "row ["),
            3);
  EXPECT_TRUE(log.contains("Processing L1C pixel row [2] of [3]"));
  EXPECT_TRUE(log.contains("INFO\t:Processing L1C pixel [   2,   0]"));
  EXPECT_EQ(CountLinesContaining(log, "INFO\t:Processing L1C pixel ["), 3);
}

}  // namespace
