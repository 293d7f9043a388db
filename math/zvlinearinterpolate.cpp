#include "math/zvlinearinterpolate.h"

#include <cmath>

#include "math/arrays/zvarrayiter.h"
#include "system/zvlog.h"

static const char* const kSourcePath = "math/zvlinearinterpolate";

namespace {

using Action = zvLinearInterpolate::EnumOutOfBoundAction;

// Tables are read through operator[] only, so that the same code serves plain pointers and
// array iterators of any layout.

// The index of the first abscissa strictly greater than x (npts when there is none).
template <class Table>
size_t UpperBound(const Table& xv, size_t npts, double x) {
  size_t lo = 0;
  size_t hi = npts;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (x < xv[mid]) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

// The value in interval (i-1, i) of the table; kLog interpolates ln y where both ends are positive.
template <bool kLog, class Table>
double InInterval(double x, const Table& xv, const Table& yv, size_t i, double missingvalue,
                  double maxgap) {
  const double gap = xv[i] - xv[i - 1];
  if (maxgap >= 0.0 && gap > maxgap) return missingvalue;
  const double y0 = yv[i - 1];
  const double y1 = yv[i];
  if (gap == 0.0) return y0;
  const double w = (xv[i] - x) / gap;
  if (kLog && y0 > 0.0 && y1 > 0.0) return std::exp(w * std::log(y0) + (1.0 - w) * std::log(y1));
  return w * y0 + (1.0 - w) * y1;
}

template <bool kLog, class Table>
double Interpolate(double x, const Table& xv, const Table& yv, size_t npts, Action action,
                   double missingvalue, double maxgap) {
  if (npts < 2) {
    const bool endvalue = action == zvLinearInterpolate::OUTOFBOUND_EXTRAPOLATE ||
                          action == zvLinearInterpolate::OUTOFBOUND_TRUNCATE;
    return (npts == 1 && endvalue) ? yv[0] : missingvalue;
  }
  size_t i = UpperBound(xv, npts, x);
  if (i == 0 || i == npts) {
    const bool below = i == 0;
    switch (action) {
      case zvLinearInterpolate::OUTOFBOUND_TRUNCATE:
        return below ? yv[0] : yv[npts - 1];
      case zvLinearInterpolate::OUTOFBOUND_EXTRAPOLATE:
        break;
      case zvLinearInterpolate::OUTOFBOUND_MISSING: {
        // The upper-bound search puts an x equal to the last abscissa outside the table. Log
        // interpolation has no tolerance beyond the ends but still answers at that point.
        if (kLog) {
          if (below || x != xv[npts - 1]) return missingvalue;
          break;
        }
        // Points a relative 1e-5 beyond an end still count as on the table, so that an x at
        // the last abscissa (or rounded just past an end) interpolates.
        const double e = below ? xv[0] : xv[npts - 1];
        const double d = x != 0.0 ? (x - e) / x : e;
        if (!(std::fabs(d) < 1e-5)) return missingvalue;
        break;
      }
      default:
        return missingvalue;
    }
    i = below ? 1 : npts - 1;
  }
  return InInterval<kLog>(x, xv, yv, i, missingvalue, maxgap);
}

// Elements from begin up to end; none for a range that ends before it begins.
size_t RangeLength(const zvArrayIter<double>& begin, const zvArrayIter<double>& end) {
  return end < begin ? 0 : end - begin;
}

template <bool kLog>
double InterpolateIterators(double x, const zvArrayIter<double>& xbegin,
                            const zvArrayIter<double>& xend, const zvArrayIter<double>& ybegin,
                            const zvArrayIter<double>& yend, Action action, double missingvalue,
                            double maxgap) {
  const size_t npts = RangeLength(xbegin, xend);
  if (npts < 2 || RangeLength(ybegin, yend) != npts) return missingvalue;
  return Interpolate<kLog>(x, xbegin, ybegin, npts, action, missingvalue, maxgap);
}

}  // namespace

double zvLinearInterpolate::EvaluateYatX(double x, const double* xvalues, const double* yvalues,
                                         size_t npts, EnumOutOfBoundAction action,
                                         double missingvalue, double maxgap) {
  return Interpolate<false>(x, xvalues, yvalues, npts, action, missingvalue, maxgap);
}

double zvLinearInterpolate::EvaluateYatX(double x, const std::vector<double>& xvalues,
                                         const std::vector<double>& yvalues,
                                         EnumOutOfBoundAction action, double missingvalue,
                                         double maxgap) {
  if (xvalues.size() != yvalues.size()) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "zvLinearInterpolate::EvaluateYatX, The two arrays are not the same size "
                      "that is not good. Returning missing value");
    return missingvalue;
  }
  return Interpolate<false>(x, xvalues.data(), yvalues.data(), xvalues.size(), action, missingvalue,
                            maxgap);
}

double zvLinearInterpolate::LogInterpolateYatX(double x, const double* xvalues,
                                               const double* yvalues, size_t npts,
                                               EnumOutOfBoundAction action, double missingvalue,
                                               double maxgap) {
  return Interpolate<true>(x, xvalues, yvalues, npts, action, missingvalue, maxgap);
}

double zvLinearInterpolate::LogInterpolateYatX(double x, const std::vector<double>& xvalues,
                                               const std::vector<double>& yvalues,
                                               EnumOutOfBoundAction action, double missingvalue,
                                               double maxgap) {
  if (xvalues.size() != yvalues.size()) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "zvLinearInterpolate::LogInterpolateYatX, The two arrays are not the same "
                      "size that is not good. Returning missing value");
    return missingvalue;
  }
  return Interpolate<true>(x, xvalues.data(), yvalues.data(), xvalues.size(), action, missingvalue,
                           maxgap);
}

double zvLinearInterpolate::EvaluateYatX(double x, const zvArrayIter<double>& xbegin,
                                         const zvArrayIter<double>& xend,
                                         const zvArrayIter<double>& ybegin,
                                         const zvArrayIter<double>& yend,
                                         EnumOutOfBoundAction action, double missingvalue,
                                         double maxgap) {
  return InterpolateIterators<false>(x, xbegin, xend, ybegin, yend, action, missingvalue, maxgap);
}

double zvLinearInterpolate::LogInterpolateYatX(double x, const zvArrayIter<double>& xbegin,
                                               const zvArrayIter<double>& xend,
                                               const zvArrayIter<double>& ybegin,
                                               const zvArrayIter<double>& yend,
                                               EnumOutOfBoundAction action, double missingvalue,
                                               double maxgap) {
  return InterpolateIterators<true>(x, xbegin, xend, ybegin, yend, action, missingvalue, maxgap);
}
