// The inverse of a square matrix by LU factorization with partial pivoting.
#pragma once

#include "error.hpp"
#include "linalg/array.hpp"
#include "linalg/view.hpp"
#include "result.hpp"

namespace tallyfit::linalg {

// The input is left untouched; a 0 x 0 matrix inverts to a 0 x 0 matrix. A matrix that is not
// square, or whose factorization meets a pivot that is exactly zero, is the InversionFailure
// error. A nearly singular matrix is not a failure: it inverts into very large or non-finite
// values.
Result<Matrix, Error> inverse(const MatrixView &a);

} // namespace tallyfit::linalg
