#include "cpp/sources/fast_engine_frame.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <exception>

#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/windowbinning.h"
#include "system/zvlog.h"

TALVEN_FastEngineFrame::TALVEN_FastEngineFrame(const WindowMappingHierarchy& h,
                                               const TALVEN_PSF_Table& table, double* output,
                                               const TALVEN_BuildScope& scope, const char* method,
                                               const char* source_path)
    : m_table(table),
      m_output(output),
      m_scope(scope),
      m_method(method),
      m_source_path(source_path),
      m_bx(h.m_l1c_to_detector.Binx()),
      m_by(h.m_l1c_to_detector.Biny()),
      m_kx(h.m_l1c_to_detector.Numx()),
      m_ky(h.m_l1c_to_detector.Numy()),
      m_n(static_cast<ptrdiff_t>(m_kx) * m_ky),
      m_c0(scope.first_column),
      m_c1(scope.EndColumn(m_kx)),
      m_first_source(static_cast<ptrdiff_t>(m_c0) * m_ky),
      m_num_sources(static_cast<ptrdiff_t>(m_c1 - m_c0) * m_ky),
      m_sx(h.m_science.Numx()),
      m_sy(h.m_science.Numy()) {}

void TALVEN_FastEngineFrame::FillOutput() {
#pragma omp parallel for schedule(static)
  for (ptrdiff_t c = 0; c < m_num_sources; ++c) {
    double* column = m_output + c * m_n;
    // Pages of a zeroed caller buffer that nothing wrote stay unwritten: writing them first
    // costs far more than reading them.
    if (std::any_of(column, column + m_n, [](double v) { return v != 0.0 || std::signbit(v); })) {
      std::fill(column, column + m_n, 0.0);
    }
  }
}

void TALVEN_FastEngineFrame::ScaleColumn(ptrdiff_t c) {
  const double scale = 1.0 / static_cast<double>(m_bx * m_by);
  double* col = Column(c);
  for (ptrdiff_t r = 0; r < m_n; ++r) col[r] *= scale;
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

bool TALVEN_FastEngineFrame::ReportAllocationFailure() const {
  zvLogBase::Record(zvlog_error, m_source_path, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, Error allocating the PSF tables of "
                    "the matrix engine for a (%d,%d) array of L1C pixels",
                    m_method, m_ky, m_kx);
  return false;
}

bool TALVEN_FastEngineFrame::Fail() {
  FillOutput();
  TALVEN_LogEmptyMatrix(m_source_path);
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
  zvLogBase::Record(zvlog_info, m_source_path, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, Cancelled by the caller", m_method);
  return true;
}
