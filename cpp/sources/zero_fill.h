// Setting large ranges of the caller's output to 0.0 at the least cost, which depends on what
// backs the pages: writing pages that this process holds alone costs only the stores, and
// streaming stores pass the caches by and read nothing; writing pages that nothing has touched
// yet, or that are shared, costs a fault and a fresh page each, where reading them costs little
// and leaves them as they are.
#pragma once

#include <cstddef>

class TALVEN_PageOwnership {
 public:
  // Reads the process's page map (Linux); elsewhere, or where it cannot be read, no page counts
  // as owned.
  TALVEN_PageOwnership();
  ~TALVEN_PageOwnership();
  TALVEN_PageOwnership(const TALVEN_PageOwnership&) = delete;
  TALVEN_PageOwnership& operator=(const TALVEN_PageOwnership&) = delete;

  enum State {
    // Present, anonymous, private and mapped by this process alone: memory it has written.
    kOwned,
    // Neither present nor swapped out: nothing has touched it yet, or its file is not cached.
    kAbsent,
    kOther,
  };
  // The state of the page that holds `address`; kOther where the page map cannot be read.
  State Of(const void* address) const;

 private:
  int m_fd;
};

// Bytes of the output that one call of TALVEN_ZeroFill should cover at most; the state of its
// first page stands for all of them.
constexpr ptrdiff_t kTALVEN_ZeroFillChunkBytes = ptrdiff_t{1} << 21;

// Sets values[0, n) to +0.0: with streaming stores when the range's first page is owned, else
// page by page, writing only the pages that hold anything else. An absent first page has the
// range mapped for reading with one system call, which costs far less than a fault per page.
void TALVEN_ZeroFill(double* values, ptrdiff_t n, const TALVEN_PageOwnership& pages);
