// Times the fast and the element-by-element (reference) matrix engines side by side on three
// synthetic instruments and prints one CSV row per case, matrix and engine.
//
// Every measurement runs in a child process of its own, so that the peak resident set size the
// parent reads back (wait4) belongs to that one build: inputs, the caller's output matrix and
// whatever the engine allocates. The parent never starts OpenMP, so forking is safe.
//
// usage: bench_engines [--threads T] [--quick] [--fast-only]
//   --quick       small and medium cases only (a smoke run)
//   --fast-only   skip the reference engine (no ratios)
#include <omp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpp/sources/make_psfmatrix.h"

namespace {

struct Case {
  const char* name;
  int kx, ky, lbinx, lbiny;
  int reference_repeats;
};

// Window parameters of a synthetic instrument: KBIN 1x1, a detector with room for the lower edge
// correction's 42 rows below the science window, and NOOF margins of 64 columns on each side.
struct Instrument {
  int w[22];
  int Sx() const { return w[12]; }
  int Sy() const { return w[13]; }
  int NOOFx() const { return w[4]; }
  int NOOFy() const { return w[5]; }
  int Dx() const { return w[8]; }
  int Dy() const { return w[9]; }
  int N() const { return w[20] * w[21]; }
  int B() const { return w[14] * w[15] * w[18] * w[19]; }
};

Instrument MakeInstrument(const Case& c) {
  const int sx = c.kx * c.lbinx, sy = c.ky * c.lbiny;
  const int sofsx = 4, sofsy = 46;
  const int dx = sx + 8, dy = sy + 50;
  const int noofx = dx + 128, noofy = dy;
  return Instrument{{noofx, noofy, 0,  0,       noofx,   noofy, 64,   0, dx, dy,   sofsx,
                     sofsy, sx,    sy, c.lbinx, c.lbiny, c.kx,  c.ky, 1, 1,  c.kx, c.ky}};
}

// Four measured PSFs twice the science window in size, on a 2x2 grid of the table window, each a
// sharp core with faint wide wings, with non-whole centres; bilinear weights over the grid.
struct PsfInputs {
  int columns, rows, nx, ny;
  std::vector<std::vector<double>> psfs;
  std::vector<const double*> pointers;
  std::vector<double> locations;
  std::vector<double> coefficients;
  std::vector<int> indices;
};

PsfInputs MakePsfs(const Instrument& inst, int table_nx, int table_ny) {
  PsfInputs p;
  p.columns = 2 * inst.Sx();
  p.rows = 2 * inst.Sy();
  p.nx = table_nx;
  p.ny = table_ny;
  for (int m = 0; m < 4; ++m) {
    const double cx = inst.Sx() + 0.3 + 0.2 * m, cy = inst.Sy() + 0.6 - 0.1 * m;
    const double core = 1.2 + 0.2 * m;
    std::vector<double> s(static_cast<size_t>(p.rows) * p.columns);
    double total = 0.0;
    for (int x = 0; x < p.columns; ++x) {
      for (int y = 0; y < p.rows; ++y) {
        const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
        const double v = std::exp(-0.5 * r2 / (core * core)) + 1e-3 / (1.0 + r2 / 25.0);
        s[y + static_cast<size_t>(x) * p.rows] = v;
        total += v;
      }
    }
    for (double& v : s) v /= total;
    p.psfs.push_back(std::move(s));
    p.locations.insert(p.locations.end(), {cy + 0.5, cx + 0.5, 3.0});
  }
  for (const auto& s : p.psfs) p.pointers.push_back(s.data());
  p.coefficients.resize(4 * static_cast<size_t>(table_nx) * table_ny);
  p.indices.resize(p.coefficients.size());
  for (int x = 0; x < table_nx; ++x) {
    for (int y = 0; y < table_ny; ++y) {
      const double tx = table_nx > 1 ? x / (table_nx - 1.0) : 0.0;
      const double ty = table_ny > 1 ? y / (table_ny - 1.0) : 0.0;
      const double weights[4] = {(1 - tx) * (1 - ty), tx * (1 - ty), (1 - tx) * ty, tx * ty};
      for (int k = 0; k < 4; ++k) {
        const size_t at = k + 4 * (y + static_cast<size_t>(table_ny) * x);
        p.coefficients[at] = weights[k];
        p.indices[at] = k;
      }
    }
  }
  return p;
}

// One build in this (child) process; returns its wall time in seconds, or a negative value.
double BuildOnce(const Case& c, bool horizontal, bool fast, int threads) {
  const Instrument inst = MakeInstrument(c);
  PsfInputs p = horizontal ? MakePsfs(inst, inst.NOOFx(), inst.NOOFy())
                           : MakePsfs(inst, inst.Dx(), inst.Dy());
  const int n = inst.N();
  std::vector<double> matrix(static_cast<size_t>(n) * n);
  const int* w = inst.w;
  TALVEN_DeconvolutionMatrixGenerator g(
      w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11], w[12], w[13], w[14],
      w[15], w[16], w[17], w[18], w[19], w[20], w[21], matrix.data(), n, false, 42, 42);
  g.set_engine(fast ? TALVEN_MatrixEngine::kFast : TALVEN_MatrixEngine::kReference);
  omp_set_dynamic(0);
  omp_set_num_threads(threads);
  zv2dArray<double> locations(3, 4, p.locations.data());
  zv3dArray<double> coefficients(4, p.ny, p.nx, p.coefficients.data());
  zv3dArray<int> indices(4, p.ny, p.nx, p.indices.data());
  const auto kind =
      horizontal ? WindowMappingType::WINDOW_NOOF : WindowMappingType::WINDOW_DETECTOR;
  if (!g.PSF_Table().Initialize(p.pointers.data(), 4, p.columns, p.rows, kind, g.WindowHierachy(),
                                locations, coefficients, indices)) {
    return -1.0;
  }
  zv2dArray<double> no_vignetting(0, 0, nullptr);
  const auto start = std::chrono::steady_clock::now();
  const bool ok = horizontal
                      ? g.build_horizontal_stray_light(&g.OutputMatrix(), no_vignetting, 1, 1, 1, 1)
                      : g.build_transfer_function(&g.OutputMatrix());
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return ok ? elapsed.count() : -1.0;
}

