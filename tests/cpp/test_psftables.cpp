#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "capture_log.h"
#include "cpp/sources/psftables.h"

using WMT = WindowMappingType;

namespace {

// Full conv (20, 18) > NOOF at (1, 1) of (12, 10) > detector at (2, 3) of (8, 6); the science,
// L1B and L1C windows coincide with the detector window.
std::unique_ptr<WindowMappingHierarchy> MakeHierarchy() {
  return std::unique_ptr<WindowMappingHierarchy>(new WindowMappingHierarchy(
      20, 18, 1, 1, 12, 10, 2, 3, 8, 6, 0, 0, 8, 6, 1, 1, 8, 6, 1, 1, 8, 6));
}

// Measured PSFs of rows x columns samples (rows fastest) and their (Y, X, code) location triples.
struct PsfSet {
  int rows;
  int cols;
  std::vector<std::vector<double>> samples;
  std::vector<const double*> pointers;
  std::vector<double> locations;

  PsfSet(int r, int c) : rows(r), cols(c) { locations.reserve(64); }

  void Add(const std::function<double(int x, int y)>& f, double Y, double X, double code = 3) {
    std::vector<double> s(static_cast<size_t>(rows) * cols);
    for (int x = 0; x < cols; ++x) {
      for (int y = 0; y < rows; ++y) s[y + static_cast<size_t>(x) * rows] = f(x, y);
    }
    samples.push_back(std::move(s));
    pointers.clear();
    for (const auto& p : samples) pointers.push_back(p.data());
    locations.insert(locations.end(), {Y, X, code});
  }
  double Sample(int k, int x, int y) const { return samples[k][y + static_cast<size_t>(x) * rows]; }
  int Count() const { return static_cast<int>(samples.size()); }
};

// Coefficient and index tables (k, y, x) over a window of numx x numy pixels.
struct Tables {
  int n, numx, numy;
  std::vector<double> coeffs;
  std::vector<int> indices;
  zv3dArray<double> coeff_view;
  zv3dArray<int> index_view;

  Tables(int n_, int numx_, int numy_)
      : n(n_),
        numx(numx_),
        numy(numy_),
        coeffs(static_cast<size_t>(n_) * numx_ * numy_ + 1, 0.0),
        indices(static_cast<size_t>(n_) * numx_ * numy_ + 1, 0) {
    coeff_view.Attach(n, numy, numx, coeffs.data());
    index_view.Attach(n, numy, numx, indices.data());
  }
  void Set(int x, int y, int k, double c, int index) {
    const size_t e = k + static_cast<size_t>(n) * (y + static_cast<size_t>(numy) * x);
    coeffs[e] = c;
    indices[e] = index;
  }
};

struct PsfFixture {
  std::unique_ptr<WindowMappingHierarchy> h = MakeHierarchy();
  PsfSet psfs;
  Tables tables;
  zv2dArray<double> location_view;
  TALVEN_PSF_Table table;

  PsfFixture(int rows, int cols, int n, WMT kind)
      : psfs(rows, cols),
        tables(n, kind == WMT::WINDOW_NOOF ? 12 : 8, kind == WMT::WINDOW_NOOF ? 10 : 6) {}

  bool Initialize(WMT kind) {
    location_view.Detach();
    location_view.Attach(3, psfs.Count(), psfs.locations.data());
    return table.Initialize(psfs.pointers.data(), psfs.Count(), psfs.cols, psfs.rows, kind, *h,
                            location_view, tables.coeff_view, tables.index_view);
  }
};

// A bilinear function is reproduced exactly by bilinear interpolation, also when extrapolated.
double Bilinear(double x, double y) { return 3.0 + 2.0 * x + 5.0 * y + 0.5 * x * y; }

Coords Det(int x, int y) { return Coords(y, x, WMT::WINDOW_DETECTOR); }

}  // namespace

