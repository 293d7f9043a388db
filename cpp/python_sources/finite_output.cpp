#include "cpp/python_sources/finite_output.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/python_sources/finite_output";

namespace {

constexpr ptrdiff_t kChunk = ptrdiff_t{1} << 16;

// NaN and infinity are the doubles whose exponent bits are all set. The test on the bits is an
// integer one, so the loop vectorises without reordering any floating-point operation.
bool ChunkHasNonFinite(const double* values, ptrdiff_t n) {
  constexpr uint64_t kExponent = 0x7FF0000000000000ULL;
  uint64_t found = 0;
#pragma omp simd reduction(| : found)
  for (ptrdiff_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, values + i, sizeof bits);
    found |= static_cast<uint64_t>((bits & kExponent) == kExponent);
  }
  return found != 0;
}

}  // namespace

bool KeepOnlyFiniteMatrix(bool built, double* matrix, int rows, int cols, const char* function) {
  if (!built) return false;
  const ptrdiff_t count = static_cast<ptrdiff_t>(rows) * static_cast<ptrdiff_t>(cols);
  const ptrdiff_t chunks = (count + kChunk - 1) / kChunk;
  // The scan reads the whole matrix once more: on every thread, in chunks that each thread's
  // cache lines stream through.
  ptrdiff_t first_bad_chunk = chunks;
#pragma omp parallel for schedule(static) reduction(min : first_bad_chunk)
  for (ptrdiff_t c = 0; c < chunks; ++c) {
    const ptrdiff_t begin = c * kChunk;
    if (c < first_bad_chunk && ChunkHasNonFinite(matrix + begin, std::min(kChunk, count - begin))) {
      first_bad_chunk = c;
    }
  }
  if (first_bad_chunk == chunks) return true;
  const double* bad = std::find_if(matrix + first_bad_chunk * kChunk, matrix + count,
                                   [](double v) { return !std::isfinite(v); });
  const size_t at = static_cast<size_t>(bad - matrix);
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "%s, The generated matrix holds a non-finite value at row %zu, column %zu: "
                    "NaN, infinity or values too large in the PSFs, interpolation coefficients or "
                    "vignetting. It is set to 0.0",
                    function, at / static_cast<size_t>(cols), at % static_cast<size_t>(cols));
#pragma omp parallel for schedule(static)
  for (ptrdiff_t c = 0; c < chunks; ++c) {
    const ptrdiff_t begin = c * kChunk;
    std::fill(matrix + begin, matrix + std::min(count, begin + kChunk), 0.0);
  }
  return false;
}
