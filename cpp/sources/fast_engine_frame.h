// What the two fast matrix engines share: the caller's N x N matrix seen as N columns of N doubles
// (receiver fastest), the L1C grid over the science window, the measured PSFs tabulated over
// whole-pixel displacements, and the way a build fails.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "cpp/sources/psfplanes.h"

class WindowMappingHierarchy;
class TALVEN_PSF_Table;

class TALVEN_FastEngineFrame {
 protected:
  // `method` names the generator method in the engine's own messages, which are recorded against
  // `source_path`, the generator's file whose messages the engine writes.
  TALVEN_FastEngineFrame(const WindowMappingHierarchy& h, const TALVEN_PSF_Table& table,
                         double* output, const char* method, const char* source_path);

  double* Column(ptrdiff_t c) const { return m_output + c * m_n; }
  // Faults in the pages of matrix columns [c0, c1) with one system call, which costs far less
  // than taking the faults one store at a time when the caller's output is fresh memory; a worker
  // calls it for the columns it is about to fill, so that the pages are first touched in parallel.
  // Does nothing where the system lacks the call or where the range's first page is resident.
  void PrefaultColumns(ptrdiff_t c0, ptrdiff_t c1) const;
  // Zero-fills the output in parallel, faulting in kPrefaultColumns columns at a time.
  void FillOutput();
  static constexpr ptrdiff_t kPrefaultColumns = 64;
  // Divides one column by the number of detector pixels in an L1C pixel.
  void ScaleColumn(ptrdiff_t c);

  // Tabulates every measured PSF over dx in [dx0, dx1] and dy in [dy0, dy1] into m_values, one
  // PSF per work item, then calls then(m) in the same worker. False, logged, when storage for
  // the tables cannot be had.
  bool BuildPlanes(int dx0, int dx1, int dy0, int dy1, const std::function<void(int)>& then);
  bool ReportAllocationFailure() const;
  // Zero-fills the output and logs that the matrix is returned empty; returns false.
  bool Fail();

  const TALVEN_PSF_Table& m_table;
  double* const m_output;
  const char* const m_method;
  const char* const m_source_path;
  const int m_bx, m_by, m_kx, m_ky;
  const ptrdiff_t m_n;
  const int m_sx, m_sy;
  std::vector<TALVEN_PSF_DisplacementPlane> m_values;
};