TEST(PsfEntry, WholeCentreReturnsStoredSamples) {
  PsfFixture s(15, 25, 1, WMT::WINDOW_DETECTOR);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0.5, 1.5);
  s.psfs.Add([&](int, int) { return u(rng); }, 10.5, 20.5);
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  const TALVEN_PSF_Entry& e = s.table.MeasuredPSFEntries().at(0);
  EXPECT_TRUE(e.CentreIsWhole());
  EXPECT_EQ(e.Centre().x, 20.0);
  EXPECT_EQ(e.Centre().y, 10.0);
  EXPECT_EQ(e.Size().x, 25);
  EXPECT_EQ(e.Size().y, 15);
  const Coords centre = Det(4, 3);
  for (int dx = -30; dx <= 30; ++dx) {
    for (int dy = -20; dy <= 20; ++dy) {
      const int x = 20 + dx, y = 10 + dy;
      const bool inside = x >= 0 && x < 25 && y >= 0 && y < 15;
      const double expected = inside ? s.psfs.Sample(0, x, y) : 0.0;
      ASSERT_EQ(e.OffsetedValue(Det(4 + dx, 3 + dy), centre), expected) << dx << "," << dy;
    }
  }
}

TEST(PsfEntry, FractionalCentreInterpolatesAndDropsPartialEdgeCells) {
  PsfFixture s(15, 25, 1, WMT::WINDOW_DETECTOR);
  s.psfs.Add([](int x, int y) { return Bilinear(x, y); }, 10.0, 20.0);
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  const TALVEN_PSF_Entry& e = s.table.MeasuredPSFEntries().at(0);
  EXPECT_FALSE(e.CentreIsWhole());
  EXPECT_EQ(e.Centre().x, 19.5);
  EXPECT_EQ(e.Centre().y, 9.5);
  for (int dx = -22; dx <= 8; ++dx) {
    for (int dy = -12; dy <= 8; ++dy) {
      const double a = 19.5 + dx, c = 9.5 + dy;
      // Cells [b, b+1] x [d, d+1] with b, d = a, c truncated toward zero; (-1, 0) truncates to 0
      // and extrapolates from cell 0. A cell touching the last column or row gives 0.
      const bool usable = a > -1 && a < 24 && c > -1 && c < 14;
      const double expected = usable ? Bilinear(a, c) : 0.0;
      ASSERT_NEAR(e.ValueAtDisplacement(dx, dy), expected, 1e-12) << dx << "," << dy;
    }
  }
  EXPECT_EQ(e.ValueAtDisplacement(24 - 19, 0), 0.0);  // a = 24.5: cell reaches column 25
  EXPECT_EQ(e.ValueAtDisplacement(0, 14 - 9), 0.0);   // c = 14.5: cell reaches row 15
  EXPECT_NE(e.ValueAtDisplacement(-20, 0), 0.0);      // a = -0.5: extrapolated
  EXPECT_EQ(e.ValueAtDisplacement(-21, 0), 0.0);      // a = -1.5
  EXPECT_EQ(e.OffsetedValue(Det(1, 2), Det(3, 3)), e.ValueAtDisplacement(-2, -1));
}

// Whole columns of displacements against the values one at a time, bit for bit (any NaN for a
// NaN): centres whole, fractional, before the first sample, far outside, not a number, and one
// whose positions round onto cell edges (1 - 2^-53 + 1 rounds to 2), which an infinite sample in
// the row before shows.
TEST(PsfEntry, ColumnsOfDisplacementsMatchSingleValues) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> samples(9 * 7);
  for (double& v : samples) v = u(rng);
  samples[3 * 7 + 1] = std::numeric_limits<double>::infinity();  // row 1, column 3
  const zv2dArray<double> view(7, 9, samples.data());            // 7 rows x 9 columns
  const double below_one = std::nextafter(1.0, 0.0);
  for (const auto& [cx, cy] : std::vector<std::pair<double, double>>{{3.0, 4.0},
                                                                     {1.75, 3.25},
                                                                     {-0.5, -0.75},
                                                                     {2.5, below_one},
                                                                     {1e300, 2.5},
                                                                     {2.5, std::nan("")}}) {
    TALVEN_PSF_Entry e;
    ASSERT_TRUE(e.Configure(WMT::WINDOW_NOOF, view, FloatCoords{cx, cy}, WMT::WINDOW_NOOF));
    for (int dx = -10; dx <= 10; ++dx) {
      std::vector<double> column(40);
      e.ValuesAtDisplacements(dx, -15, 40, column.data());
      for (int j = 0; j < 40; ++j) {
        const double single = e.ValueAtDisplacement(dx, j - 15);
        const bool same = std::isnan(single)
                              ? std::isnan(column[j])
                              : std::memcmp(&column[j], &single, sizeof(double)) == 0;
        ASSERT_TRUE(same) << cx << ", " << cy << ": " << dx << ", " << j - 15;
      }
    }
  }
}

