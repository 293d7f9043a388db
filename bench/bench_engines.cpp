// Times the fast and the element-by-element (reference) matrix engines side by side on three
// synthetic instruments and prints one CSV row per case, matrix and engine.
//
// Every measurement runs in a child process of its own, so that the peak resident set size the
// parent reads back (wait4) belongs to that one build: inputs, the caller's output matrix and
// whatever the engine allocates. The parent never starts OpenMP, so forking is safe.
//
// The machine's bound is measured in the same run, also in child processes: a multiply-add
// throughput kernel (register-resident FMAs on every thread, the widest vectors the processor
// has) and a write of an output of the matrix's size, first into fresh memory (the first touch,
// page faults included) and then again into the same, now warm, memory. The bound of a build is
// max(multiply-adds / FMA rate, warm write time); `x_bound` is its time over that bound.
//
// usage: bench_engines [--threads T] [--quick] [--fast-only] [--case NAME] [--matrix M]
//                      [--fresh]
//   --quick       small and medium cases only (a smoke run)
//   --fast-only   skip the reference engine (no ratios)
//   --case NAME   only the instrument NAME (small, medium or large)
//   --matrix M    only the matrix M (infield or horizontal)
//   --fresh       also time the fast engine into an output that nothing has touched yet
//   --psfs M      M measured PSFs on a square grid (default 4)
#include <immintrin.h>
#include <omp.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/window_layout.h"
#include "cpp/synthetic/synthetic_instrument.h"

namespace {

struct Case {
  const char* name;
  int kx, ky, lbinx, lbiny;
  int reference_repeats;
};

TALVEN_WindowLayout MakeInstrument(const Case& c) {
  return BenchmarkWindows(c.kx, c.ky, c.lbinx, c.lbiny);
}

// Detector pixels per L1C pixel.
int DetectorPixels(const TALVEN_WindowLayout& w) { return static_cast<int>(w.Binx() * w.Biny()); }

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether t, a time or a negative value for a failed run, beats best (negative before any).
bool Faster(double t, double best) { return t > 0 && (best < 0 || t < best); }

// One build in this (child) process; returns its wall time in seconds, or a negative value. A
// fresh output is allocated without being touched (the build faults its pages in), otherwise it
// is zero-filled before the clock starts.
std::pair<double, double> BuildOnce(const Case& c, bool horizontal, bool fast, int threads,
                                    bool fresh, int g) {
  const TALVEN_WindowLayout inst = MakeInstrument(c);
  SyntheticPsfs p = horizontal ? MakeSmoothPsfs(inst, inst.NOOFx, inst.NOOFy, g)
                               : MakeSmoothPsfs(inst, inst.Dx, inst.Dy, g);
  const int n = static_cast<int>(inst.KK());
  const size_t bytes = sizeof(double) * n * n;
  void* storage = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage == MAP_FAILED) return {-1.0, 0.0};
  double* matrix = static_cast<double*>(storage);
  if (!fresh) std::fill(matrix, matrix + static_cast<size_t>(n) * n, 0.0);
  TALVEN_DeconvolutionMatrixGenerator gen(inst, matrix, n, false, 42, 42);
  gen.set_engine(fast ? TALVEN_MatrixEngine::kFast : TALVEN_MatrixEngine::kReference);
  omp_set_dynamic(0);
  omp_set_num_threads(threads);
  PsfViews views(p);
  const auto kind =
      horizontal ? WindowMappingType::WINDOW_NOOF : WindowMappingType::WINDOW_DETECTOR;
  if (!views.Initialize(&gen, p, kind)) return {-1.0, 0.0};
  zv2dArray<double> no_vignetting(0, 0, nullptr);
  // A warm build runs on a thread team that exists already, as every build after a process's
  // first does; a fresh one pays for starting the team as well.
  if (!fresh) {
#pragma omp parallel
    { (void)0; }
  }
  const auto start = std::chrono::steady_clock::now();
  const bool ok =
      horizontal ? gen.build_horizontal_stray_light(&gen.OutputMatrix(), no_vignetting, 1, 1, 1, 1)
                 : gen.build_transfer_function(&gen.OutputMatrix());
  const double seconds = Seconds(start);
  return {ok ? seconds : -1.0, p.Megabytes()};
}

// Independent accumulators enough to cover the FMA latency on both pipes.
constexpr int kChains = 24;
constexpr int kChains256 = 12;

