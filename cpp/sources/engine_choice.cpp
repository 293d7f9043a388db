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
  TALVEN_InfieldOptions options;
  options.use_simpsons = m_use_simpsons;
  options.lower_edge = m_create_lower_edge_adjustment;
  options.rows_below = m_lower_edge_rows_below;
  options.rows_above = m_lower_edge_rows_above;
  options.diagnostic = m_diagnostic;
  return TALVEN_BuildInfieldMatrixFast(m_hierarchy, m_psftable, options, m_scope,
                                       output->UnsafeArrayBasePtr());
}

bool TALVEN_DeconvolutionMatrixGenerator::BuildHorizontalFast(zv2dArray<double>* output,
                                                              const double* vignetting,
                                                              int delta_ny, int delta_nx,
                                                              int delta_sy, int delta_sx) const {
  TALVEN_HorizontalRequest request;
  request.vignetting = vignetting;
  request.delta_nx = delta_nx;
  request.delta_ny = delta_ny;
  request.delta_sx = delta_sx;
  request.delta_sy = delta_sy;
  request.diagnostic = m_diagnostic;
  return TALVEN_BuildHorizontalMatrixFast(m_hierarchy, m_psftable, request, m_scope,
                                          output->UnsafeArrayBasePtr());
}