// Random samples, so that a wrong corner order shows.
TEST(PsfEntry, BilinearCornersFollowTheCellOrientation) {
  PsfFixture s(6, 7, 1, WMT::WINDOW_DETECTOR);
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  s.psfs.Add([&](int, int) { return u(rng); }, 3.75, 2.25);  // centre (x 1.75, y 3.25)
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  const TALVEN_PSF_Entry& e = s.table.MeasuredPSFEntries().at(0);
  for (int dx = -1; dx <= 3; ++dx) {
    for (int dy = -3; dy <= 1; ++dy) {
      const int b = 1 + dx, d = 3 + dy;
      const double fx = 0.75, fy = 0.25;
      const double expected = (1 - fx) * (1 - fy) * s.psfs.Sample(0, b, d) +
                              fx * (1 - fy) * s.psfs.Sample(0, b + 1, d) +
                              (1 - fx) * fy * s.psfs.Sample(0, b, d + 1) +
                              fx * fy * s.psfs.Sample(0, b + 1, d + 1);
      EXPECT_NEAR(e.ValueAtDisplacement(dx, dy), expected, 1e-14) << dx << "," << dy;
    }
  }
}

// A PSF with a zero border keeps its energy under any centre: every sample's bilinear weights add
// up to one. The border is two samples wide at the low edges, where cell 0 is also used for
// extrapolation.
TEST(PsfEntry, FractionalShiftConservesEnergyOfABorderedPsf) {
  for (const double frac : {0.0, 0.1, 0.9, 0.5}) {  // 0.5 gives a whole centre
    PsfFixture s(9, 11, 1, WMT::WINDOW_DETECTOR);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    s.psfs.Add([&](int x, int y) { return (x < 2 || y < 2 || x == 10 || y == 8) ? 0 : u(rng); },
               4.0 + frac, 5.0 + frac);
    CaptureLog log;
    ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
    double total = 0, shifted = 0;
    for (const double v : s.psfs.samples[0]) total += v;
    const TALVEN_PSF_Entry& e = s.table.MeasuredPSFEntries().at(0);
    for (int dx = -15; dx <= 15; ++dx) {
      for (int dy = -15; dy <= 15; ++dy) shifted += e.ValueAtDisplacement(dx, dy);
    }
    EXPECT_NEAR(shifted, total, 1e-12 * total) << frac;
  }
}

TEST(PsfTable, InitializeReadsLocationTriplesAndLogs) {
  PsfFixture s(7, 9, 1, WMT::WINDOW_DETECTOR);
  s.psfs.Add([](int, int) { return 1.0; }, 10.5, 20.5, 3);
  s.psfs.Add([](int, int) { return 1.0; }, 2.0, 4.0, 7);
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  const auto& entries = s.table.MeasuredPSFEntries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].MeasuredWindowType(), WMT::WINDOW_DETECTOR);
  EXPECT_EQ(entries[1].MeasuredWindowType(), WMT::WINDOW_UNDEFINED);
  EXPECT_EQ(entries[1].Centre().x, 3.5);
  EXPECT_EQ(entries[1].Centre().y, 1.5);
  EXPECT_EQ(entries[1].WorkingFormat(), WMT::WINDOW_DETECTOR);
  EXPECT_EQ(&s.table.WindowHierarchy(), s.h.get());
  const std::vector<std::string> expected = {
      "INFO\t:All PSF coordinates will be mapped to the detector window",
      "INFO\t:TALVEN_PSF_Table::Initialize, Adding measured PSF[0] of size (7, 9) with its center "
      "at (Y=10.500000, X=20.500000)",
      "INFO\t:TALVEN_PSF_Table::Initialize, Adding measured PSF[1] of size (7, 9) with its center "
      "at (Y=2.000000, X=4.000000)",
  };
  EXPECT_EQ(log.lines(), expected);
}