__attribute__((target("avx512f"))) double FmaLanes512(long iterations) {
  __m512d acc[kChains];
  for (int i = 0; i < kChains; ++i) acc[i] = _mm512_set1_pd(i);
  const __m512d a = _mm512_set1_pd(0.999999), b = _mm512_set1_pd(1e-9);
  for (long it = 0; it < iterations; ++it) {
#pragma GCC unroll 24
    for (int i = 0; i < kChains; ++i) acc[i] = _mm512_fmadd_pd(acc[i], a, b);
  }
  alignas(64) double lanes[8];
  double sum = 0.0;
  for (int i = 0; i < kChains; ++i) {
    _mm512_store_pd(lanes, acc[i]);
    for (double v : lanes) sum += v;
  }
  return sum;
}

__attribute__((target("avx2,fma"))) double FmaLanes256(long iterations) {
  __m256d acc[kChains256];
  for (int i = 0; i < kChains256; ++i) acc[i] = _mm256_set1_pd(i);
  const __m256d a = _mm256_set1_pd(0.999999), b = _mm256_set1_pd(1e-9);
  for (long it = 0; it < iterations; ++it) {
#pragma GCC unroll 12
    for (int i = 0; i < kChains256; ++i) acc[i] = _mm256_fmadd_pd(acc[i], a, b);
  }
  alignas(32) double lanes[4];
  double sum = 0.0;
  for (int i = 0; i < kChains256; ++i) {
    _mm256_store_pd(lanes, acc[i]);
    sum += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  }
  return sum;
}

// Multiply-adds a second on all threads, with the widest vectors the processor has.
double FmaRate(int threads) {
  __builtin_cpu_init();
  const bool avx512 = __builtin_cpu_supports("avx512f");
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  if (!avx512 && !avx2) return -1.0;
  const long iterations = 20000000;
  const double per_thread = avx512 ? 8.0 * kChains * iterations : 4.0 * kChains256 * iterations;
  volatile double sink = 0.0;
  omp_set_dynamic(0);
  omp_set_num_threads(threads);
  const auto start = std::chrono::steady_clock::now();
#pragma omp parallel
  {
    const double s = avx512 ? FmaLanes512(iterations) : FmaLanes256(iterations);
#pragma omp atomic
    sink += s;
  }
  return per_thread * threads / Seconds(start);
}

// Writes n doubles, each thread its own static share, into fresh memory (the first touch) and
// again into the same memory; the two times in seconds.
std::pair<double, double> WriteTimes(size_t n, int threads) {
  void* storage =
      mmap(nullptr, n * sizeof(double), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage == MAP_FAILED) return {-1.0, -1.0};
  double* out = static_cast<double*>(storage);
  omp_set_dynamic(0);
  omp_set_num_threads(threads);
  double times[2];
  for (double& t : times) {
    const auto start = std::chrono::steady_clock::now();
#pragma omp parallel for schedule(static)
    for (size_t i = 0; i < n; ++i) out[i] = 1.0;
    t = Seconds(start);
  }
  munmap(storage, n * sizeof(double));
  return {times[0], times[1]};
}

// Runs work() in a child process; its result (up to two values) and the child's peak RSS.
struct ChildResult {
  double values[2];
  double peak_rss_mb;
};

