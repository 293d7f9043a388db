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

// Runs Kernel<nv>::Run(args...) for a count of vectors 1 <= nv <= 8 known only at run time.
template <template <int> class Kernel, int V = 1, typename... Args>
void Dispatch(int nv, Args... args) {
  if constexpr (V < 8) {
    if (nv > V) return Dispatch<Kernel, V + 1>(nv, args...);
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

// Transposes the 8 x 8 block a[0..7] (a[i] lane j) into a[j] lane i. GCC 12 takes the
// undefined pass-through operand inside the shuffle intrinsics for an uninitialised variable.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
__attribute__((target("avx512f"), always_inline)) inline void Transpose8x8(__m512d* a) {
  __m512d t[8], u[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm512_unpacklo_pd(a[i], a[i + 1]);
    t[i + 1] = _mm512_unpackhi_pd(a[i], a[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm512_shuffle_f64x2(t[i], t[i + 2], 0x88);
    u[i + 1] = _mm512_shuffle_f64x2(t[i + 1], t[i + 3], 0x88);
    u[i + 2] = _mm512_shuffle_f64x2(t[i], t[i + 2], 0xdd);
    u[i + 3] = _mm512_shuffle_f64x2(t[i + 1], t[i + 3], 0xdd);
  }
  for (int i = 0; i < 4; ++i) {
    a[i] = _mm512_shuffle_f64x2(u[i], u[i + 4], 0x88);
    a[i + 4] = _mm512_shuffle_f64x2(u[i], u[i + 4], 0xdd);
  }
}
#pragma GCC diagnostic pop

// Values of a plane fetched ahead of the run that reads them: the planes of a block are read as
// many streams at once, more than the processor follows by itself when the tables (many measured
// PSFs) outgrow the caches.
constexpr int kPrefetchAhead = 64;

// One run of 8 values of d = r - y, d0 .. d0 + 7, for the H halves of 8 rows from row y0 of the
// block: acc[h][j] holds in lane l the sum of row y0 + 8 h + l at d0 + j; transposed, lane j of
// that row is its receiver d0 + j + y.
template <int H>
__attribute__((target("avx512f"), always_inline)) inline void SkewedRun512(
    const double* const* planes, const double* weights, int nplanes, ptrdiff_t offset, int d0,
    int n, int y0, int nrows, double* const* dst) {
  __m512d acc[H][8];
#pragma GCC unroll 8
  for (int h = 0; h < H; ++h) {
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) acc[h][j] = _mm512_setzero_pd();
  }
  for (int u = 0; u < nplanes; ++u) {
    const double* p = planes[u] + offset + d0;
    // One address register per plane, the run's eight values at fixed displacements from it.
    asm("" : "+r"(p));
    _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0);
    __m512d w[H];
#pragma GCC unroll 2
    for (int h = 0; h < H; ++h) w[h] = _mm512_loadu_pd(weights + 16 * u + y0 + 8 * h);
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      const __m512d v = _mm512_set1_pd(p[j]);
#pragma GCC unroll 2
      for (int h = 0; h < H; ++h) acc[h][j] = _mm512_fmadd_pd(w[h], v, acc[h][j]);
    }
  }
#pragma GCC unroll 2
  for (int h = 0; h < H; ++h) {
    Transpose8x8(acc[h]);
    // Most runs lie inside every row of the half: whole vectors, no masks.
    const int yh = y0 + 8 * h;
    if (yh + 8 <= nrows && d0 + yh >= 0 && d0 + yh + 15 <= n) {
#pragma GCC unroll 8
      for (int l = 0; l < 8; ++l) _mm512_storeu_pd(dst[yh + l] + d0 + yh + l, acc[h][l]);
      continue;
    }
#pragma GCC unroll 8
    for (int l = 0; l < 8; ++l) {
      const int y = yh + l;
      if (y >= nrows) break;
      // Lanes j with 0 <= d0 + y + j < n; the others are neither read nor written.
      const int first = d0 + y;
      const int lo = first < 0 ? -first : 0;
      const int hi = n - first < 8 ? n - first : 8;
      if (hi <= lo) continue;
      const __mmask8 mask = static_cast<__mmask8>((0xFFu >> (8 - (hi - lo))) << lo);
      // The address of lane 0 may lie before the row; only the lanes in the mask are touched.
      double* at = reinterpret_cast<double*>(reinterpret_cast<uintptr_t>(dst[y]) +
                                             static_cast<intptr_t>(first) * sizeof(double));
      _mm512_mask_storeu_pd(at, mask, acc[h][l]);
    }
  }
}

// Run d0 of a block of up to 8 rows in one half, or up to 16 in two; the first run of d has no
// receiver in rows 0 .. 7 of a full block and the last none in rows 8 .. 15, so those runs sum
// one half only.
__attribute__((target("avx512f"), always_inline)) inline void SkewedRunAt512(
    const double* const* planes, const double* weights, int nplanes, ptrdiff_t offset, int d0,
    int n, int nrows, double* const* dst) {
  if (nrows <= 8) return SkewedRun512<1>(planes, weights, nplanes, offset, d0, n, 0, nrows, dst);
  const bool low = d0 + 14 >= 0 && d0 < n;
  const bool high = d0 + nrows + 6 >= 0 && d0 + 8 < n;
  if (low && high) return SkewedRun512<2>(planes, weights, nplanes, offset, d0, n, 0, nrows, dst);
  SkewedRun512<1>(planes, weights, nplanes, offset, d0, n, low ? 0 : 8, nrows, dst);
}

__attribute__((target("avx512f"))) void SkewedBlock512(const double* const* planes,
                                                       const double* weights, int nplanes,
                                                       ptrdiff_t offset, int n, int nrows,
                                                       double* const* dst) {
  for (int d0 = 1 - nrows; d0 < n; d0 += 8) {
    SkewedRunAt512(planes, weights, nplanes, offset, d0, n, nrows, dst);
  }
}

// Combined rows: every element is summed by itself in the order of the terms, so that its value
// does not depend on where its row starts in memory, and whole cache lines of the row are
// streamed past the caches.
__attribute__((target("avx512f"), always_inline)) inline void CombineVector512(
    const TALVEN_WeightedRow* terms, int nterms, ptrdiff_t at, __mmask8 mask, double* dst) {
  __m512d s = _mm512_setzero_pd();
  if (nterms > 0) {
    s = _mm512_mul_pd(_mm512_set1_pd(terms[0].weight),
                      _mm512_maskz_loadu_pd(mask, terms[0].row + at));
  }
  for (int t = 1; t < nterms; ++t) {
    s = _mm512_fmadd_pd(_mm512_set1_pd(terms[t].weight),
                        _mm512_maskz_loadu_pd(mask, terms[t].row + at), s);
  }
  if (mask == 0xFF && reinterpret_cast<uintptr_t>(dst + at) % 64 == 0) {
    _mm512_stream_pd(dst + at, s);
  } else {
    _mm512_mask_storeu_pd(dst + at, mask, s);
  }
}

// Elements [begin, end) in vectors of 8 from begin, the last one masked.
__attribute__((target("avx512f"), always_inline)) inline void CombinePart512(
    const TALVEN_WeightedRow* terms, int nterms, int begin, int end, double* dst) {
  for (int i = begin; i < end; i += 8) {
    const __mmask8 mask = static_cast<__mmask8>(end - i >= 8 ? 0xFFu : 0xFFu >> (8 - (end - i)));
    CombineVector512(terms, nterms, i, mask, dst);
  }
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
  CombinePart512(terms, nterms, 0, head, dst);
  CombinePart512(terms, nterms, head, n, dst);
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
                           ptrdiff_t offset, int n, int nrows, double* const* dst) {
#ifdef TALVEN_X86_KERNELS
  SkewedBlock512(planes, weights, nplanes, offset, n, nrows, dst);
#else
  (void)planes, (void)weights, (void)nplanes, (void)offset, (void)n, (void)nrows, (void)dst;
#endif
}
