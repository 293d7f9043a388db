#include "cpp/sources/fast_infield_matrix.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/fast_engine_frame.h"
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/log_sources.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/quadratic_weights.h"
#include "cpp/sources/windowbinning.h"
#include "system/zvlog.h"

// The engine's own messages are recorded against the generator file whose matrix it builds.
static const char* const kSourcePath = kTALVEN_GeneratorSource;

namespace {

constexpr WindowMappingType kDetector = WindowMappingType::WINDOW_DETECTOR;

// prev, mid and next (n values each) += the rows of light weighted by the quadratic scheme's
// weights of their detector row.
TALVEN_VECTOR_CLONES void CombineRows(const double* rows, ptrdiff_t n,
                                      const TALVEN_QuadraticWeights* q, int nrows, double* prev,
                                      double* mid, double* next) {
  for (ptrdiff_t r = 0; r < n; ++r) {
    double to_prev = 0.0, to_mid = 0.0, to_next = 0.0;
    for (int b = 0; b < nrows; ++b) {
      const double light = rows[b * n + r];
      to_prev += q[b].prev * light;
      to_mid += q[b].mid * light;
      to_next += q[b].next * light;
    }
    // On the first and last L1C row two of the three columns are the same one.
    prev[r] += to_prev;
    mid[r] += to_mid;
    next[r] += to_next;
  }
}

inline void AddScaled(double* dst, const double* src, double w, ptrdiff_t n) {
  for (ptrdiff_t i = 0; i < n; ++i) dst[i] += w * src[i];
}

class InfieldEngine : public TALVEN_FastEngineFrame {
 public:
  InfieldEngine(const WindowMappingHierarchy& h, const TALVEN_PSF_Table& table,
                const TALVEN_InfieldOptions& options, const TALVEN_BuildScope& scope,
                double* output)
      : TALVEN_FastEngineFrame(h, table, output, scope, "build_transfer_function", kSourcePath),
        m_options(options),
        m_ofsx(h.m_science.Ofsx()),
        m_ofsy(h.m_science.Ofsy()),
        m_lower_edge(options.lower_edge),
        m_rows_below(std::max(options.rows_below, 0)),
        m_failed_column(m_kx) {}

  bool Run() {
    m_scope.SetTotal(m_c1 - m_c0);
    if (Cancelled()) return false;
    for (int b = 0; b < m_by; ++b) m_weights.emplace_back(b - m_by / 2.0, m_by);
    // Displacements from a science pixel, or a lower edge source below the window, to a science
    // pixel. Lower edge sources below the detector window fail their look-up, which fails the
    // whole build before any of them is used.
    int dy1 = m_sy - 1;
    if (LowerEdgeAddsLight()) {
      dy1 = std::max(dy1, BandRows() - 1 + std::min(m_rows_below, m_ofsy));
    }
    try {
      m_footprints.resize(m_table.MeasuredPSFEntries().size());
    } catch (const std::exception&) {
      ReportAllocationFailure();
      return Fail();
    }
    if (!BuildPlanes(1 - m_sx, m_sx - 1, 1 - m_sy, dy1, [this](int m) {
          m_footprints[m].Build(m_planes[m], m_bx, m_by, m_kx, m_ky);
        })) {
      return Fail();
    }
    if (Cancelled()) return false;
    if (m_lower_edge) FindFailingLowerEdgeColumn();
    if (!AssembleColumns()) return Fail();
    if (Cancelled()) return false;
    // Every block of a request fails with the lower edge of any column.
    if (m_lookup_failed || (m_lower_edge && m_failed_column < m_kx)) return FailRequest();
    return true;
  }

 private:
  // Rows of the lower edge band and rows below the edge that act as sources; none when either
  // option is not positive.
  int BandRows() const { return std::min(m_options.rows_above, m_sy); }
  bool LowerEdgeAddsLight() const {
    return m_lower_edge && m_options.rows_above > 0 && m_rows_below > 0;
  }

  Coords LowerEdgeSource(int column, int i, int k) const {
    return Coords(m_ofsy + k, m_ofsx + column * m_bx + i, kDetector);
  }

  // The row-0 worker of the element-by-element builder stops at the first L1C column whose lower
  // edge sources cannot all be looked up, after logging each failure and the column. The same
  // look-ups run here, in column order, so that the same lines appear and the same columns are
  // skipped; the matrix of such a request is then empty. Every block looks at every column, and
  // the block that logs the request's lines logs what the look-ups meet.
  void FindFailingLowerEdgeColumn() {
    const zvLogThreadMute mute(!m_scope.LogsRequestLines());
    TALVEN_PSF_InterpolationCoeffs coeffs;
    for (int column = 0; column < m_kx; ++column) {
      bool column_ok = true;
      for (int i = 0; i < m_bx; ++i) {
        for (int k = -m_rows_below; k < 0; ++k) {
          const Coords source = LowerEdgeSource(column, i, k);
          if (!m_table.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
            TALVEN_LogBottomEdgeLookUpFailure(source);
            column_ok = false;
          }
        }
      }
      if (!column_ok) {
        TALVEN_LogBottomEdgeColumnFailure(column);
        m_failed_column = column;
        return;
      }
    }
  }

