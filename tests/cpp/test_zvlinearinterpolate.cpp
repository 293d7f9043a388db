#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "capture_log.h"
#include "math/zvlinearinterpolate.h"

namespace {

using LI = zvLinearInterpolate;
const LI::EnumOutOfBoundAction kExtrapolate = LI::OUTOFBOUND_EXTRAPOLATE;
const LI::EnumOutOfBoundAction kTruncate = LI::OUTOFBOUND_TRUNCATE;
const LI::EnumOutOfBoundAction kMissing = LI::OUTOFBOUND_MISSING;
const LI::EnumOutOfBoundAction kUnknown = static_cast<LI::EnumOutOfBoundAction>(7);
const double kNoGap = -1.0;
const double kMissingValue = -999.0;

const double kX[] = {1.0, 2.0, 3.0};
const double kY[] = {10.0, 20.0, 30.0};

double Lin(double x, LI::EnumOutOfBoundAction action, double maxgap = kNoGap) {
  return LI::EvaluateYatX(x, kX, kY, 3, action, kMissingValue, maxgap);
}

// An irregular ascending table of n abscissae in [lo, hi].
std::vector<double> RandomAbscissae(std::mt19937* rng, int n, double lo, double hi) {
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<double> x(n);
  for (double& v : x) v = u(*rng);
  std::sort(x.begin(), x.end());
  return x;
}

}  // namespace

// Piecewise-linear interpolation of a straight line gives the line itself everywhere inside the
// table, and with extrapolation outside it too.
TEST(zvLinearInterpolate, ReproducesAStraightLine) {
  std::mt19937 rng(12345);
  const std::vector<double> x = RandomAbscissae(&rng, 40, -5.0, 7.0);
  std::vector<double> y;
  for (double v : x) y.push_back(3.0 - 2.5 * v);
  std::uniform_real_distribution<double> u(-8.0, 10.0);
  for (int k = 0; k < 500; ++k) {
    const double at = u(rng);
    const double got = LI::EvaluateYatX(at, x, y, kExtrapolate, kMissingValue, kNoGap);
    EXPECT_NEAR(got, 3.0 - 2.5 * at, 1e-9 * (1.0 + std::fabs(at))) << at;
  }
}

// Log interpolation of an exponential is exact, because ln y is a straight line.
TEST(zvLinearInterpolate, LogInterpolationReproducesAnExponential) {
  std::mt19937 rng(777);
  const std::vector<double> x = RandomAbscissae(&rng, 30, 0.0, 4.0);
  std::vector<double> y;
  for (double v : x) y.push_back(5.0 * std::exp(-1.7 * v));
  std::uniform_real_distribution<double> u(x.front(), x.back());
  for (int k = 0; k < 500; ++k) {
    const double at = u(rng);
    const double want = 5.0 * std::exp(-1.7 * at);
    EXPECT_NEAR(LI::LogInterpolateYatX(at, x, y, kMissing, kMissingValue, kNoGap), want,
                1e-12 * want)
        << at;
  }
  const double x2[] = {1.0, 2.0};
  const double y2[] = {1.0, 100.0};
  EXPECT_NEAR(LI::LogInterpolateYatX(1.5, x2, y2, 2, kMissing, kMissingValue, kNoGap), 10.0, 1e-12);
  // A non-positive ordinate falls back to the linear formula in its interval.
  const double y2zero[] = {0.0, 100.0};
  EXPECT_EQ(LI::LogInterpolateYatX(1.5, x2, y2zero, 2, kMissing, kMissingValue, kNoGap), 50.0);
}

TEST(zvLinearInterpolate, OutOfBoundActions) {
  EXPECT_EQ(Lin(1.5, kMissing), 15.0);
  EXPECT_EQ(Lin(1.0, kMissing), 10.0);
  EXPECT_EQ(Lin(3.0, kMissing), 30.0);
  EXPECT_EQ(Lin(3.1, kMissing), kMissingValue);
  EXPECT_EQ(Lin(0.9, kMissing), kMissingValue);
  EXPECT_EQ(Lin(3.1, kTruncate), 30.0);
  EXPECT_EQ(Lin(-4.0, kTruncate), 10.0);
  EXPECT_NEAR(Lin(3.1, kExtrapolate), 31.0, 1e-12);
  EXPECT_NEAR(Lin(0.0, kExtrapolate), 0.0, 1e-12);
  EXPECT_EQ(Lin(3.1, kUnknown), kMissingValue);
  EXPECT_EQ(Lin(0.5, kUnknown), kMissingValue);
  EXPECT_EQ(Lin(2.5, kUnknown), 25.0);
}

