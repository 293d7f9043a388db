// Requests with explicit settings built in blocks of whole L1C x-columns: every block holds the
// bits of the same rows of the whole matrix, the blocks of a request log together what the whole
// request logs, and the control words report progress and stop a build.
#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/matrix_requests.h"
#include "matrix_test_problem.h"

namespace {

// One instrument with both PSF tables, and its two requests for any settings.
struct Instrument {
  explicit Instrument(int kx, int ky = 3) : w(MakeWindows(kx, ky, 2, 1, 1, 2, 3, 4)) {
    const std::vector<std::pair<double, double>> centres = {{4.5, 3.5}, {7.25, 9.5}, {8.5, 5.75}};
    detector = MakeRandomPsfs(11, w.Dy + 2, w.Dx + 2, centres, w.Dx, w.Dy, 3);
    noof = MakeRandomPsfs(12, w.NOOFy, w.NOOFx, centres, w.NOOFx, w.NOOFy, 3);
  }

  bool Infield(const TALVEN_RequestSettings& s, std::vector<double>* matrix) {
    std::vector<const double*> pointers;
    const TALVEN_PsfInputs psfs = RequestPsfInputs(detector, &pointers);
    return TALVEN_CreateInfieldMatrix(s, matrix->data(), w.KK(), psfs, w);
  }

  bool Horizontal(const TALVEN_RequestSettings& s, const HorizontalSteps& d,
                  std::vector<double>* matrix) {
    std::vector<const double*> pointers;
    const TALVEN_PsfInputs psfs = RequestPsfInputs(noof, &pointers);
    TALVEN_HorizontalInputs h;
    h.vignettingarray = vignetting.data();
    h.Vnx = vignetting.empty() ? 0 : w.NOOFx;
    h.Vny = vignetting.empty() ? 0 : w.NOOFy;
    h.delta_nx = d.nx;
    h.delta_ny = d.ny;
    h.delta_sx = d.sx;
    h.delta_sy = d.sy;
    return TALVEN_CreateHorizontalMatrix(s, matrix->data(), w.KK(), h, psfs, w);
  }

  TALVEN_WindowLayout w;
  SyntheticPsfs detector, noof;
  std::vector<double> vignetting;  // NOOFy rows of NOOFx factors, or empty
};

bool AllZero(const std::vector<double>& v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return x == 0.0; });
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// One call: its result, its output (starting from a non-zero pattern) and its log lines.
struct Call {
  bool ok = false;
  std::vector<double> matrix;
  std::vector<std::string> lines;
};

// Whether one of the call's lines holds the text.
bool Has(const Call& call, const std::string& text) {
  return std::any_of(call.lines.begin(), call.lines.end(),
                     [&](const std::string& line) { return line.find(text) != line.npos; });
}

struct BlockCase {
  const char* name;
  bool horizontal;
  TALVEN_RequestSettings settings;
  HorizontalSteps steps;
  bool vignetting;
  bool refused;  // the request fails its checks
  int ky = 3;    // L1C rows
};

TALVEN_RequestSettings Options(bool simpson, bool lower_edge, int below, int above) {
  TALVEN_RequestSettings s;
  s.use_simpsons = simpson;
  s.lower_edge = lower_edge;
  s.rows_below = below;
  s.rows_above = above;
  s.diagnostic = true;
  s.threads = 2;
  s.version = "blocks";
  return s;
}

class Blocks : public ::testing::TestWithParam<BlockCase> {
 protected:
  Call Run(Instrument& inst, int c0, int c1) {
    const BlockCase& c = GetParam();
    TALVEN_RequestSettings s = c.settings;
    s.scope.first_column = c0;
    s.scope.end_column = c1;
    Call call;
    call.matrix.assign(static_cast<size_t>(c1 - c0) * inst.w.Ky * inst.w.KK(), 7.0);
    CaptureLog log;
    call.ok =
        c.horizontal ? inst.Horizontal(s, c.steps, &call.matrix) : inst.Infield(s, &call.matrix);
    call.lines = log.lines();
    return call;
  }
};

