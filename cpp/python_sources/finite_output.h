// The last check of every matrix request of the module: a matrix is only reported built when all
// its elements are finite.
#pragma once

// Returns built when the rows x cols matrix holds no NaN or infinity. Otherwise (non-finite or
// overflowing PSFs, coefficients or vignetting factors) it logs an error that names the first
// such element, sets the matrix to 0.0 and returns false. function names the request in the
// message.
bool KeepOnlyFiniteMatrix(bool built, double* matrix, int rows, int cols, const char* function);
