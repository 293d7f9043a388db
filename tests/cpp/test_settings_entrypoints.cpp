// The process-wide settings and the two creation entry points, called as a C caller calls them:
// the settings reach the generator, and refused requests log their reasons, zero the output and
// never touch memory they were not given (run under the sanitizers).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/talven_deconvolution_matrix.h"
#include "matrix_test_problem.h"

namespace {

// The arguments of one request, which a test changes before the call.
struct Request {
  explicit Request(bool noof_table) : w(MakeWindows(3, 2, 2, 1, 1, 2, 3, 4)) {
    const int nx = noof_table ? w.NOOFx : w.Dx;
    const int ny = noof_table ? w.NOOFy : w.Dy;
    psfs = MakeRandomPsfs(11, ny, nx, {{4.5, 3.5}, {7.25, 9.5}, {8.5, 5.75}}, nx, ny, 4);
    for (const auto& s : psfs.samples) pointers.push_back(s.data());
    KK = w.KK();
    M = numpsf = static_cast<int>(pointers.size());
    matrix.assign(static_cast<size_t>(KK) * KK, 7.0);
  }

  bool Infield() {
    return talvendll_create_deconvolution_matrix(
        matrix.data(), KK, pointers.data(), M, psfs.columns, psfs.rows, psfs.locations.data(),
        numpsf, numcentres, psfs.coefficients.data(), psfs.table_nx, psfs.table_ny, psfs.ncoef,
        psfs.indices.data(), psfs.table_nx, psfs.table_ny, psfs.ncoef, w.FULLCONVx, w.FULLCONVy,
        w.NOFSx, w.NOFSy, w.NOOFx, w.NOOFy, w.DOFSx, w.DOFSy, w.Dx, w.Dy, w.SOFSx, w.SOFSy, w.Sx,
        w.Sy, w.LBINx, w.LBINy, w.Lx, w.Ly, w.KBINx, w.KBINy, w.Kx, w.Ky);
  }

  bool Horizontal() {
    return talvendll_create_horizontal_stray_light_matrix(
        matrix.data(), KK, vignetting.data(), vnx, vny, pointers.data(), M, psfs.columns, psfs.rows,
        psfs.locations.data(), numpsf, numcentres, psfs.coefficients.data(), psfs.table_nx,
        psfs.table_ny, psfs.ncoef, psfs.indices.data(), psfs.table_nx, psfs.table_ny, psfs.ncoef,
        w.FULLCONVx, w.FULLCONVy, w.NOFSx, w.NOFSy, w.NOOFx, w.NOOFy, w.DOFSx, w.DOFSy, w.Dx, w.Dy,
        w.SOFSx, w.SOFSy, w.Sx, w.Sy, w.LBINx, w.LBINy, w.Lx, w.Ly, w.KBINx, w.KBINy, w.Kx, w.Ky,
        steps.nx, steps.ny, steps.sx, steps.sy);
  }

  // Replaces the PSF inputs, pointers included.
  void SetPsfs(SyntheticPsfs p) {
    psfs = std::move(p);
    pointers.clear();
    for (const auto& s : psfs.samples) pointers.push_back(s.data());
    M = numpsf = static_cast<int>(pointers.size());
  }

  TALVEN_WindowLayout w;
  SyntheticPsfs psfs;
  std::vector<const double*> pointers;
  std::vector<double> matrix;
  std::vector<double> vignetting;
  int KK, M, numpsf, numcentres = 3, vnx = 0, vny = 0;
  HorizontalSteps steps;
};

// Restores the default settings when a test ends.
class SettingsTest : public ::testing::Test {
 protected:
  void TearDown() override {
    talvendll_set_option("use_simpsons", 1);
    talvendll_set_option("create_lower_edge_adjustment", 1);
    talvendll_set_option("lower_edge_rows_below", 42);
    talvendll_set_option("lower_edge_rows_above", 42);
    talvendll_set_diagnostic(0);
    talvendll_set_numthreads(0);
    talvenddl_set_versionstring("Version 0.2.0 2021-01-10");
  }
  CaptureLog log;
};

TEST_F(SettingsTest, DefaultsAndSetters) {
  EXPECT_TRUE(g_use_simspons_interpolation);
  EXPECT_TRUE(g_create_lower_edge_adjustment);
  EXPECT_EQ(g_rows_below_bottom_edge, 42);
  EXPECT_EQ(g_rows_above_bottom_edge, 42);
  EXPECT_FALSE(g_diagnosticonly);
  EXPECT_EQ(g_maxthreads, 0);
  EXPECT_EQ(g_versionstr, "Version 0.2.0 2021-01-10");

  talvendll_set_option("use_simpsons", 0);
  EXPECT_FALSE(g_use_simspons_interpolation);
  talvendll_set_option("use_simpsons", -1);
  EXPECT_TRUE(g_use_simspons_interpolation);
  talvendll_set_option("create_lower_edge_adjustment", 0);
  EXPECT_FALSE(g_create_lower_edge_adjustment);
  talvendll_set_option("lower_edge_rows_below", -5);
  talvendll_set_option("lower_edge_rows_above", 7);
  EXPECT_EQ(g_rows_below_bottom_edge, -5);
  EXPECT_EQ(g_rows_above_bottom_edge, 7);
  talvendll_set_diagnostic(2);
  EXPECT_TRUE(g_diagnosticonly);
  talvendll_set_numthreads(-3);
  EXPECT_EQ(g_maxthreads, -3);
  talvenddl_set_versionstring("v2");
  EXPECT_EQ(g_versionstr, "v2");
  EXPECT_TRUE(log.lines().empty());

  for (const char* name : {"Use_simpsons", "use_simpson", "use_simpsons ", ""}) {
    log.clear();
    talvendll_set_option(name, 0);
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               std::string("WARNING\t:cimpl_set_option::Deconvolution option "
                                           "interface: Unknow option [") +
                               name + "]"});
  }
  talvendll_set_option(nullptr, 0);
  EXPECT_TRUE(g_use_simspons_interpolation);
  EXPECT_EQ(g_rows_below_bottom_edge, -5);
}

