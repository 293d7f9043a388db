#include "cpp/sources/weighted_row_sums.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define TALVEN_X86_KERNELS 1
#endif

namespace {

using Kernel = void (*)(const TALVEN_WeightedRow*, int, ptrdiff_t, int, bool, double*);

// Blocks of 8 outputs summed in a local array the compiler may keep in registers.
void SumBaseline(const TALVEN_WeightedRow* terms, int nterms, ptrdiff_t offset, int n,
                 bool accumulate, double* dst) {
  constexpr int kBlock = 8;
  for (int i = 0; i < n; i += kBlock) {
    const int m = n - i < kBlock ? n - i : kBlock;
    double s[kBlock] = {};
    if (accumulate) {
      for (int v = 0; v < m; ++v) s[v] = dst[i + v];
    }
    for (int k = 0; k < nterms; ++k) {
      const double* p = terms[k].row + offset + i;
      const double w = terms[k].weight;
      if (m == kBlock) {
        for (int v = 0; v < kBlock; ++v) s[v] += w * p[v];
      } else {
        for (int v = 0; v < m; ++v) s[v] += w * p[v];
      }
    }
    for (int v = 0; v < m; ++v) dst[i + v] = s[v];
  }
}

// Runs Kernel<nv>::Run(args...) for a count of vectors 1 <= nv <= Max known only at run time.
template <template <int> class Kernel, int Max = 8, int V = 1, typename... Args>
void Dispatch(int nv, Args... args) {
  if constexpr (V < Max) {
    if (nv > V) return Dispatch<Kernel, Max, V + 1>(nv, args...);
  }
  Kernel<V>::Run(args...);
}

#ifdef TALVEN_X86_KERNELS

// V vectors of 8 outputs held in registers for the whole list of terms; the last vector is
// masked so that no lane past the row's end is read or written. The terms are dealt round-robin
// to P partial sums (the last few to the first), added in order at the end: enough independent
// chains to keep both FMA pipes busy through the FMA latency.
template <int V, int P>
__attribute__((target("avx512f"), always_inline)) inline void Block512(
    const TALVEN_WeightedRow* terms, int nterms, ptrdiff_t offset, bool accumulate, __mmask8 last,
    double* dst) {
  __m512d s[P][V];
#pragma GCC unroll 8
  for (int p = 0; p < P; ++p) {
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) s[p][v] = _mm512_setzero_pd();
  }
  if (accumulate) {
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v)
      s[0][v] = _mm512_maskz_loadu_pd(v == V - 1 ? last : 0xFF, dst + 8 * v);
  }
  int k = 0;
  for (; k + P <= nterms; k += P) {
#pragma GCC unroll 8
    for (int p = 0; p < P; ++p) {
      const double* row = terms[k + p].row + offset;
      const __m512d w = _mm512_set1_pd(terms[k + p].weight);
#pragma GCC unroll 8
      for (int v = 0; v < V - 1; ++v) {
        s[p][v] = _mm512_fmadd_pd(w, _mm512_loadu_pd(row + 8 * v), s[p][v]);
      }
      s[p][V - 1] = _mm512_fmadd_pd(w, _mm512_maskz_loadu_pd(last, row + 8 * (V - 1)), s[p][V - 1]);
    }
  }
  for (; k < nterms; ++k) {
    const double* row = terms[k].row + offset;
    const __m512d w = _mm512_set1_pd(terms[k].weight);
#pragma GCC unroll 8
    for (int v = 0; v < V - 1; ++v) {
      s[0][v] = _mm512_fmadd_pd(w, _mm512_loadu_pd(row + 8 * v), s[0][v]);
    }
    s[0][V - 1] = _mm512_fmadd_pd(w, _mm512_maskz_loadu_pd(last, row + 8 * (V - 1)), s[0][V - 1]);
  }
#pragma GCC unroll 8
  for (int p = 1; p < P; ++p) {
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) s[0][v] = _mm512_add_pd(s[0][v], s[p][v]);
  }
#pragma GCC unroll 8
  for (int v = 0; v < V - 1; ++v) _mm512_storeu_pd(dst + 8 * v, s[0][v]);
  _mm512_mask_storeu_pd(dst + 8 * (V - 1), last, s[0][V - 1]);
}

