// The fast engine of the horizontal stray-light matrix.
//
// Sources are sampled NOOF pixels beside the science window, receivers sampled science pixels,
// and all the light of one science row's sources is booked to the L1C pixels at the window's left
// and right edge of that row. The engine tabulates each measured PSF once over whole-pixel
// displacements (TALVEN_PSF_DisplacementPlane), sums the table once per source row over the
// sampled receiver rows of every L1C row, and then adds, per source and coefficient, one
// contiguous run of those sums per sampled receiver column. Work is handed out by batches of L1C
// rows of the targets: the two matrix columns a target row receives belong to it alone, so workers
// write straight into the output and the summation order does not depend on the number of
// threads. A block of L1C x-columns builds the target columns it holds (those of x = 0 and
// x = Kx - 1) and leaves its other columns 0.0.
#pragma once

class WindowMappingHierarchy;
class TALVEN_PSF_Table;
struct TALVEN_BuildScope;

struct TALVEN_HorizontalRequest {
  // NOOFy rows of NOOFx factors, or null for no vignetting.
  const double* vignetting = nullptr;
  int delta_nx = 1;
  int delta_ny = 1;
  int delta_sx = 1;
  int delta_sy = 1;
  bool diagnostic = false;
};

// Needs the layout of TALVEN_FastEngineLayoutApplies, a science window inside the NOOF window
// and steps of at least 1 (the generator has refused any other request). Fills output, the
// matrix columns of the sources in scope's block (KK doubles each, the
// receiver's flat L1C index fastest), from the initialised NOOF-window PSF table. Logs the per-row
// diagnostics that the element-by-element builder logs, each as its row is processed, from the
// block that holds column 0; on failure logs "Return empty matrix", leaves the output all 0.0 and
// returns false. Work items are the L1C target rows, of which a block without an edge column has
// none; a cancelled build logs so and returns false with the output all 0.0. A block fails as
// well when a source booked to a target column it does not hold cannot be looked up, which the
// block that holds the column logs.
bool TALVEN_BuildHorizontalMatrixFast(const WindowMappingHierarchy& hierarchy,
                                      const TALVEN_PSF_Table& table,
                                      const TALVEN_HorizontalRequest& request,
                                      const TALVEN_BuildScope& scope, double* output);
