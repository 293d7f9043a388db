// Generator set-up, options, the detector-to-L1C index table and the per-thread matrices that both
// builds accumulate into.
#include "cpp/sources/make_psfmatrix.h"

#include <mutex>
#include <new>

#include "cpp/sources/generator_messages.h"
#include "cpp/sources/log_sources.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_GeneratorSource;

// Guards the appending to a build's list of thread matrices; one for the whole process.
static std::mutex g_thread_matrix_list_mutex;

TALVEN_DeconvolutionMatrixGenerator::TALVEN_DeconvolutionMatrixGenerator(
    const TALVEN_WindowLayout& w, double* matrix_storage, int matrix_size, bool diagnostic,
    int lower_edge_rows_below, int lower_edge_rows_above)
    : TALVEN_DeconvolutionMatrixGenerator(
          w.FULLCONVx, w.FULLCONVy, w.NOFSx, w.NOFSy, w.NOOFx, w.NOOFy, w.DOFSx, w.DOFSy, w.Dx,
          w.Dy, w.SOFSx, w.SOFSy, w.Sx, w.Sy, w.LBINx, w.LBINy, w.Lx, w.Ly, w.KBINx, w.KBINy, w.Kx,
          w.Ky, matrix_storage, matrix_size, diagnostic, lower_edge_rows_below,
          lower_edge_rows_above) {}

TALVEN_DeconvolutionMatrixGenerator::TALVEN_DeconvolutionMatrixGenerator(
    int fullconv_x, int fullconv_y, int nofs_x, int nofs_y, int noof_x, int noof_y, int dofs_x,
    int dofs_y, int d_x, int d_y, int sofs_x, int sofs_y, int s_x, int s_y, int lbin_x, int lbin_y,
    int l_x, int l_y, int kbin_x, int kbin_y, int k_x, int k_y, double* matrix_storage,
    int matrix_size, bool diagnostic, int lower_edge_rows_below, int lower_edge_rows_above)
    : m_use_simpsons(true),
      m_create_lower_edge_adjustment(true),
      m_hierarchy(fullconv_x, fullconv_y, nofs_x, nofs_y, noof_x, noof_y, dofs_x, dofs_y, d_x, d_y,
                  sofs_x, sofs_y, s_x, s_y, lbin_x, lbin_y, l_x, l_y, kbin_x, kbin_y, k_x, k_y),
      m_l1cindexer(m_hierarchy.m_l1c, m_hierarchy.m_detector),
      m_l1c_to_detector(
          m_hierarchy.CreateMappingToUpperLevel(m_hierarchy.m_l1c, m_hierarchy.m_detector)),
      m_diagnostic(diagnostic),
      m_lower_edge_rows_below(lower_edge_rows_below),
      m_lower_edge_rows_above(lower_edge_rows_above) {
  const int n = NumL1cPixels();
  if (matrix_storage != nullptr) {
    if (matrix_size == n) {
      m_outputmatrix.Attach(matrix_size, matrix_size, matrix_storage);
    } else {
      zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                        "TALVEN_DeconvolutionMatrixGenerator::TALVEN_DeconvolutionMatrixGenerator, "
                        "The size of the output array (%d x %d) is not the expected size (%d x %d",
                        matrix_size, matrix_size, n, n);
    }
  }
  const WindowMapping& science = m_hierarchy.m_science;
  if (science.Numx() > 0 && science.Numy() > 0) {
    m_detector_to_l1c.SetSize(science.Numy(), science.Numx());
  }
  MakeDetectorPixelToL1cFlatIndexTable();
}

TALVEN_DeconvolutionMatrixGenerator::~TALVEN_DeconvolutionMatrixGenerator() = default;

bool TALVEN_DeconvolutionMatrixGenerator::set_option_use_simpsons(bool use) {
  m_use_simpsons = use;
  return true;
}

bool TALVEN_DeconvolutionMatrixGenerator::set_option_create_lower_edge_adjustment(bool create) {
  m_create_lower_edge_adjustment = create;
  return true;
}

