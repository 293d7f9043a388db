// The in-field engine's kernels against plain loops: every vector level this processor runs, row
// lengths and block heights on and off the vector width, and nothing written outside the rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "cpp/sources/weighted_row_sums.h"

namespace {

constexpr double kSentinel = -12345.0;

std::vector<TALVEN_VectorLevel> LevelsHere() {
  std::vector<TALVEN_VectorLevel> levels = {TALVEN_VectorLevel::kBaseline};
  if (TALVEN_BestVectorLevel() != TALVEN_VectorLevel::kBaseline) {
    levels.push_back(TALVEN_VectorLevel::kAvx2);
  }
  if (TALVEN_BestVectorLevel() == TALVEN_VectorLevel::kAvx512) {
    levels.push_back(TALVEN_VectorLevel::kAvx512);
  }
  return levels;
}

// Random table rows; entry t starts `t * 37 + 5` values in, so that rows overlap and lie at every
// alignment.
struct Table {
  std::vector<double> values;
  explicit Table(size_t size, unsigned seed) : values(size) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (double& v : values) v = unit(rng);
  }
};

void ExpectClose(double expected, double actual, double scale) {
  EXPECT_NEAR(expected, actual, 1e-13 * scale);
}

TEST(WeightedRowSums, MatchPlainSumsAtEveryLevelAndLength) {
  Table table(4096, 1);
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> weight(-2.0, 2.0);
  for (TALVEN_VectorLevel level : LevelsHere()) {
    for (int n : {1, 3, 4, 7, 8, 9, 31, 32, 33, 63, 64, 65, 96, 100}) {
      for (int nterms : {0, 1, 2, 3, 5, 17}) {
        for (bool accumulate : {false, true}) {
          std::vector<TALVEN_WeightedRow> terms;
          for (int t = 0; t < nterms; ++t) {
            terms.push_back({table.values.data() + t * 37 + 5, weight(rng)});
          }
          const ptrdiff_t offset = 3;
          std::vector<double> dst(n + 2, kSentinel);
          for (int i = 1; i <= n; ++i) dst[i] = 0.25 * i;
          const std::vector<double> before = dst;
          TALVEN_SumWeightedRowsAt(level, terms.data(), nterms, offset, n, accumulate,
                                   dst.data() + 1);
          SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level) << " n " << n
                                            << " terms " << nterms << " acc " << accumulate);
          EXPECT_EQ(dst[0], kSentinel);
          EXPECT_EQ(dst[n + 1], kSentinel);
          for (int i = 0; i < n; ++i) {
            double expected = accumulate ? before[i + 1] : 0.0;
            for (const TALVEN_WeightedRow& t : terms) expected += t.weight * t.row[offset + i];
            ExpectClose(expected, dst[i + 1], 1.0 + nterms);
          }
        }
      }
    }
  }
}

TEST(WeightedRowSums, NaNWeightReachesOnlyItsRow) {
  Table table(256, 3);
  for (TALVEN_VectorLevel level : LevelsHere()) {
    const TALVEN_WeightedRow terms[2] = {{table.values.data(), 1.0},
                                         {table.values.data() + 9, std::nan("")}};
    std::vector<double> dst(20, 0.0);
    TALVEN_SumWeightedRowsAt(level, terms, 2, 0, 19, false, dst.data());
    for (int i = 0; i < 19; ++i) EXPECT_TRUE(std::isnan(dst[i]));
    EXPECT_EQ(dst[19], 0.0);
  }
}

// A combined element may not depend on where its row starts: blocks of a matrix are built into
// outputs of their own and must keep the whole matrix's bits.
TEST(CombinedRows, SameBitsAtEveryAlignmentAndLevel) {
  Table table(1024, 6);
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> weight(-2.0, 2.0);
  for (TALVEN_VectorLevel level : LevelsHere()) {
    for (int n : {1, 7, 8, 9, 17, 64, 96, 100}) {
      for (int nterms : {0, 1, 6}) {
        std::vector<TALVEN_WeightedRow> terms;
        for (int t = 0; t < nterms; ++t) {
          terms.push_back({table.values.data() + t * 37 + 5, weight(rng)});
        }
        std::vector<double> first;
        for (int shift = 0; shift < 8; ++shift) {
          alignas(64) double out[128];
          std::fill(out, out + 128, kSentinel);
          double* dst = out + 8 + shift;
          TALVEN_CombineRowsAt(level, terms.data(), nterms, n, dst);
          TALVEN_FinishStreams();
          SCOPED_TRACE(::testing::Message() << "level " << static_cast<int>(level) << " n " << n
                                            << " terms " << nterms << " shift " << shift);
          EXPECT_EQ(dst[-1], kSentinel);
          EXPECT_EQ(dst[n], kSentinel);
          if (shift == 0) first.assign(dst, dst + n);
          for (int i = 0; i < n; ++i) {
            double expected = 0.0;
            for (const TALVEN_WeightedRow& t : terms) expected += t.weight * t.row[i];
            ExpectClose(expected, dst[i], 1.0 + nterms);
            EXPECT_EQ(first[i], dst[i]);
          }
        }
      }
    }
  }
}

TEST(SkewedBlockSums, MatchPlainSumsForEveryHeightAndLength) {
  if (!TALVEN_SkewedBlocksAvailable()) GTEST_SKIP() << "no AVX-512 on this processor";
  Table table(4096, 4);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> weight(-2.0, 2.0);
  constexpr int kRows = kTalvenSkewedBlockRows;
  for (int nrows = 1; nrows <= kRows; ++nrows) {
    for (int n : {1, 2, 7, 8, 9, 20, 33, 96, 100, 203}) {
      for (int nplanes : {0, 1, 4, 7}) {
        std::vector<const double*> planes;
        std::vector<double> weights;
        for (int u = 0; u < nplanes; ++u) {
          planes.push_back(table.values.data() + 64 + u * 211);
          for (int y = 0; y < kRows; ++y) weights.push_back(weight(rng));
        }
        // Each row with a guard value on either side.
        const ptrdiff_t stride = n + 2;
        std::vector<double> out(static_cast<size_t>(stride) * kRows, kSentinel);
        double* rows[kRows];
        for (int y = 0; y < kRows; ++y) rows[y] = out.data() + y * stride + 1;
        const ptrdiff_t offset = 20;
        TALVEN_SumSkewedBlock(planes.data(), weights.data(), nplanes, offset, n % 3, n, nrows,
                              rows);
        SCOPED_TRACE(::testing::Message()
                     << "rows " << nrows << " n " << n << " planes " << nplanes);
        for (int y = 0; y < kRows; ++y) {
          EXPECT_EQ(rows[y][-1], kSentinel);
          EXPECT_EQ(rows[y][n], kSentinel);
          for (int r = 0; r < n; ++r) {
            if (y >= nrows) {
              EXPECT_EQ(rows[y][r], kSentinel);
              continue;
            }
            double expected = 0.0;
            for (int u = 0; u < nplanes; ++u) {
              expected += weights[u * kRows + y] * planes[u][offset + r - y];
            }
            ExpectClose(expected, rows[y][r], 1.0 + nplanes);
          }
        }
      }
    }
  }
}

}  // namespace
