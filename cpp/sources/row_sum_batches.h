// Weighted row sums of a few output rows at once, for lists of terms whose table rows lie a few
// elements apart from one output row to the next (the horizontal engine's consecutive target
// rows read the same footprint rows one element further back). One output row at a time, each
// term's values come from the second level cache, since a row's terms span more than the first
// level holds; a batch loads every term's values for all its rows while they are in the first
// level, and each row's sums are those of TALVEN_SumWeightedRows to the last bit.
#pragma once

#include <cstddef>

#include "cpp/sources/weighted_row_sums.h"

// Output rows of one batch at most.
constexpr int kTalvenRowBatch = 4;

// The outputs of a batch: `count` columns of n values per row, column c at dst_stride * c from
// the row's first, summing the terms' values at offset + offset_stride * c.
struct TALVEN_RowBatchColumns {
  int count;
  int n;
  ptrdiff_t offset;
  ptrdiff_t offset_stride;
  ptrdiff_t dst_stride;
};

// For t < nrows, 1 <= nrows <= kTalvenRowBatch, and c < columns.count: the n values at
// dst[t] + c * columns.dst_stride, the same as TALVEN_SumWeightedRows(terms[t], nterms,
// columns.offset + c * columns.offset_stride, columns.n, false, that address) gives. Every row
// has nterms terms.
void TALVEN_SumWeightedRowBatch(const TALVEN_WeightedRow* const* terms, int nrows, int nterms,
                                const TALVEN_RowBatchColumns& columns, double* const* dst);

// Rows of a batch whose terms share their table rows, each row reading them one value further
// back than the row before: consecutive target rows of the horizontal engine.
constexpr int kTalvenSharedRowBatch = 8;

// Whether TALVEN_SumSharedRowBatch runs on this processor (it needs AVX-512).
bool TALVEN_SharedRowBatchesAvailable();

// The sums of TALVEN_SumWeightedRowBatch for the kTalvenSharedRowBatch rows whose term k is
// {rows[k] - t, weights[kTalvenSharedRowBatch * k + t]} in row t, to the last bit. Here the rows
// of the batch lie in the vector lanes: each aligned load of a table row serves eight rows, and
// the values of the next receivers are shifted out of two such loads in registers.
// rows[k] + columns.offset - 7 must lie on a 64-byte boundary and columns.offset_stride be a
// multiple of 8; the kernel reads rows[k][o - 7 .. o + n + 7] for o = offset + c * offset_stride,
// c < columns.count, of which values past o + n - 1 only reach results it discards.
void TALVEN_SumSharedRowBatch(const double* const* rows, const double* weights, int nterms,
                              const TALVEN_RowBatchColumns& columns, double* const* dst);
