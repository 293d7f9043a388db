// Batches of output rows against the single-row kernel, bit for bit: row lengths on and off the
// vector width and the 64-value blocks, short batches, and nothing written between the columns.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include "cpp/sources/row_sum_batches.h"

namespace {

// Runs batch(dst) over rows of `columns` columns (sentinels between them) and expects each row's
// bits to be those of the single-row kernel over its terms.
void ExpectSingleRowBits(const std::vector<std::vector<TALVEN_WeightedRow>>& terms,
                         const TALVEN_RowBatchColumns& columns,
                         const std::function<void(double* const*)>& batch) {
  const size_t size = static_cast<size_t>(columns.count * columns.dst_stride);
  std::vector<std::vector<double>> got(terms.size(), std::vector<double>(size, -12345.0));
  std::vector<std::vector<double>> want = got;
  std::vector<double*> dst;
  for (size_t t = 0; t < terms.size(); ++t) {
    dst.push_back(got[t].data());
    for (int c = 0; c < columns.count; ++c) {
      TALVEN_SumWeightedRows(terms[t].data(), static_cast<int>(terms[t].size()),
                             columns.offset + c * columns.offset_stride, columns.n, false,
                             want[t].data() + c * columns.dst_stride);
    }
  }
  batch(dst.data());
  for (size_t t = 0; t < terms.size(); ++t) {
    EXPECT_EQ(std::memcmp(got[t].data(), want[t].data(), size * sizeof(double)), 0) << "row " << t;
  }
}

class RowSumBatch : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(RowSumBatch, EveryRowHasTheBitsOfTheSingleRowKernel) {
  const auto [n, nrows, nterms] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 131 + nrows * 17 + nterms));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const TALVEN_RowBatchColumns columns{3, n, 0, 11, n + 5};
  // Row t of the batch reads the table one value further back than row t - 1, at every
  // alignment; weights differ per row.
  std::vector<double> table(static_cast<size_t>(nterms) * 29 + 3 * 11 + n + 8);
  for (double& v : table) v = unit(rng);
  std::vector<std::vector<TALVEN_WeightedRow>> terms(nrows);
  std::vector<const TALVEN_WeightedRow*> batch;
  for (int t = 0; t < nrows; ++t) {
    for (int k = 0; k < nterms; ++k) terms[t].push_back({table.data() + 29 * k + 7 - t, unit(rng)});
    batch.push_back(terms[t].data());
  }
  ExpectSingleRowBits(terms, columns, [&](double* const* dst) {
    TALVEN_SumWeightedRowBatch(batch.data(), nrows, nterms, columns, dst);
  });
}

INSTANTIATE_TEST_SUITE_P(LengthsBatchesAndTerms, RowSumBatch,
                         ::testing::Combine(::testing::Values(1, 7, 8, 33, 40, 64, 96, 121, 130),
                                            ::testing::Values(1, 3, kTalvenRowBatch),
                                            ::testing::Values(1, 6, 11)));

class SharedRowBatch : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SharedRowBatch, EveryRowHasTheBitsOfTheSingleRowKernel) {
  if (!TALVEN_SharedRowBatchesAvailable()) GTEST_SKIP() << "needs AVX-512";
  const auto [n, nterms] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 7 + nterms));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const TALVEN_RowBatchColumns columns{2, n, 0, 16, n + 3};
  const ptrdiff_t row_stride = 24;
  // Term k of row 0 starts 7 values past a 64-byte boundary; row t reads it t values earlier.
  std::vector<double> storage(static_cast<size_t>(nterms) * row_stride + 2 * 16 + n + 32);
  for (double& v : storage) v = unit(rng);
  double* table = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64) % 64 / 8;
  std::vector<const double*> rows;
  std::vector<double> weights;
  std::vector<std::vector<TALVEN_WeightedRow>> terms(kTalvenSharedRowBatch);
  for (int k = 0; k < nterms; ++k) {
    rows.push_back(table + k * row_stride + 7);
    for (int t = 0; t < kTalvenSharedRowBatch; ++t) {
      weights.push_back(unit(rng));
      terms[t].push_back({rows.back() - t, weights.back()});
    }
  }
  ExpectSingleRowBits(terms, columns, [&](double* const* dst) {
    TALVEN_SumSharedRowBatch(rows.data(), weights.data(), nterms, columns, dst);
  });
}

INSTANTIATE_TEST_SUITE_P(LengthsAndTerms, SharedRowBatch,
                         ::testing::Combine(::testing::Values(1, 5, 8, 12, 33, 40, 64, 96, 130),
                                            ::testing::Values(1, 6, 11)));

}  // namespace
