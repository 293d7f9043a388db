#include "cpp/sources/fast_horizontal_matrix.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/fast_engine_frame.h"
#include "cpp/sources/fast_engine_layout.h"
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/row_sum_batches.h"
#include "cpp/sources/weighted_row_sums.h"
#include "cpp/sources/windowbinning.h"
#include "system/zvlog.h"

namespace {

// Whether a position is one of the samples step / 2, step / 2 + step, ...
inline bool IsSampled(int position, int step) {
  return position >= step / 2 && (position - step / 2) % step == 0;
}

class HorizontalEngine : public TALVEN_FastEngineFrame {
 public:
  HorizontalEngine(const WindowMappingHierarchy& h, const TALVEN_PSF_Table& table,
                   const TALVEN_HorizontalRequest& request, const TALVEN_BuildScope& scope,
                   double* output)
      : TALVEN_FastEngineFrame(h, table, output, scope, TALVEN_BuiltMatrix::kHorizontal),
        m_request(request),
        m_left(HoldsSource(LeftTarget(0))),
        m_right(HoldsSource(RightTarget(0))),
        m_noofx(h.m_noof.Numx()),
        m_x0(h.m_science.Ofsx() + h.m_detector.Ofsx()),
        m_y0(h.m_science.Ofsy() + h.m_detector.Ofsy()),
        m_dx0(m_x0 - m_noofx + 1),
        m_dx1(m_x0 + m_sx - 1),
        m_footprints_apply(m_bx % request.delta_sx == 0 && m_by % request.delta_sy == 0) {}

  bool Run() {
    const bool has_targets = m_left || m_right;
    m_scope.SetTotal(has_targets ? m_ky : 0);
    if (Cancelled()) return false;
    // The target columns are written whole by the workers that fill them; the others receive
    // nothing.
    FillColumns(m_ky, static_cast<ptrdiff_t>(m_kx - 1) * m_ky);
    if (!m_scope.IsWhole(m_kx) && OtherTargetsFailLookUps()) {
      m_lookup_failed.store(true, std::memory_order_relaxed);
    }
    if (!has_targets) return m_lookup_failed ? FailRequest() : true;
    try {
      if (m_footprints_apply) m_footprints.resize(m_table.MeasuredPSFEntries().size());
    } catch (const std::exception&) {
      ReportAllocationFailure();
      return Fail();
    }
    const ptrdiff_t num_footprints = ptrdiff_t{m_dx1} - m_dx0 + 1 - m_bx + 1;
    // A target column's terms step over the footprints of every receiver column.
    const ptrdiff_t run = static_cast<ptrdiff_t>(m_kx - 1) * m_bx;
    // Displacements from any NOOF source column to any science column, and between science rows;
    // each plane keeps only the columns its PSF reaches. With footprints the planes are only
    // needed to build them.
    if (!BuildPlanes(m_dx0, m_dx1, 1 - m_sy, m_sy - 1, [&](int m) {
          if (!m_footprints_apply) return;
          m_footprints[m].Build(m_planes[m], m_dx0, num_footprints, m_bx, m_by, m_ky,
                                m_request.delta_sx, m_request.delta_sy, run);
          m_planes[m] = TALVEN_PSF_DisplacementPlane();
        })) {
      return Fail();
    }
    if (m_footprints_apply) {
      m_footprint_stride = m_footprints.empty() ? 0 : m_footprints[0].RowStride();
      m_zero_row = TALVEN_AlignedRows(&m_zero_rows, (run + 1) * m_footprint_stride,
                                      TALVEN_PSF_SampledFootprintPlanes::kPadding);
    } else {
      SetUpRowSums();
    }
    if (Cancelled()) return false;
    if (!AssembleRows()) return Fail();
    if (Cancelled()) return false;
    if (m_lookup_failed) return FailRequest();
    return true;
  }

