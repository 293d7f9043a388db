// Log lines that both matrix engines write, the element-by-element one and the fast one, kept in
// one place so that the two always say the same thing in the same case.
#pragma once

struct Coords;

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

// A build that failed returns an all-zero matrix; source_path is the generator file of the build.
void TALVEN_LogEmptyMatrix(const char* source_path);
