// What the two fast matrix engines share: the caller's matrix seen as columns of N doubles
// (receiver fastest), one per source L1C pixel of the call's block, the L1C grid over the science
// window, the measured PSFs tabulated over whole-pixel displacements, the caller's control words,
// and the way a build fails or stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psfplanes.h"
#include "cpp/sources/thread_limit.h"

class WindowMappingHierarchy;
class TALVEN_PSF_Table;
class TALVEN_PSF_InterpolationCoeffs;

class TALVEN_FastEngineFrame {
 public:
  // Runs build and turns any exception it lets out (storage that cannot be had, a size beyond
  // what a container holds) into a logged failure: nothing is thrown across the library's
  // interfaces.
  bool Guarded(const std::function<bool()>& build);

 protected:
  // The engine's own messages are those of the generator method that builds `matrix`. `output`
  // holds the matrix columns of the sources in scope's block.
  TALVEN_FastEngineFrame(const WindowMappingHierarchy& h, const TALVEN_PSF_Table& table,
                         double* output, const TALVEN_BuildScope& scope, TALVEN_BuiltMatrix matrix);

  // The matrix column of source L1C pixel c, which must lie in the block.
  double* Column(ptrdiff_t c) const { return m_output + (c - m_first_source) * m_n; }
  bool HoldsSource(ptrdiff_t c) const {
    return c >= m_first_source && c < m_first_source + m_num_sources;
  }
  // Faults in the pages of matrix columns [c0, c1) with one system call, which costs far less
  // than taking the faults one store at a time when the caller's output is fresh memory; a worker
  // calls it for the columns it is about to fill, so that the pages are first touched in parallel.
  // Does nothing where the system lacks the call or where the range's first page is resident.
  void PrefaultColumns(ptrdiff_t c0, ptrdiff_t c1) const;
  // Sets the output to 0.0 (TALVEN_ZeroFill: fresh or shared pages are only read where they
  // hold zeros already).
  void FillOutput();
  // The same for the block's matrix columns of sources c0 .. c1 - 1.
  void FillColumns(ptrdiff_t c0, ptrdiff_t c1);
  // Divides one column by the number of detector pixels in an L1C pixel.
  void ScaleColumn(ptrdiff_t c);

  // Tabulates every measured PSF over dx in [dx0, dx1] and dy in [dy0, dy1] into m_planes, one
  // PSF per work item, then calls then(m) in the same worker. False, logged, when storage for
  // the tables cannot be had (then throws nothing).
  bool BuildPlanes(int dx0, int dx1, int dy0, int dy1, const std::function<void(int)>& then);
  bool ReportAllocationFailure() const;
  // Whether found(i, coeffs) is false for any item i in [0, count): it looks up the sources of
  // item i and says whether every look-up succeeded. Runs on every thread with the log muted, for
  // the look-ups of a request outside the block, whose lines belong to the block that holds them.
  bool SilentLookUpsFail(
      ptrdiff_t count,
      const std::function<bool(ptrdiff_t, TALVEN_PSF_InterpolationCoeffs*)>& found) const;
  // Zero-fills the output and logs that the matrix is returned empty; returns false.
  bool Fail();
  // The same for a failure of the whole request, which every block meets: only the block that
  // logs the request's lines says so.
  bool FailRequest();
  // Whether the caller asked the build to stop; if so, zero-fills the output and logs that.
  bool Cancelled();

  const TALVEN_PSF_Table& m_table;
  double* const m_output;
  const TALVEN_BuildScope m_scope;
  const TALVEN_BuiltMatrix m_matrix;
  const int m_bx, m_by, m_kx, m_ky;
  const ptrdiff_t m_n;
  // One over the number of detector pixels in an L1C pixel.
  const double m_scale;
  // L1C x-columns [m_c0, m_c1) of the sources in the block, and their flat L1C indices.
  const int m_c0, m_c1;
  const ptrdiff_t m_first_source, m_num_sources;
  const int m_sx, m_sy;
  std::vector<TALVEN_PSF_DisplacementPlane> m_planes;
  const TALVEN_ThreadsForWork m_threads{Work()};

 private:
  // The elements of the build's work, from the members above.
  int64_t Work() const;
};
