#include "cpp/sources/fast_infield_matrix.h"

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <vector>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/fast_engine_frame.h"
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/quadratic_weights.h"
#include "cpp/sources/weighted_row_sums.h"
#include "cpp/sources/windowbinning.h"
#include "system/zvlog.h"

namespace {

constexpr WindowMappingType kDetector = WindowMappingType::WINDOW_DETECTOR;

// Tables larger than this outgrow the last level cache that one core shares with its neighbours
// on current x86 processors. The processor's own report can mislead in a virtual machine (the
// whole package's cache instead of the core complex's), so it is not asked.
constexpr size_t kLastLevelCacheBytes = size_t{32} << 20;

// A matrix element sums footprint rows of its source at a displacement that shifts by one with
// the source row: the sums of a block of source rows over a block of receivers read rows that
// overlap and stay in the first level cache. Where the rows of a block use the same footprint
// rows, they are summed together as a skewed block (TALVEN_SumSkewedBlock), otherwise row by
// row, the receivers of a block in registers.
constexpr int kRowBlock = kTalvenSkewedBlockRows;
constexpr int kReceiverBlock = 64;

class InfieldEngine : public TALVEN_FastEngineFrame {
 public:
  InfieldEngine(const WindowMappingHierarchy& h, const TALVEN_PSF_Table& table,
                const TALVEN_InfieldOptions& options, const TALVEN_BuildScope& scope,
                double* output)
      : TALVEN_FastEngineFrame(h, table, output, scope, TALVEN_BuiltMatrix::kInfield),
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
    const int rows_below_used = std::min(m_rows_below, m_ofsy);
    if (LowerEdgeAddsLight()) dy1 = std::max(dy1, BandRows() - 1 + rows_below_used);
    const size_t npsf = m_table.MeasuredPSFEntries().size();
    try {
      m_footprints.resize(npsf);
      m_edge_planes.resize(npsf);
    } catch (const std::exception&) {
      ReportAllocationFailure();
      return Fail();
    }
    // The displacement planes are only needed to build the engine's own tables.
    if (!BuildPlanes(1 - m_sx, m_sx - 1, 1 - m_sy, dy1, [&](int m) {
          m_footprints[m].Build(m_planes[m], m_bx, m_by, m_kx, m_ky);
          if (LowerEdgeAddsLight() && rows_below_used > 0) {
            m_edge_planes[m].Build(m_planes[m], m_bx, m_by, m_kx, m_options.rows_above,
                                   rows_below_used, BandRows());
          }
          m_planes[m] = TALVEN_PSF_DisplacementPlane();
        })) {
      return Fail();
    }
    m_skewed_blocks =
        TALVEN_SkewedBlocksAvailable() &&
        std::all_of(m_footprints.begin(), m_footprints.end(),
                    [](const TALVEN_PSF_FootprintPlanes& f) { return f.AllFinite(); });
    size_t table_bytes = 0;
    for (const TALVEN_PSF_FootprintPlanes& f : m_footprints) table_bytes += f.Bytes();
    m_fetch_ahead = table_bytes > kLastLevelCacheBytes;
    if (Cancelled()) return false;
    if (m_lower_edge) FindFailingLowerEdgeColumn();
    if (!m_scope.IsWhole(m_kx) && OtherColumnsFailLookUps()) {
      m_lookup_failed.store(true, std::memory_order_relaxed);
    }
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

  // A block fails with its request when a source of another block's L1C columns cannot be looked
  // up; that block logs it.
  bool OtherColumnsFailLookUps() const {
    return SilentLookUpsFail(m_kx, [this](ptrdiff_t i, TALVEN_PSF_InterpolationCoeffs* coeffs) {
      const int column = static_cast<int>(i);
      if (column >= m_c0 && column < m_c1) return true;
      for (int row = 0; row < m_ky; ++row) {
        for (int b = 0; b < m_by; ++b) {
          for (int a = 0; a < m_bx; ++a) {
            if (!m_table.GetInterpolationCoefficientsForNewPSFCentre(SourcePixel(column, row, a, b),
                                                                     coeffs)) {
              return false;
            }
          }
        }
      }
      return true;
    });
  }

