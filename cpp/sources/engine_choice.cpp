// Where the generator's builds meet the fast engines: the choice of engine and the hand-over of
// the generator's state. No other file of the generator includes a fast engine.
#include "cpp/sources/fast_engine_layout.h"
#include "cpp/sources/fast_horizontal_matrix.h"
#include "cpp/sources/fast_infield_matrix.h"
#include "cpp/sources/make_psfmatrix.h"

bool TALVEN_DeconvolutionMatrixGenerator::UsesFastEngine(WindowMappingType table_window) const {
  return m_engine == TALVEN_MatrixEngine::kFast && m_psftable.WindowType() == table_window &&
         TALVEN_FastEngineLayoutApplies(m_hierarchy);
}

bool TALVEN_DeconvolutionMatrixGenerator::BuildInfieldFast(zv2dArray<double>* output) const {
  const TALVEN_InfieldOptions options{m_use_simpsons, m_create_lower_edge_adjustment,
                                      m_lower_edge_rows_below, m_lower_edge_rows_above,
                                      m_diagnostic};
  return TALVEN_BuildInfieldMatrixFast(m_hierarchy, m_psftable, options, m_scope,
                                       output->UnsafeArrayBasePtr());
}

bool TALVEN_DeconvolutionMatrixGenerator::BuildHorizontalFast(zv2dArray<double>* output,
                                                              const double* vignetting,
                                                              int delta_ny, int delta_nx,
                                                              int delta_sy, int delta_sx) const {
  const TALVEN_HorizontalRequest request{vignetting, delta_nx, delta_ny,
                                         delta_sx,   delta_sy, m_diagnostic};
  return TALVEN_BuildHorizontalMatrixFast(m_hierarchy, m_psftable, request, m_scope,
                                          output->UnsafeArrayBasePtr());
}
