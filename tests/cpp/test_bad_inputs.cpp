// Bad and degenerate inputs in one place: sizes at the integer limits, thread counts beyond the
// machine, look-ups that fail, texts cut inside a character. Each request must end (no crash, no
// hang, no overflow under the sanitizers) and report failure only when it failed.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/psfplanes.h"
#include "cpp/sources/thread_limit.h"
#include "matrix_test_problem.h"
#include "system/strings/zvstring.h"

namespace {

bool AllZero(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; });
}

std::vector<std::string> Errors(CaptureLog& log) {
  std::vector<std::string> errors;
  for (const std::string& line : log.lines()) {
    if (line.rfind("ERROR", 0) == 0) errors.push_back(line);
  }
  return errors;
}

// ---------------------------------------------------------------------------------------------
// Thread counts.

TEST(ThreadCount, CappedAtAFewPerProcessorWithAWarning) {
  const int cap =
      std::min(kTALVEN_ThreadsPerProcessor * omp_get_num_procs(), omp_get_thread_limit());
  CaptureLog log;
  EXPECT_EQ(TALVEN_ThreadsToUse(1), 1);
  EXPECT_EQ(TALVEN_ThreadsToUse(cap), cap);
  EXPECT_TRUE(log.lines().empty());
  for (int requested : {cap + 1, 1000, 1000000, INT_MAX}) {
    log.clear();
    EXPECT_EQ(TALVEN_ThreadsToUse(requested), cap);
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("WARNING\t:TALVEN_ThreadsToUse, " + std::to_string(requested) +
                                 " threads requested",
                             0),
              0u);
    EXPECT_NE(lines[0].find("using " + std::to_string(cap) + " threads"), std::string::npos);
  }
}

TEST(ThreadCount, ABuildUsesAThreadPerShareOfWorkAndPutsTheCountBack) {
  const int64_t share = TALVEN_WorkPerThread();
  TALVEN_SetWorkPerThread(100);
  omp_set_num_threads(3);
  for (const auto& [work, threads] : std::vector<std::pair<int64_t, int>>{
           {0, 1}, {199, 1}, {200, 2}, {300, 3}, {int64_t{1} << 40, 3}}) {
    {
      const TALVEN_ThreadsForWork limit(work);
      EXPECT_EQ(omp_get_max_threads(), threads) << work;
    }
    EXPECT_EQ(omp_get_max_threads(), 3);
  }
  TALVEN_SetWorkPerThread(share);
}

// ---------------------------------------------------------------------------------------------
// PSF tables over displacement ranges far wider than the PSF.

TEST(DisplacementPlane, StoresOnlyTheColumnsItsPsfReaches) {
  std::vector<double> samples = {1.0, 2.0, 3.0, 4.0};  // 2 rows x 2 columns
  zv2dArray<double> view(2, 2, samples.data());
  for (double cx : {0.5, 0.25, -7.75, 1e300, std::nan("")}) {
    SCOPED_TRACE(cx);
    TALVEN_PSF_Entry entry;
    ASSERT_TRUE(entry.Configure(WindowMappingType::WINDOW_NOOF, view, FloatCoords{cx, 0.5},
                                WindowMappingType::WINDOW_NOOF));
    TALVEN_PSF_DisplacementPlane plane;
    plane.Build(entry, -(INT_MAX - 1), INT_MAX - 1, -1, 1);
    // The PSF's 2 columns, give or take one either side.
    EXPECT_LE(static_cast<long long>(plane.LastDx()) - plane.FirstDx() + 1, 5);
    // The PSF's columns lie within [-10, 10] of the centre: outside them every value is zero.
    for (int dx = -12; dx <= 12; ++dx) {
      for (int dy = -1; dy <= 1; ++dy) {
        ASSERT_EQ(plane.At(dx, dy), entry.ValueAtDisplacement(dx, dy)) << dx << ", " << dy;
      }
    }
    EXPECT_EQ(plane.At(INT_MAX - 1, 0), 0.0);
    EXPECT_EQ(plane.At(-(INT_MAX - 1), 0), 0.0);
  }
}

// ---------------------------------------------------------------------------------------------
// Horizontal requests over a NOOF window of INT_MAX columns: the sampling loops and the PSF
// tables stay in range, and the request ends.

