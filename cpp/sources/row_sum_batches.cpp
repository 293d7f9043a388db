#include "cpp/sources/row_sum_batches.h"

#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TALVEN_X86_KERNELS 1
#endif

namespace {

#ifdef TALVEN_X86_KERNELS

constexpr int kRows = kTalvenRowBatch;

// Adds term k of every row to its partial sums s[t][p] of V vectors of 8 outputs.
template <int V, int P>
__attribute__((target("avx512f"), always_inline)) inline void AddTerm512(
    const TALVEN_WeightedRow* const* terms, int k, int p, ptrdiff_t offset, __mmask8 last,
    __m512d (&s)[kRows][P][V]) {
#pragma GCC unroll 4
  for (int t = 0; t < kRows; ++t) {
    const double* row = terms[t][k].row + offset;
    const __m512d w = _mm512_set1_pd(terms[t][k].weight);
#pragma GCC unroll 4
    for (int v = 0; v < V - 1; ++v) {
      s[t][p][v] = _mm512_fmadd_pd(w, _mm512_loadu_pd(row + 8 * v), s[t][p][v]);
    }
    s[t][p][V - 1] =
        _mm512_fmadd_pd(w, _mm512_maskz_loadu_pd(last, row + 8 * (V - 1)), s[t][p][V - 1]);
  }
}

// V vectors of 8 outputs of every row of the batch. The arithmetic per output is that of the
// single-row AVX-512 kernel: the terms dealt round-robin to P partial sums (the last few to the
// first), each a chain of multiply-adds from +0.0, added in order at the end; a vector whose
// lanes run past the row's end is read and written under `last` only.
template <int V, int P>
__attribute__((target("avx512f"), always_inline)) inline void Vectors512(
    const TALVEN_WeightedRow* const* terms, int nterms, ptrdiff_t offset, __mmask8 last,
    double* const* dst) {
  __m512d s[kRows][P][V];
#pragma GCC unroll 4
  for (int t = 0; t < kRows; ++t) {
#pragma GCC unroll 4
    for (int p = 0; p < P; ++p) {
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) s[t][p][v] = _mm512_setzero_pd();
    }
  }
  int k = 0;
  for (; k + P <= nterms; k += P) {
#pragma GCC unroll 4
    for (int p = 0; p < P; ++p) AddTerm512<V, P>(terms, k + p, p, offset, last, s);
  }
  for (; k < nterms; ++k) AddTerm512<V, P>(terms, k, 0, offset, last, s);
#pragma GCC unroll 4
  for (int t = 0; t < kRows; ++t) {
#pragma GCC unroll 4
    for (int p = 1; p < P; ++p) {
#pragma GCC unroll 4
      for (int v = 0; v < V; ++v) s[t][0][v] = _mm512_add_pd(s[t][0][v], s[t][p][v]);
    }
#pragma GCC unroll 4
    for (int v = 0; v < V - 1; ++v) _mm512_storeu_pd(dst[t] + 8 * v, s[t][0][v]);
    _mm512_mask_storeu_pd(dst[t] + 8 * (V - 1), last, s[t][0][V - 1]);
  }
}

// Vectors [first, first + count) of the rows of every column, all with P partial sums, in groups
// that keep at most 24 accumulators; the last vector's lanes are `last`. Each group runs over all
// columns before the next: the columns read nearly the same table rows, which stay in the second
// level cache.
template <int P>
__attribute__((target("avx512f"))) void Run512(const TALVEN_WeightedRow* const* terms, int nterms,
                                               const TALVEN_RowBatchColumns& columns, int first,
                                               int count, __mmask8 last, double* const* dst) {
  constexpr int kGroup = 24 / (kRows * P) > 0 ? 24 / (kRows * P) : 1;
  for (int v = first; v < first + count; v += kGroup) {
    const int m = first + count - v < kGroup ? first + count - v : kGroup;
    const __mmask8 mask = v + m == first + count ? last : 0xFF;
    for (int c = 0; c < columns.count; ++c) {
      double* rows[kRows];
      for (int t = 0; t < kRows; ++t) rows[t] = dst[t] + c * columns.dst_stride + 8 * v;
      const ptrdiff_t o = columns.offset + c * columns.offset_stride + 8 * v;
      if (m == 3) {
        Vectors512<3, P>(terms, nterms, o, mask, rows);
      } else if (m == 2) {
        Vectors512<2, P>(terms, nterms, o, mask, rows);
      } else {
        Vectors512<1, P>(terms, nterms, o, mask, rows);
      }
    }
  }
}

