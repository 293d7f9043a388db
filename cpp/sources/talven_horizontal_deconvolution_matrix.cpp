// The horizontal stray light matrix. Sources are NOOF pixels left of the science window's first
// column and right of its last, in the rows the window covers; receivers are science pixels. Both
// are sampled on grids with caller-given steps, and each sample stands for the block of pixels
// around it, which the weight delta_sx * delta_sy * delta_nx * delta_ny accounts for.
#include "cpp/sources/talven_horizontal_deconvolution_matrix.h"

#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdint>

#include "cpp/sources/generator_messages.h"
#include "cpp/sources/log_sources.h"
#include "cpp/sources/request_checks.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_HorizontalSource;

namespace {

// The L1C flat index of the L1C pixel that holds science pixel (x, y), or false.
bool SciencePixelToL1cIndex(const WindowMappingHierarchy& hierarchy, const L1cFlatIndexer& indexer,
                            int x, int y, int* index) {
  Coords detector(WindowMappingType::WINDOW_DETECTOR);
  return hierarchy.m_science.ToParentWindow(Coords(y, x, WindowMappingType::WINDOW_SCIENCE),
                                            &detector, true) &&
         indexer.FlatIndexFromDetectorPixel(detector, index, true);
}

}  // namespace

bool TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light(
    zv2dArray<double>* output, const zv2dArray<double>& vignetting, int delta_ny, int delta_nx,
    int delta_sy, int delta_sx) {
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light. Building "
                    "convolution matrix for horizontal extrapolation.");
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "Noof region coordinate step sizes    (Ny,Nx) = (%d, %d)", delta_ny, delta_nx);
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "Science window coordinate step sizes (Sy,Sx) = (%d, %d)", delta_sy, delta_sx);
  const TALVEN_SamplingSteps steps{delta_ny, delta_nx, delta_sy, delta_sx};
  if (!CheckHorizontalBuild(output, steps)) return false;
  const double* factors = UsesVignetting(vignetting) ? vignetting.ArrayBasePtr() : nullptr;
  // The checks above are those the fast engine relies on.
  if (UsesFastEngine(WindowMappingType::WINDOW_NOOF)) {
    return BuildHorizontalFast(output, factors, delta_ny, delta_nx, delta_sy, delta_sx);
  }
  if (!CheckWholeMatrix(output, TALVEN_BuiltMatrix::kHorizontal)) return false;
  return BuildHorizontalReference(output, factors, steps);
}

Coords TALVEN_DeconvolutionMatrixGenerator::ScienceOriginInNoof(int science_row) const {
  const WindowMapping science_to_noof =
      m_hierarchy.CreateMappingToUpperLevel(m_hierarchy.m_science, m_hierarchy.m_noof);
  Coords origin(WindowMappingType::WINDOW_NOOF);
  science_to_noof.ToParentWindow(Coords(science_row, 0, WindowMappingType::WINDOW_SCIENCE), &origin,
                                 false);
  return origin;
}

bool TALVEN_DeconvolutionMatrixGenerator::CheckHorizontalBuild(
    zv2dArray<double>* output, const TALVEN_SamplingSteps& steps) const {
  const WindowMapping& noof = m_hierarchy.m_noof;
  const WindowMapping& science = m_hierarchy.m_science;
  const Coords origin = ScienceOriginInNoof(0);
  // A step below 1 would never advance a sampling loop, and a science row outside the NOOF window
  // has no vignetting row: refuse both.
  bool ok = CheckBuildPreconditions(output, TALVEN_BuiltMatrix::kHorizontal);
  if (!TALVEN_StepsUsable(steps.nx, steps.ny, steps.sx, steps.sy)) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, The "
                      "sampling steps (Ny,Nx,Sy,Sx) = (%d, %d, %d, %d) must all be at least 1",
                      steps.ny, steps.nx, steps.sy, steps.sx);
    ok = false;
  }
  if (m_psftable.WindowType() != WindowMappingType::WINDOW_NOOF) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, The PSF "
                      "table must cover the NOOF window");
    ok = false;
  }
  if (origin.x < 0 || origin.y < 0 || origin.x + science.Numx() > noof.Numx() ||
      origin.y + science.Numy() > noof.Numy()) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, The "
                      "science window (%d,%d) at NOOF pixel (%d,%d) does not lie inside the NOOF "
                      "window (%d,%d)",
                      science.Numy(), science.Numx(), origin.y, origin.x, noof.Numy(), noof.Numx());
    ok = false;
  }
  if (!ok && output != nullptr) output->SetTo(0.0);
  return ok;
}

bool TALVEN_DeconvolutionMatrixGenerator::UsesVignetting(
    const zv2dArray<double>& vignetting) const {
  const WindowMapping& noof = m_hierarchy.m_noof;
  const int vx = static_cast<int>(vignetting.XSize());
  const int vy = static_cast<int>(vignetting.YSize());
  if (vx == noof.Numx() && vy == noof.Numy()) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "The user supplied, ROW major, vignetting array (%d,%d) willbe used for "
                      "vignetting",
                      vx, vy);
    return true;
  }
  if (vx == 0 && vy == 0) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "No user defined vignetting array supplied. A value of 1.0 will be used");
  } else {
    zvLogBase::Record(
        zvlog_warning, kSourcePath, __LINE__,
        "The user defined vignetting array was the wrong size. Expected an (x,y) size "
        "of (%d,%d) but got (%d,%d). A value of 1.0 will be used",
        noof.Numx(), noof.Numy(), vx, vy);
  }
  return false;
}