 private:
  // Per-worker scratch. With footprints, the weighted footprint rows (terms) of the sources of
  // each target row of a batch, booked to its left and right target. Otherwise, for one source row,
  // the plane of every measured PSF summed over the sampled receiver rows of each L1C row, indexed
  // [psf][dx][L1C row] over the stored columns of each plane (PSF m from m_sum_offsets[m]).
  struct Scratch {
    TALVEN_PSF_InterpolationCoeffs coeffs;
    std::vector<TALVEN_WeightedRow> left[kTalvenSharedRowBatch], right[kTalvenSharedRowBatch];
    // A shared batch's table rows (those of its first row) and weights, row fastest.
    std::vector<const double*> shared_rows;
    std::vector<double> shared_weights;
    std::vector<double> rowsums;
  };

  // A block fails with its request when a source booked to a target column the block does not
  // hold cannot be looked up; the block that holds it logs it.
  bool OtherTargetsFailLookUps() const {
    return SilentLookUpsFail(m_sy, [&](ptrdiff_t i, TALVEN_PSF_InterpolationCoeffs* coeffs) {
      const int y = static_cast<int>(i);
      if (!IsSampled(y, m_request.delta_ny)) return true;
      const auto found = [&](int x) {
        if (SourceWeight(x, y + m_y0) == 0.0) return true;
        const Coords source(y + m_y0, x, WindowMappingType::WINDOW_NOOF);
        return m_table.GetInterpolationCoefficientsForNewPSFCentre(source, coeffs);
      };
      return (m_left || SourceColumns(false, found)) && (m_right || SourceColumns(true, found));
    });
  }

  // Calls f(x) for every sampled NOOF source column left of the science window, nearest first,
  // or right of it, until f gives false; whether it never did.
  template <typename F>
  bool SourceColumns(bool right, F f) const {
    const int dnx = m_request.delta_nx;
    // In 64 bits: a step past the last source must not wrap.
    if (right) {
      for (int64_t x = int64_t{m_x0} + m_sx + dnx / 2; x < m_noofx; x += dnx) {
        if (!f(static_cast<int>(x))) return false;
      }
    } else {
      for (int64_t x = int64_t{m_x0} - 1 - dnx / 2; x >= 0; x -= dnx) {
        if (!f(static_cast<int>(x))) return false;
      }
    }
    return true;
  }

  // The weight of NOOF source (x, yn) with its coefficients in coeffs, or 0 when it adds
  // nothing: it sends no light, or its look-up fails (the table logs why; the build fails once
  // every source has been looked up).
  double LookUpSource(int x, int yn, TALVEN_PSF_InterpolationCoeffs* coeffs) {
    const double weight = SourceWeight(x, yn);
    if (weight == 0.0) return 0.0;
    const Coords source(yn, x, WindowMappingType::WINDOW_NOOF);
    if (m_table.GetInterpolationCoefficientsForNewPSFCentre(source, coeffs)) return weight;
    m_lookup_failed.store(true, std::memory_order_relaxed);
    return 0.0;
  }

  void SetUpRowSums() {
    m_sum_offsets.reserve(m_planes.size());
    ptrdiff_t sums = 0;
    for (const TALVEN_PSF_DisplacementPlane& plane : m_planes) {
      m_sum_offsets.push_back(sums);
      sums += (ptrdiff_t{plane.LastDx()} - plane.FirstDx() + 1) * m_ky;
    }
    m_num_sums = sums;
    m_zero_sums.assign(static_cast<size_t>(m_ky), 0.0);
  }

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
    bool ok = true;
#pragma omp parallel
    {
      Scratch scratch;
      bool have_scratch = true;
      try {
        scratch.rowsums.resize(static_cast<size_t>(m_num_sums));
      } catch (const std::exception&) {
        have_scratch = false;
#pragma omp atomic write
        ok = false;
      }
      // With footprints a work item is a batch of consecutive target rows, whose terms read the
      // same footprint rows; the batches end where the rows' first values, Ky - 1 - target row,
      // lie on a vector boundary.
      const int batch = m_footprints_apply ? kTalvenSharedRowBatch : 1;
      const int first_end = m_ky % batch == 0 ? batch : m_ky % batch;
#pragma omp for schedule(dynamic, 1)
      for (int item = 0; item < (m_ky - first_end + batch - 1) / batch + 1; ++item) {
        if (!have_scratch || m_scope.Cancelled()) continue;
        const int first_row = item == 0 ? 0 : first_end + (item - 1) * batch;
        const int rows = item == 0 ? first_end : batch;
        if (m_footprints_apply) {
          ProcessTargetRows(first_row, rows, &scratch);
        } else {
          SumTargetRow(first_row, &scratch);
        }
        for (int r = 0; r < rows; ++r) m_scope.AddFinished();
      }
    }
    return ok ? true : ReportAllocationFailure();
  }

