// The checks that the matrix requests make beyond comparing the sizes of their arrays with the
// windows: a matrix, PSF count and scope that match the windows, no negative sizes, binnings of
// at least 1, sizes and products that fit a 32-bit int, windows that nest, usable sampling steps
// and enough detector rows for the lower edge correction. Every check logs its own error line
// naming the request and every check runs, even after one has failed.
//
// A layout that passed them comes back as a TALVEN_CheckedLayout; the builds that the entry
// points start rely on what it guarantees and only assert it.
#pragma once

#include <cstdint>
#include <optional>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/matrix_requests.h"
#include "cpp/sources/window_layout.h"

class TALVEN_CheckedLayout {
 public:
  const TALVEN_WindowLayout& Layout() const { return m_layout; }
  // Fits a 32-bit int once checked.
  int KK() const { return static_cast<int>(m_layout.KK()); }

 private:
  friend std::optional<TALVEN_CheckedLayout> TALVEN_CheckInfieldRequest(
      const char*, const TALVEN_RequestSettings&, int, const TALVEN_PsfInputs&,
      const TALVEN_WindowLayout&);
  friend std::optional<TALVEN_CheckedLayout> TALVEN_CheckHorizontalRequest(
      const char*, const TALVEN_RequestSettings&, const TALVEN_HorizontalInputs&,
      const TALVEN_PsfInputs&, const TALVEN_WindowLayout&);
  explicit TALVEN_CheckedLayout(const TALVEN_WindowLayout& layout) : m_layout(layout) {}

  TALVEN_WindowLayout m_layout;
};

// What a 64-bit value shows as in a "%d" message.
int TALVEN_Shown(int64_t value);
bool TALVEN_FitsInt32(int64_t value);

// The size comparisons that both requests make in their own order: M against numpsf, the
// science, L1B and L1C windows against their binned sizes, and KK against Kx * Ky.
bool TALVEN_CheckPsfCount(const char* request, int M, int numpsf);
bool TALVEN_CheckBinnedSizes(const char* request, const TALVEN_WindowLayout& w);
bool TALVEN_CheckMatrixSize(const char* request, int KK, const TALVEN_WindowLayout& w);

// The checks of an in-field request that follow its size comparisons: the PSF count and KK (which
// the Python layer also compares), then the project's own.
std::optional<TALVEN_CheckedLayout> TALVEN_CheckInfieldRequest(
    const char* request, const TALVEN_RequestSettings& settings, int KK,
    const TALVEN_PsfInputs& psfs, const TALVEN_WindowLayout& w);

// The project's own checks of a horizontal request, after its size comparisons.
std::optional<TALVEN_CheckedLayout> TALVEN_CheckHorizontalRequest(
    const char* request, const TALVEN_RequestSettings& settings,
    const TALVEN_HorizontalInputs& horizontal, const TALVEN_PsfInputs& psfs,
    const TALVEN_WindowLayout& w);

// Whether the science window lies inside the NOOF window at its offset DOFS + SOFS.
bool TALVEN_ScienceInsideNoof(const TALVEN_WindowLayout& w);
// Whether every sampling step advances its loop.
bool TALVEN_StepsUsable(int delta_nx, int delta_ny, int delta_sx, int delta_sy);
