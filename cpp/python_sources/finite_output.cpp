#include "cpp/python_sources/finite_output.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/python_sources/finite_output";

bool KeepOnlyFiniteMatrix(bool built, double* matrix, int rows, int cols, const char* function) {
  if (!built) return false;
  const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  const double* bad =
      std::find_if(matrix, matrix + count, [](double v) { return !std::isfinite(v); });
  if (bad == matrix + count) return true;
  const size_t at = static_cast<size_t>(bad - matrix);
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The generated matrix holds a non-finite value at row %zu, column %zu: "
                    "NaN, infinity or values too large in the PSFs, interpolation coefficients or "
                    "vignetting. It is set to 0.0",
                    function, at / static_cast<size_t>(cols), at % static_cast<size_t>(cols));
  std::fill(matrix, matrix + count, 0.0);
  return false;
}
