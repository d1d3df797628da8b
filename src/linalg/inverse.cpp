#include "linalg/inverse.hpp"

#include <vector>

#include "internal_error.hpp"
#include "linalg/blas_layout.hpp"
#include "linalg/lapack.hpp"

namespace tallyfit::linalg {

Result<Matrix, Error> inverse(const MatrixView &a) {
    if (a.rows != a.cols) {
        return err(Error(ErrorCode::InversionFailure));
    }
    const Index n = a.rows;
    if (!fits_blas_int(n)) {
        throw InternalError("matrix of order " + std::to_string(n) + " is too large to invert");
    }
    Matrix result(n, n);
    for (Index i = 0; i < n; ++i) {
        for (Index j = 0; j < n; ++j) {
            result(i, j) = a(i, j);
        }
    }
    if (n == 0) {
        return result;
    }
    // LAPACK reads the row-major buffer as A^T and so returns (A^T)^-1 column-major, which read
    // row-major is A^-1: no transposition is needed on either side.
    const auto order = static_cast<FortranInt>(n);
    std::vector<FortranInt> pivots(static_cast<std::size_t>(n));
    if (lapack::dgetrf(order, order, result.data(), order, pivots.data()) != 0) {
        return err(Error(ErrorCode::InversionFailure));
    }
    if (lapack::dgetri(order, result.data(), order, pivots.data()) != 0) {
        return err(Error(ErrorCode::InversionFailure));
    }
    return result;
}

} // namespace tallyfit::linalg