  // Per-worker scratch, sized once. The light of one source L1C column is a list of weighted
  // footprint rows (terms) per source row, or with the quadratic scheme per source row and
  // detector row b inside it, since the scheme's weights depend on b alone: `first` holds where
  // each group of terms starts. The quadratic scheme sums the groups of three consecutive source
  // rows into `ring` and combines them into a matrix column with the terms in `combine`.
  // The same terms per block of rows and group: the distinct footprint rows, for receiver column
  // 0 and receiver row 0 of the block's first row, with kRowBlock weights each.
  struct Scratch {
    TALVEN_PSF_InterpolationCoeffs coeffs;
    std::vector<TALVEN_WeightedRow> terms;
    std::vector<int> first;
    std::vector<const double*> block_planes;
    std::vector<double> block_weights;
    std::vector<int> block_first;
    std::vector<char> block_skewed;
    std::vector<int> block_start;
    std::vector<TALVEN_WeightedRow> edge_terms;
    std::vector<double> ring;
    // ring_rows[b * Ky + row]: where source row `row`, detector row b, is summed in the ring.
    std::vector<double*> ring_rows;
    std::vector<TALVEN_WeightedRow> combine;
    std::vector<int> combine_first;
  };

  // Receiver rows of one L1C column in the ring, padded to whole cache lines. The ring holds a
  // block of source rows and the two before it, which the block's first matrix column needs.
  ptrdiff_t RingStride() const { return (static_cast<ptrdiff_t>(m_ky) + 7) / 8 * 8; }
  static constexpr int kRingRows = kRowBlock + 2;
  double* RingRow(Scratch* scratch, int row, int b) const {
    return scratch->ring.data() + ((row % kRingRows) * m_by + b) * RingStride();
  }

  void AllocateScratch(Scratch* scratch) const {
    const size_t capacity = TALVEN_PSF_InterpolationCoeffs::kCapacity;
    scratch->terms.reserve(static_cast<size_t>(m_ky) * m_bx * m_by * capacity);
    scratch->first.reserve(static_cast<size_t>(m_ky) * m_by + 1);
    const size_t blocks = static_cast<size_t>(m_ky) * m_by;
    scratch->block_first.reserve(blocks + 1);
    scratch->block_skewed.reserve(blocks);
    scratch->block_start.reserve(static_cast<size_t>(m_ky) + 1);
    if (LowerEdgeAddsLight()) {
      scratch->edge_terms.reserve(static_cast<size_t>(m_bx) * m_rows_below * capacity);
    }
    if (!m_options.use_simpsons) return;
    scratch->ring.assign(kRingRows * m_by * RingStride(), 0.0);
    for (int b = 0; b < m_by; ++b) {
      for (int row = 0; row < m_ky; ++row) scratch->ring_rows.push_back(RingRow(scratch, row, b));
    }
    // Matrix column of L1C row y: source row y - 1 adds with its next weights, y with its mid
    // weights, y + 1 with its prev weights; on the first and last row a source's prev or next
    // neighbour is the source itself.
    scratch->combine_first.push_back(0);
    for (int y = 0; y < m_ky; ++y) {
      for (int s = std::max(y - 1, 0); s <= std::min(y + 1, m_ky - 1); ++s) {
        for (int b = 0; b < m_by; ++b) {
          const TALVEN_QuadraticWeights& q = m_weights[b];
          double w = 0.0;
          if (s == y - 1) w = q.next;
          if (s == y + 1) w = q.prev;
          if (s == y) w = q.mid + (y == 0 ? q.prev : 0.0) + (y == m_ky - 1 ? q.next : 0.0);
          scratch->combine.push_back({RingRow(scratch, s, b), w * m_scale});
        }
      }
      scratch->combine_first.push_back(static_cast<int>(scratch->combine.size()));
    }
  }