  // When the steps divide the binning every receiving L1C pixel samples the same science pixels
  // of its footprint, and a target column is a sum of footprint rows: each of its elements is
  // summed in registers over all the row's sources and stored once, already scaled.
  void ProcessTargetRows(int first_row, int rows, Scratch* scratch) {
    for (int r = 0; r < rows; ++r) CollectTargetRow(first_row + r, r, scratch);
    if (m_left) SumTerms(scratch->left, rows, LeftTarget(first_row), scratch);
    if (m_right && m_kx > 1) SumTerms(scratch->right, rows, RightTarget(first_row), scratch);
  }

  // The terms of target row `target_row`, entry r of the batch.
  void CollectTargetRow(int target_row, int r, Scratch* scratch) {
    std::vector<TALVEN_WeightedRow>* left = &scratch->left[r];
    // With one L1C column both edges book to the same matrix column.
    std::vector<TALVEN_WeightedRow>* right = m_kx > 1 ? &scratch->right[r] : left;
    left->clear();
    right->clear();
    for (int y = target_row * m_by; y < (target_row + 1) * m_by && y < m_sy; ++y) {
      if (!IsSampled(y, m_request.delta_ny)) continue;
      if (m_request.diagnostic && m_scope.LogsRequestLines()) {
        TALVEN_LogHorizontalRowProgress(y, m_sy);
      }
      const int b = y - target_row * m_by;
      if (m_left) {
        SourceColumns(false, [&](int x) {
          CollectSource(x, y, b, scratch, left);
          return true;
        });
      }
      if (m_right) {
        SourceColumns(true, [&](int x) {
          CollectSource(x, y, b, scratch, right);
          return true;
        });
      }
    }
  }

  // The terms of NOOF source (x, science row y at phase b of its target row), pointing at
  // receiver column 0.
  void CollectSource(int x, int y, int b, Scratch* scratch,
                     std::vector<TALVEN_WeightedRow>* terms) {
    const double weight = LookUpSource(x, y + m_y0, &scratch->coeffs);
    if (weight == 0.0) return;
    const double* w = scratch->coeffs.Coefficients();
    const int* psf = scratch->coeffs.Indices();
    const ptrdiff_t target_row = y / m_by;
    for (int j = 0; j < scratch->coeffs.Count(); ++j) {
      // Beyond the PSF's reach the light is zero, still added so that a non-finite factor shows
      // as it does inside it.
      const double* row = m_footprints[psf[j]].Row(b, ptrdiff_t{m_noofx} - 1 - x);
      if (row == nullptr) row = m_zero_row;
      terms->push_back({row + (m_ky - 1 - target_row), weight * w[j] * m_scale});
    }
  }

  // Writes every element of the matrix columns target .. target + rows - 1, those of the batch's
  // target rows: receiver column rx reads each term's footprint rx * Binx further on.
  void SumTerms(const std::vector<TALVEN_WeightedRow>* terms, int rows, ptrdiff_t target,
                Scratch* scratch) const {
    PrefaultColumns(target, target + rows);
    const TALVEN_RowBatchColumns columns{m_kx, m_ky, 0, m_bx * m_footprint_stride, m_ky};
    double* dst[kTalvenSharedRowBatch];
    for (int r = 0; r < rows; ++r) dst[r] = Column(target + r);
    if (SharedBatch(terms, rows, scratch)) {
      TALVEN_SumSharedRowBatch(scratch->shared_rows.data(), scratch->shared_weights.data(),
                               static_cast<int>(terms[0].size()), columns, dst);
      return;
    }
    // Otherwise consecutive rows with as many terms each are summed together.
    for (int r0 = 0; r0 < rows;) {
      const size_t nterms = terms[r0].size();
      int r1 = r0 + 1;
      while (r1 < rows && r1 - r0 < kTalvenRowBatch && terms[r1].size() == nterms) ++r1;
      const TALVEN_WeightedRow* batch[kTalvenRowBatch];
      for (int r = r0; r < r1; ++r) batch[r - r0] = terms[r].data();
      TALVEN_SumWeightedRowBatch(batch, r1 - r0, static_cast<int>(nterms), columns, dst + r0);
      r0 = r1;
    }
  }

