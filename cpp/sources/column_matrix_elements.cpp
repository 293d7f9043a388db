// One source detector pixel spread over the science window: the midpoint scheme adds its light to
// its own L1C column, the quadratic (Simpson) scheme over the columns of the L1C pixel and its two
// neighbours along y.
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/log_sources.h"
#include "cpp/sources/make_psfmatrix.h"
#include "cpp/sources/quadratic_weights.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_GeneratorSource;

namespace {

// Evaluates the PSF centred on `source` at every science pixel of the L1C area and hands the value
// and the receiving flat index to `add`. Counts the science pixels outside the L1C area in numbad.
// A failed coefficient look-up is logged, adds nothing and gives false.
template <typename AddFn>
bool SpreadSourceOverScienceWindow(const TALVEN_PSF_Table& table, const WindowMapping& science,
                                   const zv2dArray<int>& detector_to_l1c, const Coords& source,
                                   AddFn add, int* numbad) {
  *numbad = 0;
  TALVEN_PSF_InterpolationCoeffs coeffs;
  if (!table.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
    TALVEN_LogColumnLookUpFailure(source);
    return false;
  }
  for (int i = 0; i < science.Numx(); ++i) {
    for (int j = 0; j < science.Numy(); ++j) {
      const int r = detector_to_l1c.At(j, i);
      if (r < 0) {
        ++*numbad;
        continue;
      }
      add(r, coeffs.PSF(
                 Coords(j + science.Ofsy(), i + science.Ofsx(), WindowMappingType::WINDOW_DETECTOR),
                 source));
    }
  }
  return true;
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
  int numbad = 0;
  const bool ok = SpreadSourceOverScienceWindow(
      m_psftable, m_hierarchy.m_science, m_detector_to_l1c, source,
      [matrix, column](int r, double p) { matrix->at(r, column) += p; }, &numbad);
  WarnBadElements(numbad);
  return ok;
}

bool TALVEN_DeconvolutionMatrixGenerator::GenerateSimpsonColumnMatrixElements(
    int column_prev, int column_mid, int column_next, double c, double f, const Coords& source,
    zv2dArray<double>* matrix) {
  const TALVEN_QuadraticWeights w(c, f);
  int numbad = 0;
  const bool ok = SpreadSourceOverScienceWindow(
      m_psftable, m_hierarchy.m_science, m_detector_to_l1c, source,
      [&](int r, double p) {
        matrix->at(r, column_prev) += w.prev * p;
        matrix->at(r, column_mid) += w.mid * p;
        matrix->at(r, column_next) += w.next * p;
      },
      &numbad);
  WarnBadElements(numbad);
  return ok;
}
