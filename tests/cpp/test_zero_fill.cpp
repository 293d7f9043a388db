// Zeroing the output: every value of the range ends +0.0 and nothing outside it changes, whether
// the pages are written ones (streaming stores) or fresh ones (read first); and which pages count
// as owned.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "cpp/sources/zero_fill.h"

namespace {

class ZeroFill : public ::testing::TestWithParam<bool> {};

TEST_P(ZeroFill, ZeroesTheRangeAndNothingElse) {
  const bool written = GetParam();
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t n = 6 * page / sizeof(double);
  void* storage =
      mmap(nullptr, n * sizeof(double), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(storage, MAP_FAILED);
  double* values = static_cast<double*>(storage);
  const size_t per_page = page / sizeof(double);
  // Written memory throughout, or fresh pages of which only the third and fifth hold anything.
  if (written) {
    for (size_t i = 0; i < n; ++i) values[i] = 1.5;
    values[5] = -0.0;
  }
  values[2 * per_page + 1] = std::numeric_limits<double>::quiet_NaN();
  values[4 * per_page] = 2.5;
  values[n - 6] = 2.5;
  const TALVEN_PageOwnership pages;
  // An odd start and end, off the streaming stores' alignment.
  TALVEN_ZeroFill(values + 3, static_cast<ptrdiff_t>(n - 9), pages);
  EXPECT_EQ(values[2], written ? 1.5 : 0.0);
  EXPECT_EQ(values[n - 6], 2.5);
  for (size_t i = 3; i < n - 6; ++i) {
    uint64_t bits;
    std::memcpy(&bits, values + i, sizeof bits);
    ASSERT_EQ(bits, 0u) << i;
  }
#if defined(__linux__)
  // A fresh page that held zeros was read, not written.
  EXPECT_EQ(TALVEN_PageOwnership().Of(values + 3 * per_page) == TALVEN_PageOwnership::kOwned,
            written);
#endif
  munmap(storage, n * sizeof(double));
}

INSTANTIATE_TEST_SUITE_P(WrittenAndFreshPages, ZeroFill, ::testing::Bool());

#if defined(__linux__)
TEST(PageOwnership, WrittenPagesAreOwnedAndUntouchedOnesAbsent) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* storage =
      mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(storage, MAP_FAILED);
  volatile char* bytes = static_cast<char*>(storage);
  bytes[0] = 1;                   // written
  const char read = bytes[page];  // read only: the shared zero page
  (void)read;                     // the third page is never touched
  const TALVEN_PageOwnership pages;
  EXPECT_EQ(pages.Of(storage), TALVEN_PageOwnership::kOwned);
  EXPECT_EQ(pages.Of(static_cast<char*>(storage) + page), TALVEN_PageOwnership::kOther);
  EXPECT_EQ(pages.Of(static_cast<char*>(storage) + 2 * page), TALVEN_PageOwnership::kAbsent);
  munmap(storage, 3 * page);
}
#endif

}  // namespace
