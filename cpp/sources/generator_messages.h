// Log lines that both matrix engines write, the element-by-element one and the fast one, kept in
// one place so that the two always say the same thing in the same case.
#pragma once

struct Coords;

// The matrix a build makes. Its lines name the generator method that builds it and are recorded
// against that method's file.
enum class TALVEN_BuiltMatrix { kInfield, kHorizontal };

// The coefficients of a source detector pixel of the in-field matrix could not be looked up.
void TALVEN_LogColumnLookUpFailure(const Coords& source);
// The same for a lower edge source below the bottom edge, and the L1C column it belongs to.
void TALVEN_LogBottomEdgeLookUpFailure(const Coords& source);
void TALVEN_LogBottomEdgeColumnFailure(int column);

// Diagnostic progress of the in-field matrix: the row, then its first pixel.
void TALVEN_LogInfieldRowProgress(int row, int numrows);
void TALVEN_LogInfieldRowFirstPixel(int row);
// Diagnostic progress of the horizontal stray light matrix.
void TALVEN_LogHorizontalRowProgress(int row, int numrows);

// Why a build cannot run: a window hierarchy with a binning below 1, an L1C window without pixels,
// an output that is not n x rows, or a block asked of the element-by-element engine.
void TALVEN_LogUnusableHierarchy(TALVEN_BuiltMatrix matrix);
void TALVEN_LogEmptyL1cWindow(TALVEN_BuiltMatrix matrix, int numy, int numx);
void TALVEN_LogOutputSize(TALVEN_BuiltMatrix matrix, int nx, int ny, int n, int rows);
void TALVEN_LogWholeMatrixOnly(TALVEN_BuiltMatrix matrix, int first_column, int end_column);

// The fast engines could not have the storage of their tables for a (ky, kx) array of L1C pixels.
void TALVEN_LogEngineAllocationFailure(TALVEN_BuiltMatrix matrix, int ky, int kx);
// The caller stopped the build.
void TALVEN_LogCancelled(TALVEN_BuiltMatrix matrix);
// A build that failed returns an all-zero matrix.
void TALVEN_LogEmptyMatrix(TALVEN_BuiltMatrix matrix);