  // Per-worker scratch. For the quadratic scheme, the light of the source pixels of one L1C pixel
  // summed per detector row b inside it, since the scheme's weights depend on b alone.
  struct Scratch {
    TALVEN_PSF_InterpolationCoeffs coeffs;
    std::vector<double> rows;
  };

  bool AssembleColumns() {
    bool ok = true;
#pragma omp parallel
    {
      Scratch scratch;
      bool have_scratch = true;
      try {
        if (m_options.use_simpsons) scratch.rows.resize(m_by * m_n);
      } catch (const std::exception&) {
        have_scratch = false;
#pragma omp atomic write
        ok = false;
      }
#pragma omp for schedule(dynamic, 1)
      for (int column = m_c0; column < m_c1; ++column) {
        if (have_scratch && !m_scope.Cancelled()) {
          ProcessL1CColumn(column, &scratch);
          m_scope.AddFinished();
        }
      }
    }
    return ok ? true : ReportAllocationFailure();
  }

  void ZeroColumn(ptrdiff_t c) { std::fill(Column(c), Column(c) + m_n, 0.0); }

  // The matrix columns of L1C pixels (column, 0 .. Ky - 1) are this call's alone. Each is zeroed
  // just before the first source adds to it and scaled once the last one has, while it is still
  // in cache: a quadratic-scheme source adds to its own column and those of its neighbours along
  // y, a midpoint source to its own only.
  void ProcessL1CColumn(int column, Scratch* scratch) {
    const ptrdiff_t base = static_cast<ptrdiff_t>(column) * m_ky;
    ZeroColumn(base);
    for (int row = 0; row < m_ky; ++row) {
      // The diagnostic lines name the rows' pixels of column 0 as it reaches them.
      if (m_options.diagnostic && column == 0) {
        TALVEN_LogInfieldRowProgress(row, m_ky);
        TALVEN_LogInfieldRowFirstPixel(row);
      }
      if (row + 1 < m_ky) ZeroColumn(base + row + 1);
      // Row 0 stops at the first failed lower edge column, as the element-by-element engine's
      // row 0 does; such a build is returned empty, but the other rows still log what they meet.
      const bool lower_edge_row = row == 0 && m_lower_edge;
      if (!lower_edge_row || column < m_failed_column) {
        if (lower_edge_row && LowerEdgeAddsLight()) AddLowerEdge(column, scratch);
        if (m_options.use_simpsons) {
          AddSimpsonSource(column, row, scratch);
        } else {
          AddMidpointSource(column, row, scratch);
        }
      }
      if (!m_options.use_simpsons) {
        ScaleColumn(base + row);
      } else if (row > 0) {
        ScaleColumn(base + row - 1);
      }
    }
    if (m_options.use_simpsons) ScaleColumn(base + m_ky - 1);
  }

  // A source whose coefficients cannot be looked up fails the build; the others are still looked
  // up, so that each failure is logged.
  bool LookUp(const Coords& source, TALVEN_PSF_InterpolationCoeffs* coeffs) {
    if (m_table.GetInterpolationCoefficientsForNewPSFCentre(source, coeffs)) return true;
    TALVEN_LogColumnLookUpFailure(source);
    m_lookup_failed.store(true, std::memory_order_relaxed);
    return false;
  }

  Coords SourcePixel(int column, int row, int a, int b) const {
    return Coords(m_ofsy + row * m_by + b, m_ofsx + column * m_bx + a, kDetector);
  }

  // dst (N values, receiver fastest) += the light of the source at phase (a, b) of L1C pixel
  // (column, row) with the coefficients in coeffs.
  TALVEN_VECTOR_CLONES void AddSourceLight(int column, int row, int a, int b,
                                           const TALVEN_PSF_InterpolationCoeffs& coeffs,
                                           double* dst) const {
    const double* w = coeffs.Coefficients();
    const int* psf = coeffs.Indices();
    for (int j = 0; j < coeffs.Count(); ++j) {
      const TALVEN_PSF_FootprintPlanes& planes = m_footprints[psf[j]];
      for (int rx = 0; rx < m_kx; ++rx) {
        const double* sums = planes.Row(a, b, rx - column) + (m_ky - 1 - row);
        AddScaled(dst + static_cast<ptrdiff_t>(rx) * m_ky, sums, w[j], m_ky);
      }
    }
  }