TEST_P(Blocks, EqualTheRowsOfTheWholeMatrixAndLogWhatItLogs) {
  const BlockCase& c = GetParam();
  Instrument inst(5, c.ky);
  if (c.vignetting) {
    for (int i = 0; i < inst.w.NOOFx * inst.w.NOOFy; ++i) inst.vignetting.push_back(0.5 + i % 7);
  }
  const int kx = inst.w.Kx;
  const Call whole = Run(inst, 0, kx);
  ASSERT_EQ(whole.ok, !c.refused);
  ASSERT_EQ(AllZero(whole.matrix), c.refused);
  const size_t column_size = static_cast<size_t>(inst.w.Ky) * inst.w.KK();
  const std::vector<std::vector<std::pair<int, int>>> splits = {
      {{0, 1}, {1, 3}, {3, kx}}, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, kx}}, {{0, 4}, {4, kx}}};
  for (const auto& split : splits) {
    std::vector<std::string> lines;
    for (const auto& [c0, c1] : split) {
      SCOPED_TRACE(::testing::Message() << "columns [" << c0 << ", " << c1 << ")");
      const Call block = Run(inst, c0, c1);
      EXPECT_EQ(block.ok, whole.ok);
      ASSERT_EQ(block.matrix.size(), (c1 - c0) * column_size);
      EXPECT_EQ(std::memcmp(block.matrix.data(), whole.matrix.data() + c0 * column_size,
                            block.matrix.size() * sizeof(double)),
                0);
      lines.insert(lines.end(), block.lines.begin(), block.lines.end());
    }
    EXPECT_EQ(Sorted(lines), Sorted(whole.lines));
  }
}

INSTANTIATE_TEST_SUITE_P(
    SchemesLowerEdgeVignettingAndSteps, Blocks,
    ::testing::Values(
        BlockCase{"midpoint", false, Options(false, false, 0, 0), {}, false, false},
        BlockCase{"quadratic", false, Options(true, false, 0, 0), {}, false, false},
        BlockCase{"midpoint_lower_edge", false, Options(false, true, 2, 3), {}, false, false},
        BlockCase{"quadratic_lower_edge", false, Options(true, true, 3, 2), {}, false, false},
        // More rows below the edge than the detector window has: the checks fail.
        BlockCase{"lower_edge_refused", false, Options(true, true, 4, 2), {}, false, true},
        BlockCase{"horizontal", true, Options(true, true, 42, 42), {}, false, false},
        BlockCase{"horizontal_vignetting_steps",
                  true,
                  Options(true, true, 42, 42),
                  {3, 2, 2, 1},
                  true,
                  false},
        // Steps that do not divide the binning: each source adds to the sampled receivers.
        BlockCase{"horizontal_steps_off_the_binning",
                  true,
                  Options(true, true, 42, 42),
                  {1, 3, 3, 1},
                  true,
                  false},
        // Source rows summed in blocks of 16 and a shorter last block.
        BlockCase{"midpoint_tall", false, Options(false, false, 0, 0), {}, false, false, 21},
        BlockCase{
            "quadratic_lower_edge_tall", false, Options(true, true, 3, 2), {}, false, false, 21},
        BlockCase{"horizontal_tall", true, Options(true, true, 42, 42), {}, false, false, 21}),
    [](const ::testing::TestParamInfo<BlockCase>& info) { return info.param.name; });

// A generator run on a PSF table that a test may change after set-up, its output a block: the
// in-field matrix, or the horizontal one when `horizontal` is set.
class GeneratorBlocks : public ::testing::Test {
 protected:
  GeneratorBlocks() : inst(5) {}

