// Lower edge correction. The scene also lights the detector rows just below the bottom edge of the
// L1C area; their light reaches the bottom science rows but belongs to no L1C pixel. Assuming the
// radiance below the edge equals that of the bottom L1C pixel of the same column, their light is
// booked in that pixel's matrix column, for receivers in a band of rows just above the edge.
#include <algorithm>
#include <cstdint>

#include "cpp/sources/generator_messages.h"
#include "cpp/sources/make_psfmatrix.h"

bool TALVEN_DeconvolutionMatrixGenerator::AddBottomEdgeSourcePixelAdjustment(
    int column, zv2dArray<double>* matrix) {
  Coords edge(WindowMappingType::WINDOW_DETECTOR);
  m_l1c_to_detector.ToParentWindow(Coords(0, column, WindowMappingType::WINDOW_L1C), &edge, false);
  bool ok = true;
  // A negative count means no rows (and negating INT_MIN would overflow).
  const int rows_below = std::max(m_lower_edge_rows_below, 0);
  for (int i = 0; i < m_l1c_to_detector.Binx(); ++i) {
    for (int k = -rows_below; k < 0; ++k) {
      const Coords source(edge.y + k, edge.x + i, WindowMappingType::WINDOW_DETECTOR);
      ok = GenerateColumnMatrixForBottomEdgeDetectorPixel(column, source, matrix) && ok;
    }
  }
  if (!ok) {
    TALVEN_LogBottomEdgeColumnFailure(column);
  }
  return ok;
}

// The receiving band is A columns left of the source, the source column and A - 1 columns right of
// it, in the bottom A science rows (A = lower edge rows above). No quadratic weighting here.
bool TALVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixForBottomEdgeDetectorPixel(
    int column, const Coords& source, zv2dArray<double>* matrix) {
  const int t = m_l1cindexer.FlatIndex(Coords(0, column, WindowMappingType::WINDOW_L1C));
  const WindowMapping& science = m_hierarchy.m_science;
  const int a = m_lower_edge_rows_above;
  const int s = source.x - science.Ofsx();
  // In 64 bits: the half-width is the caller's option, unchecked.
  const int first_column = static_cast<int>(std::max<int64_t>(int64_t{s} - a, 0));
  const int end_column = static_cast<int>(std::min<int64_t>(int64_t{s} + a, science.Numx()));
  const int end_row = std::min(a, science.Numy());

  TALVEN_PSF_InterpolationCoeffs coeffs;
  if (!m_psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
    TALVEN_LogBottomEdgeLookUpFailure(source);
    return false;
  }
  for (int i = first_column; i < end_column; ++i) {
    for (int j = 0; j < end_row; ++j) {
      const int r = m_detector_to_l1c.At(j, i);
      if (r < 0) continue;
      matrix->at(r, t) += coeffs.PSF(
          Coords(j + science.Ofsy(), i + science.Ofsx(), WindowMappingType::WINDOW_DETECTOR),
          source);
    }
  }
  return true;
}
