// The inverse of a square matrix by LU factorization with partial pivoting.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"
#include "result.hpp"

namespace tallyfit::linalg {

// The matrix is not square, or its factorization met a pivot that is exactly zero. A nearly
// singular matrix is not a failure: it inverts into very large or non-finite values.
struct InversionFailure {};

// The input is left untouched; a 0 x 0 matrix inverts to a 0 x 0 matrix.
Result<Matrix, InversionFailure> inverse(const MatrixView &a);

} // namespace tallyfit::linalg
