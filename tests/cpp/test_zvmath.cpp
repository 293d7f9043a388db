#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "math/zvmath.h"

TEST(zvmath, TruncAndRound) {
  EXPECT_EQ(zvmath::TRUNC(-1.5), -2.0);
  EXPECT_EQ(zvmath::TRUNC(1.5), 1.0);
  EXPECT_TRUE(std::signbit(zvmath::TRUNC(-0.0)));
  const double big = 9007199254740993.0;  // beyond 2^52: already whole
  EXPECT_EQ(zvmath::TRUNC(big), big);
  EXPECT_TRUE(std::isnan(zvmath::TRUNC(std::nan(""))));
  EXPECT_EQ(zvmath::round(2.5), 3.0);
  EXPECT_EQ(zvmath::round(-2.5), -2.0);
  EXPECT_EQ(zvmath::round(-2.6), -3.0);
  EXPECT_EQ(zvmath::sign(-1e-300), -1);
  EXPECT_EQ(zvmath::sign(0.0), 1);
  EXPECT_EQ(zvmath::sign(std::nan("")), 1);
  EXPECT_EQ(zvmath::sqr(-3.0), 9.0);
}

TEST(zvmath, Degrees) {
  EXPECT_NEAR(zvmath::sind(30.0), 0.5, 1e-15);
  // Rounding noise just outside [-1, 1] is clamped rather than giving NaN.
  EXPECT_EQ(zvmath::asind(1.0 + 1e-15), 90.0);
  EXPECT_EQ(zvmath::acosd(-1.0 - 1e-15), 180.0);
  EXPECT_TRUE(std::isnan(zvmath::asind(std::nan(""))));
  EXPECT_TRUE(std::isnan(zvmath::acosd(std::nan(""))));
  EXPECT_EQ(zvmath::atan2d(0.0, 0.0), 0.0);
  EXPECT_NEAR(zvmath::atan2d(1.0, -1.0), 135.0, 1e-12);
}

TEST(zvmath, InRange) {
  EXPECT_EQ(zvmath::inrange(-30.0, 360.0), 330.0);
  EXPECT_EQ(zvmath::inrange(725.0, 360.0), 5.0);
  EXPECT_EQ(zvmath::inrange(12.0, 0.0), 0.0);
  // A tiny negative value would round to the range itself, outside [0, range).
  const double r = zvmath::inrange(-1e-20, 1.0);
  EXPECT_GE(r, 0.0);
  EXPECT_LT(r, 1.0);
}

TEST(zvmath, PowerOf10Magnitude) {
  int m = 0;
  EXPECT_EQ(zvmath::PowerOf10Magnitude(3456.0, &m), 1000.0);
  EXPECT_EQ(m, 3);
  EXPECT_EQ(zvmath::PowerOf10Magnitude(0.0, &m), 1e-100);
  EXPECT_EQ(m, 1);
  EXPECT_NEAR(zvmath::PowerOf10Magnitude(-0.05, &m), 0.01, 1e-18);
  EXPECT_EQ(m, 5);
  EXPECT_EQ(zvmath::PowerOf10Magnitude(7.0, nullptr), 1.0);
  EXPECT_EQ(zvmath::PowerOf10Magnitude(std::numeric_limits<double>::infinity(), &m),
            std::numeric_limits<double>::infinity());
  EXPECT_EQ(m, 1);
  // Every decade: magnitude <= |x| < 10 * magnitude with the leading digit as mantissa.
  for (int p = -300; p <= 300; p += 7) {
    for (int digit = 1; digit <= 9; ++digit) {
      const double x = digit * std::pow(10.0, p) * 1.0000001;
      const double mag = zvmath::PowerOf10Magnitude(x, &m);
      ASSERT_EQ(m, digit) << x;
      ASSERT_NEAR(mag, std::pow(10.0, p), 1e-12 * mag) << x;
    }
  }
}
