// Matrix and vector products on strided views, through BLAS whenever the memory layout lets
// BLAS read an operand in place, else through a portable loop. Inputs are never copied.
#pragma once

#include "linalg/array.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

// Products whose three dimensions are all at most this take the portable loop: a BLAS call
// costs more than the arithmetic there.
inline constexpr Index small_product_limit = 7;

// A B; the columns of A must equal the rows of B.
Matrix matmul(const MatrixView &a, const MatrixView &b);

// A x; the columns of A must equal the length of x.
Vector matvec(const MatrixView &a, const VectorView &x);

// A x written into y[0 .. rows of A), for loops that reuse one buffer.
void matvec_into(const MatrixView &a, const VectorView &x, double *y);

// x . z; the lengths must be equal.
double dot(const VectorView &x, const VectorView &z);

} // namespace tallyfit::linalg
