// The quadratic ("Simpson") scheme's weights for one source detector row.
#pragma once

// c is the lower edge of the detector row relative to the centre of its L1C pixel and f the L1C
// pixel height, both in detector rows. The weights are those of the quadratic through the L1C
// pixel and its two neighbours along y, averaged over the row [c, c + 1]; they add up to 1.
struct TALVEN_QuadraticWeights {
  double prev, mid, next;

  TALVEN_QuadraticWeights(double c, double f) {
    const double d = c * c + c + 1.0 / 3.0;  // mean of u^2 over the row
    const double m = c + 0.5;                // mean of u over the row
    prev = (d / f - m) * (0.5 / f);
    mid = 1.0 - d / (f * f);
    next = (d / f + m) * (0.5 / f);
  }
};