TEST(PsfTable, InitializeRejectsBadKindsShapesAndInputs) {
  const std::string closing =
      "WARNING\t:TALVEN_PSF_Table::Initialize, There were errors configuring the TALVEN PSF "
      "Interpolation Table. Thats not good.";
  {
    PsfFixture s(7, 9, 2, WMT::WINDOW_DETECTOR);
    CaptureLog log;
    EXPECT_FALSE(s.Initialize(WMT::WINDOW_SCIENCE));
    const std::vector<std::string> expected = {
        "ERROR\t:TALVEN_PSF_Table::Initialize, PSF table only support DETECTOR or NOOF windows. "
        "And all PSF windows must use the same window",
        closing};
    EXPECT_EQ(log.lines(), expected);
  }
  {
    // Tables sized for the detector window handed to a NOOF table.
    PsfFixture s(7, 9, 2, WMT::WINDOW_DETECTOR);
    CaptureLog log;
    EXPECT_FALSE(s.Initialize(WMT::WINDOW_NOOF));
    const std::vector<std::string> expected = {
        "INFO\t:All PSF coordinates will be mapped to the NOOF window",
        "ERROR\t:TALVEN_PSF_Table::Initialize, The PSF coeffiecient and index tables are the wong "
        "size. Expected (x,10,12) but got (2,6,8)",
        closing};
    EXPECT_EQ(log.lines(), expected);
    TALVEN_PSF_InterpolationCoeffs coeffs;
    EXPECT_FALSE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(0, 0), &coeffs));
  }
  {
    // Two PSFs but only five location values: the sixth must never be read.
    PsfFixture s(7, 9, 1, WMT::WINDOW_DETECTOR);
    s.psfs.Add([](int, int) { return 1.0; }, 1.5, 1.5);
    s.psfs.Add([](int, int) { return 1.0; }, 2.5, 2.5);
    std::vector<double> five(s.psfs.locations.begin(), s.psfs.locations.begin() + 5);
    zv2dArray<double> short_locations(5, 1, five.data());
    CaptureLog log;
    EXPECT_FALSE(s.table.Initialize(s.psfs.pointers.data(), 2, 9, 7, WMT::WINDOW_DETECTOR, *s.h,
                                    short_locations, s.tables.coeff_view, s.tables.index_view));
    EXPECT_TRUE(
        log.contains("ERROR\t:TALVEN_PSF_Table::Initialize, The PSF location array holds "
                     "(5) values but (2) PSFs need (6)"));
    EXPECT_EQ(log.lines().back(), closing);
    EXPECT_TRUE(s.table.MeasuredPSFEntries().empty());
  }
  {
    // Zero PSFs and no coefficients: a valid, empty table.
    PsfFixture s(7, 9, 3, WMT::WINDOW_DETECTOR);
    CaptureLog log;
    EXPECT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
    EXPECT_TRUE(s.table.MeasuredPSFEntries().empty());
    EXPECT_FALSE(log.contains("ERROR"));
  }
}

TEST(PsfTable, InterpolationIndexOutsideTheMeasuredPsfsIsRejected) {
  PsfFixture s(7, 9, 2, WMT::WINDOW_DETECTOR);
  for (int k = 0; k < 3; ++k) s.psfs.Add([](int, int) { return 1.0; }, 3.5, 4.5);
  s.tables.Set(5, 4, 1, 0.0, 17);  // a zero coefficient's index is never followed
  {
    CaptureLog log;
    EXPECT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  }
  s.tables.Set(2, 1, 1, 0.5, 3);
  s.tables.Set(6, 5, 0, 0.5, -1);
  CaptureLog log;
  EXPECT_FALSE(s.Initialize(WMT::WINDOW_DETECTOR));
  EXPECT_TRUE(
      log.contains("ERROR\t:TALVEN_PSF_Table::Initialize, PSF interpolation index (3) of "
                   "pixel (y=1, x=2) is outside the measured PSFs [0, 3); the tables hold "
                   "(2) such indices"));
  TALVEN_PSF_InterpolationCoeffs coeffs;
  EXPECT_FALSE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(2, 1), &coeffs));
  EXPECT_EQ(coeffs.Count(), 0);

  // The same guard for a caller that fills the object directly.
  const double c[2] = {0.5, 0.5};
  const int bad[2] = {0, 3};
  EXPECT_FALSE(coeffs.InterpolatePsfArrayToPixelLocation(Det(0, 0), &s.table, c, bad, 2));
  EXPECT_EQ(coeffs.Count(), 0);
  EXPECT_EQ(coeffs.PSF(Det(0, 0), Det(0, 0)), 0.0);
}