// Partial sums for V vectors: at most 16 accumulators, which leaves the compiler registers to
// spare.
template <int V>
struct Sum512 {
  __attribute__((target("avx512f"))) static void Run(const TALVEN_WeightedRow* terms, int nterms,
                                                     ptrdiff_t offset, bool accumulate,
                                                     __mmask8 last, double* dst) {
    constexpr int kPartials = 16 / V < 4 ? 16 / V : 4;
    Block512<V, kPartials>(terms, nterms, offset, accumulate, last, dst);
  }
};

__attribute__((target("avx512f"))) void SumAvx512(const TALVEN_WeightedRow* terms, int nterms,
                                                  ptrdiff_t offset, int n, bool accumulate,
                                                  double* dst) {
  int i = 0;
  for (; n - i >= 64; i += 64) Sum512<8>::Run(terms, nterms, offset + i, accumulate, 0xFF, dst + i);
  const int r = n - i;
  if (r == 0) return;
  const int nv = (r + 7) / 8;
  const __mmask8 last = static_cast<__mmask8>(0xFFu >> (8 * nv - r));
  Dispatch<Sum512>(nv, terms, nterms, offset + i, accumulate, last, dst + i);
}

// Rows y, y + 8, ... of a skewed block (R of them) over V vectors of 8 receivers from r0, the
// receivers in the lanes: row y + 8 reads each plane 8 values behind row y, so that the vectors
// one row loads serve the next rows as well, and every element is summed by itself, plane after
// plane, with no transposes. `last` masks the stores of the last vector; the loads stay within the
// values the block may read.
template <int V, int R>
__attribute__((target("avx512f"), always_inline)) inline void LaneTile512(
    const double* const* planes, const double* weights, int nplanes, ptrdiff_t offset, int r0,
    int y, __mmask8 last, double* const* dst) {
  constexpr int kRows = kTalvenSkewedBlockRows;
  __m512d acc[R][V];
#pragma GCC unroll 4
  for (int i = 0; i < R; ++i) {
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) acc[i][v] = _mm512_setzero_pd();
  }
  for (int u = 0; u < nplanes; ++u) {
    const double* p = planes[u] + offset + r0 - y;
    __m512d w[R];
#pragma GCC unroll 4
    for (int i = 0; i < R; ++i) w[i] = _mm512_set1_pd(weights[kRows * u + y + 8 * i]);
#pragma GCC unroll 16
    for (int k = 0; k < V + R - 1; ++k) {
      // Vector k of the run from p - 8 (R - 1) is vector v = k - (R - 1) + i of row i: one load
      // for every row, not one folded into each multiply-add.
      __m512d x = _mm512_loadu_pd(p + 8 * (k - (R - 1)));
      asm("" : "+v"(x));
#pragma GCC unroll 4
      for (int i = 0; i < R; ++i) {
        const int v = k - (R - 1) + i;
        if (v >= 0 && v < V) acc[i][v] = _mm512_fmadd_pd(w[i], x, acc[i][v]);
      }
    }
  }
#pragma GCC unroll 4
  for (int i = 0; i < R; ++i) {
    double* row = dst[y + 8 * i] + r0;
#pragma GCC unroll 16
    for (int v = 0; v < V - 1; ++v) _mm512_storeu_pd(row + 8 * v, acc[i][v]);
    _mm512_mask_storeu_pd(row + 8 * (V - 1), last, acc[i][V - 1]);
  }
}

// Every row of the block over V vectors of receivers from r0.
template <int V>
struct LaneTiles512 {
  __attribute__((target("avx512f"))) static void Run(const double* const* planes,
                                                     const double* weights, int nplanes,
                                                     ptrdiff_t offset, int r0, int nrows,
                                                     __mmask8 last, double* const* dst) {
    for (int y = 0; y < nrows && y < 8; ++y) {
      const int rows = (nrows - y + 7) / 8;
      if (rows >= 4) {
        LaneTile512<V, 4>(planes, weights, nplanes, offset, r0, y, last, dst);
      } else if (rows == 3) {
        LaneTile512<V, 3>(planes, weights, nplanes, offset, r0, y, last, dst);
      } else if (rows == 2) {
        LaneTile512<V, 2>(planes, weights, nplanes, offset, r0, y, last, dst);
      } else {
        LaneTile512<V, 1>(planes, weights, nplanes, offset, r0, y, last, dst);
      }
    }
  }
};