  Call Run(int c0, int c1) {
    const TALVEN_WindowLayout& w = inst.w;
    Call call;
    call.matrix.assign(static_cast<size_t>(c1 - c0) * w.Ky * w.KK(), 7.0);
    CaptureLog log;
    GeneratorOptions o;
    o.simpson = true;
    o.lower_edge = true;
    o.rows_below = 2;
    o.rows_above = 2;
    auto g = NewGenerator(w, nullptr, 0, o);
    g->set_option_use_simpsons(true);
    TALVEN_BuildScope scope;
    scope.first_column = c0;
    scope.end_column = c1;
    g->set_scope(scope);
    SyntheticPsfs& psfs = horizontal ? inst.noof : inst.detector;
    PsfViews views(psfs);
    zv2dArray<double> output(w.KK(), (c1 - c0) * w.Ky, call.matrix.data());
    call.ok = views.Initialize(
        g.get(), psfs,
        horizontal ? WindowMappingType::WINDOW_NOOF : WindowMappingType::WINDOW_DETECTOR);
    for (const auto& [position, index] : corrupt) psfs.indices[position] = index;
    std::vector<double> no_vignetting(1);
    zv2dArray<double> vignetting(0, 0, no_vignetting.data());
    call.ok =
        call.ok && (horizontal ? g->build_horizontal_stray_light(&output, vignetting, 1, 1, 1, 1)
                               : g->build_transfer_function(&output));
    for (const auto& [position, index] : corrupt) psfs.indices[position] = 0;
    // The errors and warnings: the set-up's lines come from every block here, as the request
    // mutes them in all but the block of column 0.
    for (const std::string& line : log.lines()) {
      if (line.rfind("INFO", 0) != 0) call.lines.push_back(line);
    }
    return call;
  }

  Instrument inst;
  bool horizontal = false;
  // Table entries set to a PSF number that does not exist once the table has checked them, so
  // that the look-ups of single pixels fail.
  std::vector<std::pair<int, int>> corrupt;
};

TEST_F(GeneratorBlocks, LookUpFailuresAndALowerEdgeFailingInALaterColumnFailEveryBlock) {
  const TALVEN_WindowLayout& w = inst.w;
  // A lower edge source of L1C column 3, and a science pixel of L1C pixel (1, 2).
  corrupt = {{inst.detector.Position(0, w.SOFSx + 3 * w.Binx() + 1, w.SOFSy - 1), 99},
             {inst.detector.Position(0, w.SOFSx + 1 * w.Binx(), w.SOFSy + 2 * w.Biny()), 99}};
  inst.detector.coefficients[corrupt[0].first] = 1.0;
  inst.detector.coefficients[corrupt[1].first] = 1.0;
  const Call whole = Run(0, w.Kx);
  EXPECT_FALSE(whole.ok);
  EXPECT_TRUE(AllZero(whole.matrix));
  ASSERT_TRUE(Has(whole, "There were errors processing L1C column (3)"));
  ASSERT_TRUE(Has(whole, "Return empty matrix"));
  std::vector<std::string> lines;
  for (const auto& [c0, c1] : std::vector<std::pair<int, int>>{{0, 1}, {1, 2}, {2, w.Kx}}) {
    const Call block = Run(c0, c1);
    EXPECT_FALSE(block.ok);
    EXPECT_TRUE(AllZero(block.matrix));
    // Only the block of L1C column 1 meets the failing science pixel.
    EXPECT_EQ(Has(block, "Inconsistency error looking up interpolated PSF table for raw detector"),
              c0 == 1);
    lines.insert(lines.end(), block.lines.begin(), block.lines.end());
  }
  EXPECT_EQ(Sorted(lines), Sorted(whole.lines));
}

// One source whose look-up fails, in L1C x-column 3 of the in-field matrix or booked to the right
// target (x-column Kx - 1) of the horizontal one: every block of the request fails, each with an
// empty output, and only the block that holds the source logs its failure.
class BlockLookUps : public GeneratorBlocks, public ::testing::WithParamInterface<bool> {};

