#include "cpp/sources/fast_horizontal_matrix.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <new>
#include <vector>

#include "cpp/sources/fast_engine_frame.h"
#include "cpp/sources/fast_infield_matrix.h"
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/weighted_row_sums.h"
#include "cpp/sources/windowbinning.h"

// The engine's own messages are recorded against the generator file whose matrix it builds.
static const char* const kSourcePath = "cpp/sources/talven_horizontal_deconvolution_matrix";

namespace {

// Whether a position is one of the samples step / 2, step / 2 + step, ...
inline bool IsSampled(int position, int step) {
  return position >= step / 2 && (position - step / 2) % step == 0;
}

class HorizontalEngine : public TALVEN_FastEngineFrame {
 public:
  HorizontalEngine(const WindowMappingHierarchy& h, const TALVEN_PSF_Table& table,
                   const TALVEN_HorizontalRequest& request, double* output)
      : TALVEN_FastEngineFrame(h, table, output, "build_horizontal_stray_light", kSourcePath),
        m_request(request),
        m_noofx(h.m_noof.Numx()),
        m_x0(h.m_science.Ofsx() + h.m_detector.Ofsx()),
        m_y0(h.m_science.Ofsy() + h.m_detector.Ofsy()),
        m_dx0(m_x0 - m_noofx + 1),
        m_ndx(static_cast<ptrdiff_t>(m_noofx) + m_sx - 1),
        m_footprints_apply(m_bx % request.delta_sx == 0 && m_by % request.delta_sy == 0) {}

  bool Run() {
    FillOutput();
    try {
      if (m_footprints_apply) m_footprints.resize(m_table.MeasuredPSFEntries().size());
    } catch (const std::bad_alloc&) {
      ReportAllocationFailure();
      return Fail();
    }
    // Displacements from any NOOF source column to any science column, and between science rows.
    // With footprints the planes are only needed to build them.
    if (!BuildPlanes(m_dx0, m_dx0 + static_cast<int>(m_ndx) - 1, 1 - m_sy, m_sy - 1, [this](int m) {
          if (!m_footprints_apply) return;
          m_footprints[m].Build(m_values[m], m_dx0, m_ndx - m_bx + 1, m_bx, m_by, m_ky,
                                m_request.delta_sx, m_request.delta_sy);
          m_values[m] = TALVEN_PSF_DisplacementPlane();
        })) {
      return Fail();
    }
    if (m_request.diagnostic) LogRowDiagnostics();
    if (!AssembleRows()) return Fail();
    return true;
  }

 private:
  void LogRowDiagnostics() const {
    for (int y = m_request.delta_ny / 2; y < m_sy; y += m_request.delta_ny) {
      TALVEN_LogHorizontalRowProgress(y, m_sy);
    }
  }

  // Per-worker scratch. With footprints, the weighted footprint rows (terms) of the sources of one
  // target row, booked to its left and right target. Otherwise, for one source row, the plane of
  // every measured PSF summed over the sampled receiver rows of each L1C row, indexed
  // [psf][dx][L1C row].
  struct Scratch {
    TALVEN_PSF_InterpolationCoeffs coeffs;
    std::vector<TALVEN_WeightedRow> left, right;
    std::vector<double> rowsums;
  };

  bool AssembleRows() {
    // L1C rows that hold at least one sampled receiver row; the others receive nothing.
    for (int ry = 0; ry < m_ky; ++ry) {
      for (int v = 0; v < m_by; ++v) {
        if (IsSampled(ry * m_by + v, m_request.delta_sy)) {
          m_receiving_rows.push_back(ry);
          break;
        }
      }
    }
    const size_t npsf = m_values.size();
    bool ok = true;
#pragma omp parallel
    {
      Scratch scratch;
      bool have_scratch = true;
      try {
        if (!m_footprints_apply) scratch.rowsums.resize(npsf * static_cast<size_t>(m_ndx) * m_ky);
      } catch (const std::bad_alloc&) {
        have_scratch = false;
#pragma omp atomic write
        ok = false;
      }
#pragma omp for schedule(dynamic, 1)
      for (int target_row = 0; target_row < m_ky; ++target_row) {
        if (!have_scratch) continue;
        if (m_footprints_apply) {
          ProcessTargetRow(target_row, &scratch);
          continue;
        }
        for (int y = target_row * m_by; y < (target_row + 1) * m_by && y < m_sy; ++y) {
          if (IsSampled(y, m_request.delta_ny)) ProcessSourceRow(target_row, y, &scratch);
        }
        // Only the two target columns of this row hold light; both are complete.
        ScaleColumn(LeftTarget(target_row));
        if (m_kx > 1) ScaleColumn(RightTarget(target_row));
      }
    }
    return ok ? true : ReportAllocationFailure();
  }

