#include "cpp/sources/generator_messages.h"

#include "cpp/sources/log_sources.h"
#include "cpp/sources/windowbinning.h"
#include "system/zvlog.h"

static const char* const kSourcePath = kTALVEN_GeneratorSource;

namespace {

// `pixel` names the source pixel as the method's message does.
void LogLookUpFailure(const char* method, const char* pixel, const Coords& source) {
  zvLogBase::Record(zvlog_error, kSourcePath, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, Inconsistency error looking up "
                    "interpolated PSF table for %s [%d,%d]",
                    method, pixel, source.x, source.y);
}

// The file of the generator method that builds the matrix, and that method.
const char* SourcePath(TALVEN_BuiltMatrix matrix) {
  return matrix == TALVEN_BuiltMatrix::kInfield ? kTALVEN_GeneratorSource
                                                : kTALVEN_HorizontalSource;
}

const char* Method(TALVEN_BuiltMatrix matrix) {
  return matrix == TALVEN_BuiltMatrix::kInfield ? "build_transfer_function"
                                                : "build_horizontal_stray_light";
}

}  // namespace

void TALVEN_LogColumnLookUpFailure(const Coords& source) {
  LogLookUpFailure("GenerateColumnMatrixElements", "raw detector pixel", source);
}

void TALVEN_LogBottomEdgeLookUpFailure(const Coords& source) {
  LogLookUpFailure("GenerateColumnMatrixForBottomEdgeDetectorPixel", "raw source detector pixel",
                   source);
}

void TALVEN_LogBottomEdgeColumnFailure(int column) {
  zvLogBase::Record(zvlog_warning, kSourcePath, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors "
                    "processing L1C column (%d)",
                    column);
}

void TALVEN_LogInfieldRowProgress(int row, int numrows) {
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator, Processing L1C pixel row [%d] of [%d]",
                    row, numrows);
}

void TALVEN_LogInfieldRowFirstPixel(int row) {
  zvLogBase::Record(zvlog_info, kSourcePath, __LINE__, "Processing L1C pixel [%4d,%4d]", row, 0);
}

void TALVEN_LogHorizontalRowProgress(int row, int numrows) {
  zvLogBase::Record(zvlog_info, kTALVEN_HorizontalSource, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, "
                    "Processing row [%d] of [%d]",
                    row, numrows);
}

void TALVEN_LogUnusableHierarchy(TALVEN_BuiltMatrix matrix) {
  zvLogBase::Record(zvlog_error, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, The window hierarchy is not usable "
                    "(a binning below 1, or binnings whose product does not fit a 32-bit "
                    "integer)",
                    Method(matrix));
}

void TALVEN_LogEmptyL1cWindow(TALVEN_BuiltMatrix matrix, int numy, int numx) {
  zvLogBase::Record(zvlog_error, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, The L1C window (%d, %d) has no "
                    "pixels",
                    Method(matrix), numy, numx);
}

void TALVEN_LogOutputSize(TALVEN_BuiltMatrix matrix, int nx, int ny, int n, int rows) {
  zvLogBase::Record(zvlog_error, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, The output matrix (%d x %d) is not "
                    "the expected size (%d x %d)",
                    Method(matrix), nx, ny, n, rows);
}

void TALVEN_LogWholeMatrixOnly(TALVEN_BuiltMatrix matrix, int first_column, int end_column) {
  zvLogBase::Record(zvlog_error, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, The element-by-element engine "
                    "builds whole matrices only, not L1C columns [%d, %d)",
                    Method(matrix), first_column, end_column);
}

void TALVEN_LogEngineAllocationFailure(TALVEN_BuiltMatrix matrix, int ky, int kx) {
  zvLogBase::Record(zvlog_error, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, Error allocating the PSF tables of "
                    "the matrix engine for a (%d,%d) array of L1C pixels",
                    Method(matrix), ky, kx);
}

void TALVEN_LogCancelled(TALVEN_BuiltMatrix matrix) {
  zvLogBase::Record(zvlog_info, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::%s, Cancelled by the caller",
                    Method(matrix));
}

// Both matrices say so in the in-field method's words.
void TALVEN_LogEmptyMatrix(TALVEN_BuiltMatrix matrix) {
  zvLogBase::Record(zvlog_error, SourcePath(matrix), __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were "
                    "errors executing the code. Return empty matrix");
}
