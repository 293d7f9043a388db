#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "capture_log.h"
#include "math/arrays/zvarraylib.h"
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

// Lays a table out in a buffer at the given logical-to-element offsets, with NaN everywhere
// else, so that a walk that strays onto the gaps turns the answer into NaN.
std::vector<double> Scatter(const std::vector<double>& values, const std::vector<size_t>& at,
                            size_t buffersize) {
  std::vector<double> buffer(buffersize, std::numeric_limits<double>::quiet_NaN());
  for (size_t k = 0; k < values.size(); ++k) buffer[at[k]] = values[k];
  return buffer;
}

// The iterator overloads must give exactly what the pointer overloads give on the same (packed)
// table, for points inside, outside and at the tolerance edges of the table, under every action
// and with and without a gap limit.
void ExpectAgreement(const zvArrayIter<double>& xb, const zvArrayIter<double>& xe,
                     const zvArrayIter<double>& yb, const zvArrayIter<double>& ye,
                     const std::vector<double>& x, const std::vector<double>& y,
                     std::mt19937* rng) {
  const double lo = x.front(), hi = x.back(), span = hi - lo;
  std::vector<double> at = x;
  for (double e : {lo, hi}) {
    for (double f : {-2e-5, -5e-6, 5e-6, 2e-5}) at.push_back(e + f * std::fabs(e));
  }
  std::uniform_real_distribution<double> u(lo - 0.3 * span, hi + 0.3 * span);
  for (int k = 0; k < 40; ++k) at.push_back(u(*rng));
  for (LI::EnumOutOfBoundAction action : {kExtrapolate, kTruncate, kMissing, kUnknown}) {
    for (double maxgap : {kNoGap, span / x.size()}) {
      for (double v : at) {
        EXPECT_EQ(LI::EvaluateYatX(v, xb, xe, yb, ye, action, kMissingValue, maxgap),
                  LI::EvaluateYatX(v, x.data(), y.data(), x.size(), action, kMissingValue, maxgap))
            << v << " action " << action;
        EXPECT_EQ(
            LI::LogInterpolateYatX(v, xb, xe, yb, ye, action, kMissingValue, maxgap),
            LI::LogInterpolateYatX(v, x.data(), y.data(), x.size(), action, kMissingValue, maxgap))
            << v << " action " << action;
      }
    }
  }
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

TEST(zvLinearInterpolate, IteratorOverloadsAgreeOnPackedTables) {
  std::mt19937 rng(2024);
  for (int n : {2, 3, 7, 64}) {
    std::vector<double> x = RandomAbscissae(&rng, n, -3.0, 4.0);
    // Ordinates of both signs, so that log interpolation also takes its linear fallback.
    std::vector<double> y = RandomAbscissae(&rng, n, -1.0, 6.0);
    std::shuffle(y.begin(), y.end(), rng);
    zv1dArray<double> xa, ya;
    const size_t count = x.size();
    ASSERT_TRUE(xa.Attach(1, &count, x.data(), nullptr, nullptr));
    ASSERT_TRUE(ya.Attach(1, &count, y.data(), nullptr, nullptr));
    ExpectAgreement(xa.begin(), xa.end(), ya.begin(), ya.end(), x, y, &rng);
  }
}

// Tables seen through evenly spaced and unevenly spaced views walk their own elements in logical
// order and never the memory between them, also from an iterator that starts inside the table.
TEST(zvLinearInterpolate, IteratorOverloadsWalkStridedViews) {
  std::mt19937 rng(99);
  const std::vector<double> x = RandomAbscissae(&rng, 15, 0.5, 9.0);
  const std::vector<double> y = RandomAbscissae(&rng, 15, 0.1, 3.0);
  // Every third double: one dimension of 15 elements, 24 bytes apart.
  std::vector<size_t> every3;
  for (size_t k = 0; k < 15; ++k) every3.push_back(3 * k);
  // Rows of 3 elements 5 doubles apart: neither packed nor evenly spaced.
  std::vector<size_t> rows;
  for (size_t r = 0; r < 5; ++r) {
    for (size_t c = 0; c < 3; ++c) rows.push_back(5 * r + c);
  }
  std::vector<double> xf = Scatter(x, every3, 45), yf = Scatter(y, every3, 45);
  std::vector<double> xr = Scatter(x, rows, 25), yr = Scatter(y, rows, 25);
  const size_t n = 15, stride = 3 * sizeof(double);
  const size_t dims[2] = {3, 5}, strides[2] = {sizeof(double), 5 * sizeof(double)};
  zv1dArray<double> xfa, yfa;
  zv2dArray<double> xra, yra;
  ASSERT_TRUE(xfa.Attach(1, &n, xf.data(), nullptr, &stride));
  ASSERT_TRUE(yfa.Attach(1, &n, yf.data(), nullptr, &stride));
  ASSERT_TRUE(xra.Attach(2, dims, xr.data(), nullptr, strides));
  ASSERT_TRUE(yra.Attach(2, dims, yr.data(), nullptr, strides));
  ASSERT_FALSE(xra.ArrayRankSpecs()->IsFixedStride());
  ExpectAgreement(xfa.begin(), xfa.end(), yfa.begin(), yfa.end(), x, y, &rng);
  ExpectAgreement(xra.begin(), xra.end(), yra.begin(), yra.end(), x, y, &rng);

  const std::vector<double> xtail(x.begin() + 4, x.end()), ytail(y.begin() + 4, y.end());
  zvArrayIter<double> xb = xra.begin(), yb = yra.begin();
  xb += 4;
  yb += 4;
  ExpectAgreement(xb, xra.end(), yb, yra.end(), xtail, ytail, &rng);
}

// Unlike the pointer overloads, a single point gives the missing value under every action; tables
// of different lengths and reversed ranges give it too, and none of these logs anything.
TEST(zvLinearInterpolate, IteratorOverloadsDegenerateTables) {
  CaptureLog log;
  std::vector<double> x(kX, kX + 3), y(kY, kY + 3);
  zv1dArray<double> xa, ya, empty;
  const size_t three = 3, two = 2;
  ASSERT_TRUE(xa.Attach(1, &three, x.data(), nullptr, nullptr));
  ASSERT_TRUE(ya.Attach(1, &two, y.data(), nullptr, nullptr));
  EXPECT_EQ(LI::EvaluateYatX(1.5, xa.begin(), xa.end(), ya.begin(), ya.end(), kExtrapolate,
                             kMissingValue, kNoGap),
            kMissingValue);
  EXPECT_EQ(LI::LogInterpolateYatX(1.5, xa.begin(), xa.end(), ya.begin(), ya.end(), kExtrapolate,
                                   kMissingValue, kNoGap),
            kMissingValue);
  EXPECT_EQ(LI::EvaluateYatX(1.5, xa.end(), xa.begin(), xa.end(), xa.begin(), kExtrapolate,
                             kMissingValue, kNoGap),
            kMissingValue);
  EXPECT_EQ(LI::EvaluateYatX(1.5, empty.begin(), empty.end(), empty.begin(), empty.end(), kTruncate,
                             kMissingValue, kNoGap),
            kMissingValue);
  zvArrayIter<double> last = xa.begin(), ylast = ya.begin();
  last += 2;
  ylast += 1;
  for (LI::EnumOutOfBoundAction action : {kExtrapolate, kTruncate, kMissing}) {
    EXPECT_EQ(LI::EvaluateYatX(3.0, last, xa.end(), ylast, ya.end(), action, kMissingValue, kNoGap),
              kMissingValue);
    EXPECT_EQ(
        LI::LogInterpolateYatX(3.0, last, xa.end(), ylast, ya.end(), action, kMissingValue, kNoGap),
        kMissingValue);
  }
  EXPECT_TRUE(log.lines().empty());
}