  // When the steps divide the binning every receiving L1C pixel samples the same science pixels
  // of its footprint, and a target column is a sum of footprint rows: each of its elements is
  // summed in registers over all the row's sources and stored once, already scaled.
  void ProcessTargetRow(int target_row, Scratch* scratch) {
    scratch->left.clear();
    scratch->right.clear();
    // With one L1C column both edges book to the same matrix column.
    std::vector<TALVEN_WeightedRow>* right = m_kx > 1 ? &scratch->right : &scratch->left;
    const int dnx = m_request.delta_nx;
    for (int y = target_row * m_by; y < (target_row + 1) * m_by && y < m_sy; ++y) {
      if (!IsSampled(y, m_request.delta_ny)) continue;
      const int b = y - target_row * m_by;
      for (int x = m_x0 - 1 - dnx / 2; x >= 0; x -= dnx) {
        CollectSource(x, y, b, target_row, scratch, &scratch->left);
      }
      for (int x = m_x0 + m_sx + dnx / 2; x < m_noofx; x += dnx) {
        CollectSource(x, y, b, target_row, scratch, right);
      }
    }
    SumTerms(scratch->left, Column(LeftTarget(target_row)));
    if (m_kx > 1) SumTerms(scratch->right, Column(RightTarget(target_row)));
  }

  // The terms of NOOF source (x, science row y at phase b of target_row), pointing at receiver
  // column 0.
  void CollectSource(int x, int y, int b, int target_row, Scratch* scratch,
                     std::vector<TALVEN_WeightedRow>* terms) const {
    const double weight = SourceWeight(x, y + m_y0);
    if (weight == 0.0) return;
    const Coords source(y + m_y0, x, WindowMappingType::WINDOW_NOOF);
    if (!m_table.GetInterpolationCoefficientsForNewPSFCentre(source, &scratch->coeffs)) return;
    const double* w = scratch->coeffs.Coefficients();
    const int* psf = scratch->coeffs.Indices();
    const double scale = 1.0 / static_cast<double>(m_bx * m_by);
    for (int j = 0; j < scratch->coeffs.Count(); ++j) {
      const double* row = m_footprints[psf[j]].Row(b, m_noofx - 1 - x) + (m_ky - 1 - target_row);
      terms->push_back({row, weight * w[j] * scale});
    }
  }

  void SumTerms(const std::vector<TALVEN_WeightedRow>& terms, double* target) const {
    const ptrdiff_t stride = m_footprints.empty() ? 0 : m_footprints[0].RowStride();
    for (int rx = 0; rx < m_kx; ++rx) {
      TALVEN_SumWeightedRows(terms.data(), static_cast<int>(terms.size()), rx * m_bx * stride, m_ky,
                             false, target + static_cast<ptrdiff_t>(rx) * m_ky);
    }
  }

  // The weight of a NOOF source pixel, 0 when it sends no light (a zero or non-finite product of
  // the steps and its vignetting factor).
  double SourceWeight(int x, int yn) const {
    const TALVEN_HorizontalRequest& q = m_request;
    double weight = static_cast<double>(q.delta_sx) * q.delta_sy *
                    (static_cast<double>(q.delta_nx) * q.delta_ny);
    if (q.vignetting) weight *= q.vignetting[static_cast<ptrdiff_t>(yn) * m_noofx + x];
    return std::isfinite(weight) ? weight : 0.0;
  }

  TALVEN_VECTOR_CLONES void SumReceiverRows(int y, double* rowsums) const {
    const int dsy = m_request.delta_sy;
    for (size_t m = 0; m < m_values.size(); ++m) {
      for (ptrdiff_t i = 0; i < m_ndx; ++i) {
        const double* v = m_values[m].Column(m_dx0 + static_cast<int>(i)) - m_values[m].Dy0();
        double* out = rowsums + (static_cast<ptrdiff_t>(m) * m_ndx + i) * m_ky;
        for (int ry = 0; ry < m_ky; ++ry) {
          double sum = 0.0;
          for (int sy = ry * m_by; sy < (ry + 1) * m_by; ++sy) {
            if (IsSampled(sy, dsy)) sum += v[sy - y];
          }
          out[ry] = sum;
        }
      }
    }
  }

