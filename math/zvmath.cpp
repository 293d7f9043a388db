#include "math/zvmath.h"

#include <cmath>

namespace zvmath {

namespace {
const double kTwoTo52 = 4503599627370496.0;
}

double TRUNC(double x) { return std::fabs(x) < kTwoTo52 ? std::floor(x) : x; }

double round(double x) { return TRUNC(x + 0.5); }

int sign(double x) { return x < 0.0 ? -1 : 1; }

double DegreesToRadians(double x) { return x * 0.017453292519943295; }

double RadiansToDegrees(double x) { return x * 57.29577951308232; }

double sind(double x) { return std::sin(DegreesToRadians(x)); }

double cosd(double x) { return std::cos(DegreesToRadians(x)); }

// Clamped into [-1, 1] against rounding; a NaN stays NaN (fmin and fmax would drop it).
static double ClampUnit(double x) { return x < -1.0 ? -1.0 : (x > 1.0 ? 1.0 : x); }

double asind(double x) { return RadiansToDegrees(std::asin(ClampUnit(x))); }

double acosd(double x) { return RadiansToDegrees(std::acos(ClampUnit(x))); }

double atan2d(double y, double x) {
  if (y == 0.0 && x == 0.0) return 0.0;
  return RadiansToDegrees(std::atan2(y, x));
}

double inrange(double x, double range) {
  if (range == 0.0) return 0.0;
  double r = std::fmod(x, range);
  if (r < 0.0) {
    r += range;
    // A tiny negative r rounds to range itself, which lies outside [0, range).
    if (r == range) r = 0.0;
  }
  return r;
}

double PowerOf10Magnitude(double x, int* mantissa) {
  double magnitude;
  int digit = 1;
  const double a = std::fabs(x);
  if (a == 0.0) {
    magnitude = 1e-100;
  } else if (!std::isfinite(a)) {
    magnitude = a;
  } else {
    const double b = std::pow(10.0, TRUNC(std::log10(a)));
    const double r = a / b;
    // r >= 10 when log10 fell just below an integer (or b underflowed for a subnormal a); the
    // comparison also keeps the int conversion below in range.
    if (r >= 10.0) {
      magnitude = b * 10.0;
    } else {
      magnitude = b;
      digit = static_cast<int>(r);
      if (digit == 0) digit = 1;
    }
  }
  if (mantissa != nullptr) *mantissa = digit;
  return magnitude;
}

}  // namespace zvmath
