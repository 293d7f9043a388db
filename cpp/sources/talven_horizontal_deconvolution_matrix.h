// Horizontal stray light matrix: light from the NOOF pixels left and right of the science window,
// booked against the L1C pixel at the window's left or right edge of the source's row. The build
// itself is a member of TALVEN_DeconvolutionMatrixGenerator (build_horizontal_stray_light).
#pragma once

#include "cpp/sources/make_psfmatrix.h"

// The L1C pixels that the light of one side of a science row is booked against, with the fraction
// each receives. Every row books all of a side's light against its one edge pixel.
struct TALVEN_HorizontalStrayLightTargets {
  static constexpr int kMaxTargets = 1;
  int targets[kMaxTargets] = {-9999};
  double fractions[kMaxTargets] = {1.0};
  int numtargets = 1;
};