  void AddMidpointSource(int column, int row, Scratch* scratch) {
    double* dst = Column(static_cast<ptrdiff_t>(column) * m_ky + row);
    for (int a = 0; a < m_bx; ++a) {
      for (int b = 0; b < m_by; ++b) {
        if (LookUp(SourcePixel(column, row, a, b), &scratch->coeffs)) {
          AddSourceLight(column, row, a, b, scratch->coeffs, dst);
        }
      }
    }
  }

  void AddSimpsonSource(int column, int row, Scratch* scratch) {
    double* rows = scratch->rows.data();
    std::fill(scratch->rows.begin(), scratch->rows.end(), 0.0);
    for (int a = 0; a < m_bx; ++a) {
      for (int b = 0; b < m_by; ++b) {
        if (LookUp(SourcePixel(column, row, a, b), &scratch->coeffs)) {
          AddSourceLight(column, row, a, b, scratch->coeffs, rows + b * m_n);
        }
      }
    }
    const ptrdiff_t base = static_cast<ptrdiff_t>(column) * m_ky;
    double* prev = Column(base + (row == 0 ? 0 : row - 1));
    double* mid = Column(base + row);
    double* next = Column(base + (row == m_ky - 1 ? m_ky - 1 : row + 1));
    CombineRows(rows, m_n, m_weights.data(), m_by, prev, mid, next);
  }

  // The light of the detector rows below the bottom edge, under L1C column `column`, received by
  // science pixels in the band of rows_above rows above the edge and rows_above columns either
  // side of the source, all booked to the column of the bottom L1C pixel.
  TALVEN_VECTOR_CLONES void AddLowerEdge(int column, Scratch* scratch) {
    double* dst = Column(static_cast<ptrdiff_t>(column) * m_ky);
    const int band = m_options.rows_above;
    const int band_rows = BandRows();
    for (int i = 0; i < m_bx; ++i) {
      const int s = column * m_bx + i;
      // In 64 bits: the band's half-width is the caller's option, unchecked.
      const int c0 = static_cast<int>(std::max<int64_t>(int64_t{s} - band, 0));
      const int c1 = static_cast<int>(std::min<int64_t>(int64_t{s} + band, m_sx));
      for (int k = -m_rows_below; k < 0; ++k) {
        // Every look-up of this column succeeded in FindFailingLowerEdgeColumn.
        if (!m_table.GetInterpolationCoefficientsForNewPSFCentre(LowerEdgeSource(column, i, k),
                                                                 &scratch->coeffs)) {
          continue;
        }
        const double* w = scratch->coeffs.Coefficients();
        const int* psf = scratch->coeffs.Indices();
        for (int j = 0; j < scratch->coeffs.Count(); ++j) {
          const TALVEN_PSF_DisplacementPlane& plane = m_planes[psf[j]];
          for (int c = c0; c < c1; ++c) {
            // Receiver rows 0 .. band_rows - 1 lie -k .. band_rows - 1 - k rows above the source.
            const double* v = plane.Column(c - s) + (-k - plane.Dy0());
            double* receivers = dst + static_cast<ptrdiff_t>(c / m_bx) * m_ky;
            for (int ry = 0, y0 = 0; y0 < band_rows; ++ry, y0 += m_by) {
              const int y1 = std::min(y0 + m_by, band_rows);
              double sum = 0.0;
              for (int y = y0; y < y1; ++y) sum += v[y];
              receivers[ry] += w[j] * sum;
            }
          }
        }
      }
    }
  }

  const TALVEN_InfieldOptions m_options;
  const int m_ofsx, m_ofsy;
  const bool m_lower_edge;
  // The lower edge option rows below, of which a negative count means none.
  const int m_rows_below;
  int m_failed_column;
  std::atomic<bool> m_lookup_failed{false};
  // The quadratic scheme's weights for detector row b of an L1C pixel.
  std::vector<TALVEN_QuadraticWeights> m_weights;
  std::vector<TALVEN_PSF_FootprintPlanes> m_footprints;
};

}  // namespace

bool TALVEN_BuildInfieldMatrixFast(const WindowMappingHierarchy& hierarchy,
                                   const TALVEN_PSF_Table& table,
                                   const TALVEN_InfieldOptions& options,
                                   const TALVEN_BuildScope& scope, double* output) {
  // Every line from here on is the engine's to choose, in every block.
  zvLogThreadMute unmuted(false);
  InfieldEngine engine(hierarchy, table, options, scope, output);
  return engine.Guarded([&engine] { return engine.Run(); });
}