struct WideNoofCase {
  const char* what;
  int num_psfs;
  int delta_nx;
  TALVEN_MatrixEngine engine;
};

class WideNoof : public ::testing::TestWithParam<WideNoofCase> {};

TEST_P(WideNoof, EndsWithAnEmptyMatrix) {
  const WideNoofCase& c = GetParam();
  // A 2 x 1 science window deep inside the NOOF window, so that sources lie on both sides.
  TALVEN_WindowLayout w = MakeWindows(2, 1, 1, 1, 1, 1, 0, 0);
  w.NOOFx = INT_MAX;
  w.DOFSx = 1 << 30;
  w.FULLCONVx = INT_MAX;
  w.NOFSx = 0;
  // One 2 x 1 PSF, or none; empty interpolation tables over the NOOF window.
  SyntheticPsfs p;
  p.rows = 1;
  p.columns = 2;
  for (int m = 0; m < c.num_psfs; ++m) {
    p.samples.push_back({0.5, 0.25});
    p.locations.insert(p.locations.end(), {0.5, 1.0, 2.0});
  }
  p.table_nx = w.NOOFx;
  p.table_ny = w.NOOFy;
  p.ncoef = 0;
  p.coefficients.assign(1, 0.0);  // storage for the zero-size views to point at
  p.indices.assign(1, 0);

  std::vector<double> matrix(static_cast<size_t>(w.KK()) * w.KK(), 7.0);
  GeneratorOptions o;
  auto g = NewGenerator(w, matrix.data(), w.KK(), o);
  g->set_engine(c.engine);
  PsfViews views(p);
  std::vector<double> no_vignetting(1);
  zv2dArray<double> vignetting(0, 0, no_vignetting.data());
  CaptureLog log;
  omp_set_dynamic(0);
  omp_set_num_threads(2);
  ASSERT_TRUE(views.Initialize(g.get(), p, WindowMappingType::WINDOW_NOOF));
  EXPECT_TRUE(g->build_horizontal_stray_light(&g->OutputMatrix(), vignetting, 1, c.delta_nx, 1, 1));
  EXPECT_TRUE(AllZero(matrix));
  EXPECT_EQ(Errors(log), std::vector<std::string>());
}

INSTANTIATE_TEST_SUITE_P(
    OnePsfOrNone, WideNoof,
    ::testing::Values(WideNoofCase{"OnePsfFast", 1, 1 << 28, TALVEN_MatrixEngine::kFast},
                      WideNoofCase{"OnePsfReference", 1, 1 << 28, TALVEN_MatrixEngine::kReference},
                      WideNoofCase{"StepPastIntMaxFast", 0, 1500000000, TALVEN_MatrixEngine::kFast},
                      WideNoofCase{"StepPastIntMaxReference", 0, 1500000000,
                                   TALVEN_MatrixEngine::kReference}),
    [](const ::testing::TestParamInfo<WideNoofCase>& info) { return info.param.what; });

// ---------------------------------------------------------------------------------------------
// Look-ups that fail: more coefficients per pixel than the interpolation object holds, four of
// them non-zero. The request fails, the matrix is empty, and both engines log the same lines.

struct LookUpCase {
  bool horizontal;
  bool simpson;
};

class FailedLookUps : public ::testing::TestWithParam<LookUpCase> {};

struct LoggedBuild {
  bool ok = false;
  std::vector<double> matrix;
  std::vector<std::string> lines;
};