bool TALVEN_DeconvolutionMatrixGenerator::MakeDetectorPixelToL1cFlatIndexTable() {
  const WindowMapping& science = m_hierarchy.m_science;
  if (m_detector_to_l1c.IsEmpty()) return true;  // a science window without pixels
  int numbad = 0;
  for (int x = 0; x < science.Numx(); ++x) {
    for (int y = 0; y < science.Numy(); ++y) {
      Coords detector(WindowMappingType::WINDOW_DETECTOR);
      int index = -9999;
      const bool ok = science.ToParentWindow(Coords(y, x, WindowMappingType::WINDOW_SCIENCE),
                                             &detector, true) &&
                      m_l1cindexer.FlatIndexFromDetectorPixel(detector, &index, true);
      if (!ok) {
        index = -9999;
        ++numbad;
      }
      m_detector_to_l1c.at(y, x) = index;
    }
  }
  if (numbad > 0) {
    zvLogBase::Record(
        zvlog_warning, kSourcePath, __LINE__,
        "TALVEN_DeconvolutionMatrixGenerator::MakeDetectorPixelToFlatIndexTable, [%d] "
        "detector pixels from area [%d x %d] did not successfully map to L1C pixels",
        numbad, science.Numx(), science.Numy());
  }
  return true;
}

bool TALVEN_DeconvolutionMatrixGenerator::Create_Deconvolution_Matrix(
    zv2dArray<double>** matrix) const {
  const int n = NumL1cPixels();
  zv2dArray<double>* created = new (std::nothrow) zv2dArray<double>();
  if (created != nullptr && created->SetSize(n, n)) {
    created->SetTo(0.0);
    *matrix = created;
    return true;
  }
  delete created;
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::Create_Deconvolution_Matrix, Error "
                    "allocating matrix array of size (%d,%d)",
                    n, n);
  return false;
}

bool TALVEN_DeconvolutionMatrixGenerator::CheckThreadSpecificAllocation(
    zv2dArray<double>** thread_matrix, MatrixList& all) const {
  if (*thread_matrix != nullptr) return true;
  if (!Create_Deconvolution_Matrix(thread_matrix)) return false;
  std::lock_guard<std::mutex> lock(g_thread_matrix_list_mutex);
  all.push_back(*thread_matrix);
  return true;
}

bool TALVEN_DeconvolutionMatrixGenerator::CheckBuildPreconditions(zv2dArray<double>* output,
                                                                  TALVEN_BuiltMatrix matrix) const {
  bool ok = true;
  if (!m_hierarchy.IsUsable()) {
    TALVEN_LogUnusableHierarchy(matrix);
    ok = false;
  }
  const size_t n = NumL1cPixels() > 0 ? static_cast<size_t>(NumL1cPixels()) : 0;
  if (n == 0) {
    TALVEN_LogEmptyL1cWindow(matrix, m_hierarchy.m_l1c.Numy(), m_hierarchy.m_l1c.Numx());
    ok = false;
  } else if (output == nullptr || output->XSize() != n ||
             output->YSize() != static_cast<size_t>(ScopeRows())) {
    const int nx = output != nullptr ? static_cast<int>(output->XSize()) : 0;
    const int ny = output != nullptr ? static_cast<int>(output->YSize()) : 0;
    TALVEN_LogOutputSize(matrix, nx, ny, static_cast<int>(n), ScopeRows());
    ok = false;
  }
  if (!ok && output != nullptr) output->SetTo(0.0);
  return ok;
}

int TALVEN_DeconvolutionMatrixGenerator::ScopeRows() const {
  const WindowMapping& l1c = m_hierarchy.m_l1c;
  return static_cast<int>(m_scope.Rows(l1c.Numx(), l1c.Numy()));
}

bool TALVEN_DeconvolutionMatrixGenerator::CheckWholeMatrix(zv2dArray<double>* output,
                                                           TALVEN_BuiltMatrix matrix) const {
  if (m_scope.IsWhole(m_hierarchy.m_l1c.Numx())) return true;
  TALVEN_LogWholeMatrixOnly(matrix, m_scope.first_column,
                            m_scope.EndColumn(m_hierarchy.m_l1c.Numx()));
  output->SetTo(0.0);
  return false;
}

bool TALVEN_DeconvolutionMatrixGenerator::MergeThreadMatrices(zv2dArray<double>* output,
                                                              MatrixList* all, bool ok,
                                                              TALVEN_BuiltMatrix matrix) const {
  if (!ok) TALVEN_LogEmptyMatrix(matrix);
  output->SetTo(0.0);
  for (zv2dArray<double>* thread_matrix : *all) {
    if (ok) *output += *thread_matrix;
    delete thread_matrix;
  }
  all->clear();
  const int pixels_per_l1c = m_l1c_to_detector.Binx() * m_l1c_to_detector.Biny();
  *output *= 1.0 / static_cast<double>(pixels_per_l1c);
  return ok;
}
