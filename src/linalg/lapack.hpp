// The LAPACK routines of the inverse, one wrapper each, on column-major storage.
#pragma once

#include <algorithm>
#include <vector>

#include "linalg/blas.hpp"

namespace tallyfit::linalg::lapack {

// LU factorization with partial pivoting of the m x n matrix at a; pivots needs min(m, n)
// entries. Returns LAPACK's info: 0 on success, i > 0 when U(i, i) is exactly zero.
inline FortranInt dgetrf(FortranInt m, FortranInt n, double *a, FortranInt lda,
                         FortranInt *pivots) {
    FortranInt info = 0;
    blas().dgetrf(&m, &n, a, &lda, pivots, &info);
    return info;
}

// Inverse from dgetrf's factors, in place, with the workspace size LAPACK asks for.
// Returns LAPACK's info.
inline FortranInt dgetri(FortranInt n, double *a, FortranInt lda, const FortranInt *pivots) {
    const BlasRoutines &routines = blas();
    FortranInt info = 0;
    double optimal_size = 0.0;
    const FortranInt query = -1;
    routines.dgetri(&n, nullptr, &lda, nullptr, &optimal_size, &query, &info);
    if (info != 0) {
        return info;
    }
    const FortranInt work_size =
        std::max<FortranInt>({1, n, static_cast<FortranInt>(optimal_size)});
    std::vector<double> work(static_cast<std::size_t>(work_size));
    routines.dgetri(&n, a, &lda, pivots, work.data(), &work_size, &info);
    return info;
}

} // namespace tallyfit::linalg::lapack
