// The matrix generator: the reference engine that builds the in-field convolution matrix and the
// horizontal stray light matrix of one request.
//
// It is written for clarity rather than speed: every source detector pixel picks its PSF
// interpolation weights, then the blended PSF is evaluated on every receiving science pixel. The
// fast engines reproduce its matrices, log lines and failure paths.
//
// Where the work lives:
//   make_psfmatrix.cpp                  set-up, options, detector-to-L1C index table, per-thread
//                                       matrices and their merge
//   column_matrix_elements.cpp          one source detector pixel spread over the science window
//   lower_edge_correction.cpp           light from detector rows below the L1C area
//   transfer_function_assembly.cpp      the parallel in-field assembly
//   talven_horizontal_deconvolution_matrix.cpp   the horizontal stray light matrix
//   engine_choice.cpp                   where a build hands over to a fast engine
#pragma once

#include <vector>

#include "cpp/sources/build_scope.h"
#include "cpp/sources/generator_messages.h"
#include "cpp/sources/psftables.h"
#include "cpp/sources/window_layout.h"
#include "cpp/sources/windowbinning.h"
#include "math/arrays/zvarraylib.h"

// Which code builds the matrices. The fast engine (fast_infield_matrix, fast_horizontal_matrix)
// is the default wherever the window layout allows it; the element-by-element engine is the
// reference it is checked against.
enum class TALVEN_MatrixEngine { kFast, kReference };

// The sampling steps of the horizontal stray light matrix: NOOF sources (ny, nx) and science
// receivers (sy, sx).
struct TALVEN_SamplingSteps {
  int ny, nx, sy, sx;
};

class TALVEN_DeconvolutionMatrixGenerator {
 public:
  using MatrixList = std::vector<zv2dArray<double>*>;

  // The 22 windowing parameters come first, by name or FULLCONVx to Ky. matrix_storage (may be
  // null) is the caller's N x N buffer; it is viewed, never copied or freed, and only when
  // matrix_size is N.
  TALVEN_DeconvolutionMatrixGenerator(const TALVEN_WindowLayout& w, double* matrix_storage,
                                      int matrix_size, bool diagnostic, int lower_edge_rows_below,
                                      int lower_edge_rows_above);
  TALVEN_DeconvolutionMatrixGenerator(int fullconv_x, int fullconv_y, int nofs_x, int nofs_y,
                                      int noof_x, int noof_y, int dofs_x, int dofs_y, int d_x,
                                      int d_y, int sofs_x, int sofs_y, int s_x, int s_y, int lbin_x,
                                      int lbin_y, int l_x, int l_y, int kbin_x, int kbin_y, int k_x,
                                      int k_y, double* matrix_storage, int matrix_size,
                                      bool diagnostic, int lower_edge_rows_below,
                                      int lower_edge_rows_above);
  ~TALVEN_DeconvolutionMatrixGenerator();
  TALVEN_DeconvolutionMatrixGenerator(const TALVEN_DeconvolutionMatrixGenerator&) = delete;
  TALVEN_DeconvolutionMatrixGenerator& operator=(const TALVEN_DeconvolutionMatrixGenerator&) =
      delete;

  WindowMappingHierarchy& WindowHierachy() { return m_hierarchy; }
  TALVEN_PSF_Table& PSF_Table() { return m_psftable; }
  // The caller's storage seen as the N x N output, or an empty array when it was not attached.
  zv2dArray<double>& OutputMatrix() { return m_outputmatrix; }

  bool set_option_use_simpsons(bool use);
  bool set_option_create_lower_edge_adjustment(bool create);
  void set_engine(TALVEN_MatrixEngine engine) { m_engine = engine; }
  // Which block of source L1C columns the builds write, into an output of the block's rows, and
  // the caller's control words. Only the fast engine builds blocks and reads the control words.
  void set_scope(const TALVEN_BuildScope& scope) { m_scope = scope; }

  bool MakeDetectorPixelToL1cFlatIndexTable();

  // In-field convolution matrix (transfer_function_assembly.cpp). A source pixel whose
  // coefficients cannot be looked up fails the matrix; every source is still looked up, so that
  // each failure is logged.
  bool build_transfer_function(zv2dArray<double>* output);
  bool ProcessL1CPixelAsScatteringSource(int row, int column, zv2dArray<double>* matrix);

  // Column operations for one source detector pixel (column_matrix_elements.cpp); false, logged,
  // when the source's coefficients cannot be looked up (nothing is added then).
  bool GenerateMidpointColumnMatrixElements(int column, const Coords& source,
                                            zv2dArray<double>* matrix);
  bool GenerateSimpsonColumnMatrixElements(int column_prev, int column_mid, int column_next,
                                           double c, double f, const Coords& source,
                                           zv2dArray<double>* matrix);