struct Measurement {
  double seconds;
  double peak_rss_mb;
};

Measurement MeasureInChild(const Case& c, bool horizontal, bool fast, int threads) {
  int fds[2];
  if (pipe(fds) != 0) return {-1.0, 0.0};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    const double seconds = BuildOnce(c, horizontal, fast, threads);
    if (write(fds[1], &seconds, sizeof seconds) != sizeof seconds) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  double seconds = -1.0;
  if (read(fds[0], &seconds, sizeof seconds) != sizeof seconds) seconds = -1.0;
  close(fds[0]);
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  wait4(pid, &status, 0, &usage);
  return {seconds, usage.ru_maxrss / 1024.0};
}

Measurement Median(const Case& c, bool horizontal, bool fast, int threads, int repeats) {
  std::vector<Measurement> runs;
  for (int i = 0; i < repeats; ++i) runs.push_back(MeasureInChild(c, horizontal, fast, threads));
  std::sort(runs.begin(), runs.end(),
            [](const Measurement& a, const Measurement& b) { return a.seconds < b.seconds; });
  return runs[runs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 2;
  bool quick = false;
  bool fast_only = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) threads = std::atoi(argv[++i]);
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    if (!std::strcmp(argv[i], "--fast-only")) fast_only = true;
  }
  const std::vector<Case> cases = {
      {"small", 32, 32, 2, 1, 3}, {"medium", 64, 64, 2, 2, 3}, {"large", 128, 96, 4, 2, 1}};
  std::printf("# cores=%ld\n", sysconf(_SC_NPROCESSORS_ONLN));
  std::printf(
      "case,matrix,engine,N,B,k,threads,seconds,peak_rss_mb,output_mb,ratio_to_reference\n");
  for (const Case& c : cases) {
    if (quick && !std::strcmp(c.name, "large")) continue;
    const Instrument inst = MakeInstrument(c);
    const double output_mb = 8.0 * inst.N() * inst.N() / (1024.0 * 1024.0);
    for (bool horizontal : {false, true}) {
      const Measurement ref = fast_only
                                  ? Measurement{0.0, 0.0}
                                  : Median(c, horizontal, false, threads, c.reference_repeats);
      const Measurement fast = Median(c, horizontal, true, threads, 3);
      const char* matrix = horizontal ? "horizontal" : "infield";
      for (const auto& [engine, m] :
           {std::make_pair("reference", ref), std::make_pair("fast", fast)}) {
        if (fast_only && !std::strcmp(engine, "reference")) continue;
        std::printf("%s,%s,%s,%d,%d,4,%d,%.4f,%.1f,%.1f,%.2f\n", c.name, matrix, engine, inst.N(),
                    inst.B(), threads, m.seconds, m.peak_rss_mb, output_mb,
                    m.seconds > 0 ? ref.seconds / m.seconds : 0.0);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}
