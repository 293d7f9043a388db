// Synthetic instruments for the C++ tests and the benchmark: window layouts, measured PSFs with
// their centres and per-pixel interpolation tables over a table window, and the views through
// which a generator's PSF table reads them. Not part of the library.
#pragma once

#include <utility>
#include <vector>

#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/window_layout.h"

// Where the windows lie around a science window of Kx x Ky L1C pixels, in pixels of the window
// each is given in.
struct SyntheticMargins {
  int sofs_x, sofs_y;          // the science window's offset in the detector window
  int detector_x, detector_y;  // detector pixels beyond the science window, its offset included
  int dofs_x, dofs_y;          // the detector window's offset in the NOOF window
  int noof_x, noof_y;          // NOOF pixels beyond the detector window, its offset included
  int nofs;                    // the NOOF window's offset in the full convolution window
  int fullconv;                // full convolution pixels beyond the NOOF window
};

TALVEN_WindowLayout SyntheticWindows(int kx, int ky, int lbinx, int lbiny, int kbinx, int kbiny,
                                     const SyntheticMargins& m);

// A science window with `margin` detector pixels on every side, inside a NOOF window with
// `noof_margin` pixels on every side of the detector window.
TALVEN_WindowLayout MakeWindows(int kx, int ky, int lbinx, int lbiny, int kbinx, int kbiny,
                                int margin, int noof_margin);

// The benchmark's windows: KBIN 1x1, a detector with room for the lower edge correction's 42 rows
// below the science window, and NOOF margins of 64 columns on each side.
TALVEN_WindowLayout BenchmarkWindows(int kx, int ky, int lbinx, int lbiny);

// Measured PSFs (rows fastest: sample (row y, column x) at y + x * rows), their centres as
// (Y, X, kind) triples, and interpolation tables over a table window of (table_nx, table_ny)
// pixels, laid out (k, y, x) with k fastest.
struct SyntheticPsfs {
  int rows = 0;
  int columns = 0;
  std::vector<std::vector<double>> samples;
  std::vector<double> locations;
  int table_nx = 0;
  int table_ny = 0;
  int ncoef = 0;
  std::vector<double> coefficients;
  std::vector<int> indices;

  int Position(int k, int x, int y) const { return k + ncoef * (y + table_ny * x); }
  // The size of the samples, centres, coefficients and (4-byte) indices in MiB.
  double Megabytes() const {
    return 8.0 *
           (samples.size() * static_cast<double>(columns) * rows + locations.size() +
            1.5 * coefficients.size()) /
           (1024.0 * 1024.0);
  }
};

// Random positive PSFs with the given centres (Y, X as stored, so non-whole centres come from
// values that are not n + 0.5), and random blends of them for every table pixel, some
// coefficients zero.
SyntheticPsfs MakeRandomPsfs(unsigned seed, int rows, int columns,
                             const std::vector<std::pair<double, double>>& centres_yx, int table_nx,
                             int table_ny, int ncoef);

// One PSF of the given size, zero except `kernel` (kh rows x kw columns, row fastest) placed with
// its first sample at (row0, col0); every table pixel uses it with coefficient 1.
SyntheticPsfs MakeSinglePsf(int rows, int columns, double centre_y, double centre_x,
                            const std::vector<double>& kernel, int kh, int kw, int row0, int col0,
                            int table_nx, int table_ny);

// g x g measured PSFs twice the science window in size, each a sharp core with faint wide wings
// (four shapes), with non-whole centres; for every pixel of the table window the bilinear weights
// of the four PSFs at the corners of its cell of a g x g grid over the window.
SyntheticPsfs MakeSmoothPsfs(const TALVEN_WindowLayout& w, int table_nx, int table_ny, int g);

// A problem's PSF inputs as a request takes them; `pointers` receives the PSF pointers and must
// outlive the result.
TALVEN_PsfInputs RequestPsfInputs(SyntheticPsfs& p, std::vector<const double*>* pointers);

// Views over a problem's PSF inputs, made as the entry points make them.
class PsfViews {
 public:
  explicit PsfViews(SyntheticPsfs& p);
  bool Initialize(TALVEN_DeconvolutionMatrixGenerator* g, const SyntheticPsfs& p,
                  WindowMappingType kind);

 private:
  std::vector<const double*> m_pointers;
  zv2dArray<double> m_locations;
  zv3dArray<double> m_coefficients;
  zv3dArray<int> m_indices;
};
