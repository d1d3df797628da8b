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

// A^T A (columns x columns, symmetric): a symmetric rank-k update, half the arithmetic of the
// general product A^T A, computed into one triangle and mirrored.
Matrix gram(const MatrixView &a);

// Adds A^T A to the upper triangle of c (columns x columns); the lower triangle is left as it
// is. For sums of rank-k updates over row blocks, mirrored once at the end.
void add_gram_upper(const MatrixView &a, Matrix &c);

// Copies the upper triangle of a square matrix into its lower triangle.
void mirror_upper(Matrix &c);

// A x; the columns of A must equal the length of x.
Vector matvec(const MatrixView &a, const VectorView &x);

// A x written into y[0 .. rows of A), for loops that reuse one buffer.
void matvec_into(const MatrixView &a, const VectorView &x, double *y);

// A x into y by a loop over the columns of A, without the BLAS (for threads whose BLAS calls
// cannot be kept on the thread that makes them).
void matvec_without_blas_into(const MatrixView &a, const VectorView &x, double *y);

// x . z; the lengths must be equal.
double dot(const VectorView &x, const VectorView &z);

} // namespace tallyfit::linalg