TEST(PsfInterpolation, KeepsNonZeroCoefficientsAndBlendsShiftedPsfs) {
  PsfFixture s(7, 9, 4, WMT::WINDOW_DETECTOR);
  // Whole centres that differ from PSF to PSF.
  const auto cx = [](int k) { return 2 + k % 3; };
  const auto cy = [](int k) { return 3 + k % 2; };
  for (int k = 0; k < 10; ++k) {
    s.psfs.Add([k](int x, int y) { return 100.0 * k + 10.0 * x + y; }, cy(k) + 0.5, cx(k) + 0.5);
  }
  const double w[4] = {0, 0.25, 0, 0.75};
  const int idx[4] = {3, 5, 7, 9};
  for (int k = 0; k < 4; ++k) s.tables.Set(5, 2, k, w[k], idx[k]);
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  TALVEN_PSF_InterpolationCoeffs coeffs;
  const double* storage = coeffs.Coefficients();
  ASSERT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(5, 2), &coeffs));
  ASSERT_EQ(coeffs.Count(), 2);
  EXPECT_EQ(coeffs.Indices()[0], 5);
  EXPECT_EQ(coeffs.Indices()[1], 9);
  EXPECT_EQ(coeffs.Coefficients(), storage);  // refilled in place
  const Coords centre = Det(5, 2);
  for (int x = -2; x < 12; ++x) {
    for (int y = -2; y < 9; ++y) {
      // PSF k's centre sample lands on the centre pixel (5, 2).
      const auto sample = [&](int k) {
        const int px = cx(k) + x - 5, py = cy(k) + y - 2;
        return (px >= 0 && px < 9 && py >= 0 && py < 7) ? s.psfs.Sample(k, px, py) : 0.0;
      };
      const double expected = 0.25 * sample(5) + 0.75 * sample(9);
      ASSERT_NEAR(coeffs.PSF(Det(x, y), centre), expected, 1e-12) << x << "," << y;
    }
  }

  // A pixel whose coefficients are all zero: success, and a PSF of 0 everywhere.
  ASSERT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(1, 1), &coeffs));
  EXPECT_EQ(coeffs.Count(), 0);
  EXPECT_EQ(coeffs.PSF(Det(1, 1), Det(1, 1)), 0.0);

  // A NaN coefficient is kept and poisons every value.
  s.tables.Set(0, 0, 2, std::numeric_limits<double>::quiet_NaN(), 1);
  ASSERT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(0, 0), &coeffs));
  EXPECT_EQ(coeffs.Count(), 1);
  EXPECT_TRUE(std::isnan(coeffs.PSF(Det(3, 3), Det(0, 0))));
  EXPECT_TRUE(std::isnan(coeffs.PSF(Det(-50, 3), Det(0, 0))));
  EXPECT_FALSE(log.contains("ERROR"));
}

TEST(PsfInterpolation, CapacityIsOneHundredCoefficients) {
  PsfFixture s(7, 9, 1, WMT::WINDOW_DETECTOR);
  s.psfs.Add([](int, int) { return 1.0; }, 3.5, 4.5);
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_DETECTOR));
  std::vector<double> c(101, 0.01);
  std::vector<int> idx(101, 0);
  TALVEN_PSF_InterpolationCoeffs coeffs;
  EXPECT_TRUE(
      coeffs.InterpolatePsfArrayToPixelLocation(Det(1, 1), &s.table, c.data(), idx.data(), 100));
  EXPECT_EQ(coeffs.Count(), 100);
  EXPECT_NEAR(coeffs.PSF(Det(1, 1), Det(1, 1)), 1.0, 1e-12);  // 100 x 0.01 x 1
  EXPECT_FALSE(log.contains("ERROR"));
  EXPECT_FALSE(
      coeffs.InterpolatePsfArrayToPixelLocation(Det(1, 1), &s.table, c.data(), idx.data(), 101));
  EXPECT_EQ(coeffs.Count(), 0);
  EXPECT_EQ(log.lines().back(),
            "ERROR\t:TALVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, "
            "Internal interpolation arrays of size (100) were smaller than the number of incoming "
            "PSF interpolation coefficients (101) ");
}