// Up to 6 vectors of receivers at a time (24 accumulators for four rows), in chunks of nearly
// equal size, so that a row's plane values stay in the first level cache for all rows.
constexpr int kLaneVectors = 6;

// The values a block reads from offset + ahead on, fetched into the second level cache: where
// the tables outgrow the last level cache (many measured PSFs) the next call's rows then arrive
// while this one sums.
__attribute__((target("avx512f"))) void FetchAhead(const double* const* planes, int nplanes,
                                                   ptrdiff_t offset, int n, int nrows) {
  for (int u = 0; u < nplanes; ++u) {
    // Whole lines, from the one that holds the first value to the one that holds the last.
    const uintptr_t first = reinterpret_cast<uintptr_t>(planes[u] + offset + 1 - nrows) / 64 * 64;
    const uintptr_t last = reinterpret_cast<uintptr_t>(planes[u] + offset + n + 7);
    for (uintptr_t at = first; at <= last; at += 64) {
      _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T1);
    }
  }
}

__attribute__((target("avx512f"))) void SkewedBlock512(const double* const* planes,
                                                       const double* weights, int nplanes,
                                                       ptrdiff_t offset, ptrdiff_t ahead, int n,
                                                       int nrows, double* const* dst) {
  if (ahead != 0) FetchAhead(planes, nplanes, offset + ahead, n, nrows);
  const int vectors = (n + 7) / 8;
  const int chunks = (vectors + kLaneVectors - 1) / kLaneVectors;
  int r0 = 0;
  for (int c = 0; c < chunks; ++c) {
    const int nv = (vectors - r0 / 8 + (chunks - c) - 1) / (chunks - c);
    const int lanes = n - r0 - 8 * (nv - 1) < 8 ? n - r0 - 8 * (nv - 1) : 8;
    const __mmask8 last = static_cast<__mmask8>(0xFFu >> (8 - lanes));
    Dispatch<LaneTiles512, kLaneVectors>(nv, planes, weights, nplanes, offset, r0, nrows, last,
                                         dst);
    r0 += 8 * nv;
  }
}

// Combined rows: every element is summed by itself in the order of the terms, so that its value
// does not depend on where its row starts in memory, and whole cache lines of the row are
// streamed past the caches. V vectors from dst + i are summed together, the last one masked by
// `last`; they are streamed when `stream` (dst + i then starts a cache line).
template <int V>
struct Combine512 {
  __attribute__((target("avx512f"))) static void Run(const TALVEN_WeightedRow* terms, int nterms,
                                                     int i, __mmask8 last, bool stream,
                                                     double* dst) {
    __m512d s[V];
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) s[v] = _mm512_setzero_pd();
    for (int t = 0; t < nterms; ++t) {
      const __m512d w = _mm512_set1_pd(terms[t].weight);
      const double* row = terms[t].row + i;
#pragma GCC unroll 8
      for (int v = 0; v < V; ++v) {
        const __m512d x =
            v < V - 1 ? _mm512_loadu_pd(row + 8 * v) : _mm512_maskz_loadu_pd(last, row + 8 * v);
        s[v] = t == 0 ? _mm512_mul_pd(w, x) : _mm512_fmadd_pd(w, x, s[v]);
      }
    }
#pragma GCC unroll 8
    for (int v = 0; v < V; ++v) {
      const __mmask8 mask = v < V - 1 ? 0xFF : last;
      if (stream && mask == 0xFF) {
        _mm512_stream_pd(dst + i + 8 * v, s[v]);
      } else {
        _mm512_mask_storeu_pd(dst + i + 8 * v, mask, s[v]);
      }
    }
  }
};

