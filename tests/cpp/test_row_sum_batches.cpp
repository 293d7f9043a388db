// Batches of output rows against the single-row kernel, bit for bit: row lengths on and off the
// vector width and the 64-value blocks, short batches, and nothing written between the columns.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "cpp/sources/row_sum_batches.h"

namespace {

class RowSumBatch : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(RowSumBatch, EveryRowHasTheBitsOfTheSingleRowKernel) {
  const auto [n, nrows, nterms] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(n * 131 + nrows * 17 + nterms));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const int columns = 3;
  const ptrdiff_t offset_stride = 11, dst_stride = n + 5;
  // Row t of the batch reads the table one value further back than row t - 1, at every
  // alignment; weights differ per row.
  std::vector<double> table(static_cast<size_t>(nterms) * 29 + columns * offset_stride + n + 8);
  for (double& v : table) v = unit(rng);
  std::vector<std::vector<TALVEN_WeightedRow>> terms(nrows);
  for (int t = 0; t < nrows; ++t) {
    for (int k = 0; k < nterms; ++k) terms[t].push_back({table.data() + 29 * k + 7 - t, unit(rng)});
  }
  const double sentinel = -12345.0;
  std::vector<std::vector<double>> got(nrows, std::vector<double>(columns * dst_stride, sentinel));
  std::vector<std::vector<double>> want = got;
  std::vector<const TALVEN_WeightedRow*> batch;
  std::vector<double*> dst;
  for (int t = 0; t < nrows; ++t) {
    batch.push_back(terms[t].data());
    dst.push_back(got[t].data());
    for (int c = 0; c < columns; ++c) {
      TALVEN_SumWeightedRows(terms[t].data(), nterms, c * offset_stride, n, false,
                             want[t].data() + c * dst_stride);
    }
  }
  TALVEN_SumWeightedRowBatch(batch.data(), nrows, nterms,
                             TALVEN_RowBatchColumns{columns, n, 0, offset_stride, dst_stride},
                             dst.data());
  for (int t = 0; t < nrows; ++t) {
    EXPECT_EQ(std::memcmp(got[t].data(), want[t].data(), got[t].size() * sizeof(double)), 0)
        << "row " << t;
  }
}

INSTANTIATE_TEST_SUITE_P(LengthsBatchesAndTerms, RowSumBatch,
                         ::testing::Combine(::testing::Values(1, 7, 8, 33, 40, 64, 96, 121, 130),
                                            ::testing::Values(1, 3, kTalvenRowBatch),
                                            ::testing::Values(1, 6, 11)));

class SharedRowBatch : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SharedRowBatch, EveryRowHasTheBitsOfTheSingleRowKernel) {
  if (!TALVEN_SharedRowBatchesAvailable()) GTEST_SKIP() << "needs AVX-512";
  const auto [n, nterms] = GetParam();
  constexpr int kRows = kTalvenSharedRowBatch;
  std::mt19937 rng(static_cast<unsigned>(n * 7 + nterms));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  const int columns = 2;
  const ptrdiff_t offset_stride = 16, dst_stride = n + 3, row_stride = 24;
  // Term k of row 0 starts 7 values past a 64-byte boundary; row t reads it t values earlier.
  std::vector<double> storage(static_cast<size_t>(nterms) * row_stride + columns * offset_stride +
                              n + 32);
  for (double& v : storage) v = unit(rng);
  double* table = storage.data() + (64 - reinterpret_cast<uintptr_t>(storage.data()) % 64) % 64 / 8;
  std::vector<const double*> rows;
  std::vector<double> weights;
  std::vector<std::vector<TALVEN_WeightedRow>> terms(kRows);
  for (int k = 0; k < nterms; ++k) {
    rows.push_back(table + k * row_stride + 7);
    for (int t = 0; t < kRows; ++t) {
      weights.push_back(unit(rng));
      terms[t].push_back({rows.back() - t, weights.back()});
    }
  }
  std::vector<std::vector<double>> got(kRows, std::vector<double>(columns * dst_stride, -1.0));
  std::vector<std::vector<double>> want = got;
  std::vector<double*> dst;
  for (int t = 0; t < kRows; ++t) {
    dst.push_back(got[t].data());
    for (int c = 0; c < columns; ++c) {
      TALVEN_SumWeightedRows(terms[t].data(), nterms, c * offset_stride, n, false,
                             want[t].data() + c * dst_stride);
    }
  }
  TALVEN_SumSharedRowBatch(rows.data(), weights.data(), nterms,
                           TALVEN_RowBatchColumns{columns, n, 0, offset_stride, dst_stride},
                           dst.data());
  for (int t = 0; t < kRows; ++t) {
    EXPECT_EQ(std::memcmp(got[t].data(), want[t].data(), got[t].size() * sizeof(double)), 0)
        << "row " << t;
  }
}

INSTANTIATE_TEST_SUITE_P(LengthsAndTerms, SharedRowBatch,
                         ::testing::Combine(::testing::Values(1, 5, 8, 12, 33, 40, 64, 96, 130),
                                            ::testing::Values(1, 6, 11)));

}  // namespace
