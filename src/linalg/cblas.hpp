// CBLAS semantics (row-major or column-major layout, transpose flags) on top of the Fortran
// routines. Row-major storage read as column-major is the transpose, so a row-major call is the
// column-major call on the transposed operands: only flags, dimensions and operand order change,
// no data moves. Vector pointers follow the BLAS rule: with a negative increment they point at
// the element of lowest address, which is the last one in logical order.
#pragma once

#include "linalg/blas.hpp"

namespace tallyfit::linalg::cblas {

enum class Layout { RowMajor, ColMajor };
enum class Transpose { NoTrans, Trans };
enum class Uplo { Upper, Lower };

namespace detail {
inline const char *flag(Transpose t) { return t == Transpose::NoTrans ? "N" : "T"; }
inline Transpose flipped(Transpose t) {
    return t == Transpose::NoTrans ? Transpose::Trans : Transpose::NoTrans;
}
inline const char *flag(Uplo u) { return u == Uplo::Upper ? "U" : "L"; }
inline Uplo flipped(Uplo u) { return u == Uplo::Upper ? Uplo::Lower : Uplo::Upper; }
} // namespace detail

// C (m x n) = alpha op(A) op(B) + beta C, op(A) m x k, op(B) k x n.
inline void dgemm(Layout layout, Transpose trans_a, Transpose trans_b, FortranInt m, FortranInt n,
                  FortranInt k, double alpha, const double *a, FortranInt lda, const double *b,
                  FortranInt ldb, double beta, double *c, FortranInt ldc) {
    const BlasRoutines &routines = blas();
    if (layout == Layout::ColMajor) {
        routines.dgemm(detail::flag(trans_a), detail::flag(trans_b), &m, &n, &k, &alpha, a, &lda, b,
                       &ldb, &beta, c, &ldc);
    } else {
        // Row-major C is column-major C^T = op(B)^T op(A)^T.
        routines.dgemm(detail::flag(trans_b), detail::flag(trans_a), &n, &m, &k, &alpha, b, &ldb, a,
                       &lda, &beta, c, &ldc);
    }
}

// y = alpha op(A) x + beta y, A stored m x n.
inline void dgemv(Layout layout, Transpose trans, FortranInt m, FortranInt n, double alpha,
                  const double *a, FortranInt lda, const double *x, FortranInt incx, double beta,
                  double *y, FortranInt incy) {
    const BlasRoutines &routines = blas();
    if (layout == Layout::ColMajor) {
        routines.dgemv(detail::flag(trans), &m, &n, &alpha, a, &lda, x, &incx, &beta, y, &incy);
    } else {
        // Row-major m x n A is column-major n x m A^T.
        routines.dgemv(detail::flag(detail::flipped(trans)), &n, &m, &alpha, a, &lda, x, &incx,
                       &beta, y, &incy);
    }
}

inline double ddot(FortranInt n, const double *x, FortranInt incx, const double *y,
                   FortranInt incy) {
    return blas().ddot(&n, x, &incx, y, &incy);
}

// C (n x n, only the uplo triangle) = alpha op(A) op(A)^T + beta C, op(A) n x k;
// with Trans, op(A) = A^T, so C = alpha A^T A + beta C.
inline void dsyrk(Layout layout, Uplo uplo, Transpose trans, FortranInt n, FortranInt k,
                  double alpha, const double *a, FortranInt lda, double beta, double *c,
                  FortranInt ldc) {
    const BlasRoutines &routines = blas();
    if (layout == Layout::ColMajor) {
        routines.dsyrk(detail::flag(uplo), detail::flag(trans), &n, &k, &alpha, a, &lda, &beta, c,
                       &ldc);
    } else {
        // A row-major triangle is the opposite column-major triangle, and A read column-major
        // is A^T, so both flags flip.
        routines.dsyrk(detail::flag(detail::flipped(uplo)), detail::flag(detail::flipped(trans)),
                       &n, &k, &alpha, a, &lda, &beta, c, &ldc);
    }
}

} // namespace tallyfit::linalg::cblas