// Elements [begin, end), 8 vectors at a time.
__attribute__((target("avx512f"))) void CombinePart512(const TALVEN_WeightedRow* terms, int nterms,
                                                       int begin, int end, bool stream,
                                                       double* dst) {
  int i = begin;
  for (; end - i >= 64; i += 64) Combine512<8>::Run(terms, nterms, i, 0xFF, stream, dst);
  const int r = end - i;
  if (r == 0) return;
  const int nv = (r + 7) / 8;
  const __mmask8 last = static_cast<__mmask8>(0xFFu >> (8 * nv - r));
  Dispatch<Combine512>(nv, terms, nterms, i, last, stream, dst);
}

// Elements of dst before its first whole cache line: all of them when dst is not aligned to its
// element size, since no line of it is whole then.
int LineHead(const double* dst, int n) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(dst);
  if (address % sizeof(double) != 0) return n;
  const int head = static_cast<int>((64 - address % 64) % 64 / sizeof(double));
  return head < n ? head : n;
}

__attribute__((target("avx512f"))) void CombineRows512(const TALVEN_WeightedRow* terms, int nterms,
                                                       int n, double* dst) {
  const int head = LineHead(dst, n);
  CombinePart512(terms, nterms, 0, head, false, dst);
  CombinePart512(terms, nterms, head, n, true, dst);
}

// The same with 4-wide vectors: 8 accumulators leave room in the 16 registers.
template <int V>
struct Sum256 {
  __attribute__((target("avx2,fma"))) static void Run(const TALVEN_WeightedRow* terms, int nterms,
                                                      ptrdiff_t offset, bool accumulate,
                                                      __m256i last, double* dst) {
    __m256d s[V];
#pragma GCC unroll 8
    for (int v = 0; v < V - 1; ++v) {
      s[v] = accumulate ? _mm256_loadu_pd(dst + 4 * v) : _mm256_setzero_pd();
    }
    s[V - 1] = accumulate ? _mm256_maskload_pd(dst + 4 * (V - 1), last) : _mm256_setzero_pd();
    for (int k = 0; k < nterms; ++k) {
      const double* p = terms[k].row + offset;
      const __m256d w = _mm256_set1_pd(terms[k].weight);
#pragma GCC unroll 8
      for (int v = 0; v < V - 1; ++v) s[v] = _mm256_fmadd_pd(w, _mm256_loadu_pd(p + 4 * v), s[v]);
      s[V - 1] = _mm256_fmadd_pd(w, _mm256_maskload_pd(p + 4 * (V - 1), last), s[V - 1]);
    }
#pragma GCC unroll 8
    for (int v = 0; v < V - 1; ++v) _mm256_storeu_pd(dst + 4 * v, s[v]);
    _mm256_maskstore_pd(dst + 4 * (V - 1), last, s[V - 1]);
  }
};

__attribute__((target("avx2,fma"))) void SumAvx2(const TALVEN_WeightedRow* terms, int nterms,
                                                 ptrdiff_t offset, int n, bool accumulate,
                                                 double* dst) {
  const __m256i all = _mm256_set1_epi64x(-1);
  int i = 0;
  for (; n - i >= 32; i += 32) Sum256<8>::Run(terms, nterms, offset + i, accumulate, all, dst + i);
  const int r = n - i;
  if (r == 0) return;
  const int nv = (r + 3) / 4;
  const int lanes = r - 4 * (nv - 1);
  const __m256i last =
      _mm256_cmpgt_epi64(_mm256_set1_epi64x(lanes), _mm256_setr_epi64x(0, 1, 2, 3));
  Dispatch<Sum256>(nv, terms, nterms, offset + i, accumulate, last, dst + i);
}

__attribute__((target("avx2,fma"))) void CombineRows256(const TALVEN_WeightedRow* terms, int nterms,
                                                        int n, double* dst) {
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    __m256d s = _mm256_setzero_pd();
    if (nterms > 0)
      s = _mm256_mul_pd(_mm256_set1_pd(terms[0].weight), _mm256_loadu_pd(terms[0].row + i));
    for (int t = 1; t < nterms; ++t) {
      s = _mm256_fmadd_pd(_mm256_set1_pd(terms[t].weight), _mm256_loadu_pd(terms[t].row + i), s);
    }
    _mm256_storeu_pd(dst + i, s);
  }
  for (; i < n; ++i) {
    double s = nterms > 0 ? terms[0].weight * terms[0].row[i] : 0.0;
    for (int t = 1; t < nterms; ++t) s = std::fma(terms[t].weight, terms[t].row[i], s);
    dst[i] = s;
  }
}