TEST_F(SettingsTest, SetLoggerInstallsWithoutKeepingAReference) {
  CaptureLog other;  // now the default
  const uint32_t count = log.AddRef();
  talvendll_set_logger(&log);
  EXPECT_EQ(log.Release(), count);
  talvendll_set_option("unknown", 1);
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(other.lines().empty());
  talvendll_set_logger(nullptr);
  EXPECT_EQ(zvLogBase::GetDefaultLogger(), &log);
}

TEST_F(SettingsTest, RequestsPassTheSettingsToTheGenerator) {
  talvendll_set_option("use_simpsons", 0);
  talvendll_set_option("lower_edge_rows_below", 2);
  talvendll_set_option("lower_edge_rows_above", 3);
  talvendll_set_numthreads(1);
  talvenddl_set_versionstring("entry point test");
  Request infield(false);
  ASSERT_TRUE(infield.Infield());
  EXPECT_TRUE(
      log.contains("INFO\t:talvendll_create_deconvolution_matrix, Version [entry point "
                   "test]"));
  EXPECT_TRUE(log.contains("Processing with a maximum of 1 threads"));
  EXPECT_EQ(log.lines().back(),
            "INFO\t:talvendll_create_deconvolution_matrix. Successfuly generated the convolution "
            "matrix of size (6,6)");
  GeneratorOptions options{false, true, 2, 3, false, 1};
  EXPECT_EQ(infield.matrix, RunInfield(infield.w, infield.psfs, options).matrix);

  // The horizontal request ignores the named options.
  Request horizontal(true);
  horizontal.steps = {2, 1, 1, 2};
  horizontal.vnx = horizontal.w.NOOFx;
  horizontal.vny = horizontal.w.NOOFy;
  for (int i = 0; i < horizontal.vnx * horizontal.vny; ++i) {
    horizontal.vignetting.push_back(0.5 + (i % 5) * 0.1);
  }
  ASSERT_TRUE(horizontal.Horizontal());
  EXPECT_EQ(horizontal.matrix,
            RunHorizontal(horizontal.w, horizontal.psfs, horizontal.vignetting, horizontal.vnx,
                          horizontal.vny, horizontal.steps, false, 1)
                .matrix);
}

struct Refusal {
  const char* what;
  std::function<void(Request&)> change;
  const char* error;  // the one error line expected, after the request's name
};

void ExpectRefused(CaptureLog& log, Request& r, bool infield, const Refusal& refusal) {
  SCOPED_TRACE(refusal.what);
  log.clear();
  refusal.change(r);
  const std::string request = infield ? "talvendll_create_deconvolution_matrix"
                                      : "talvendll_create_horizontal_stray_light_matrix";
  EXPECT_FALSE(infield ? r.Infield() : r.Horizontal());
  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "ERROR\t:" + request + ", " + refusal.error);
  EXPECT_EQ(lines[1].rfind("INFO\t:" + request + ". Error generating the ", 0), 0u);
  for (size_t i = 0; i < static_cast<size_t>(r.KK) * r.KK; ++i) ASSERT_EQ(r.matrix[i], 0.0);
}