ChildResult InChild(const std::function<std::pair<double, double>()>& work) {
  ChildResult result{{-1.0, -1.0}, 0.0};
  int fds[2];
  if (pipe(fds) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const std::pair<double, double> values = work();
    const double out[2] = {values.first, values.second};
    if (write(fds[1], out, sizeof out) != sizeof out) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  if (read(fds[0], result.values, sizeof result.values) != sizeof result.values) {
    result.values[0] = result.values[1] = -1.0;
  }
  close(fds[0]);
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  wait4(pid, &status, 0, &usage);
  result.peak_rss_mb = usage.ru_maxrss / 1024.0;
  return result;
}

struct Measurement {
  double seconds;
  double peak_rss_mb;
  double inputs_mb;
};

Measurement MeasureInChild(const Case& c, bool horizontal, bool fast, int threads, bool fresh,
                           int g) {
  const ChildResult r = InChild([&] { return BuildOnce(c, horizontal, fast, threads, fresh, g); });
  return {r.values[0], r.peak_rss_mb, r.values[1]};
}

// The fastest of the runs: on a shared machine the others measure the neighbours too.
Measurement Best(const Case& c, bool horizontal, bool fast, int threads, int repeats, bool fresh,
                 int g) {
  Measurement best{-1.0, 0.0, 0.0};
  for (int i = 0; i < repeats; ++i) {
    const Measurement m = MeasureInChild(c, horizontal, fast, threads, fresh, g);
    if (Faster(m.seconds, best.seconds)) best = m;
  }
  return best;
}

// Multiply-adds a matrix needs at the least. In-field: every element sums the B phases of its
// source L1C pixel, each with k coefficients. Horizontal: every sampled edge source (all NOOF
// columns beside the window, every science row) adds k footprint rows of its PSFs to every
// receiving L1C pixel.
double MultiplyAdds(const TALVEN_WindowLayout& inst, bool horizontal, int k) {
  const double n = static_cast<int>(inst.KK());
  if (!horizontal) return n * n * DetectorPixels(inst) * k;
  const double sources = static_cast<double>(inst.NOOFx - inst.Sx) * inst.Sy;
  return sources * n * k;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 2;
  bool quick = false;
  bool fast_only = false;
  bool fresh = false;
  const char* only_case = nullptr;
  const char* only_matrix = nullptr;
  int grid = 2;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    if (!std::strcmp(argv[i], "--fast-only")) fast_only = true;
    if (!std::strcmp(argv[i], "--fresh")) fresh = true;
    if (!std::strcmp(argv[i], "--case") && i + 1 < argc) only_case = argv[++i];
    if (!std::strcmp(argv[i], "--matrix") && i + 1 < argc) only_matrix = argv[++i];
    if (!std::strcmp(argv[i], "--psfs") && i + 1 < argc) {
      grid = static_cast<int>(std::lround(std::sqrt(std::atof(argv[++i]))));
    }
  }
  grid = std::max(grid, 2);
  const std::vector<Case> cases = {
      {"small", 32, 32, 2, 1, 3}, {"medium", 64, 64, 2, 2, 3}, {"large", 128, 96, 4, 2, 1}};
  const int k = 4;
  double rate = -1.0;
  for (int i = 0; i < 3; ++i) {
    rate = std::max(rate, InChild([&] { return std::make_pair(FmaRate(threads), 0.0); }).values[0]);
  }
  std::printf("# cores=%ld threads=%d fma_rate=%.3g multiply-adds/s\n",
              sysconf(_SC_NPROCESSORS_ONLN), threads, rate);
  std::printf(
      "case,matrix,engine,output,N,B,k,threads,seconds,peak_rss_mb,output_mb,ratio_to_reference,"
      "multiply_adds,fma_seconds,first_touch_write_seconds,warm_write_seconds,bound_seconds,"
      "x_bound,psfs,inputs_mb,rss_beyond_output_and_inputs_mb\n");
  for (const Case& c : cases) {
    if (quick && !std::strcmp(c.name, "large")) continue;
    if (only_case && std::strcmp(c.name, only_case)) continue;
    const TALVEN_WindowLayout inst = MakeInstrument(c);
    const int n = static_cast<int>(inst.KK());
    const double output_mb = 8.0 * n * n / (1024.0 * 1024.0);
    const size_t elements = static_cast<size_t>(n) * n;
    double first_touch = -1.0, warm = -1.0;
    for (int i = 0; i < 3; ++i) {
      const ChildResult r = InChild([&] { return WriteTimes(elements, threads); });
      if (Faster(r.values[0], first_touch)) first_touch = r.values[0];
      if (Faster(r.values[1], warm)) warm = r.values[1];
    }
    for (bool horizontal : {false, true}) {
      const char* matrix = horizontal ? "horizontal" : "infield";
      if (only_matrix && std::strcmp(matrix, only_matrix)) continue;
      const double madds = MultiplyAdds(inst, horizontal, k);
      const double fma_seconds = madds / rate;
      const double bound = std::max(fma_seconds, warm);
      const Measurement ref =
          fast_only ? Measurement{0.0, 0.0, 0.0}
                    : Best(c, horizontal, false, threads, c.reference_repeats, false, grid);
      std::vector<std::tuple<const char*, const char*, Measurement>> rows;
      if (!fast_only) rows.emplace_back("reference", "warm", ref);
      rows.emplace_back("fast", "warm", Best(c, horizontal, true, threads, 3, false, grid));
      if (fresh) {
        rows.emplace_back("fast", "fresh", Best(c, horizontal, true, threads, 3, true, grid));
      }
      for (const auto& [engine, output, m] : rows) {
        std::printf(
            "%s,%s,%s,%s,%d,%d,%d,%d,%.4f,%.1f,%.1f,%.2f,%.3g,%.4f,%.4f,%.4f,%.4f,%.2f,%d,%.1f,"
            "%.1f\n",
            c.name, matrix, engine, output, n, DetectorPixels(inst), k, threads, m.seconds,
            m.peak_rss_mb, output_mb, m.seconds > 0 ? ref.seconds / m.seconds : 0.0, madds,
            fma_seconds, first_touch, warm, bound, m.seconds / bound, grid * grid, m.inputs_mb,
            m.peak_rss_mb - output_mb - m.inputs_mb);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