  bool AssembleColumns() {
    bool ok = true;
#pragma omp parallel
    {
      Scratch scratch;
      bool have_scratch = true;
      try {
        AllocateScratch(&scratch);
      } catch (const std::exception&) {
        have_scratch = false;
#pragma omp atomic write
        ok = false;
      }
#pragma omp for schedule(dynamic, 1)
      for (int column = m_c0; column < m_c1; ++column) {
        if (have_scratch && !m_scope.Cancelled()) {
          ProcessL1CColumn(column, &scratch);
          TALVEN_FinishStreams();
          m_scope.AddFinished();
        }
      }
    }
    return ok ? true : ReportAllocationFailure();
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

  // The terms of every source of L1C column `column`, pointing at the footprint rows of receiver
  // column 0. Row 0 stops at the first failed lower edge column, as the element-by-element
  // engine's row 0 does; such a build is returned empty, but the other rows still log what they
  // meet. The diagnostic lines name the rows' pixels of column 0 as it reaches them.
  void CollectSourceTerms(int column, Scratch* scratch) {
    const bool simpson = m_options.use_simpsons;
    const double scale = simpson ? 1.0 : m_scale;
    scratch->terms.clear();
    scratch->first.assign(1, 0);
    for (int row = 0; row < m_ky; ++row) {
      if (m_options.diagnostic && column == 0) {
        TALVEN_LogInfieldRowProgress(row, m_ky);
        TALVEN_LogInfieldRowFirstPixel(row);
      }
      const bool skipped = row == 0 && m_lower_edge && column >= m_failed_column;
      for (int b = 0; b < m_by; ++b) {
        for (int a = 0; a < m_bx && !skipped; ++a) {
          if (!LookUp(SourcePixel(column, row, a, b), &scratch->coeffs)) continue;
          const double* w = scratch->coeffs.Coefficients();
          const int* psf = scratch->coeffs.Indices();
          for (int j = 0; j < scratch->coeffs.Count(); ++j) {
            const double* row0 = m_footprints[psf[j]].Row(a, b, -column) + (m_ky - 1 - row);
            scratch->terms.push_back({row0, w[j] * scale});
          }
        }
        if (simpson) scratch->first.push_back(static_cast<int>(scratch->terms.size()));
      }
      if (!simpson) scratch->first.push_back(static_cast<int>(scratch->terms.size()));
    }
  }

  // Gathers the terms of each block of rows and group by footprint row, and decides whether the
  // block is summed as a skewed block: that sums every footprint row for every row of the block,
  // for half the cost of a multiply-add row by row. A footprint row a row does not use has
  // weight 0 there, which needs finite tables.
  void CollectBlocks(Scratch* scratch) const {
    const int groups = m_options.use_simpsons ? m_by : 1;
    scratch->block_planes.clear();
    scratch->block_weights.clear();
    scratch->block_first.assign(1, 0);
    scratch->block_skewed.clear();
    scratch->block_start.assign(1, 0);
    for (int y0 = 0; y0 < m_ky;) {
      const int y1 = BlockEnd(*scratch, y0);
      scratch->block_start.push_back(y1);
      for (int g = 0; g < groups; ++g) {
        const size_t start = scratch->block_planes.size();
        double row_cost = 0.0;
        for (int y = y0; y < y1; ++y) {
          const int group = y * groups + g;
          for (int t = scratch->first[group]; t < scratch->first[group + 1]; ++t) {
            const TALVEN_WeightedRow& term = scratch->terms[t];
            const double* plane = term.row - (m_ky - 1 - y);
            size_t u = start;
            while (u < scratch->block_planes.size() && scratch->block_planes[u] != plane) ++u;
            if (u == scratch->block_planes.size()) {
              scratch->block_planes.push_back(plane);
              scratch->block_weights.resize(scratch->block_weights.size() + kRowBlock, 0.0);
            }
            scratch->block_weights[u * kRowBlock + (y - y0)] += term.weight;
          }
          row_cost += static_cast<double>(scratch->first[group + 1] - scratch->first[group]) * m_ky;
        }
        const double receivers = (m_ky + 7) / 8 * 8;
        const double skewed_cost =
            static_cast<double>(scratch->block_planes.size() - start) * (y1 - y0) * receivers;
        scratch->block_skewed.push_back(m_skewed_blocks && skewed_cost <= 2.0 * row_cost);
        scratch->block_first.push_back(static_cast<int>(scratch->block_planes.size()));
      }
      y0 = y1;
    }
  }

  // A block runs from row y0 over at most kRowBlock rows that use no footprint row that y0 does
  // not use: where the PSFs of the sources change (a new cell of the measured PSF grid) a new
  // block starts, so that no block sums footprint rows its rows do not use.
  int BlockEnd(const Scratch& scratch, int y0) const {
    const int groups = m_options.use_simpsons ? m_by : 1;
    const int last = std::min(y0 + kRowBlock, m_ky);
    for (int y = y0 + 1; y < last; ++y) {
      for (int g = 0; g < groups; ++g) {
        const int first0 = scratch.first[y0 * groups + g];
        const int end0 = scratch.first[y0 * groups + g + 1];
        for (int t = scratch.first[y * groups + g]; t < scratch.first[y * groups + g + 1]; ++t) {
          const double* plane = scratch.terms[t].row + (y - y0);
          int u = first0;
          while (u < end0 && scratch.terms[u].row != plane) ++u;
          if (u == end0) return y;
        }
      }
    }
    return last;
  }

  // Sums the rows y0 .. y1 - 1 of group g into the rows rows[y - y0], for receiver column
  // offset `offset` (in footprint rows); `ahead` is where the next receiving column's footprint
  // rows lie from these, to be fetched ahead, or 0.
  void SumBlock(const Scratch& scratch, size_t block, int g, int y0, int y1, ptrdiff_t offset,
                ptrdiff_t ahead, double* const* rows) const {
    const int groups = m_options.use_simpsons ? m_by : 1;
    const size_t b = block * groups + g;
    if (scratch.block_skewed[b]) {
      const int first = scratch.block_first[b];
      TALVEN_SumSkewedBlock(scratch.block_planes.data() + first,
                            scratch.block_weights.data() + static_cast<size_t>(first) * kRowBlock,
                            scratch.block_first[b + 1] - first, offset + (m_ky - 1 - y0), ahead,
                            m_ky, y1 - y0, rows);
      return;
    }
    for (int r0 = 0; r0 < m_ky; r0 += kReceiverBlock) {
      const int n = std::min(kReceiverBlock, m_ky - r0);
      for (int y = y0; y < y1; ++y) {
        SumGroup(scratch, y * groups + g, offset + r0, n, rows[y - y0] + r0);
      }
    }
  }

  // The terms of the lower edge sources of L1C column `column`, pointing at the band rows of
  // receiver column column - HalfWidth().
  void CollectLowerEdgeTerms(int column, Scratch* scratch) const {
    for (int i = 0; i < m_bx; ++i) {
      for (int kk = 1; kk <= std::min(m_rows_below, m_ofsy); ++kk) {
        // Every look-up of this column succeeded in FindFailingLowerEdgeColumn.
        if (!m_table.GetInterpolationCoefficientsForNewPSFCentre(LowerEdgeSource(column, i, -kk),
                                                                 &scratch->coeffs)) {
          continue;
        }
        const double* w = scratch->coeffs.Coefficients();
        const int* psf = scratch->coeffs.Indices();
        for (int j = 0; j < scratch->coeffs.Count(); ++j) {
          scratch->edge_terms.push_back({m_edge_planes[psf[j]].Row(i, kk), w[j] * m_scale});
        }
      }
    }
  }

  void SumGroup(const Scratch& scratch, int group, ptrdiff_t offset, int n, double* dst) const {
    const int first = scratch.first[group];
    TALVEN_SumWeightedRows(scratch.terms.data() + first, scratch.first[group + 1] - first, offset,
                           n, false, dst);
  }

  // The matrix columns of L1C pixels (column, 0 .. Ky - 1) are this call's alone; every element
  // of them is stored once, already scaled, one receiving L1C column at a time, so that the
  // footprint rows of that column distance stay in cache for all sources.
  void ProcessL1CColumn(int column, Scratch* scratch) {
    const ptrdiff_t base = static_cast<ptrdiff_t>(column) * m_ky;
    PrefaultColumns(base, base + m_ky);
    CollectSourceTerms(column, scratch);
    CollectBlocks(scratch);
    scratch->edge_terms.clear();
    if (LowerEdgeAddsLight() && column < m_failed_column) CollectLowerEdgeTerms(column, scratch);
    // Every table has the same layout; with no measured PSF there are no terms.
    const bool lower_edge = !scratch->edge_terms.empty();
    const int half = lower_edge ? m_edge_planes[0].HalfWidth() : 0;
    const ptrdiff_t stride = m_footprints.empty() ? 0 : m_footprints[0].RowStride();
    for (int rx = 0; rx < m_kx; ++rx) {
      const ptrdiff_t offset = rx * stride;
      const ptrdiff_t ahead = m_fetch_ahead && rx + 1 < m_kx ? stride : 0;
      const ptrdiff_t receivers = static_cast<ptrdiff_t>(rx) * m_ky;
      for (size_t block = 0; block + 1 < scratch->block_start.size(); ++block) {
        const int y0 = scratch->block_start[block];
        const int y1 = scratch->block_start[block + 1];
        if (!m_options.use_simpsons) {
          double* rows[kRowBlock];
          for (int y = y0; y < y1; ++y) rows[y - y0] = Column(base + y) + receivers;
          SumBlock(*scratch, block, 0, y0, y1, offset, ahead, rows);
          continue;
        }
        for (int b = 0; b < m_by; ++b) {
          SumBlock(*scratch, block, b, y0, y1, offset, ahead,
                   scratch->ring_rows.data() + static_cast<size_t>(b) * m_ky + y0);
        }
        // The matrix columns whose three source rows are all summed now.
        for (int row = std::max(y0 - 1, 0); row < (y1 == m_ky ? m_ky : y1 - 1); ++row) {
          CombineRows(*scratch, row, Column(base + row) + receivers);
        }
      }
      if (lower_edge && rx >= column - half && rx <= column + half) {
        const TALVEN_PSF_LowerEdgePlanes& planes = m_edge_planes[0];
        TALVEN_SumWeightedRows(scratch->edge_terms.data(),
                               static_cast<int>(scratch->edge_terms.size()),
                               (rx - column + half) * planes.RowStride(), planes.NumRows(), true,
                               Column(base) + receivers);
      }
    }
  }

  void CombineRows(const Scratch& scratch, int row, double* dst) const {
    const int first = scratch.combine_first[row];
    TALVEN_CombineRows(scratch.combine.data() + first, scratch.combine_first[row + 1] - first, m_ky,
                       dst);
  }

  const TALVEN_InfieldOptions m_options;
  const int m_ofsx, m_ofsy;
  const bool m_lower_edge;
  // The lower edge option rows below, of which a negative count means none.
  const int m_rows_below;
  // Whether this processor sums skewed blocks and every table holds finite values.
  bool m_skewed_blocks = false;
  // Whether the tables outgrow the last level cache, so that the footprint rows of the next
  // receiving column are fetched ahead.
  bool m_fetch_ahead = false;
  int m_failed_column;
  std::atomic<bool> m_lookup_failed{false};
  // The quadratic scheme's weights for detector row b of an L1C pixel.
  std::vector<TALVEN_QuadraticWeights> m_weights;
  std::vector<TALVEN_PSF_FootprintPlanes> m_footprints;
  std::vector<TALVEN_PSF_LowerEdgePlanes> m_edge_planes;
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