bool TALVEN_DeconvolutionMatrixGenerator::BuildHorizontalReference(
    zv2dArray<double>* output, const double* vignetting, const TALVEN_SamplingSteps& steps) {
  const int numrows = m_hierarchy.m_science.Numy();
  MatrixList thread_matrices;
  std::atomic<bool> result(true);  // workers only ever clear it
#pragma omp parallel
  {
    zv2dArray<double>* mine = nullptr;
    // The loops run in 64 bits: a step past the last row or source must not wrap.
#pragma omp for schedule(dynamic, 1)
    for (int64_t row = steps.ny / 2; row < numrows; row += steps.ny) {
      const int y = static_cast<int>(row);
      if (m_diagnostic) {
        TALVEN_LogHorizontalRowProgress(y, numrows);
      }
      const bool allocated = CheckThreadSpecificAllocation(&mine, thread_matrices);
      if (!AddHorizontalRow(y, allocated, vignetting, steps, mine)) {
        result.store(false, std::memory_order_relaxed);
      }
    }
  }
  return MergeThreadMatrices(output, &thread_matrices, result.load(),
                             TALVEN_BuiltMatrix::kHorizontal);
}

bool TALVEN_DeconvolutionMatrixGenerator::AddHorizontalRow(int y, bool allocated,
                                                           const double* vignetting,
                                                           const TALVEN_SamplingSteps& steps,
                                                           zv2dArray<double>* matrix) const {
  const int lastcolumn = m_hierarchy.m_science.Numx() - 1;
  TALVEN_HorizontalStrayLightTargets left;
  TALVEN_HorizontalStrayLightTargets right;
  if (!SciencePixelToL1cIndex(m_hierarchy, m_l1cindexer, 0, y, &left.targets[0]) ||
      !SciencePixelToL1cIndex(m_hierarchy, m_l1cindexer, lastcolumn, y, &right.targets[0])) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, "
                      "Science row [%d] has no L1C pixel at its left or right edge",
                      y);
    return false;
  }
  if (!allocated) return false;
  const int noofx = m_hierarchy.m_noof.Numx();
  const Coords origin = ScienceOriginInNoof(y);
  const int yn = origin.y;
  const double* vignettingrow =
      vignetting != nullptr ? vignetting + static_cast<size_t>(yn) * noofx : nullptr;
  const int num_vignetting = vignetting != nullptr ? noofx : 0;
  const double sourcearea = static_cast<double>(steps.nx) * steps.ny;
  // A source whose PSF cannot be looked up fails the matrix; the other sources are still looked
  // up, so that each failure is logged.
  bool lookups_ok = true;
  auto add = [&](int64_t x, const TALVEN_HorizontalStrayLightTargets& side) {
    lookups_ok = ProcessHorizontalStrayLightFromPixel(
                     yn, static_cast<int>(x), steps.sy, steps.sx, sourcearea, side.targets,
                     side.fractions, side.numtargets, vignettingrow, num_vignetting, matrix) &&
                 lookups_ok;
  };
  for (int64_t x = int64_t{origin.x} - 1 - steps.nx / 2; x >= 0; x -= steps.nx) add(x, left);
  const int64_t x1 = int64_t{origin.x} + lastcolumn + 1;
  for (int64_t x = x1 + steps.nx / 2; x < noofx; x += steps.nx) add(x, right);
  return lookups_ok;
}

bool TALVEN_DeconvolutionMatrixGenerator::ProcessHorizontalStrayLightFromPixel(
    int source_y, int source_x, int delta_sy, int delta_sx, double sourcearea, const int* targets,
    const double* fractions, int numtargets, const double* vignettingrow, int num_vignetting,
    zv2dArray<double>* matrix) const {
  const Coords source(source_y, source_x, WindowMappingType::WINDOW_NOOF);
  double weight = static_cast<double>(delta_sx) * delta_sy * sourcearea;
  if (vignettingrow != nullptr) {
    assert(source_x >= 0 && source_x < num_vignetting);
    static_cast<void>(num_vignetting);  // only the assertion reads it
    weight *= vignettingrow[source_x];
  }
  if (!std::isfinite(weight) || weight == 0.0) return true;

  TALVEN_PSF_InterpolationCoeffs coeffs;
  if (!m_psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) return false;

  const WindowMapping& science = m_hierarchy.m_science;
  const WindowMapping science_to_noof =
      m_hierarchy.CreateMappingToUpperLevel(science, m_hierarchy.m_noof);
  for (int64_t sx = delta_sx / 2; sx < science.Numx(); sx += delta_sx) {
    for (int64_t sy = delta_sy / 2; sy < science.Numy(); sy += delta_sy) {
      Coords receiver(WindowMappingType::WINDOW_NOOF);
      Coords detector(WindowMappingType::WINDOW_DETECTOR);
      int r = -1;
      science_to_noof.ToParentWindow(
          Coords(static_cast<int>(sy), static_cast<int>(sx), WindowMappingType::WINDOW_SCIENCE),
          &receiver, false);
      m_hierarchy.m_detector.FromParentWindow(receiver, &detector, false);
      if (!m_l1cindexer.FlatIndexFromDetectorPixel(detector, &r, true)) continue;
      const double v = coeffs.PSF(receiver, source) * weight;
      for (int k = 0; k < numtargets; ++k) matrix->at(r, targets[k]) += fractions[k] * v;
    }
  }
  return true;
}
