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

  const WindowMapping& noof = m_hierarchy.m_noof;
  const WindowMapping& science = m_hierarchy.m_science;
  const WindowMapping science_to_noof = m_hierarchy.CreateMappingToUpperLevel(science, noof);
  Coords origin(WindowMappingType::WINDOW_NOOF);
  science_to_noof.ToParentWindow(Coords(0, 0, WindowMappingType::WINDOW_SCIENCE), &origin, false);

  // A step below 1 would never advance a sampling loop, and a science row outside the NOOF window
  // has no vignetting row: refuse both.
  bool ok = CheckBuildPreconditions(output, kSourcePath, "build_horizontal_stray_light");
  if (!TALVEN_StepsUsable(delta_nx, delta_ny, delta_sx, delta_sy)) {
    zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                      "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, The "
                      "sampling steps (Ny,Nx,Sy,Sx) = (%d, %d, %d, %d) must all be at least 1",
                      delta_ny, delta_nx, delta_sy, delta_sx);
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
  if (!ok) {
    if (output != nullptr) output->SetTo(0.0);
    return false;
  }

  const int vx = static_cast<int>(vignetting.XSize());
  const int vy = static_cast<int>(vignetting.YSize());
  const bool use_vignetting = vx == noof.Numx() && vy == noof.Numy();
  if (use_vignetting) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "The user supplied, ROW major, vignetting array (%d,%d) willbe used for "
                      "vignetting",
                      vx, vy);
  } else if (vx == 0 && vy == 0) {
    zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                      "No user defined vignetting array supplied. A value of 1.0 will be used");
  } else {
    zvLogBase::Record(
        zvlog_warning, kSourcePath, __LINE__,
        "The user defined vignetting array was the wrong size. Expected an (x,y) size "
        "of (%d,%d) but got (%d,%d). A value of 1.0 will be used",
        noof.Numx(), noof.Numy(), vx, vy);
  }

  // The checks above are those the fast engine relies on.
  if (UsesFastEngine(WindowMappingType::WINDOW_NOOF)) {
    return BuildHorizontalFast(output, use_vignetting ? vignetting.ArrayBasePtr() : nullptr,
                               delta_ny, delta_nx, delta_sy, delta_sx);
  }
  if (!CheckWholeMatrix(output, kSourcePath, "build_horizontal_stray_light")) return false;

  const int x0 = origin.x;
  const int x1 = origin.x + science.Numx();
  const int numrows = science.Numy();
  const int lastcolumn = science.Numx() - 1;
  const double sourcearea = static_cast<double>(delta_nx) * delta_ny;
  MatrixList thread_matrices;
  std::atomic<bool> result(true);  // workers only ever clear it
#pragma omp parallel
  {
    zv2dArray<double>* mine = nullptr;
    // The loops run in 64 bits: a step past the last row or source must not wrap.
#pragma omp for schedule(dynamic, 1)
    for (int64_t row = delta_ny / 2; row < numrows; row += delta_ny) {
      const int y = static_cast<int>(row);
      TALVEN_HorizontalStrayLightTargets left;
      TALVEN_HorizontalStrayLightTargets right;
      if (m_diagnostic) {
        TALVEN_LogHorizontalRowProgress(y, numrows);
      }
      bool rowok = CheckThreadSpecificAllocation(&mine, thread_matrices);
      if (!SciencePixelToL1cIndex(m_hierarchy, m_l1cindexer, 0, y, &left.targets[0]) ||
          !SciencePixelToL1cIndex(m_hierarchy, m_l1cindexer, lastcolumn, y, &right.targets[0])) {
        zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                          "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, "
                          "Science row [%d] has no L1C pixel at its left or right edge",
                          y);
        rowok = false;
      }
      Coords row_origin(WindowMappingType::WINDOW_NOOF);
      science_to_noof.ToParentWindow(Coords(y, 0, WindowMappingType::WINDOW_SCIENCE), &row_origin,
                                     false);
      const int yn = row_origin.y;
      const double* vignettingrow =
          use_vignetting ? vignetting.ArrayBasePtr() + static_cast<size_t>(yn) * vx : nullptr;
      const int num_vignetting = use_vignetting ? vx : 0;
      // A source whose PSF cannot be looked up fails the matrix; the other sources are still
      // looked up, so that each failure is logged.
      bool lookups_ok = true;
      for (int64_t x = int64_t{x0} - 1 - delta_nx / 2; rowok && x >= 0; x -= delta_nx) {
        lookups_ok = ProcessHorizontalStrayLightFromPixel(
                         yn, static_cast<int>(x), delta_sy, delta_sx, sourcearea, left.targets,
                         left.fractions, left.numtargets, vignettingrow, num_vignetting, mine) &&
                     lookups_ok;
      }
      for (int64_t x = int64_t{x1} + delta_nx / 2; rowok && x < noof.Numx(); x += delta_nx) {
        lookups_ok = ProcessHorizontalStrayLightFromPixel(
                         yn, static_cast<int>(x), delta_sy, delta_sx, sourcearea, right.targets,
                         right.fractions, right.numtargets, vignettingrow, num_vignetting, mine) &&
                     lookups_ok;
      }
      if (!rowok || !lookups_ok) result.store(false, std::memory_order_relaxed);
    }
  }
  return MergeThreadMatrices(output, &thread_matrices, result.load(), kSourcePath);
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