TEST_P(BlockLookUps, OneFailingSourceFailsEveryBlock) {
  horizontal = GetParam();
  const TALVEN_WindowLayout& w = inst.w;
  SyntheticPsfs& psfs = horizontal ? inst.noof : inst.detector;
  const int row = w.Biny();  // the first science row of L1C row 1
  const int x = horizontal ? w.DOFSx + w.SOFSx + w.Sx + 1 : w.SOFSx + 3 * w.Binx();
  const int y = horizontal ? w.DOFSy + w.SOFSy + row : w.SOFSy + row;
  corrupt = {{psfs.Position(0, x, y), 99}};
  psfs.coefficients[corrupt[0].first] = 1.0;
  const Call whole = Run(0, w.Kx);
  EXPECT_FALSE(whole.ok);
  EXPECT_TRUE(AllZero(whole.matrix));
  // The lines of the failing look-up: the table's, and in-field the engine's as well.
  std::vector<std::string> failure;
  for (const std::string& line : whole.lines) {
    if (line.find("Return empty matrix") == line.npos) failure.push_back(line);
  }
  ASSERT_FALSE(failure.empty());
  ASSERT_TRUE(Has(whole, "Return empty matrix"));
  const int holder = horizontal ? w.Kx - 1 : 3;
  for (const auto& split : std::vector<std::vector<std::pair<int, int>>>{
           {{0, 1}, {1, 2}, {2, w.Kx}}, {{0, 3}, {3, 4}, {4, w.Kx}}, {{0, 4}, {4, w.Kx}}}) {
    std::vector<std::string> lines;
    for (const auto& [c0, c1] : split) {
      SCOPED_TRACE(::testing::Message() << "columns [" << c0 << ", " << c1 << ")");
      const Call block = Run(c0, c1);
      EXPECT_FALSE(block.ok);
      EXPECT_TRUE(AllZero(block.matrix));
      EXPECT_EQ(Has(block, failure[0]), holder >= c0 && holder < c1);
      lines.insert(lines.end(), block.lines.begin(), block.lines.end());
    }
    EXPECT_EQ(Sorted(lines), Sorted(whole.lines));
  }
}

INSTANTIATE_TEST_SUITE_P(InfieldAndHorizontal, BlockLookUps, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "horizontal" : "infield";
                         });

struct ControlCase {
  bool horizontal;
  int c0, c1;
  int64_t expected_total;  // for Kx = 5, Ky = 3
};

class Control : public ::testing::TestWithParam<ControlCase> {};