// Under OUTOFBOUND_MISSING a point within a relative 1e-5 of an end still extrapolates.
TEST(zvLinearInterpolate, MissingActionTolerance) {
  EXPECT_NEAR(Lin(3.00001, kMissing), 30.0001, 1e-9);
  EXPECT_EQ(Lin(3.0001, kMissing), kMissingValue);
  EXPECT_NEAR(Lin(1.0 - 9e-6, kMissing), 10.0 - 9e-5, 1e-9);
  EXPECT_EQ(Lin(1.0 - 2e-5, kMissing), kMissingValue);
  // At x = 0 the distance is the end abscissa itself.
  const double xs[] = {4e-6, 1.0};
  const double ys[] = {0.0, 1.0};
  EXPECT_NEAR(LI::EvaluateYatX(0.0, xs, ys, 2, kMissing, kMissingValue, kNoGap),
              -4e-6 / (1.0 - 4e-6), 1e-15);
  // Log interpolation has no tolerance, but the last abscissa belongs to the table.
  EXPECT_EQ(LI::LogInterpolateYatX(3.00001, kX, kY, 3, kMissing, kMissingValue, kNoGap),
            kMissingValue);
  EXPECT_NEAR(LI::LogInterpolateYatX(3.0, kX, kY, 3, kMissing, kMissingValue, kNoGap), 30.0, 1e-12);
  EXPECT_NEAR(LI::LogInterpolateYatX(1.0, kX, kY, 3, kMissing, kMissingValue, kNoGap), 10.0, 1e-12);
  EXPECT_NEAR(LI::LogInterpolateYatX(3.5, kX, kY, 3, kExtrapolate, kMissingValue, kNoGap),
              30.0 * std::pow(30.0 / 20.0, 0.5), 1e-9);
}

TEST(zvLinearInterpolate, MaxGapAndRepeatedAbscissae) {
  for (double x = 1.0; x < 3.0; x += 0.25) EXPECT_EQ(Lin(x, kMissing, 0.5), kMissingValue) << x;
  EXPECT_EQ(Lin(2.5, kMissing, 1.0), 25.0);
  EXPECT_EQ(Lin(2.5, kMissing, kNoGap), 25.0);
  // A repeated abscissa is a jump: at it the value after the jump applies.
  const double xs[] = {1.0, 2.0, 2.0, 3.0};
  const double ys[] = {1.0, 5.0, 7.0, 9.0};
  EXPECT_EQ(LI::EvaluateYatX(2.0, xs, ys, 4, kExtrapolate, kMissingValue, kNoGap), 7.0);
  EXPECT_EQ(LI::EvaluateYatX(1.5, xs, ys, 4, kExtrapolate, kMissingValue, kNoGap), 3.0);
  // A zero-width end interval gives its lower ordinate instead of dividing by zero.
  const double flat[] = {2.0, 2.0};
  EXPECT_EQ(LI::EvaluateYatX(2.0, flat, ys, 2, kExtrapolate, kMissingValue, kNoGap), 1.0);
  EXPECT_EQ(LI::LogInterpolateYatX(2.0, flat, ys, 2, kExtrapolate, kMissingValue, kNoGap), 1.0);
}

TEST(zvLinearInterpolate, TinyTables) {
  const double one = 42.0;
  EXPECT_EQ(LI::EvaluateYatX(5.0, &one, &one, 1, kExtrapolate, kMissingValue, kNoGap), 42.0);
  EXPECT_EQ(LI::EvaluateYatX(5.0, &one, &one, 1, kTruncate, kMissingValue, kNoGap), 42.0);
  EXPECT_EQ(LI::EvaluateYatX(5.0, &one, &one, 1, kMissing, kMissingValue, kNoGap), kMissingValue);
  EXPECT_EQ(LI::LogInterpolateYatX(5.0, &one, &one, 1, kTruncate, kMissingValue, kNoGap), 42.0);
  EXPECT_EQ(LI::EvaluateYatX(5.0, nullptr, nullptr, 0, kTruncate, kMissingValue, kNoGap),
            kMissingValue);
  const std::vector<double> empty;
  EXPECT_EQ(LI::EvaluateYatX(5.0, empty, empty, kTruncate, kMissingValue, kNoGap), kMissingValue);
  EXPECT_EQ(LI::LogInterpolateYatX(5.0, empty, empty, kTruncate, kMissingValue, kNoGap),
            kMissingValue);
}

