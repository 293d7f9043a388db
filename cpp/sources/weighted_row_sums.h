// Weighted sums of table rows: the inner kernels of the fast in-field engine.
//
// An output row of n values is the sum of a few dozen table rows, each times its own weight. The
// sum is kept in vector registers over the whole list of rows and stored once, so each
// multiply-add costs one load: the table rows of one source and receiver column stay in the first
// cache levels while the kernel runs over all their sources. The kernel is compiled for AVX-512,
// for AVX2 with FMA and for the baseline x86-64 instruction set; the widest the processor
// supports is picked when the library is loaded.
#pragma once

#include <cstddef>

struct TALVEN_WeightedRow {
  const double* row;
  double weight;
};

enum class TALVEN_VectorLevel { kBaseline, kAvx2, kAvx512 };

// The level TALVEN_SumWeightedRows uses: the widest this processor runs, or a narrower one named
// by the environment variable CORVANE_VECTOR_LEVEL ("baseline" or "avx2") when the library loads.
TALVEN_VectorLevel TALVEN_BestVectorLevel();

// dst[i] = (accumulate ? dst[i] : 0) + the sum over t < nterms of
// terms[t].weight * terms[t].row[offset + i], for i < n, added in the order of the terms. The
// result depends only on the arguments and the vector level, never on the caller's thread.
void TALVEN_SumWeightedRows(const TALVEN_WeightedRow* terms, int nterms, ptrdiff_t offset, int n,
                            bool accumulate, double* dst);

// The same at a given level, which the processor must support.
void TALVEN_SumWeightedRowsAt(TALVEN_VectorLevel level, const TALVEN_WeightedRow* terms, int nterms,
                              ptrdiff_t offset, int n, bool accumulate, double* dst);

// dst[i] = the sum over t < nterms of terms[t].weight * terms[t].row[i], for i < n: each element
// summed by itself in the order of the terms, so that it does not depend on where dst starts.
// For an output that is not read again soon: whole cache lines of dst may be written past the
// caches, and the caller calls TALVEN_FinishStreams before other threads read them.
void TALVEN_CombineRows(const TALVEN_WeightedRow* terms, int nterms, int n, double* dst);
void TALVEN_CombineRowsAt(TALVEN_VectorLevel level, const TALVEN_WeightedRow* terms, int nterms,
                          int n, double* dst);
void TALVEN_FinishStreams();

// Rows of a block handled by TALVEN_SumSkewedBlock.
constexpr int kTalvenSkewedBlockRows = 32;

// Whether TALVEN_SumSkewedBlock runs on this processor (it needs AVX-512).
bool TALVEN_SkewedBlocksAvailable();

// A block of up to 32 output rows whose terms share their table rows, each row reading them one
// element further back than the row before (the footprint rows of consecutive source rows):
//   dst[y][r] = the sum over u < nplanes of weights[32 u + y] * planes[u][offset + r - y]
// for y < nrows <= 32 and r < n, the planes summed in their order. The weights of rows past
// nrows are ignored; a row that does not use a plane has weight 0 there, so the planes must hold
// finite values. The kernel reads planes[u][offset + d] for 1 - nrows <= d < n + 7; values past
// d = n - 1 only reach results it discards. The receivers lie in the vector lanes, and rows y,
// y + 8, y + 16 and y + 24 are summed together from the same loads. Unless `ahead` is 0, the
// values the same block reads at offset + ahead (the next call's) are fetched into the cache
// first; they are not read.
void TALVEN_SumSkewedBlock(const double* const* planes, const double* weights, int nplanes,
                           ptrdiff_t offset, ptrdiff_t ahead, int n, int nrows, double* const* dst);
