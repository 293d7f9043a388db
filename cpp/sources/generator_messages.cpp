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

void TALVEN_LogEmptyMatrix(const char* source_path) {
  zvLogBase::Record(zvlog_error, source_path, __LINE__,
                    "TALVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were "
                    "errors executing the code. Return empty matrix");
}