  // The matrix columns of the L1C pixels at the science window's left and right edge.
  ptrdiff_t LeftTarget(int target_row) const { return target_row; }
  ptrdiff_t RightTarget(int target_row) const {
    return static_cast<ptrdiff_t>(m_kx - 1) * m_ky + target_row;
  }

  void ProcessSourceRow(int target_row, int y, Scratch* scratch) {
    SumReceiverRows(y, scratch->rowsums.data());
    const int yn = y + m_y0;
    const int dnx = m_request.delta_nx;
    double* left = Column(LeftTarget(target_row));
    double* right = Column(RightTarget(target_row));
    for (int x = m_x0 - 1 - dnx / 2; x >= 0; x -= dnx) AddSource(x, yn, scratch, left);
    for (int x = m_x0 + m_sx + dnx / 2; x < m_noofx; x += dnx) AddSource(x, yn, scratch, right);
  }

  TALVEN_VECTOR_CLONES void AddSource(int x, int yn, Scratch* scratch, double* target) {
    const TALVEN_HorizontalRequest& q = m_request;
    const double weight = SourceWeight(x, yn);
    if (weight == 0.0) return;
    const Coords source(yn, x, WindowMappingType::WINDOW_NOOF);
    if (!m_table.GetInterpolationCoefficientsForNewPSFCentre(source, &scratch->coeffs)) return;
    const double* w = scratch->coeffs.Coefficients();
    const int* psf = scratch->coeffs.Indices();
    const bool all_rows = static_cast<int>(m_receiving_rows.size()) == m_ky;
    for (int j = 0; j < scratch->coeffs.Count(); ++j) {
      const double factor = weight * w[j];
      const double* sums = scratch->rowsums.data() + static_cast<ptrdiff_t>(psf[j]) * m_ndx * m_ky;
      for (int sx = q.delta_sx / 2; sx < m_sx; sx += q.delta_sx) {
        const double* src = sums + static_cast<ptrdiff_t>(sx + m_x0 - x - m_dx0) * m_ky;
        double* dst = target + static_cast<ptrdiff_t>(sx / m_bx) * m_ky;
        if (all_rows) {
          for (int ry = 0; ry < m_ky; ++ry) dst[ry] += factor * src[ry];
        } else {
          for (int ry : m_receiving_rows) dst[ry] += factor * src[ry];
        }
      }
    }
  }

  const TALVEN_HorizontalRequest m_request;
  const int m_noofx;
  // NOOF position of science pixel (0, 0).
  const int m_x0, m_y0;
  // First displacement along x of the planes and their number.
  const int m_dx0;
  const ptrdiff_t m_ndx;
  // Whether the sources' light is summed from footprints (m_footprints), for steps that divide
  // the binning, or per sampled receiver column from the planes.
  const bool m_footprints_apply;
  std::vector<TALVEN_PSF_SampledFootprintPlanes> m_footprints;
  std::vector<int> m_receiving_rows;
};

}  // namespace

bool TALVEN_FastHorizontalEngineApplies(const WindowMappingHierarchy& h,
                                        const TALVEN_HorizontalRequest& request) {
  if (!TALVEN_FastInfieldEngineApplies(h)) return false;
  if (request.delta_nx < 1 || request.delta_ny < 1 || request.delta_sx < 1 ||
      request.delta_sy < 1) {
    return false;
  }
  const long long x0 = static_cast<long long>(h.m_science.Ofsx()) + h.m_detector.Ofsx();
  const long long y0 = static_cast<long long>(h.m_science.Ofsy()) + h.m_detector.Ofsy();
  return x0 >= 0 && y0 >= 0 && x0 + h.m_science.Numx() <= h.m_noof.Numx() &&
         y0 + h.m_science.Numy() <= h.m_noof.Numy();
}

bool TALVEN_BuildHorizontalMatrixFast(const WindowMappingHierarchy& hierarchy,
                                      const TALVEN_PSF_Table& table,
                                      const TALVEN_HorizontalRequest& request, double* output) {
  HorizontalEngine engine(hierarchy, table, request, output);
  return engine.Run();
}
