// The fast engine of the in-field convolution matrix.
//
// The element-by-element builder evaluates the blended PSF once per (source detector pixel,
// receiving science pixel) pair and keeps one N x N matrix per worker. This engine tabulates each
// measured PSF once per request over whole-pixel displacements, box-sums the tables over an L1C
// footprint (TALVEN_PSF_FootprintPlanes), and then adds, for every source detector pixel and
// kept coefficient, one contiguous plane row per receiving L1C column into the caller's matrix:
// cost N^2 * B * k instead of N^2 * B^2 * k, and no memory beyond the output and the planes.
//
// Work is handed out by L1C column X of the source: every matrix column a source of column X
// touches (its own, and with the quadratic scheme those of its neighbours along y, which share
// its X) belongs to X, so workers write straight into the output without locks and each element
// is summed in an order that does not depend on the number of threads. For the same reason a
// block of whole L1C columns can be built on its own, with the bits of the whole matrix.
#pragma once

class WindowMappingHierarchy;
class TALVEN_PSF_Table;
struct TALVEN_BuildScope;

// The generator's options of the build; it sets every one.
struct TALVEN_InfieldOptions {
  bool use_simpsons, lower_edge;
  int rows_below, rows_above;
  bool diagnostic;
};

// Needs the layout of TALVEN_FastEngineLayoutApplies. Fills output, the matrix columns of the
// sources in scope's block (N doubles each, the receiver's flat L1C index fastest), with the
// in-field matrix of the initialised detector-window PSF table. Logs what the element-by-element
// builder logs for the same input (per-row diagnostics as column 0 reaches each row, look-up
// failures, a failed lower edge column) and, on failure, "Return empty matrix", leaves the output
// all 0.0 and returns false. Work items are the block's L1C columns; a cancelled build logs so and
// returns false with the output all 0.0. A block fails as well when a source of another block's
// columns cannot be looked up, which that block logs.
bool TALVEN_BuildInfieldMatrixFast(const WindowMappingHierarchy& hierarchy,
                                   const TALVEN_PSF_Table& table,
                                   const TALVEN_InfieldOptions& options,
                                   const TALVEN_BuildScope& scope, double* output);
