#include "cpp/sources/zero_fill.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

// Whether any of the n values is other than +0.0: a value is +0.0 when all its bits are clear.
// The test on the bits is an integer one, so the values are read with vector loads.
bool HoldsOtherThanZeros(const double* values, ptrdiff_t n) {
  uint64_t found = 0;
#pragma omp simd reduction(| : found)
  for (ptrdiff_t i = 0; i < n; ++i) {
    uint64_t bits;
    std::memcpy(&bits, values + i, sizeof bits);
    found |= bits;
  }
  return found != 0;
}

uintptr_t PageBytes() {
#if defined(__linux__)
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  return page;
#else
  return 4096;
#endif
}

void StreamZeros(double* values, ptrdiff_t n) {
#if defined(__x86_64__)
  ptrdiff_t i = 0;
  // Streaming stores need 16-byte alignment; a double has 8.
  if (reinterpret_cast<uintptr_t>(values) % 16 != 0 && n > 0) values[i++] = 0.0;
  const __m128d zero = _mm_setzero_pd();
  for (; i + 2 <= n; i += 2) _mm_stream_pd(values + i, zero);
  if (i < n) values[i] = 0.0;
  // Streaming stores are weakly ordered: whoever reads the output next must see them.
  _mm_sfence();
#else
  std::fill(values, values + n, 0.0);
#endif
}

}  // namespace

TALVEN_PageOwnership::TALVEN_PageOwnership() : m_fd(-1) {
#if defined(__linux__)
  m_fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
#endif
}

TALVEN_PageOwnership::~TALVEN_PageOwnership() {
#if defined(__linux__)
  if (m_fd >= 0) close(m_fd);
#endif
}

TALVEN_PageOwnership::State TALVEN_PageOwnership::Of(const void* address) const {
#if defined(__linux__)
  if (m_fd < 0) return kOther;
  const uintptr_t page = PageBytes();
  uint64_t entry = 0;
  const off_t at = static_cast<off_t>(reinterpret_cast<uintptr_t>(address) / page * sizeof entry);
  if (pread(m_fd, &entry, sizeof entry, at) != static_cast<ssize_t>(sizeof entry)) return kOther;
  constexpr uint64_t kPresent = uint64_t{1} << 63;
  constexpr uint64_t kSwapped = uint64_t{1} << 62;
  constexpr uint64_t kFileOrShared = uint64_t{1} << 61;
  constexpr uint64_t kExclusive = uint64_t{1} << 56;
  if ((entry & (kPresent | kSwapped)) == 0) return kAbsent;
  return (entry & (kPresent | kFileOrShared | kExclusive)) == (kPresent | kExclusive) ? kOwned
                                                                                      : kOther;
#else
  (void)address;
  return kOther;
#endif
}

void TALVEN_ZeroFill(double* values, ptrdiff_t n, const TALVEN_PageOwnership& pages) {
  if (n <= 0) return;
  const TALVEN_PageOwnership::State state = pages.Of(values);
  if (state == TALVEN_PageOwnership::kOwned) {
    StreamZeros(values, n);
    return;
  }
  const uintptr_t page = PageBytes();
#if defined(__linux__)
  if (state == TALVEN_PageOwnership::kAbsent) {
    // Linux 5.14 and later; older kernels refuse the advice and the reads fault as usual.
    constexpr int kPopulateRead = 22;  // MADV_POPULATE_READ
    const uintptr_t begin = reinterpret_cast<uintptr_t>(values) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(values + n) + page - 1) / page * page;
    madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateRead);
  }
#endif
  // Pieces end at page boundaries, so that a page holding zeros is never written.
  for (ptrdiff_t begin = 0; begin < n;) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(values + begin);
    const ptrdiff_t end = std::min(
        n, begin + static_cast<ptrdiff_t>((at / page * page + page - at) / sizeof(double)));
    if (HoldsOtherThanZeros(values + begin, end - begin))
      std::fill(values + begin, values + end, 0.0);
    begin = end;
  }
}