#endif

void CombineRowsBaseline(const TALVEN_WeightedRow* terms, int nterms, int n, double* dst) {
  for (int i = 0; i < n; ++i) {
    double s = nterms > 0 ? terms[0].weight * terms[0].row[i] : 0.0;
    for (int t = 1; t < nterms; ++t) s += terms[t].weight * terms[t].row[i];
    dst[i] = s;
  }
}

TALVEN_VectorLevel SupportedLevel() {
#ifdef TALVEN_X86_KERNELS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return TALVEN_VectorLevel::kAvx512;
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
    return TALVEN_VectorLevel::kAvx2;
  }
#endif
  return TALVEN_VectorLevel::kBaseline;
}

// The widest level the processor runs, or a narrower one named by CORVANE_VECTOR_LEVEL
// ("baseline", "avx2"), which reproduces another processor's kernels here.
TALVEN_VectorLevel DetectLevel() {
  const TALVEN_VectorLevel supported = SupportedLevel();
  const char* requested = std::getenv("CORVANE_VECTOR_LEVEL");
  if (requested == nullptr) return supported;
  TALVEN_VectorLevel level = supported;
  if (std::strcmp(requested, "baseline") == 0) level = TALVEN_VectorLevel::kBaseline;
  if (std::strcmp(requested, "avx2") == 0) level = TALVEN_VectorLevel::kAvx2;
  return level < supported ? level : supported;
}

Kernel KernelAt(TALVEN_VectorLevel level) {
#ifdef TALVEN_X86_KERNELS
  if (level == TALVEN_VectorLevel::kAvx512) return SumAvx512;
  if (level == TALVEN_VectorLevel::kAvx2) return SumAvx2;
#endif
  (void)level;
  return SumBaseline;
}

const TALVEN_VectorLevel g_best_level = DetectLevel();
const Kernel g_best_kernel = KernelAt(g_best_level);

}  // namespace

TALVEN_VectorLevel TALVEN_BestVectorLevel() { return g_best_level; }

void TALVEN_SumWeightedRows(const TALVEN_WeightedRow* terms, int nterms, ptrdiff_t offset, int n,
                            bool accumulate, double* dst) {
  g_best_kernel(terms, nterms, offset, n, accumulate, dst);
}

void TALVEN_SumWeightedRowsAt(TALVEN_VectorLevel level, const TALVEN_WeightedRow* terms, int nterms,
                              ptrdiff_t offset, int n, bool accumulate, double* dst) {
  KernelAt(level)(terms, nterms, offset, n, accumulate, dst);
}

void TALVEN_CombineRowsAt(TALVEN_VectorLevel level, const TALVEN_WeightedRow* terms, int nterms,
                          int n, double* dst) {
#ifdef TALVEN_X86_KERNELS
  if (level == TALVEN_VectorLevel::kAvx512) return CombineRows512(terms, nterms, n, dst);
  if (level == TALVEN_VectorLevel::kAvx2) return CombineRows256(terms, nterms, n, dst);
#endif
  CombineRowsBaseline(terms, nterms, n, dst);
}

void TALVEN_CombineRows(const TALVEN_WeightedRow* terms, int nterms, int n, double* dst) {
  TALVEN_CombineRowsAt(g_best_level, terms, nterms, n, dst);
}

void TALVEN_FinishStreams() {
#ifdef TALVEN_X86_KERNELS
  _mm_sfence();
#endif
}

bool TALVEN_SkewedBlocksAvailable() { return g_best_level == TALVEN_VectorLevel::kAvx512; }

void TALVEN_SumSkewedBlock(const double* const* planes, const double* weights, int nplanes,
                           ptrdiff_t offset, ptrdiff_t ahead, int n, int nrows,
                           double* const* dst) {
#ifdef TALVEN_X86_KERNELS
  SkewedBlock512(planes, weights, nplanes, offset, ahead, n, nrows, dst);
#else
  (void)planes, (void)weights, (void)nplanes, (void)offset, (void)ahead, (void)n, (void)nrows;
  (void)dst;
#endif
}
