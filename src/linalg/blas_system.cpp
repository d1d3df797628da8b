// The routines of a BLAS/LAPACK linked into the module (build option TALLYFIT_SYSTEM_BLAS).
#include <cstddef>

#include "linalg/blas.hpp"

namespace tallyfit::linalg {

namespace {

using Int = FortranInt;
using Length = std::size_t; // gfortran's hidden length of a character argument

extern "C" {
void dgemm_(const char *, const char *, const Int *, const Int *, const Int *, const double *,
            const double *, const Int *, const double *, const Int *, const double *, double *,
            const Int *, Length, Length);
void dgemv_(const char *, const Int *, const Int *, const double *, const double *, const Int *,
            const double *, const Int *, const double *, double *, const Int *, Length);
double ddot_(const Int *, const double *, const Int *, const double *, const Int *);
void dsyrk_(const char *, const char *, const Int *, const Int *, const double *, const double *,
            const Int *, const double *, double *, const Int *, Length, Length);
void dgetrf_(const Int *, const Int *, double *, const Int *, Int *, Int *);
void dgetri_(const Int *, double *, const Int *, const Int *, double *, const Int *, Int *);
}

// Adapters to the loader's signatures, passing the hidden lengths of the one-character flags.
void dgemm(const char *transa, const char *transb, const Int *m, const Int *n, const Int *k,
           const double *alpha, const double *a, const Int *lda, const double *b, const Int *ldb,
           const double *beta, double *c, const Int *ldc) {
    dgemm_(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}

void dgemv(const char *trans, const Int *m, const Int *n, const double *alpha, const double *a,
           const Int *lda, const double *x, const Int *incx, const double *beta, double *y,
           const Int *incy) {
    dgemv_(trans, m, n, alpha, a, lda, x, incx, beta, y, incy, 1);
}

void dsyrk(const char *uplo, const char *trans, const Int *n, const Int *k, const double *alpha,
           const double *a, const Int *lda, const double *beta, double *c, const Int *ldc) {
    dsyrk_(uplo, trans, n, k, alpha, a, lda, beta, c, ldc, 1, 1);
}

} // namespace

BlasRoutines detail::system_blas_routines() {
    return BlasRoutines{dgemm, dgemv, ddot_, dsyrk, dgetrf_, dgetri_};
}

} // namespace tallyfit::linalg