// The single-row kernel sums blocks of 64 outputs with 2 partial sums and the rest, nv vectors,
// with min(16 / nv, 4).
__attribute__((target("avx512f"))) void Batch512(const TALVEN_WeightedRow* const* terms, int nterms,
                                                 const TALVEN_RowBatchColumns& columns,
                                                 double* const* dst) {
  const int n = columns.n;
  const int full = n / 64 * 8;
  if (full > 0) Run512<2>(terms, nterms, columns, 0, full, 0xFF, dst);
  const int r = n - 8 * full;
  if (r == 0) return;
  const int nv = (r + 7) / 8;
  const __mmask8 last = static_cast<__mmask8>(0xFFu >> (8 * nv - r));
  const int partials = 16 / nv < 4 ? 16 / nv : 4;
  if (partials == 4) {
    Run512<4>(terms, nterms, columns, full, nv, last, dst);
  } else if (partials == 3) {
    Run512<3>(terms, nterms, columns, full, nv, last, dst);
  } else {
    Run512<2>(terms, nterms, columns, full, nv, last, dst);
  }
}

constexpr int kShared = kTalvenSharedRowBatch;

// GCC 12 takes the undefined pass-through operand inside the shuffle intrinsics for an
// uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// The values of receivers j0 + J0 .. for the eight rows, the row of lane l being 7 - l: window j
// holds row 7 - l's value of receiver j, a shift by j of the aligned loads a and b.
template <int J>
__attribute__((target("avx512f"), always_inline)) inline __m512d Window(__m512d a, __m512d b) {
  if constexpr (J % 8 == 0) {
    return J == 0 ? a : b;
  } else {
    return _mm512_castsi512_pd(
        _mm512_alignr_epi64(_mm512_castpd_si512(b), _mm512_castpd_si512(a), J % 8));
  }
}

template <int... J>
__attribute__((target("avx512f"), always_inline)) inline void AddShared(
    __m512d (&s)[8], __m512d w, __m512d a, __m512d b, std::integer_sequence<int, J...>) {
  ((s[J] = _mm512_fmadd_pd(w, Window<J>(a, b), s[J])), ...);
}

// Term k for the receivers of column o, from the aligned loads at o - 7 and o + 1.
__attribute__((target("avx512f"), always_inline)) inline void AddSharedTerm(
    const double* const* rows, const double* weights, int k, ptrdiff_t o, __m512d (&s)[8]) {
  const __m512i reverse = _mm512_set_epi64(0, 1, 2, 3, 4, 5, 6, 7);
  AddShared(s, _mm512_permutexvar_pd(reverse, _mm512_loadu_pd(weights + kShared * k)),
            _mm512_load_pd(rows[k] + o - 7), _mm512_load_pd(rows[k] + o + 1),
            std::make_integer_sequence<int, 8>());
}

