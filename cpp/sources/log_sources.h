// The source paths that the matrix code's log records carry, one per file of origin. Code split
// out of one of these files into files of its own records under its origin's path.
#pragma once

inline constexpr const char* kTALVEN_EntryPointsSource = "cpp/sources/talven_deconvolution_matrix";
inline constexpr const char* kTALVEN_GeneratorSource = "cpp/sources/make_psfmatrix";
inline constexpr const char* kTALVEN_HorizontalSource =
    "cpp/sources/talven_horizontal_deconvolution_matrix";
