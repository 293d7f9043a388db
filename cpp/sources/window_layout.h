// The 22 windowing parameters of a request, by name, with the sizes derived from them. The order
// of the fields is the order of the parameters in every argument list, FULLCONVx first, Ky last.
// Products are formed in 64 bits, so that a layout whose sizes overflow a 32-bit int still
// compares and reports truthfully; the request checks refuse such layouts before a build.
#pragma once

#include <cstdint>

struct TALVEN_WindowLayout {
  static constexpr int kNumParameters = 22;

  int FULLCONVx = 0, FULLCONVy = 0, NOFSx = 0, NOFSy = 0, NOOFx = 0, NOOFy = 0;
  int DOFSx = 0, DOFSy = 0, Dx = 0, Dy = 0, SOFSx = 0, SOFSy = 0, Sx = 0, Sy = 0;
  int LBINx = 1, LBINy = 1, Lx = 0, Ly = 0, KBINx = 1, KBINy = 1, Kx = 0, Ky = 0;

  // specs holds kNumParameters values in the order of the fields.
  static TALVEN_WindowLayout FromSpecs(const int* specs) {
    return {specs[0],  specs[1],  specs[2],  specs[3],  specs[4],  specs[5],  specs[6],  specs[7],
            specs[8],  specs[9],  specs[10], specs[11], specs[12], specs[13], specs[14], specs[15],
            specs[16], specs[17], specs[18], specs[19], specs[20], specs[21]};
  }

  // KK: the number of L1C pixels, the side of every output matrix.
  int64_t KK() const { return static_cast<int64_t>(Kx) * Ky; }
  // Detector pixels per L1C pixel along x and y.
  int64_t Binx() const { return static_cast<int64_t>(LBINx) * KBINx; }
  int64_t Biny() const { return static_cast<int64_t>(LBINy) * KBINy; }
  // The science window that the L1B pixels cover, and the L1B window that the L1C pixels cover.
  int64_t L1bCoverX() const { return static_cast<int64_t>(LBINx) * Lx; }
  int64_t L1bCoverY() const { return static_cast<int64_t>(LBINy) * Ly; }
  int64_t L1cCoverX() const { return static_cast<int64_t>(KBINx) * Kx; }
  int64_t L1cCoverY() const { return static_cast<int64_t>(KBINy) * Ky; }
  // The offset of the science window in the NOOF window.
  int64_t ScienceInNoofX() const { return static_cast<int64_t>(DOFSx) + SOFSx; }
  int64_t ScienceInNoofY() const { return static_cast<int64_t>(DOFSy) + SOFSy; }
};