TEST_P(Control, CountsTheWorkAndStopsAtTheCallersRequest) {
  const ControlCase c = GetParam();
  Instrument inst(5);
  TALVEN_RequestSettings s = Options(true, true, 2, 2);
  s.scope.first_column = c.c0;
  s.scope.end_column = c.c1;
  for (const int64_t cancel : {0, 1}) {
    int64_t control[3] = {cancel, 0, -1};
    s.scope.control = control;
    std::vector<double> matrix(static_cast<size_t>(c.c1 - c.c0) * inst.w.Ky * inst.w.KK(), 7.0);
    CaptureLog log;
    const bool ok = c.horizontal ? inst.Horizontal(s, {}, &matrix) : inst.Infield(s, &matrix);
    EXPECT_EQ(control[2], c.expected_total);
    EXPECT_EQ(control[0], cancel);
    if (cancel == 0) {
      EXPECT_TRUE(ok);
      EXPECT_EQ(control[1], c.expected_total);
    } else {
      EXPECT_FALSE(ok);
      EXPECT_EQ(control[1], 0);
      EXPECT_TRUE(AllZero(matrix));
      EXPECT_TRUE(log.contains(
          "INFO\t:TALVEN_DeconvolutionMatrixGenerator::" +
          std::string(c.horizontal ? "build_horizontal_stray_light" : "build_transfer_function") +
          ", Cancelled by the caller"));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(WholeAndBlocks, Control,
                         ::testing::Values(ControlCase{false, 0, 5, 5}, ControlCase{false, 1, 3, 2},
                                           ControlCase{true, 0, 5, 3}, ControlCase{true, 3, 5, 3},
                                           ControlCase{true, 1, 4, 0}));

TEST(RequestSettings, LeaveTheCallingThreadsOpenMPSettingsWhenAsked) {
  Instrument inst(2);
  std::vector<double> matrix(static_cast<size_t>(inst.w.KK()) * inst.w.KK());
  omp_set_dynamic(1);
  omp_set_num_threads(3);
  for (const bool restore : {true, false}) {
    TALVEN_RequestSettings s = Options(false, false, 0, 0);
    s.threads = 1;
    s.restore_openmp = restore;
    CaptureLog log;
    ASSERT_TRUE(inst.Infield(s, &matrix));
    EXPECT_TRUE(log.contains("Processing with a maximum of 1 threads"));
    EXPECT_EQ(omp_get_max_threads(), restore ? 3 : 1);
    EXPECT_EQ(omp_get_dynamic(), restore ? 1 : 0);
  }
}

}  // namespace
// of the wrong size, a failed look-up) carry the path of the file of the method that builds the
// matrix.
class BuildLinePaths : public ::testing::TestWithParam<bool> {};

TEST_P(BuildLinePaths, AreThoseOfTheMethodThatBuildsTheMatrix) {
  const bool horizontal = GetParam();
  const std::string path = horizontal ? "cpp/sources/talven_horizontal_deconvolution_matrix"
                                      : "cpp/sources/make_psfmatrix";
  Instrument inst(5);
  const TALVEN_WindowLayout& w = inst.w;
  SyntheticPsfs& psfs = horizontal ? inst.noof : inst.detector;
  // A source booked to the right target of the horizontal matrix, or one of L1C x-column 3.
  const int x = horizontal ? w.DOFSx + w.SOFSx + w.Sx + 1 : w.SOFSx + 3 * w.Binx();
  const int y = horizontal ? w.DOFSy + w.SOFSy : w.SOFSy;
  psfs.coefficients[psfs.Position(0, x, y)] = 1.0;
  int64_t cancel[3] = {1, 0, -1};
  struct Build {
    TALVEN_MatrixEngine engine;
    int end_column;
    int64_t* control;
    int missing_rows;
    bool corrupt;
    const char* line;
  };
  const TALVEN_MatrixEngine fast = TALVEN_MatrixEngine::kFast;
  const TALVEN_MatrixEngine reference = TALVEN_MatrixEngine::kReference;
  for (const Build& b : {Build{reference, 1, nullptr, 0, false, "builds whole matrices only"},
                         Build{fast, w.Kx, cancel, 0, false, "Cancelled by the caller"},
                         Build{reference, w.Kx, nullptr, 1, false, "is not the expected size"},
                         Build{fast, w.Kx, nullptr, 0, true, "Return empty matrix"},
                         Build{reference, w.Kx, nullptr, 0, true, "Return empty matrix"}}) {
    SCOPED_TRACE(b.line);
    auto g = NewGenerator(w, nullptr, 0, GeneratorOptions());
    g->set_engine(b.engine);
    TALVEN_BuildScope scope;
    scope.end_column = b.end_column;
    scope.control = b.control;
    g->set_scope(scope);
    PsfViews views(psfs);
    psfs.indices[psfs.Position(0, x, y)] = 0;
    ASSERT_TRUE(views.Initialize(
        g.get(), psfs,
        horizontal ? WindowMappingType::WINDOW_NOOF : WindowMappingType::WINDOW_DETECTOR));
    // A PSF number that does not exist, once the table has checked it.
    if (b.corrupt) psfs.indices[psfs.Position(0, x, y)] = 99;
    const int rows = b.end_column * w.Ky - b.missing_rows;
    std::vector<double> matrix(static_cast<size_t>(rows) * w.KK());
    zv2dArray<double> output(w.KK(), rows, matrix.data());
    zv2dArray<double> vignetting(0, 0, nullptr);
    CaptureLog log;
    EXPECT_FALSE(horizontal ? g->build_horizontal_stray_light(&output, vignetting, 1, 1, 1, 1)
                            : g->build_transfer_function(&output));
    EXPECT_EQ(log.FileOf(b.line), path);
  }
}

INSTANTIATE_TEST_SUITE_P(InfieldAndHorizontal, BuildLinePaths, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "horizontal" : "infield";
                         });
