#include "linalg/weighted_gram.hpp"

#include <algorithm>
#include <cmath>

#include "internal_error.hpp"
#include "linalg/blas_layout.hpp"
#include "linalg/cblas.hpp"
#include "linalg/shape_error.hpp"

namespace tallyfit::linalg {

namespace {

void check_shapes(const MatrixView &x, const VectorView &w, const VectorView &z,
                  const std::optional<VectorView> &diagonal) {
    if (w.size != x.rows) {
        throw_shape_mismatch("weighted Gram product (weights)", x, w);
    }
    if (z.size != x.rows) {
        throw_shape_mismatch("weighted Gram product (response)", x, z);
    }
    if (diagonal && diagonal->size != x.cols) {
        throw_shape_mismatch("weighted Gram product (diagonal)", x, *diagonal);
    }
    if (!fits_blas_int(x.cols)) {
        throw InternalError("weighted Gram product: too many columns");
    }
}

// H was accumulated in its upper triangle (row-major); copy it to the lower one.
void mirror_upper_triangle(Matrix &h) {
    for (Index i = 0; i < h.rows(); ++i) {
        for (Index j = 0; j < i; ++j) {
            h(i, j) = h(j, i);
        }
    }
}

} // namespace

WeightedGram weighted_gram(const MatrixView &x, const VectorView &w, const VectorView &z,
                           const std::optional<VectorView> &diagonal, Index block_bytes) {
    check_shapes(x, w, z, diagonal);
    const Index p = x.cols;
    WeightedGram gram{Matrix(p, p), Vector(p)};
    if (p > 0 && x.rows > 0) {
        const Index bytes_per_row = p * static_cast<Index>(sizeof(double));
        const Index block_rows =
            std::clamp<Index>(block_bytes / bytes_per_row, 1, std::min<Index>(x.rows, INT_MAX));
        Vector rows(block_rows * p);
        Vector responses(block_rows);
        const auto columns = static_cast<FortranInt>(p);
        for (Index first = 0; first < x.rows; first += block_rows) {
            const Index count = std::min(block_rows, x.rows - first);
            for (Index r = 0; r < count; ++r) {
                const Index i = first + r;
                const double scale = std::sqrt(w[i]);
                double *out = rows.data() + r * p;
                const double *in = x.data + i * x.row_stride;
                for (Index j = 0; j < p; ++j) {
                    out[j] = scale * in[j * x.col_stride];
                }
                responses[r] = scale * z[i];
            }
            const auto k = static_cast<FortranInt>(count);
            cblas::dsyrk(cblas::Layout::RowMajor, cblas::Uplo::Upper, cblas::Transpose::Trans,
                         columns, k, 1.0, rows.data(), columns, 1.0, gram.h.data(), columns);
            cblas::dgemv(cblas::Layout::RowMajor, cblas::Transpose::Trans, k, columns, 1.0,
                         rows.data(), columns, responses.data(), 1, 1.0, gram.t.data(), 1);
        }
        mirror_upper_triangle(gram.h);
    }
    if (diagonal) {
        for (Index j = 0; j < p; ++j) {
            gram.h(j, j) += (*diagonal)[j];
        }
    }
    return gram;
}

} // namespace tallyfit::linalg
