// Interpolation of a tabulated function y(x) at one abscissa, linearly or in log y, with a choice
// of what to return outside the table, plus the two-point and four-corner (bilinear) formulas.
// Tables have ascending abscissae (not checked) and as many ordinates as abscissae. All functions
// are re-entrant.
#pragma once

#include <cstddef>
#include <vector>

template <class T>
class zvArrayIter;

class zvLinearInterpolate {
 public:
  // What to return for an x outside the tabulated abscissae. Any other value returns the missing
  // value there; the fixed underlying type makes every int a valid action.
  enum EnumOutOfBoundAction : int {
    OUTOFBOUND_EXTRAPOLATE = 0,  // extend the first or last interval
    OUTOFBOUND_TRUNCATE = 1,     // the first or last ordinate
    OUTOFBOUND_MISSING = 2,      // the missing value, except within a relative 1e-5 of an end
  };

  // Linear interpolation. An interval wider than maxgap gives the missing value (a negative
  // maxgap switches that test off). A single point gives its ordinate under actions 0 and 1.
  static double EvaluateYatX(double x, const double* xvalues, const double* yvalues, size_t npts,
                             EnumOutOfBoundAction action, double missingvalue, double maxgap);
  // As above; tables of different lengths log a warning and give the missing value.
  static double EvaluateYatX(double x, const std::vector<double>& xvalues,
                             const std::vector<double>& yvalues, EnumOutOfBoundAction action,
                             double missingvalue, double maxgap);

  // As EvaluateYatX but interpolating ln y; falls back to the linear formula in an interval where
  // an ordinate is not positive. Outside the table, OUTOFBOUND_MISSING has no tolerance.
  static double LogInterpolateYatX(double x, const double* xvalues, const double* yvalues,
                                   size_t npts, EnumOutOfBoundAction action, double missingvalue,
                                   double maxgap);
  static double LogInterpolateYatX(double x, const std::vector<double>& xvalues,
                                   const std::vector<double>& yvalues, EnumOutOfBoundAction action,
                                   double missingvalue, double maxgap);

  // Tables walked by array iterators, for instance an array's begin() and end(), of any layout.
  // Fewer than two points, tables of different lengths or a range that ends before it begins
  // give the missing value, without a log record.
  static double EvaluateYatX(double x, const zvArrayIter<double>& xbegin,
                             const zvArrayIter<double>& xend, const zvArrayIter<double>& ybegin,
                             const zvArrayIter<double>& yend, EnumOutOfBoundAction action,
                             double missingvalue, double maxgap);
  static double LogInterpolateYatX(double x, const zvArrayIter<double>& xbegin,
                                   const zvArrayIter<double>& xend,
                                   const zvArrayIter<double>& ybegin,
                                   const zvArrayIter<double>& yend, EnumOutOfBoundAction action,
                                   double missingvalue, double maxgap);

  // y at x on the line through (x0, y[0]) and (x1, y[1]); y[0] when x0 == x1.
  static double FromTwoPoints(double x, double x0, double x1, const double* y) {
    if (x1 == x0) return y[0];
    const double w = (x1 - x) / (x1 - x0);
    return w * y[0] + (1.0 - w) * y[1];
  }

  // Bilinear interpolation over [x0, x1] x [y0, y1] (extrapolation outside it). The corner values
  // go round the rectangle: v[0] at (x0, y0), v[1] at (x0, y1), v[2] at (x1, y1), v[3] at
  // (x1, y0). A rectangle without height or width degrades to linear interpolation along its
  // remaining side, a single point to v[0]. Inline: it runs in the innermost loop of the PSF
  // evaluation.
  static double FromSquare(double x, double y, double x0, double x1, double y0, double y1,
                           const double* v) {
    const double dx = x1 - x0;
    const double dy = y1 - y0;
    if (dx * dy != 0.0) {
      return ((x1 - x) * (y1 - y) * v[0] + (x - x0) * (y1 - y) * v[3] + (x1 - x) * (y - y0) * v[1] +
              (x - x0) * (y - y0) * v[2]) /
             (dx * dy);
    }
    if (dx != 0.0) {
      const double w = (x1 - x) / dx;
      return w * v[1] + (1.0 - w) * v[2];
    }
    if (dy != 0.0) {
      const double w = (y1 - y) / dy;
      return w * v[0] + (1.0 - w) * v[1];
    }
    return v[0];
  }
};