// Receivers r0 .. r0 + 7 (those below n stored) of every row of column `o`, with P partial sums
// as the single-row kernel keeps for them: one pass over the terms per partial sum.
template <int P>
__attribute__((target("avx512f"))) void SharedVector512(const double* const* rows,
                                                        const double* weights, int nterms,
                                                        ptrdiff_t o, int r0, int n,
                                                        double* const* dst) {
  const int whole = nterms - nterms % P;
  __m512d total[8];
  for (int p = 0; p < P; ++p) {
    __m512d s[8];
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) s[j] = _mm512_setzero_pd();
    for (int k = p; k < whole; k += P) AddSharedTerm(rows, weights, k, o + r0, s);
    if (p == 0) {
      for (int k = whole; k < nterms; ++k) AddSharedTerm(rows, weights, k, o + r0, s);
    }
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) total[j] = p == 0 ? s[j] : _mm512_add_pd(total[j], s[j]);
  }
  alignas(64) double sums[8][8];
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) _mm512_store_pd(sums[j], total[j]);
  const int count = n - r0 < 8 ? n - r0 : 8;
  for (int t = 0; t < kShared; ++t) {
    for (int j = 0; j < count; ++j) dst[t][r0 + j] = sums[j][7 - t];
  }
}

template <int P>
__attribute__((target("avx512f"))) void SharedRun512(const double* const* rows,
                                                     const double* weights, int nterms, ptrdiff_t o,
                                                     int first, int count, int n,
                                                     double* const* dst) {
  for (int v = first; v < first + count; ++v) {
    SharedVector512<P>(rows, weights, nterms, o, 8 * v, n, dst);
  }
}

__attribute__((target("avx512f"))) void SharedBatch512(const double* const* rows,
                                                       const double* weights, int nterms,
                                                       const TALVEN_RowBatchColumns& columns,
                                                       double* const* dst) {
  const int n = columns.n;
  const int full = n / 64 * 8;
  const int r = n - 8 * full;
  const int nv = (r + 7) / 8;
  const int partials = nv == 0 ? 2 : (16 / nv < 4 ? 16 / nv : 4);
  for (int c = 0; c < columns.count; ++c) {
    const ptrdiff_t o = columns.offset + c * columns.offset_stride;
    double* out[kShared];
    for (int t = 0; t < kShared; ++t) out[t] = dst[t] + c * columns.dst_stride;
    if (full > 0) SharedRun512<2>(rows, weights, nterms, o, 0, full, n, out);
    if (nv == 0) continue;
    if (partials == 4) {
      SharedRun512<4>(rows, weights, nterms, o, full, nv, n, out);
    } else if (partials == 3) {
      SharedRun512<3>(rows, weights, nterms, o, full, nv, n, out);
    } else {
      SharedRun512<2>(rows, weights, nterms, o, full, nv, n, out);
    }
  }
}

#pragma GCC diagnostic pop

#endif

}  // namespace

void TALVEN_SumWeightedRowBatch(const TALVEN_WeightedRow* const* terms, int nrows, int nterms,
                                const TALVEN_RowBatchColumns& columns, double* const* dst) {
#ifdef TALVEN_X86_KERNELS
  if (TALVEN_BestVectorLevel() == TALVEN_VectorLevel::kAvx512) {
    // A short batch repeats its last row, whose sums are stored twice.
    const TALVEN_WeightedRow* batch_terms[kRows];
    double* batch_dst[kRows];
    for (int t = 0; t < kRows; ++t) {
      batch_terms[t] = terms[t < nrows ? t : nrows - 1];
      batch_dst[t] = dst[t < nrows ? t : nrows - 1];
    }
    Batch512(batch_terms, nterms, columns, batch_dst);
    return;
  }
#endif
  for (int c = 0; c < columns.count; ++c) {
    for (int t = 0; t < nrows; ++t) {
      TALVEN_SumWeightedRows(terms[t], nterms, columns.offset + c * columns.offset_stride,
                             columns.n, false, dst[t] + c * columns.dst_stride);
    }
  }
}

bool TALVEN_SharedRowBatchesAvailable() {
  return TALVEN_BestVectorLevel() == TALVEN_VectorLevel::kAvx512;
}

void TALVEN_SumSharedRowBatch(const double* const* rows, const double* weights, int nterms,
                              const TALVEN_RowBatchColumns& columns, double* const* dst) {
#ifdef TALVEN_X86_KERNELS
  SharedBatch512(rows, weights, nterms, columns, dst);
#else
  (void)rows, (void)weights, (void)nterms, (void)columns, (void)dst;
#endif
}