TEST_F(SettingsTest, InfieldRequestRefusesWhatItCannotRead) {
  talvendll_set_option("lower_edge_rows_below", 3);
  const std::vector<Refusal> refusals = {
      {"fewer locations than PSFs", [](Request& r) { r.numpsf = r.M - 1; },
       "The number of PSF arrays (3) does not equal the number of locations (2)"},
      {"two values per location", [](Request& r) { r.numcentres = 2; },
       "The PSF location array has 2 values per PSF, it must have 3"},
      {"matrix of another size", [](Request& r) { r.KK -= 1; },
       "The square convolution matrix dimension size (5) is inconsistent with the L1C binned "
       "window size (2,3)"},
      {"science window past the detector", [](Request& r) { r.w.SOFSy = r.w.Dy - r.w.Sy + 1; },
       "The science window of size (4,6) at offset (7,3) does not lie inside the detector window "
       "(10,12)"},
      {"too few rows below", [](Request& r) { r.w.SOFSy = 2; },
       "The lower edge correction needs 3 detector rows below the science window (option "
       "lower_edge_rows_below) but the detector window has 2"},
      {"negative PSF count", [](Request& r) { r.M = r.numpsf = -1; },
       "M (-1) must not be negative"},
  };
  for (const Refusal& refusal : refusals) {
    Request r(false);
    ExpectRefused(log, r, true, refusal);
  }
}

TEST_F(SettingsTest, HorizontalRequestRefusesWhatItCannotRead) {
  const std::vector<Refusal> refusals = {
      {"zero step", [](Request& r) { r.steps.sx = 0; },
       "The sampling steps (delta_ny, delta_nx, delta_sy, delta_sx) = (1, 1, 1, 0) must all be at "
       "least 1"},
      {"science window past the NOOF window", [](Request& r) { r.w.DOFSx = 12; },
       "The science window of size (4,6) at offset (7,15) in the NOOF window does not lie inside "
       "the NOOF window (18,20)"},
      {"two values per location", [](Request& r) { r.numcentres = 2; },
       "The PSF location array has 2 values per PSF, it must have 3"},
      {"negative vignetting size", [](Request& r) { r.vnx = -1; },
       "Error attaching to the (-1, 0) vignetting array"},
      {"step product past 32 bits", [](Request& r) { r.steps.sx = r.steps.sy = 1 << 16; },
       "The product delta_sx * delta_sy = 4294967296 does not fit a 32-bit integer"},
  };
  for (const Refusal& refusal : refusals) {
    Request r(true);
    ExpectRefused(log, r, false, refusal);
  }
}

// Requests that pass every check and fail later, in the PSF table or in the build: the output,
// which starts non-zero, ends all 0.0 either way, and the request's last line says it failed.
struct LateFailure {
  const char* what;
  bool infield;
  std::function<void(Request&)> change;
  const char* error;  // part of an error line the failure logs
};

class LateFailures : public SettingsTest, public ::testing::WithParamInterface<LateFailure> {};

// More coefficients per pixel than an interpolation object holds, four of them non-zero: every
// look-up of the build fails.
void TooManyCoefficients(Request& r) {
  const int nx = r.psfs.table_nx, ny = r.psfs.table_ny;
  SyntheticPsfs p = MakeRandomPsfs(5, r.psfs.rows, r.psfs.columns, {{4.5, 3.5}, {7.25, 9.5}}, nx,
                                   ny, TALVEN_PSF_InterpolationCoeffs::kCapacity + 1);
  for (size_t i = 0; i < p.coefficients.size(); ++i) {
    p.coefficients[i] = (i % p.ncoef) < 4 ? 0.25 : 0.0;
  }
  r.SetPsfs(std::move(p));
}

TEST_P(LateFailures, LeaveTheMatrixAllZero) {
  const LateFailure& c = GetParam();
  talvendll_set_option("create_lower_edge_adjustment", 0);
  Request r(!c.infield);
  c.change(r);
  EXPECT_FALSE(c.infield ? r.Infield() : r.Horizontal());
  EXPECT_TRUE(log.contains(c.error));
  const std::string request = c.infield ? "talvendll_create_deconvolution_matrix"
                                        : "talvendll_create_horizontal_stray_light_matrix";
  EXPECT_EQ(log.lines().back().rfind("INFO\t:" + request + ". Error generating the ", 0), 0u);
  ASSERT_EQ(r.matrix.size(), static_cast<size_t>(r.KK) * r.KK);
  for (size_t i = 0; i < r.matrix.size(); ++i) ASSERT_EQ(r.matrix[i], 0.0) << "element " << i;
}

void IndexPastThePsfs(Request& r) { r.psfs.indices[0] = r.M; }

INSTANTIATE_TEST_SUITE_P(
    EntryPoints, LateFailures,
    ::testing::Values(
        LateFailure{"InfieldPsfTable", true, IndexPastThePsfs, "TALVEN_PSF_Table::"},
        LateFailure{"HorizontalPsfTable", false, IndexPastThePsfs, "TALVEN_PSF_Table::"},
        LateFailure{"InfieldLookUps", true, TooManyCoefficients, "Return empty matrix"},
        LateFailure{"HorizontalLookUps", false, TooManyCoefficients, "Return empty matrix"}),
    [](const ::testing::TestParamInfo<LateFailure>& info) { return info.param.what; });

}  // namespace
