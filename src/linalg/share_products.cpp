#include "linalg/share_products.hpp"

#include <algorithm>

#include "linalg/blas.hpp"
#include "linalg/product.hpp"
#include "linalg/row_shares.hpp"
#include "linalg/shape_error.hpp"

namespace tallyfit::linalg {

namespace {

MatrixView rows_of(const MatrixView &x, Index first, Index count) {
    return {x.data + first * x.row_stride, count, x.cols, x.row_stride, x.col_stride};
}

// The BLAS runs a share's product where each of our threads can keep it to itself; else a
// loop of our own does (a BLAS that splits each call over its threads would oversubscribe).
void share_product(const MatrixView &a, const VectorView &v, double *out, bool blas) {
    if (blas) {
        matvec_into(a, v, out);
    } else {
        matvec_without_blas_into(a, v, out);
    }
}

} // namespace

Vector share_matvec(const MatrixView &x, const VectorView &v) {
    if (x.cols != v.size) {
        throw_shape_mismatch("matrix-vector product", x, v);
    }
    Vector out(x.rows);
    const RowShares shares = row_shares(x, 1);
    const bool blas = blas_threads_per_caller();
    run_shares(shares.count(), share_threads(shares.count(), blas), [&](Index share, unsigned) {
        const Index first = shares.first(share);
        share_product(rows_of(x, first, shares.end(share) - first), v, out.data() + first, blas);
    });
    return out;
}

Vector share_transposed_matvec(const MatrixView &x, const VectorView &v) {
    if (x.rows != v.size) {
        throw_shape_mismatch("transposed matrix-vector product", x.transposed(), v);
    }
    const RowShares shares = row_shares(x, 1);
    const Index count = shares.count();
    // One row of sums per share, added in row order after the pass: a share holds thousands of
    // rows of X for each of these.
    Matrix partial(std::max<Index>(count, 1), x.cols);
    const bool blas = blas_threads_per_caller();
    run_shares(count, share_threads(count, blas), [&](Index share, unsigned) {
        const Index first = shares.first(share);
        const Index rows = shares.end(share) - first;
        const VectorView share_v{v.data + first * v.stride, rows, v.stride};
        share_product(rows_of(x, first, rows).transposed(), share_v,
                      partial.data() + share * x.cols, blas);
    });
    Vector out(x.cols);
    for (Index share = 0; share < count; ++share) {
        for (Index j = 0; j < x.cols; ++j) {
            out[j] += partial(share, j);
        }
    }
    return out;
}

} // namespace tallyfit::linalg
