#include "cpp/sources/fast_engine_frame.h"

#include <omp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>

#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/windowbinning.h"
#include "cpp/sources/zero_fill.h"
#include "system/zvlog.h"

TALVEN_FastEngineFrame::TALVEN_FastEngineFrame(const WindowMappingHierarchy& h,
                                               const TALVEN_PSF_Table& table, double* output,
                                               const TALVEN_BuildScope& scope,
                                               TALVEN_BuiltMatrix matrix)
    : m_table(table),
      m_output(output),
      m_scope(scope),
      m_matrix(matrix),
      m_bx(h.m_l1c_to_detector.Binx()),
      m_by(h.m_l1c_to_detector.Biny()),
      m_kx(h.m_l1c_to_detector.Numx()),
      m_ky(h.m_l1c_to_detector.Numy()),
      m_n(static_cast<ptrdiff_t>(m_kx) * m_ky),
      m_scale(1.0 / static_cast<double>(m_bx * m_by)),
      m_c0(scope.first_column),
      m_c1(scope.EndColumn(m_kx)),
      m_first_source(static_cast<ptrdiff_t>(m_c0) * m_ky),
      m_num_sources(static_cast<ptrdiff_t>(m_c1 - m_c0) * m_ky),
      m_sx(h.m_science.Numx()),
      m_sy(h.m_science.Numy()) {}

int64_t TALVEN_FastEngineFrame::Work() const {
  // The output, and the tables of every measured PSF: about four values per science pixel, each
  // costing about four output values.
  const int64_t psfs = static_cast<int64_t>(m_table.MeasuredPSFEntries().size());
  return m_n * m_num_sources + 16 * psfs * m_sx * m_sy;
}

void TALVEN_FastEngineFrame::PrefaultColumns(ptrdiff_t c0, ptrdiff_t c1) const {
#if defined(__linux__)
  // Linux 5.14 and later; older kernels refuse the advice and the stores fault as usual.
  constexpr int kPopulateWrite = 23;  // MADV_POPULATE_WRITE
  static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  // Whole pages inside the range only: the pages at its ends may hold another worker's columns.
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(Column(c0)) + page - 1) / page * page;
  const uintptr_t end = reinterpret_cast<uintptr_t>(Column(c1)) / page * page;
  if (end <= begin) return;
  // Warm memory needs no faults, and walking its page table page by page would cost time: a
  // resident first page stands for the range.
  unsigned char resident = 0;
  if (mincore(reinterpret_cast<void*>(begin), page, &resident) == 0 && (resident & 1)) return;
  madvise(reinterpret_cast<void*>(begin), end - begin, kPopulateWrite);
#else
  (void)c0, (void)c1;
#endif
}

void TALVEN_FastEngineFrame::FillOutput() {
  FillColumns(m_first_source, m_first_source + m_num_sources);
}

void TALVEN_FastEngineFrame::FillColumns(ptrdiff_t c0, ptrdiff_t c1) {
  c0 = std::max(c0, m_first_source);
  c1 = std::min(c1, m_first_source + m_num_sources);
  if (c1 <= c0) return;
  // The columns are contiguous. Chunks end at multiples of the chunk size in the address space,
  // so that no page is written by two workers.
  constexpr uintptr_t kChunk = kTALVEN_ZeroFillChunkBytes;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(Column(c0));
  const uintptr_t end = reinterpret_cast<uintptr_t>(Column(c1));
  const uintptr_t first = begin / kChunk * kChunk;
  const ptrdiff_t chunks = static_cast<ptrdiff_t>((end - 1 - first) / kChunk + 1);
  const TALVEN_PageOwnership pages;
#pragma omp parallel for schedule(static)
  for (ptrdiff_t i = 0; i < chunks; ++i) {
    const uintptr_t b = std::max(begin, first + i * kChunk);
    const uintptr_t e = std::min(end, first + (i + 1) * kChunk);
    TALVEN_ZeroFill(reinterpret_cast<double*>(b), static_cast<ptrdiff_t>((e - b) / sizeof(double)),
                    pages);
  }
}

void TALVEN_FastEngineFrame::ScaleColumn(ptrdiff_t c) {
  double* col = Column(c);
  for (ptrdiff_t r = 0; r < m_n; ++r) col[r] *= m_scale;
}

bool TALVEN_FastEngineFrame::BuildPlanes(int dx0, int dx1, int dy0, int dy1,
                                         const std::function<void(int)>& then) {
  const auto& entries = m_table.MeasuredPSFEntries();
  const int npsf = static_cast<int>(entries.size());
  try {
    m_planes.resize(npsf);
  } catch (const std::exception&) {
    return ReportAllocationFailure();
  }
  bool ok = true;
#pragma omp parallel for schedule(dynamic, 1)
  for (int m = 0; m < npsf; ++m) {
    try {
      m_planes[m].Build(entries[m], dx0, dx1, dy0, dy1);
      then(m);
    } catch (const std::exception&) {
#pragma omp atomic write
      ok = false;
    }
  }
  return ok ? true : ReportAllocationFailure();
}

bool TALVEN_FastEngineFrame::Guarded(const std::function<bool()>& build) {
  try {
    return build();
  } catch (const std::exception&) {
    ReportAllocationFailure();
    return Fail();
  }
}

bool TALVEN_FastEngineFrame::SilentLookUpsFail(
    ptrdiff_t count,
    const std::function<bool(ptrdiff_t, TALVEN_PSF_InterpolationCoeffs*)>& found) const {
  bool failed = false;
#pragma omp parallel
  {
    const zvLogThreadMute mute(true);
    TALVEN_PSF_InterpolationCoeffs coeffs;
#pragma omp for schedule(dynamic, 1)
    for (ptrdiff_t i = 0; i < count; ++i) {
      bool seen;
#pragma omp atomic read
      seen = failed;
      if (!seen && !found(i, &coeffs)) {
#pragma omp atomic write
        failed = true;
      }
    }
  }
  return failed;
}

bool TALVEN_FastEngineFrame::ReportAllocationFailure() const {
  TALVEN_LogEngineAllocationFailure(m_matrix, m_ky, m_kx);
  return false;
}

bool TALVEN_FastEngineFrame::Fail() {
  FillOutput();
  TALVEN_LogEmptyMatrix(m_matrix);
  return false;
}

bool TALVEN_FastEngineFrame::FailRequest() {
  if (m_scope.LogsRequestLines()) return Fail();
  FillOutput();
  return false;
}

bool TALVEN_FastEngineFrame::Cancelled() {
  if (!m_scope.Cancelled()) return false;
  FillOutput();
  TALVEN_LogCancelled(m_matrix);
  return true;
}
