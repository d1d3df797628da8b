// How a strided view is handed to a BLAS routine in place, when it can be.
#pragma once

#include <algorithm>
#include <climits>
#include <optional>

#include "linalg/blas.hpp"
#include "linalg/cblas.hpp"
#include "linalg/view.hpp"

namespace tallyfit::linalg {

inline bool fits_blas_int(Index value) { return value >= 0 && value <= INT_MAX; }

// A matrix as a row-major product sees it: memory laid out row by row (NoTrans) or column by
// column (Trans, i.e. the row-major transpose), with the leading dimension BLAS needs.
struct BlasMatrix {
    const double *data;
    cblas::Transpose trans;
    FortranInt leading_dimension;
};

// The stride of an axis of length 1 is never used, so such an axis fits either layout.
inline std::optional<BlasMatrix> as_blas_matrix(const MatrixView &m) {
    auto accept = [&](cblas::Transpose trans, Index leading, Index minimum) {
        return leading >= std::max<Index>(1, minimum) && fits_blas_int(leading)
                   ? std::optional<BlasMatrix>(
                         BlasMatrix{m.data, trans, static_cast<FortranInt>(leading)})
                   : std::nullopt;
    };
    if (m.col_stride == 1 || m.cols == 1) {
        if (auto row_major =
                accept(cblas::Transpose::NoTrans, m.rows == 1 ? m.cols : m.row_stride, m.cols)) {
            return row_major;
        }
    }
    if (m.row_stride == 1 || m.rows == 1) {
        return accept(cblas::Transpose::Trans, m.cols == 1 ? m.rows : m.col_stride, m.rows);
    }
    return std::nullopt;
}

// BLAS addresses a vector with a negative increment from its lowest element, which is the
// last one in logical order.
inline const double *blas_vector_start(const VectorView &v) {
    return v.stride < 0 && v.size > 0 ? v.data + (v.size - 1) * v.stride : v.data;
}

// Zero increments are left to the portable loops: not every BLAS accepts them.
inline bool blas_increment_ok(const VectorView &v) {
    return v.stride != 0 && v.stride >= -INT_MAX && v.stride <= INT_MAX;
}

} // namespace tallyfit::linalg