LoggedBuild BuildWithTooManyCoefficients(const LookUpCase& c, TALVEN_MatrixEngine engine) {
  const TALVEN_WindowLayout w = MakeWindows(3, 2, 2, 1, 1, 1, 2, 2);
  const int nx = c.horizontal ? w.NOOFx : w.Dx;
  const int ny = c.horizontal ? w.NOOFy : w.Dy;
  const int ncoef = TALVEN_PSF_InterpolationCoeffs::kCapacity + 1;
  SyntheticPsfs p = MakeRandomPsfs(3, ny, nx, {{3.5, 4.25}, {5.5, 5.5}}, nx, ny, ncoef);
  for (size_t i = 0; i < p.coefficients.size(); ++i) {
    p.coefficients[i] = (i % ncoef) < 4 ? 0.25 : 0.0;
  }
  LoggedBuild result;
  result.matrix.assign(static_cast<size_t>(w.KK()) * w.KK(), 7.0);
  GeneratorOptions o;
  auto g = NewGenerator(w, result.matrix.data(), w.KK(), o);
  g->set_option_create_lower_edge_adjustment(false);
  g->set_option_use_simpsons(c.simpson);
  g->set_engine(engine);
  PsfViews views(p);
  std::vector<double> no_vignetting(1);
  zv2dArray<double> vignetting(0, 0, no_vignetting.data());
  CaptureLog log;
  omp_set_dynamic(0);
  omp_set_num_threads(2);
  const WindowMappingType kind =
      c.horizontal ? WindowMappingType::WINDOW_NOOF : WindowMappingType::WINDOW_DETECTOR;
  result.ok =
      views.Initialize(g.get(), p, kind) &&
      (c.horizontal ? g->build_horizontal_stray_light(&g->OutputMatrix(), vignetting, 1, 1, 1, 1)
                    : g->build_transfer_function(&g->OutputMatrix()));
  // The engines walk the sources in different orders.
  result.lines = Errors(log);
  std::sort(result.lines.begin(), result.lines.end());
  return result;
}

TEST_P(FailedLookUps, FailTheRequestWithAnEmptyMatrix) {
  const LoggedBuild reference =
      BuildWithTooManyCoefficients(GetParam(), TALVEN_MatrixEngine::kReference);
  const LoggedBuild fast = BuildWithTooManyCoefficients(GetParam(), TALVEN_MatrixEngine::kFast);
  for (const LoggedBuild* b : {&reference, &fast}) {
    EXPECT_FALSE(b->ok);
    EXPECT_TRUE(AllZero(b->matrix));
    const std::string capacity =
        "Internal interpolation arrays of size (100) were smaller than the number of incoming PSF "
        "interpolation coefficients (101)";
    EXPECT_TRUE(std::any_of(b->lines.begin(), b->lines.end(), [&](const std::string& line) {
      return line.find(capacity) != std::string::npos;
    }));
    EXPECT_EQ(std::count(b->lines.begin(), b->lines.end(),
                         "ERROR\t:TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, "
                         "There were errors executing the code. Return empty matrix"),
              1);
  }
  EXPECT_EQ(fast.lines, reference.lines);
}

INSTANTIATE_TEST_SUITE_P(BothMatrices, FailedLookUps,
                         ::testing::Values(LookUpCase{false, false}, LookUpCase{false, true},
                                           LookUpCase{true, false}));

// ---------------------------------------------------------------------------------------------
// Formatted texts longer than the 1022 bytes kept are cut between UTF-8 characters.

struct CutCase {
  std::string prefix;
  std::string character;
};

class CutText : public ::testing::TestWithParam<CutCase> {};

std::string Repeat(const std::string& s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST_P(CutText, EndsWithAWholeCharacter) {
  const CutCase& c = GetParam();
  const std::string text = c.prefix + Repeat(c.character, 1200);
  const size_t whole = (1022 - c.prefix.size()) / c.character.size();
  const std::string expected = c.prefix + Repeat(c.character, whole);

  zvString formatted;
  formatted.sprintf("%s", text.c_str());
  EXPECT_EQ(std::string(formatted), expected);

  CaptureLog log;
  zvLogBase::Record(zvlog_info, "tests/cpp/test_bad_inputs", __LINE__, "%s", text.c_str());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"INFO\t:" + expected});
}

INSTANTIATE_TEST_SUITE_P(OneToFourBytes, CutText,
                         ::testing::Values(CutCase{"", "x"},
                                           CutCase{"Version [", "\xe2\x82\xac"},  // euro sign
                                           CutCase{"ab", "\xe2\x82\xac"},
                                           CutCase{"a", "\xc3\xa9"},            // e acute
                                           CutCase{"abc", "\xf0\x9f\x98\x80"},  // emoji
                                           CutCase{"v", "\x80"}));  // not UTF-8: kept as it is

}  // namespace
