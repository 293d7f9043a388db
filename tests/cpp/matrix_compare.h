// Element-by-element comparison of two N x N matrices for the generator tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

// Every element within `relative` of the expected one, relative to the expected magnitude.
// Reports the first few offending elements as (receiver, source).
inline ::testing::AssertionResult MatricesClose(const std::vector<double>& actual,
                                                const std::vector<double>& expected, int n,
                                                double relative) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "sizes differ: " << actual.size() << " vs " << expected.size();
  }
  int bad = 0;
  ::testing::AssertionResult result = ::testing::AssertionFailure();
  for (size_t k = 0; k < actual.size(); ++k) {
    const double tolerance = relative * std::fabs(expected[k]);
    if (!(std::fabs(actual[k] - expected[k]) <= tolerance)) {
      if (bad < 5) {
        result << "element (r=" << k % n << ", s=" << k / n << "): " << actual[k] << " vs "
               << expected[k] << "\n";
      }
      ++bad;
    }
  }
  if (bad == 0) return ::testing::AssertionSuccess();
  return result << bad << " elements differ";
}

inline bool AllZero(const std::vector<double>& m) {
  for (double v : m) {
    if (v != 0.0) return false;
  }
  return true;
}

inline int CountNonZero(const std::vector<double>& m) {
  int count = 0;
  for (double v : m) count += v != 0.0;
  return count;
}