TEST(zvLinearInterpolate, VectorSizeMismatchWarns) {
  CaptureLog log;
  const std::vector<double> x = {1.0, 2.0, 3.0};
  const std::vector<double> y = {10.0, 20.0};
  EXPECT_EQ(LI::EvaluateYatX(1.5, x, y, kExtrapolate, kMissingValue, kNoGap), kMissingValue);
  EXPECT_EQ(LI::LogInterpolateYatX(1.5, x, y, kExtrapolate, kMissingValue, kNoGap), kMissingValue);
  const std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("zvLinearInterpolate::EvaluateYatX, The two arrays are not the same size "
                          "that is not good. Returning missing value"),
            std::string::npos);
  EXPECT_NE(
      lines[1].find("zvLinearInterpolate::LogInterpolateYatX, The two arrays are not the same "
                    "size that is not good. Returning missing value"),
      std::string::npos);
  log.clear();
  const std::vector<double> y3 = {10.0, 20.0, 30.0};
  EXPECT_EQ(LI::EvaluateYatX(1.5, x, y3, kMissing, kMissingValue, kNoGap), 15.0);
  EXPECT_TRUE(log.lines().empty());
}

TEST(zvLinearInterpolate, FromTwoPoints) {
  const double y[] = {4.0, 8.0};
  EXPECT_EQ(LI::FromTwoPoints(1.5, 1.0, 2.0, y), 6.0);
  EXPECT_EQ(LI::FromTwoPoints(3.0, 1.0, 2.0, y), 12.0);
  EXPECT_EQ(LI::FromTwoPoints(1.5, 2.0, 2.0, y), 4.0);
}

// Corner order and exactness: a bilinear function a + bx + cy + dxy sampled at the corners is
// reproduced at any point, inside the rectangle or beyond it.
TEST(zvLinearInterpolate, FromSquareReproducesBilinearFunctions) {
  const double v[] = {1.0, 2.0, 3.0, 4.0};
  EXPECT_DOUBLE_EQ(LI::FromSquare(0.25, 0.5, 0.0, 1.0, 0.0, 1.0, v), 2.0);
  EXPECT_EQ(LI::FromSquare(0.0, 0.0, 0.0, 1.0, 0.0, 1.0, v), 1.0);
  EXPECT_EQ(LI::FromSquare(0.0, 1.0, 0.0, 1.0, 0.0, 1.0, v), 2.0);
  EXPECT_EQ(LI::FromSquare(1.0, 1.0, 0.0, 1.0, 0.0, 1.0, v), 3.0);
  EXPECT_EQ(LI::FromSquare(1.0, 0.0, 0.0, 1.0, 0.0, 1.0, v), 4.0);

  auto f = [](double x, double y) { return 0.5 + 2.0 * x - 3.0 * y + 0.75 * x * y; };
  const double x0 = -1.5, x1 = 2.0, y0 = 0.25, y1 = 3.0;
  const double corners[] = {f(x0, y0), f(x0, y1), f(x1, y1), f(x1, y0)};
  std::mt19937 rng(4242);
  std::uniform_real_distribution<double> u(-4.0, 5.0);
  for (int k = 0; k < 200; ++k) {
    const double x = u(rng), y = u(rng);
    EXPECT_NEAR(LI::FromSquare(x, y, x0, x1, y0, y1, corners), f(x, y),
                1e-12 * (1 + std::fabs(f(x, y))));
  }
}

TEST(zvLinearInterpolate, FromSquareDegenerateRectangles) {
  const double v[] = {1.0, 2.0, 3.0, 4.0};
  // No height: along x between v[1] at x0 and v[2] at x1.
  EXPECT_EQ(LI::FromSquare(0.25, 9.0, 0.0, 1.0, 5.0, 5.0, v), 2.25);
  // No width: along y between v[0] at y0 and v[1] at y1.
  EXPECT_EQ(LI::FromSquare(9.0, 0.75, 3.0, 3.0, 0.0, 1.0, v), 1.75);
  EXPECT_EQ(LI::FromSquare(-7.0, 8.0, 3.0, 3.0, 5.0, 5.0, v), 1.0);
}
