// The in-field convolution matrix: every L1C pixel in turn is a source of light. L1C rows are
// handed to OpenMP workers one at a time (row 0 costs more with the lower edge correction); each
// worker adds into its own full-size matrix, so no element is shared while the workers run. The
// matrices are summed on the calling thread afterwards.
#include <atomic>

#include "cpp/sources/generator_messages.h"
#include "cpp/sources/log_sources.h"
#include "cpp/sources/make_psfmatrix.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_GeneratorSource;

bool TALVEN_DeconvolutionMatrixGenerator::build_transfer_function(zv2dArray<double>* output) {
  const WindowMapping& l1c = m_l1c_to_detector;
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator, Generating infield convolution matrix "
                    "using [%s] ",
                    m_use_simpsons ? "Quadratic Interpolation" : "Classic Algorithm");
  if (m_create_lower_edge_adjustment) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator, Generating lower edge correction with "
                      "[%d] detector rows above and [%d] detector rows below bottom edge.",
                      m_lower_edge_rows_above, m_lower_edge_rows_below);
  } else {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator, NOT generating lower edge correction");
  }
  zvLogBase::Record(
      zvlog_info, kSourcePath, __LINE__,
      "TALVEN_DeconvolutionMatrixGenerator, Generating convolution matrix for a (%d, "
      "%d) array of L1C pixels. Pixel binning is (%d,%d) and window offset is (%d,%d)",
      l1c.Numy(), l1c.Numx(), l1c.Biny(), l1c.Binx(), l1c.Ofsy(), l1c.Ofsx());
  if (!CheckBuildPreconditions(output, TALVEN_BuiltMatrix::kInfield)) return false;
  if (UsesFastEngine(WindowMappingType::WINDOW_DETECTOR)) return BuildInfieldFast(output);
  if (!CheckWholeMatrix(output, TALVEN_BuiltMatrix::kInfield)) return false;

  MatrixList thread_matrices;
  // Workers only ever clear the flag.
  std::atomic<bool> result(true);
  const int numrows = l1c.Numy();
  const int numcolumns = l1c.Numx();
#pragma omp parallel
  {
    zv2dArray<double>* mine = nullptr;
#pragma omp for schedule(dynamic, 1)
    for (int i = 0; i < numrows; ++i) {
      if (m_diagnostic) {
        TALVEN_LogInfieldRowProgress(i, numrows);
      }
      bool ok = CheckThreadSpecificAllocation(&mine, thread_matrices);
      // A failed look-up of a source pixel does not stop the row: the later pixels still log
      // theirs.
      bool lookups_ok = true;
      for (int j = 0; ok && j < numcolumns; ++j) {
        if (m_diagnostic && j == 0) {
          TALVEN_LogInfieldRowFirstPixel(i);
        }
        if (i == 0 && m_create_lower_edge_adjustment) {
          ok = AddBottomEdgeSourcePixelAdjustment(j, mine);
        }
        if (ok) lookups_ok = ProcessL1CPixelAsScatteringSource(i, j, mine) && lookups_ok;
      }
      if (!ok || !lookups_ok) result.store(false, std::memory_order_relaxed);
    }
  }
  return MergeThreadMatrices(output, &thread_matrices, result.load(), TALVEN_BuiltMatrix::kInfield);
}

bool TALVEN_DeconvolutionMatrixGenerator::ProcessL1CPixelAsScatteringSource(
    int row, int column, zv2dArray<double>* matrix) {
  const int numy = m_hierarchy.m_l1c.Numy();
  const int prev = row > 0 ? row - 1 : 0;
  const int next = row < numy - 1 ? row + 1 : numy - 1;
  const int c_prev = m_l1cindexer.FlatIndex(Coords(prev, column, WindowMappingType::WINDOW_L1C));
  const int c_mid = m_l1cindexer.FlatIndex(Coords(row, column, WindowMappingType::WINDOW_L1C));
  const int c_next = m_l1cindexer.FlatIndex(Coords(next, column, WindowMappingType::WINDOW_L1C));

  Coords corner(WindowMappingType::WINDOW_DETECTOR);
  m_l1c_to_detector.ToParentWindow(Coords(row, column, WindowMappingType::WINDOW_L1C), &corner,
                                   false);
  const int binx = m_l1c_to_detector.Binx();
  const int biny = m_l1c_to_detector.Biny();
  bool ok = true;
  for (int a = 0; a < binx; ++a) {
    for (int b = 0; b < biny; ++b) {
      const Coords source(corner.y + b, corner.x + a, WindowMappingType::WINDOW_DETECTOR);
      if (m_use_simpsons) {
        ok = GenerateSimpsonColumnMatrixElements(c_prev, c_mid, c_next, b - biny / 2.0,
                                                 static_cast<double>(biny), source, matrix) &&
             ok;
      } else {
        ok = GenerateMidpointColumnMatrixElements(c_mid, source, matrix) && ok;
      }
    }
  }
  return ok;
}
