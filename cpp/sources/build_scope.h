// What one call builds of a matrix, and the words through which its caller follows and stops it.
//
// A call may build the matrix rows of a block of whole source L1C x-columns [first_column,
// end_column): Ky rows per x-column, into a buffer that holds just those rows, each equal to the
// bits of the same row of a whole-matrix build. The caller's control words are read and written
// with relaxed atomics while the build runs; another thread may poll or set them.
#pragma once

#include <cstdint>

struct TALVEN_BuildScope {
  static constexpr int kThroughLastColumn = -1;

  int first_column = 0;
  int end_column = kThroughLastColumn;
  // Null, or three words: [0] non-zero asks the build to stop, [1] work items finished so far
  // (incremented), [2] work items of this call (written before the work starts).
  int64_t* control = nullptr;

  int EndColumn(int kx) const { return end_column == kThroughLastColumn ? kx : end_column; }
  bool IsWhole(int kx) const { return first_column == 0 && EndColumn(kx) == kx; }
  // Matrix rows (source L1C pixels) of the block.
  int64_t Rows(int kx, int ky) const {
    return static_cast<int64_t>(EndColumn(kx) - first_column) * ky;
  }
  // The lines that belong to the whole request (its checks, version, outcome) come from the
  // call that holds column 0, so that a request split into blocks logs them once.
  bool LogsRequestLines() const { return first_column == 0; }

  bool Cancelled() const {
    return control != nullptr && __atomic_load_n(control, __ATOMIC_RELAXED) != 0;
  }
  void SetTotal(int64_t items) const {
    if (control != nullptr) __atomic_store_n(control + 2, items, __ATOMIC_RELAXED);
  }
  void AddFinished() const {
    if (control != nullptr) __atomic_fetch_add(control + 1, 1, __ATOMIC_RELAXED);
  }
};