TEST(PsfInterpolation, NoofTableConvertsDetectorCentresAndLocations) {
  PsfFixture s(7, 9, 1, WMT::WINDOW_NOOF);
  s.psfs.Add([](int x, int y) { return 10.0 * x + y + 1; }, 3.5, 4.5);  // centre (x 4, y 3)
  // Detector (1, 2) is NOOF (3, 5): only that pixel has a coefficient.
  s.tables.Set(3, 5, 0, 2.0, 0);
  CaptureLog log;
  ASSERT_TRUE(s.Initialize(WMT::WINDOW_NOOF));
  EXPECT_TRUE(log.contains("INFO\t:All PSF coordinates will be mapped to the NOOF window"));
  TALVEN_PSF_InterpolationCoeffs coeffs;
  ASSERT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(1, 2), &coeffs));
  EXPECT_EQ(coeffs.CentreLocation().windowtype, WMT::WINDOW_NOOF);
  EXPECT_EQ(coeffs.CentreLocation().x, 3);
  EXPECT_EQ(coeffs.CentreLocation().y, 5);
  ASSERT_EQ(coeffs.Count(), 1);
  for (int x = 0; x < 8; ++x) {
    for (int y = 0; y < 6; ++y) {
      const Coords noof(y + 3, x + 2, WMT::WINDOW_NOOF);
      const double from_detector = coeffs.PSF(Det(x, y), Det(1, 2));
      EXPECT_EQ(from_detector, coeffs.PSF(noof, coeffs.CentreLocation()));
      const int px = 4 + x - 1, py = 3 + y - 2;
      const double expected = (px < 9 && py < 7) ? 2.0 * s.psfs.Sample(0, px, py) : 0.0;
      EXPECT_EQ(from_detector, expected) << x << "," << y;
    }
  }
  // A NOOF pixel directly is taken as it is.
  ASSERT_TRUE(
      s.table.GetInterpolationCoefficientsForNewPSFCentre(Coords(1, 2, WMT::WINDOW_NOOF), &coeffs));
  EXPECT_EQ(coeffs.Count(), 0);
}

TEST(PsfInterpolation, CentreOutsideTheTableWindowIsRejected) {
  PsfFixture det(7, 9, 2, WMT::WINDOW_DETECTOR);
  det.psfs.Add([](int, int) { return 1.0; }, 3.5, 4.5);
  PsfFixture noof(7, 9, 2, WMT::WINDOW_NOOF);
  noof.psfs.Add([](int, int) { return 1.0; }, 3.5, 4.5);
  {
    CaptureLog quiet;
    ASSERT_TRUE(det.Initialize(WMT::WINDOW_DETECTOR));
    ASSERT_TRUE(noof.Initialize(WMT::WINDOW_NOOF));
  }
  CaptureLog log;
  TALVEN_PSF_InterpolationCoeffs coeffs;
  for (const Coords& c : {Det(-1, 0), Det(0, -1), Det(8, 0), Det(0, 6), Det(1000000, 3)}) {
    EXPECT_FALSE(det.table.GetInterpolationCoefficientsForNewPSFCentre(c, &coeffs))
        << c.x << "," << c.y;
  }
  EXPECT_EQ(log.lines()[0],
            "ERROR\t:TALVEN_PSF_Table::GetInterpolationCoefficientsForNewPSFCentre, PSF centre "
            "pixel (y=0, x=-1) lies outside the (y=6, x=8) window of the interpolation tables");
  // Detector x -2 is NOOF x 0 (inside); -3 is NOOF -1; detector y 7 is NOOF y 10 (outside).
  EXPECT_TRUE(noof.table.GetInterpolationCoefficientsForNewPSFCentre(Det(-2, 0), &coeffs));
  EXPECT_FALSE(noof.table.GetInterpolationCoefficientsForNewPSFCentre(Det(-3, 0), &coeffs));
  EXPECT_FALSE(noof.table.GetInterpolationCoefficientsForNewPSFCentre(Det(0, 7), &coeffs));
  EXPECT_EQ(log.lines().size(), 7u);

  TALVEN_PSF_Table empty;
  EXPECT_FALSE(empty.GetInterpolationCoefficientsForNewPSFCentre(Det(0, 0), &coeffs));
  EXPECT_EQ(log.lines().back(),
            "ERROR\t:TALVEN_PSF_Table::GetInterpolationCoefficientsForNewPSFCentre, The PSF table "
            "was not successfully initialized");
}
