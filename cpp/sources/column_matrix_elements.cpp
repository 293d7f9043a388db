// One source detector pixel spread over the science window: the midpoint scheme adds its light to
// its own L1C column, the quadratic (Simpson) scheme over the columns of the L1C pixel and its two
// neighbours along y.
#include "cpp/sources/make_psfmatrix.h"
#include "system/zvlog.h"

static const char* const kSourcePath = "cpp/sources/make_psfmatrix";

namespace {

// Evaluates the PSF centred on `source` at every science pixel of the L1C area and hands the value
// and the receiving flat index to `add`. Returns the number of science pixels outside the L1C area.
// A failed coefficient look-up is logged and adds nothing.
template <typename AddFn>
int SpreadSourceOverScienceWindow(const TALVEN_PSF_Table& table, const WindowMapping& science,
                                  const zv2dArray<int>& detector_to_l1c, const Coords& source,
                                  AddFn add) {
  TALVEN_PSF_InterpolationCoeffs coeffs;
  if (!table.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
    zvLogBase::Record(
        zvlog_error, kSourcePath, __LINE__,
        "TALVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, "
        "Inconsistency error looking up interpolated PSF table for raw detector pixel "
        "[%d,%d]",
        source.x, source.y);
    return 0;
  }
  int numbad = 0;
  for (int i = 0; i < science.Numx(); ++i) {
    for (int j = 0; j < science.Numy(); ++j) {
      const int r = detector_to_l1c.At(j, i);
      if (r < 0) {
        ++numbad;
        continue;
      }
      add(r, coeffs.PSF(
                 Coords(j + science.Ofsy(), i + science.Ofsx(), WindowMappingType::WINDOW_DETECTOR),
                 source));
    }
  }
  return numbad;
}

void WarnBadElements(int numbad) {
  if (numbad > 0) {
    zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, %d bad "
                      "elements detected. That should not happen. It should be zero",
                      numbad);
  }
}

}  // namespace

bool TALVEN_DeconvolutionMatrixGenerator::GenerateMidpointColumnMatrixElements(
    int column, const Coords& source, zv2dArray<double>* matrix) {
  const int numbad = SpreadSourceOverScienceWindow(
      m_psftable, m_hierarchy.m_science, m_detector_to_l1c, source,
      [matrix, column](int r, double p) { matrix->at(r, column) += p; });
  WarnBadElements(numbad);
  return true;
}

// c is the lower edge of the source detector row relative to the centre of its L1C pixel and f the
// L1C pixel height, both in detector rows. The weights are those of the quadratic through the
// three L1C pixels, averaged over the detector row [c, c + 1]; they add up to 1.
bool TALVEN_DeconvolutionMatrixGenerator::GenerateSimpsonColumnMatrixElements(
    int column_prev, int column_mid, int column_next, double c, double f, const Coords& source,
    zv2dArray<double>* matrix) {
  const double d = c * c + c + 1.0 / 3.0;  // mean of u^2 over the row
  const double m = c + 0.5;                // mean of u over the row
  const double w_prev = (d / f - m) * (0.5 / f);
  const double w_mid = 1.0 - d / (f * f);
  const double w_next = (d / f + m) * (0.5 / f);
  const int numbad = SpreadSourceOverScienceWindow(m_psftable, m_hierarchy.m_science,
                                                   m_detector_to_l1c, source, [&](int r, double p) {
                                                     matrix->at(r, column_prev) += w_prev * p;
                                                     matrix->at(r, column_mid) += w_mid * p;
                                                     matrix->at(r, column_next) += w_next * p;
                                                   });
  WarnBadElements(numbad);
  return true;
}