  // Whether the batch's rows share their footprint rows, each term one value further back than in
  // the row before, all on the boundaries the shared kernel needs; if so, gathers its inputs.
  bool SharedBatch(const std::vector<TALVEN_WeightedRow>* terms, int rows, Scratch* scratch) const {
    if (rows != kTalvenSharedRowBatch || !TALVEN_SharedRowBatchesAvailable()) return false;
    const size_t nterms = terms[0].size();
    for (int r = 1; r < rows; ++r) {
      if (terms[r].size() != nterms) return false;
    }
    scratch->shared_rows.clear();
    scratch->shared_weights.clear();
    for (size_t k = 0; k < nterms; ++k) {
      const double* row = terms[0][k].row;
      if (reinterpret_cast<uintptr_t>(row - 7) % 64 != 0) return false;
      for (int r = 0; r < rows; ++r) {
        if (terms[r][k].row != row - r) return false;
        scratch->shared_weights.push_back(terms[r][k].weight);
      }
      scratch->shared_rows.push_back(row);
    }
    return true;
  }

  // The weight of a NOOF source pixel, 0 when it sends no light (a zero or non-finite product of
  // the steps and its vignetting factor).
  double SourceWeight(int x, int yn) const {
    const TALVEN_HorizontalRequest& request = m_request;
    double weight = static_cast<double>(request.delta_sx) * request.delta_sy *
                    (static_cast<double>(request.delta_nx) * request.delta_ny);
    if (request.vignetting) weight *= request.vignetting[static_cast<ptrdiff_t>(yn) * m_noofx + x];
    return std::isfinite(weight) ? weight : 0.0;
  }

  // Otherwise the sources add their light to the target columns per sampled receiver column.
  void SumTargetRow(int target_row, Scratch* scratch) {
    if (m_left) ZeroTarget(LeftTarget(target_row));
    if (m_right && m_kx > 1) ZeroTarget(RightTarget(target_row));
    for (int y = target_row * m_by; y < (target_row + 1) * m_by && y < m_sy; ++y) {
      if (IsSampled(y, m_request.delta_ny)) ProcessSourceRow(target_row, y, scratch);
    }
    // Only the two target columns of this row hold light; both are complete. With one L1C
    // column they are the same one.
    if (m_left) ScaleColumn(LeftTarget(target_row));
    if (m_right && m_kx > 1) ScaleColumn(RightTarget(target_row));
  }

  void ZeroTarget(ptrdiff_t target) {
    PrefaultColumns(target, target + 1);
    std::fill(Column(target), Column(target) + m_n, 0.0);
  }