  // Lower edge correction (lower_edge_correction.cpp).
  bool AddBottomEdgeSourcePixelAdjustment(int column, zv2dArray<double>* matrix);
  bool GenerateColumnMatrixForBottomEdgeDetectorPixel(int column, const Coords& source,
                                                      zv2dArray<double>* matrix);

  // Horizontal stray light matrix (talven_horizontal_deconvolution_matrix.cpp). A source whose
  // PSF cannot be looked up adds nothing and gives false (the table logs why), which fails the
  // matrix.
  bool build_horizontal_stray_light(zv2dArray<double>* output, const zv2dArray<double>& vignetting,
                                    int delta_ny, int delta_nx, int delta_sy, int delta_sx);
  bool ProcessHorizontalStrayLightFromPixel(int source_y, int source_x, int delta_sy, int delta_sx,
                                            double sourcearea, const int* targets,
                                            const double* fractions, int numtargets,
                                            const double* vignettingrow, int num_vignetting,
                                            zv2dArray<double>* matrix) const;

  // Per-thread accumulation matrices shared by both builds.
  bool CheckThreadSpecificAllocation(zv2dArray<double>** thread_matrix, MatrixList& all) const;
  bool Create_Deconvolution_Matrix(zv2dArray<double>** matrix) const;

 private:
  int NumL1cPixels() const { return m_l1cindexer.FlatSize(); }
  // Source L1C pixels in the scope's block: the output's rows.
  int ScopeRows() const;
  // False, with errors naming the method that builds `matrix`, when a build cannot run: an output
  // matrix that is not N x ScopeRows() or a window hierarchy with a binning below 1. The output is
  // then zero-filled.
  bool CheckBuildPreconditions(zv2dArray<double>* output, TALVEN_BuiltMatrix matrix) const;
  // False, with an error and the output zero-filled, when the element-by-element engine would be
  // asked for a block of the matrix.
  bool CheckWholeMatrix(zv2dArray<double>* output, TALVEN_BuiltMatrix matrix) const;
  // Zero-fills the output, adds the thread matrices into it in list order when ok (freeing them
  // in every case) and scales by one over the number of detector pixels in an L1C pixel. A build
  // that failed logs that its matrix is returned empty. Returns ok.
  bool MergeThreadMatrices(zv2dArray<double>* output, MatrixList* all, bool ok,
                           TALVEN_BuiltMatrix matrix) const;

  // The steps of build_horizontal_stray_light (talven_horizontal_deconvolution_matrix.cpp): the
  // NOOF pixel of column 0 of a science row; the checks, which log every failure and zero-fill the
  // output; whether the vignetting array is used, logged; the element-by-element build, a row of
  // sources at a time. `vignetting` is null or holds a factor for every NOOF pixel.
  Coords ScienceOriginInNoof(int science_row) const;
  bool CheckHorizontalBuild(zv2dArray<double>* output, const TALVEN_SamplingSteps& steps) const;
  bool UsesVignetting(const zv2dArray<double>& vignetting) const;
  bool BuildHorizontalReference(zv2dArray<double>* output, const double* vignetting,
                                const TALVEN_SamplingSteps& steps);
  // Adds the light of the sampled sources left and right of science row y; false when a thread
  // matrix could not be `allocated`, the row has no edge pixels, or a look-up failed.
  bool AddHorizontalRow(int y, bool allocated, const double* vignetting,
                        const TALVEN_SamplingSteps& steps, zv2dArray<double>* matrix) const;

  // Where a build chooses its engine (engine_choice.cpp): the fast engine when it was asked for,
  // the PSF table covers `table_window` and the window layout suits it. The fast builds fill
  // the output and leave it 0.0 on failure.
  bool UsesFastEngine(WindowMappingType table_window) const;
  bool BuildInfieldFast(zv2dArray<double>* output) const;
  bool BuildHorizontalFast(zv2dArray<double>* output, const double* vignetting, int delta_ny,
                           int delta_nx, int delta_sy, int delta_sx) const;

  bool m_use_simpsons;
  bool m_create_lower_edge_adjustment;
  zv2dArray<double> m_outputmatrix;
  WindowMappingHierarchy m_hierarchy;
  L1cFlatIndexer m_l1cindexer;
  WindowMapping m_l1c_to_detector;
  TALVEN_PSF_Table m_psftable;
  zv2dArray<int> m_detector_to_l1c;  // (Numy, Numx) of the science window, indexed (y, x)
  bool m_diagnostic;
  int m_lower_edge_rows_below;
  int m_lower_edge_rows_above;
  TALVEN_MatrixEngine m_engine = TALVEN_MatrixEngine::kFast;
  TALVEN_BuildScope m_scope;
};
