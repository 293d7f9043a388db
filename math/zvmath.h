// Small scalar helpers: squares, floor-style truncation and rounding, angles in degrees and
// wrapping into a range. They live in a namespace because names such as round() would otherwise
// collide with the C library's.
#pragma once

namespace zvmath {

inline double sqr(double x) { return x * x; }

// Largest integral value not greater than x, sign of zero kept; magnitudes of 2^52 or more are
// already integral and come back unchanged (as do infinities and NaN).
double TRUNC(double x);

// Halves round up: round(2.5) is 3, round(-2.5) is -2.
double round(double x);

// -1 for x < 0, otherwise 1 (a NaN counts as not negative).
int sign(double x);

double DegreesToRadians(double x);
double RadiansToDegrees(double x);
double sind(double x);
double cosd(double x);
// The argument is clamped to [-1, 1] first, so rounding noise just outside it gives +-90 / 0 / 180.
double asind(double x);
double acosd(double x);
// 0 when both y and x are 0.
double atan2d(double y, double x);

// x wrapped into [0, range); 0 when range is 0.
double inrange(double x, double range);

// The power of ten just at or below |x|, with the leading decimal digit of |x| stored through
// mantissa (when not null): 3456 gives 1000 and 3. Zero gives 1e-100 and 1. A value that is not
// finite comes back as its magnitude with mantissa 1.
double PowerOf10Magnitude(double x, int* mantissa);

}  // namespace zvmath