  TALVEN_VECTOR_CLONES void SumReceiverRows(int y, double* rowsums) const {
    const int dsy = m_request.delta_sy;
    for (size_t m = 0; m < m_planes.size(); ++m) {
      const TALVEN_PSF_DisplacementPlane& plane = m_planes[m];
      for (int dx = plane.FirstDx(); dx <= plane.LastDx(); ++dx) {
        const double* v = plane.Column(dx) - plane.Dy0();
        double* out =
            rowsums + m_sum_offsets[m] + static_cast<ptrdiff_t>(dx - plane.FirstDx()) * m_ky;
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
    if (m_request.diagnostic && m_scope.LogsRequestLines())
      TALVEN_LogHorizontalRowProgress(y, m_sy);
    SumReceiverRows(y, scratch->rowsums.data());
    const int yn = y + m_y0;
    if (m_left) {
      double* left = Column(LeftTarget(target_row));
      SourceColumns(false, [&](int x) {
        AddSource(x, yn, scratch, left);
        return true;
      });
    }
    if (m_right) {
      double* right = Column(RightTarget(target_row));
      SourceColumns(true, [&](int x) {
        AddSource(x, yn, scratch, right);
        return true;
      });
    }
  }

  TALVEN_VECTOR_CLONES void AddSource(int x, int yn, Scratch* scratch, double* target) {
    const TALVEN_HorizontalRequest& request = m_request;
    const double weight = LookUpSource(x, yn, &scratch->coeffs);
    if (weight == 0.0) return;
    const double* w = scratch->coeffs.Coefficients();
    const int* psf = scratch->coeffs.Indices();
    const bool all_rows = static_cast<int>(m_receiving_rows.size()) == m_ky;
    for (int j = 0; j < scratch->coeffs.Count(); ++j) {
      const double factor = weight * w[j];
      const TALVEN_PSF_DisplacementPlane& plane = m_planes[psf[j]];
      const double* sums = scratch->rowsums.data() + m_sum_offsets[psf[j]];
      for (int64_t sx = request.delta_sx / 2; sx < m_sx; sx += request.delta_sx) {
        // Beyond the PSF's columns the light is zero, still added so that a non-finite factor
        // shows as it does inside them.
        const int64_t dx = sx + m_x0 - x;
        const double* src = dx >= plane.FirstDx() && dx <= plane.LastDx()
                                ? sums + (dx - plane.FirstDx()) * m_ky
                                : m_zero_sums.data();
        double* dst = target + (sx / m_bx) * m_ky;
        if (all_rows) {
          for (int ry = 0; ry < m_ky; ++ry) dst[ry] += factor * src[ry];
        } else {
          for (int ry : m_receiving_rows) dst[ry] += factor * src[ry];
        }
      }
    }
  }

  const TALVEN_HorizontalRequest m_request;
  // Whether the block holds the left and the right target columns.
  const bool m_left, m_right;
  const int m_noofx;
  // NOOF position of science pixel (0, 0).
  const int m_x0, m_y0;
  // The displacements along x from any source to any receiver.
  const int m_dx0, m_dx1;
  // Whether the sources' light is summed from footprints (m_footprints), for steps that divide
  // the binning, or per sampled receiver column from the planes.
  const bool m_footprints_apply;
  std::vector<TALVEN_PSF_SampledFootprintPlanes> m_footprints;
  // The footprint tables' row stride, and the zero rows of a run the PSF does not reach, laid out
  // as the tables' rows are (m_zero_row, in m_zero_rows).
  ptrdiff_t m_footprint_stride = 0;
  std::vector<double> m_zero_rows;
  const double* m_zero_row = nullptr;
  // Where each PSF's sums start in the scratch, their total, and the sums beyond a PSF's columns.
  std::vector<ptrdiff_t> m_sum_offsets;
  ptrdiff_t m_num_sums = 0;
  std::vector<double> m_zero_sums;
  std::vector<int> m_receiving_rows;
  std::atomic<bool> m_lookup_failed{false};
};

}  // namespace

bool TALVEN_BuildHorizontalMatrixFast(const WindowMappingHierarchy& hierarchy,
                                      const TALVEN_PSF_Table& table,
                                      const TALVEN_HorizontalRequest& request,
                                      const TALVEN_BuildScope& scope, double* output) {
  assert(TALVEN_FastEngineLayoutApplies(hierarchy));
  assert(request.delta_nx >= 1 && request.delta_ny >= 1 && request.delta_sx >= 1 &&
         request.delta_sy >= 1);
  assert(static_cast<long long>(hierarchy.m_science.Ofsx()) + hierarchy.m_detector.Ofsx() +
                 hierarchy.m_science.Numx() <=
             hierarchy.m_noof.Numx() &&
         static_cast<long long>(hierarchy.m_science.Ofsy()) + hierarchy.m_detector.Ofsy() +
                 hierarchy.m_science.Numy() <=
             hierarchy.m_noof.Numy());
  // Every line from here on is the engine's to choose, in every block.
  zvLogThreadMute unmuted(false);
  HorizontalEngine engine(hierarchy, table, request, scope, output);
  return engine.Guarded([&engine] { return engine.Run(); });
}
